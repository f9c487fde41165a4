#include "options.h"

#include <gtest/gtest.h>

namespace zelhart::hartip::server {
namespace {

TEST(HartIpServerOptions, CommandLineFromATable) {
    struct Case {
        std::vector<std::string> args;
        const char* error; // nullptr: accepted
    };
    const Case cases[] = {
        {{"COM1=5094"}, nullptr},
        {{"--bind", "127.0.0.1", "--bind", "::1", "--allow-plain", "COM1=5094", "COM2=5095"}, nullptr},
        {{"--max-sessions", "64", "--first-message-timeout", "100", "COM255=0", "COM3=0"}, nullptr},
        {{}, "no port to serve"},
        {{"COM0=5094"}, "not a port mapping"},
        {{"COM256=5094"}, "not a port mapping"},
        {{"COM1=65536"}, "not a port mapping"},
        {{"COM1=-1"}, "not a port mapping"},
        {{"COM1"}, "not a port mapping"},
        {{"COM1=5094", "COM1=5095"}, "mapped twice"},
        {{"COM1=5094", "COM2=5094"}, "mapped twice"},
        {{"--bind"}, "needs a value"},
        {{"--max-sessions", "65", "COM1=1"}, "--max-sessions"},
        {{"--first-message-timeout", "99", "COM1=1"}, "--first-message-timeout"},
        {{"--psk-file", "", "COM1=1"}, "empty file name"},
        {{"--verbose", "COM1=1"}, "unknown argument"},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto options = ParseOptions(c.args, error);
        if (!c.error) {
            EXPECT_TRUE(options) << error;
        } else {
            EXPECT_FALSE(options);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    std::string error;
    const auto options = ParseOptions({"--bind", "10.0.0.1", "--psk-file", "k", "COM12=5094", "COM3=0"}, error);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->binds, std::vector<std::string>{"10.0.0.1"});
    EXPECT_EQ(options->pskFile, "k");
    EXPECT_EQ(options->maxSessions, kDefaultMaxSessions);
    EXPECT_EQ(options->ports, (std::vector<PortMapping>{{12, 5094}, {3, 0}}));
}

TEST(HartIpServerOptions, KeyFileFromATable) {
    const std::string key16 = "00112233445566778899aabbccddeeff";
    struct Case {
        std::string text;
        const char* error; // nullptr: accepted
        std::size_t keys = 0;
    };
    const Case cases[] = {
        {"desk:" + key16 + "\n", nullptr, 1},
        {"# comment\n\nA:" + key16 + "\r\nB:" + key16 + key16 + "\n", nullptr, 2},
        {"", "holds no key"},
        {"# only a comment\n", "holds no key"},
        {key16 + "\n", "not identity:key"},
        {":" + key16, "not identity:key"},
        {std::string(129, 'i') + ":" + key16, "not identity:key"},
        {"a b:" + key16, "space or a control character"},
        {"desk:0011", "not 16 to 64 bytes"},
        {"desk:" + key16 + "0", "not 16 to 64 bytes"},
        {"desk:" + std::string(130, '0'), "not 16 to 64 bytes"},
        {"desk:" + std::string(30, '0') + "zz", "not hexadecimal"},
        {"desk:" + key16 + "\ndesk:" + key16, "line 2: the identity desk appears twice"},
        {std::string(kMaxPskFileSize + 1, '#'), "larger than"},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto keys = ParsePskFile(c.text, error);
        if (!c.error) {
            ASSERT_TRUE(keys) << error;
            EXPECT_EQ(keys->size(), c.keys);
        } else {
            EXPECT_FALSE(keys) << c.text.substr(0, 40);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    std::string error;
    const auto keys = ParsePskFile("desk:" + key16, error);
    ASSERT_TRUE(keys);
    EXPECT_EQ((*keys)[0].identity, "desk");
    EXPECT_EQ((*keys)[0].key, (std::vector<std::uint8_t>{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                                                         0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
}

} // namespace
} // namespace zelhart::hartip::server
