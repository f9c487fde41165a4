// The simulator's command line: every option, and every kind of bad input.
#include "zelhart/sim/sim_options.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelhart::sim {
namespace {

using namespace std::chrono_literals;

std::string Parse(std::vector<const char*> args, SimOptions& out) { return ParseSimOptions(args, out); }

TEST(SimOptions, Defaults) {
    SimOptions o;
    ASSERT_EQ(Parse({}, o), "");
    EXPECT_EQ(o.port, kFreePort); // never COM1, which would stand in for /dev/ttyS0
    EXPECT_TRUE(o.line.pace);
    EXPECT_EQ(o.line.turnaround, 5ms);
    EXPECT_EQ(o.line.preambles, 5u);
    EXPECT_EQ(o.readyFd, -1);
    EXPECT_TRUE(o.statePath.empty());
}

TEST(SimOptions, EveryOption) {
    SimOptions o;
    ASSERT_EQ(Parse({"--port", "17", "--state", "s.txt", "--log=l.txt", "--control", "ctl", "--ready-fd", "5",
                     "--turnaround", "12", "--preambles", "251", "--silent", "1", "--bad-check", "2", "--busy=3",
                     "--burst", "400", "--other-master", "700", "--noise", "4"},
                    o),
              "");
    EXPECT_EQ(o.port, 17);
    EXPECT_EQ(o.statePath, "s.txt");
    EXPECT_EQ(o.logPath, "l.txt");
    EXPECT_EQ(o.controlPath, "ctl");
    EXPECT_EQ(o.readyFd, 5);
    EXPECT_EQ(o.line.turnaround, 12ms);
    EXPECT_EQ(o.line.preambles, 251u);
    EXPECT_EQ(o.line.silent, 1u);
    EXPECT_EQ(o.line.badCheck, 2u);
    EXPECT_EQ(o.busy, 3u);
    EXPECT_EQ(o.line.burstInterval, 400ms);
    EXPECT_EQ(o.line.otherMasterInterval, 700ms);
    EXPECT_EQ(o.line.noise, 4u);
}

TEST(SimOptions, NoPaceAlsoDropsTheTurnaroundUnlessGiven) {
    SimOptions o;
    ASSERT_EQ(Parse({"--no-pace"}, o), "");
    EXPECT_FALSE(o.line.pace);
    EXPECT_EQ(o.line.turnaround, 0ms);
    ASSERT_EQ(Parse({"--turnaround", "3", "--no-pace"}, o), "");
    EXPECT_EQ(o.line.turnaround, 3ms);
}

TEST(SimOptions, BadInputIsRefusedWithAReason) {
    struct Case {
        std::vector<const char*> args;
        const char* error;
    } cases[] = {
        {{"--port", "0"}, "--port takes a COM number"},
        {{"--port", "4097"}, "--port takes a COM number"},
        {{"--port", "12x"}, "--port takes a COM number"},
        {{"--port", " 3"}, "--port takes a COM number"},
        {{"--port", "+3"}, "--port takes a COM number"},
        {{"--port"}, "--port takes a COM number"},
        {{"--port", "99999999999999999999999"}, "--port takes a COM number"},
        {{"--ready-fd", "-1"}, "--ready-fd takes a descriptor"},
        {{"--state"}, "--state takes a file name"},
        {{"--log="}, "--log takes a file name"},
        {{"--turnaround", "10001"}, "--turnaround takes a whole number 0..10000"},
        {{"--burst", "0"}, "--burst takes milliseconds"},
        {{"--noise", "256"}, "--noise takes a whole number 0..255"},
        {{"--busy", "1.5"}, "--busy takes a whole number"},
        {{"--no-pace=1"}, "--no-pace takes no value"},
        {{"--frobnicate", "1"}, "unknown option --frobnicate"},
        {{"--process", "5"}, "unknown option --process"},
        {{"stray"}, "unexpected argument \"stray\""},
        {{"-p", "3"}, "unexpected argument \"-p\""},
    };
    for (const auto& c : cases) {
        SimOptions o;
        o.port = 42;
        std::string e = Parse(c.args, o);
        EXPECT_EQ(e.rfind(c.error, 0), 0u) << c.args[0] << ": " << e;
        EXPECT_EQ(o.port, 42); // untouched
    }
}

TEST(SimOptions, UsageNamesEveryOption) {
    std::string usage = SimUsage();
    for (const char* option : {"--port", "--state", "--log", "--ready-fd", "--control", "--no-pace", "--turnaround",
                               "--preambles", "--silent", "--bad-check", "--busy", "--burst", "--other-master",
                               "--noise", "--help"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
}

} // namespace
} // namespace zelhart::sim
