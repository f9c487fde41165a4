// Who may use the daemon's socket: the rule as a pure function, and the Groups line it may read.
#include "zelhart/platform/socket_access.h"

#include <gtest/gtest.h>

#include <vector>

using namespace zelhart::platform;

TEST(SocketAccess, PeerRuleByUserGroupAndMode) {
    const SocketAccessRule group{false, gid_t(990), 500};
    const SocketAccessRule ownerOnly{false, std::nullopt, 500};
    const SocketAccessRule everybody{true, gid_t(990), 500};
    const std::vector<gid_t> none, withGroup{27, 990, 100}, without{27, 100};
    struct Case {
        const char* what;
        const SocketAccessRule& rule;
        uid_t uid;
        gid_t gid;
        const std::vector<gid_t>& groups;
        bool may;
    } cases[] = {
        {"root, outside the group", group, 0, 0, none, true},
        {"primary group", group, 1000, 990, none, true},
        {"supplementary group", group, 1000, 1000, withGroup, true},
        {"outsider", group, 1000, 1000, without, false},
        {"the daemon's own user outside its group", group, 500, 500, none, false},
        {"no group: the owner", ownerOnly, 500, 500, none, true},
        {"no group: root", ownerOnly, 0, 0, none, true},
        {"no group: anybody else, whatever groups", ownerOnly, 1000, 990, withGroup, false},
        {"mode for everybody", everybody, 1000, 1000, none, true},
    };
    for (const auto& c : cases) EXPECT_EQ(PeerMayConnect(c.rule, c.uid, c.gid, c.groups), c.may) << c.what;
}

TEST(SocketAccess, GroupsLineOfProcStatus) {
    struct Case {
        const char* text;
        std::vector<gid_t> groups;
    } cases[] = {
        {"Name:\tx\nUid:\t1000\t1000\t1000\t1000\nGroups:\t4 24 990 \nNStgid:\t7\n", {4, 24, 990}},
        {"Groups:\t27\n", {27}},
        {"Name:\tx\nGroups:\t\nNStgid:\t7\n", {}},
        {"Name:\tx\nNoGroups:\t5\n", {}},       // not the line
        {"Name:\tx\nGroups:\t5 x 7\n", {5}},      // the numbers up to what is none
        {"Name:\tx\nGroups:\t99999999999\n", {}}, // out of range
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseStatusGroups(c.text), c.groups) << c.text;
}
