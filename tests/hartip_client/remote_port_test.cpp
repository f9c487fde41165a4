// Remote ports in the port map: the endpoint syntax, the map's precedence, the key file's rules and the
// COM probe.
#include "temp_dir.h"
#include "zelhart/platform/remote_port.h"
#include "zelhart/platform/serial_port.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace zelhart::platform {
namespace {

using Transport = RemoteEndpoint::Transport;

TEST(RemoteEndpointSyntax, WellFormedUrls) {
    struct Case {
        const char* url;
        Transport transport;
        const char* host;
        uint16_t port;
        const char* identity;
        const char* file;
        const char* hostText;
    };
    const Case cases[] = {
        {"hartip://cabinet-1:5094", Transport::Tcp, "cabinet-1", 5094, "", "", "cabinet-1"},
        {"hartip://cabinet-1", Transport::Tcp, "cabinet-1", 5094, "", "", "cabinet-1"},
        {"hartip://cabinet-1/", Transport::Tcp, "cabinet-1", 5094, "", "", "cabinet-1"},
        {"hartip+udp://192.0.2.7:6000", Transport::Udp, "192.0.2.7", 6000, "", "", "192.0.2.7:6000"},
        {"hartip+tcp://[fd00::7]:5095", Transport::Tcp, "fd00::7", 5095, "", "", "[fd00::7]:5095"},
        {"hartip+tcp://[::1]", Transport::Tcp, "::1", 5094, "", "", "[::1]"},
        {"hartip://cab_2.plant.example:65535?psk-identity=desk1&psk-file=/etc/zelhart/desk1.key", Transport::Tcp,
         "cab_2.plant.example", 65535, "desk1", "/etc/zelhart/desk1.key", "cab_2.plant.example:65535"},
        {"hartip://h?psk-file=/k&psk-identity=a.b-c", Transport::Tcp, "h", 5094, "a.b-c", "/k", "h"},
    };
    for (const Case& c : cases) {
        std::string error;
        auto e = ParseRemoteEndpoint(c.url, &error);
        ASSERT_TRUE(e) << c.url << ": " << error;
        EXPECT_EQ(e->transport, c.transport) << c.url;
        EXPECT_EQ(e->host, c.host) << c.url;
        EXPECT_EQ(e->port, c.port) << c.url;
        EXPECT_EQ(e->pskIdentity, c.identity) << c.url;
        EXPECT_EQ(e->pskFile, c.file) << c.url;
        EXPECT_EQ(e->Secured(), *c.identity != 0) << c.url;
        EXPECT_EQ(e->HostText(), c.hostText) << c.url;
        EXPECT_TRUE(IsRemoteUrl(c.url)) << c.url;
    }
}

TEST(RemoteEndpointSyntax, MalformedUrlsAreRefusedWithAReason) {
    const char* cases[] = {
        "",
        "http://cabinet-1",
        "hartip+sctp://cabinet-1",
        "hartip://",
        "hartip://:5094",
        "hartip://cabinet-1:",
        "hartip://cabinet-1:0",
        "hartip://cabinet-1:65536",
        "hartip://cabinet-1:05094",
        "hartip://cabinet-1:50x4",
        "hartip://cabi net",
        "hartip://cabinet-1/path",
        "hartip://[fd00::7",
        "hartip://[]:5094",
        "hartip://[fd00::g]",
        "hartip://[fd00::7]x",
        "hartip://fd00::7",
        "hartip://h?psk-identity=desk1",                          // a key file belongs to it
        "hartip://h?psk-file=/k",                                 // and an identity to a key file
        "hartip://h?psk-identity=a&psk-file=k",                   // a relative key file
        "hartip://h?psk-identity=&psk-file=/k",                   // an empty identity
        "hartip://h?psk-identity=a b&psk-file=/k",                // a space in it
        "hartip://h?psk-identity=a&psk-identity=b&psk-file=/k",   // twice
        "hartip://h?psk-identity=a&psk-file=/k&",                 // an empty parameter
        "hartip://h?timeout=5",                                   // unknown
        "hartip://h?psk-identity",                                // no '='
        "hartip+udp://h?psk-identity=a&psk-file=/k",              // secured needs TCP
    };
    for (const char* url : cases) {
        std::string error;
        EXPECT_FALSE(ParseRemoteEndpoint(url, &error)) << url;
        EXPECT_FALSE(error.empty()) << url;
    }
    EXPECT_FALSE(ParseRemoteEndpoint("hartip://" + std::string(600, 'a')));
    EXPECT_FALSE(ParseRemoteEndpoint("hartip://h?psk-identity=" + std::string(129, 'a') + "&psk-file=/k"));
}

struct RemoteMapFixture : ::testing::Test {
    zelhart::testing::TempDir dir;
    SerialPortMapSources src{dir / "ports", dir / "ports.conf", dir / "dev", ""};
    void Conf(const std::string& text) { std::ofstream(src.portsConf) << text; }
    void Device(const std::string& name) { std::ofstream(src.devDir + "/" + name) << ""; }
    RemoteMapFixture() { ::mkdir(src.devDir.c_str(), 0755); }
};

TEST_F(RemoteMapFixture, RemoteLinesClaimTheirNumbersBelowExplicitLinks) {
    Device("ttyUSB0");  // COM33 by the naming rule
    Device("pts7");
    Device("pts8");
    Conf("COM300 = hartip://cabinet-1:5094\n"
         "COM33=hartip+udp://10.0.0.2\n"         // wins over the real port of that number
         "COM301=hartip://bad host\n"             // malformed: no port at all
         "COM302=" + src.devDir + "/pts8\n"
         "COM302=hartip://later\n"                // the earlier line has the number
         "COM303=hartip://linked\n"
         "# COM304=hartip://comment\n");
    ASSERT_EQ(RegisterComPort(src.portsDir, 303, src.devDir + "/pts7"), 0); // an explicit link wins

    auto remote = ReadRemotePorts(src);
    ASSERT_EQ(remote.size(), 2u);
    EXPECT_EQ(remote[0].comName, "COM33");
    EXPECT_EQ(remote[0].endpoint.transport, Transport::Udp);
    EXPECT_EQ(remote[1].comName, "COM300");
    EXPECT_EQ(remote[1].endpoint.host, "cabinet-1");

    // The serial map has no remote port and no device under a remote port's number.
    for (const auto& e : ReadSerialPortMap(src)) {
        EXPECT_NE(e.number, 300);
        EXPECT_NE(e.number, 33) << "the real port gave its number to the remote line";
    }
    EXPECT_EQ(LookupComPort(303, src), src.devDir + "/pts7");
    EXPECT_FALSE(LookupRemotePort(303, src));
    EXPECT_FALSE(LookupRemotePort(301, src));
    EXPECT_EQ(LookupRemotePort(300, src)->port, 5094);

    // The COM probe: a remote port exists (it has no device node); a malformed one does not.
    EXPECT_EQ(ProbeComPort(300, src), PortProbe::Free);
    EXPECT_EQ(ProbeComPort(301, src), PortProbe::Missing);
}

TEST_F(RemoteMapFixture, KeyFileRules) {
    struct Case {
        const char* text;
        mode_t mode;
        int result;
        std::vector<uint8_t> key;
    };
    const Case cases[] = {
        {"00112233445566778899aabbccddeeff\n", 0600, 0,
         {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
        {"# keys\nother:0102\ndesk1 : A0B1 \n", 0640, 0, {0xA0, 0xB1}},
        {"desk1:0102\n", 0644, EACCES, {}},          // anyone may read it
        {"desk1:0102\n", 0602, EACCES, {}},          // anyone may write it
        {"other:0102\n", 0600, EINVAL, {}},          // no line for the identity
        {"desk1:01x2\n", 0600, EINVAL, {}},          // not hexadecimal
        {"desk1:012\n", 0600, EINVAL, {}},           // half a byte
        {"", 0600, EINVAL, {}},
        {"desk1:", 0600, EINVAL, {}},
    };
    const std::string path = dir / "desk1.key";
    for (const Case& c : cases) {
        ::unlink(path.c_str());
        std::ofstream(path) << c.text;
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        std::vector<uint8_t> key{9};
        std::string error;
        EXPECT_EQ(ReadPskKeyFile(path, "desk1", &key, &error), c.result) << c.text;
        EXPECT_EQ(key, c.key) << c.text;
        EXPECT_EQ(error.empty(), c.result == 0) << c.text;
    }
    std::vector<uint8_t> key;
    std::string error;
    EXPECT_EQ(ReadPskKeyFile(dir / "missing.key", "desk1", &key, &error), ENOENT);
    EXPECT_EQ(ReadPskKeyFile(dir.path(), "desk1", &key, &error), EINVAL) << "a directory";
    std::ofstream(path) << std::string(130, 'a') << "\n"; // 65 bytes: too long a key
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(ReadPskKeyFile(path, "desk1", &key, &error), EINVAL);
}

} // namespace
} // namespace zelhart::platform
