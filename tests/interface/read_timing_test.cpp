// The read benchmark's bookkeeping: the two logs it reads and how it splits the time of a read.
#include "read_timing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace zelhart::bench {
namespace {

TEST(ReadTiming, FrameLogGivesDirectionAndBytesAndRefusesAnythingElse) {
    std::string error;
    auto frames = ParseFrameLog("RX ff ff 02 80 00 00 82\n\nTX ff 06 80 00 02 00 00 84\n", &error);
    ASSERT_EQ(frames.size(), 2u) << error;
    EXPECT_TRUE(frames[0].fromMaster);
    EXPECT_EQ(frames[0].bytes, 7u);
    EXPECT_FALSE(frames[1].fromMaster);
    EXPECT_EQ(frames[1].bytes, 8u);

    for (const char* bad : {"RX\n", "XX ff\n", "RX fff\n", "TX ff zz\n", "RX ff 1\n"}) {
        error.clear();
        EXPECT_TRUE(ParseFrameLog(bad, &error).empty()) << bad;
        EXPECT_EQ(error, "frame log line 1 is not a frame") << bad;
    }
}

TEST(ReadTiming, ShimLogIsOrderedByCallTimeAndMalformedLinesAreRefused) {
    std::string error;
    auto events = ParseShimLog("20 21 queued 0 0 0\n10 30 write 0 0 10\n", &error);
    ASSERT_EQ(events.size(), 2u) << error;
    EXPECT_EQ(events[0].function, "write");
    EXPECT_EQ(events[0].length, 10u);
    EXPECT_EQ(events[1].function, "queued");
    for (const char* bad : {"1 2 open 0 0\n", "1 2 open x 0 0\n", "-1 2 open 0 0 0\n", "1 2 open 0 0 0 9\n"}) {
        error.clear();
        EXPECT_TRUE(ParseShimLog(bad, &error).empty()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

constexpr uint64_t kMs = 1'000'000;

// One transaction as the program runs it: open, configure, drain, write, polls, close.
std::string Transaction(uint64_t startMs, uint64_t queuedMs, uint64_t takenMs, uint64_t closeMs) {
    auto at = [&](uint64_t ms) { return std::to_string((startMs + ms) * kMs); };
    return at(0) + " " + at(1) + " open 0 0 0\n" + at(1) + " " + at(2) + " configure 0 0 0\n" + at(2) + " " + at(3) +
           " write 0 0 11\n" + at(queuedMs) + " " + at(queuedMs) + " queued 0 0 0\n" + at(takenMs) + " " +
           at(takenMs) + " read 0 0 20\n" + at(closeMs - 1) + " " + at(closeMs) + " close 0 0 0\n";
}

TEST(ReadTiming, EachTransactionIsSplitIntoWireDesignWaitsAndRemainder) {
    std::string error;
    // The answer is queued 500 ms after the open and taken by the poll at 520 ms; closed at 530 ms.
    auto events = ParseShimLog(Transaction(1000, 500, 520, 530) + Transaction(2000, 450, 480, 500), &error);
    ASSERT_EQ(events.size(), 12u) << error;
    // 11 + 20 bytes for the first exchange, 11 + 17 for the second.
    auto frames = ParseFrameLog("RX ff ff ff ff ff ff 02 80 00 00 82\n"
                                "TX ff ff ff ff ff 06 80 00 0e 00 00 fe 99 fc 05 05 01 02 03 99\n"
                                "RX ff ff ff ff ff ff 02 80 00 00 82\n"
                                "TX ff ff ff ff ff 06 80 00 0b 00 00 fe 99 fc 05 05 01 01\n",
                                &error);
    ASSERT_EQ(frames.size(), 4u) << error;

    ReadTiming timing = AnalyseRead(events, frames, Ms(370), Ms(5));
    ASSERT_EQ(timing.transactions.size(), 2u);
    EXPECT_TRUE(timing.framesMatch);
    EXPECT_NEAR(timing.span.count(), 1500.0, 1e-6);
    const TransactionTiming& first = timing.transactions[0];
    EXPECT_NEAR(first.total.count(), 530.0, 1e-6);
    EXPECT_NEAR(first.wire.count(), 31 * kCharacterMs, 1e-6);
    EXPECT_NEAR(first.answerWire.count(), 20 * kCharacterMs, 1e-6);
    ASSERT_TRUE(first.pollWait.has_value());
    EXPECT_NEAR(first.pollWait->count(), 20.0, 1e-6);
    // Both directions took line time: the paced simulator hears a request at the line rate.
    EXPECT_NEAR(first.Remainder().count(), 530.0 - 31 * kCharacterMs - 5 - 370 - 20, 1e-6);
    EXPECT_NEAR(timing.transactions[1].wire.count(), 29 * kCharacterMs, 1e-6);
    EXPECT_NEAR(timing.transactions[1].pollWait->count(), 30.0, 1e-6);

    std::string report = FormatReport(timing, Ms(1600));
    EXPECT_NE(report.find("whole read: 1600.0 ms, 2 transactions"), std::string::npos) << report;
    const double worst = std::max(first.Remainder().count(), timing.transactions[1].Remainder().count());
    char expected[64];
    std::snprintf(expected, sizeof(expected), "%.1f ms at most", worst);
    EXPECT_NE(report.find(expected), std::string::npos) << report;
    EXPECT_EQ(report.find("note:"), std::string::npos) << report;
}

TEST(ReadTiming, RetriedRequestsOrMissingAnswersAreReportedAsAMismatch) {
    std::string error;
    auto events = ParseShimLog(Transaction(0, 500, 520, 530), &error);
    auto frames = ParseFrameLog("RX ff 02 80 00 00 82\nRX ff 02 80 00 00 82\nTX ff 06 80 00 02 00 00 84\n", &error);
    ReadTiming timing = AnalyseRead(events, frames, Ms(370), Ms(5));
    EXPECT_FALSE(timing.framesMatch) << "two exchanges on the line for one transaction";
    EXPECT_NE(FormatReport(timing, Ms(600)).find("note:"), std::string::npos);
}

} // namespace
} // namespace zelhart::bench
