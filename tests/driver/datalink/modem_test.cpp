// What real modems need of the data link: a retry never goes on the line while characters arrive,
// a receive gap long enough for a USB port's bursts, and the echo of the frame sent kept from the
// receiver.
#include "link_fixture.h"
#include "zelhart/datalink/echo_filter.h"

#include <gtest/gtest.h>

namespace zelhart::datalink::test {
namespace {

// The own request comes back (an echo the filter is off for) and fails the attempt; the rest of a
// reply keeps arriving, one character a tick, past the quiet time: the retry waits for silence.
TEST(Modem, RetryWaitsWhileCharactersArrive) {
    LinkFixture f;
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
    f.Feed(WithPreambles(5, Request(kPrimary)));
    ASSERT_EQ(f.State(), MasterState::STATE_BUS_RESTART);
    ASSERT_EQ(f.host.Transmissions, 1);
    for (int i = 0; i < 60; ++i) { // 600 ms of characters, longer than the quiet time (370 ms)
        f.Feed(0x55);
        f.Tick();
        ASSERT_EQ(f.host.Transmissions, 1) << "sent again while characters arrive, tick " << i;
    }
    f.Tick(f.link.Context().Timings.GAP + 1);
    EXPECT_EQ(f.host.Transmissions, 2) << "sent again once the line fell silent";
}

TEST(Modem, MinimumReceiveGapCoversBurstDelivery) {
    LinkFixture f;
    f.Feed(0xFF);
    EXPECT_EQ(f.Timers().RcvGap, 3);
    f.link.SetMinimumReceiveGap(7);
    f.Feed(0xFF);
    EXPECT_EQ(f.Timers().RcvGap, 7);
    f.link.SetMinimumReceiveGap(0);
    f.Feed(0xFF);
    EXPECT_EQ(f.Timers().RcvGap, 3);
}

using C = EchoFilter::Char;
constexpr int64_t kMs = 1'000'000;

struct EchoCase {
    const char* what;
    EchoMode mode;
    Bytes received;
    int64_t afterDoneMs; // when the characters come, after transmit-done
    Bytes passed;        // what the receiver gets
    bool echo;
};

TEST(Modem, EchoFilter) {
    const Bytes sent = {0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
    const Bytes reply = {0xFF, 0xFF, 0x06, 0x80, 0x00, 0x02, 0x00, 0x00, 0x84};
    Bytes echoThenReply = sent;
    echoThenReply.insert(echoThenReply.end(), reply.begin(), reply.end());
    Bytes garbled = sent;
    garbled[3] = 0x81;
    const EchoCase cases[] = {
        {"echo dropped", EchoMode::Automatic, echoThenReply, 5, reply, true},
        {"no echo: the reply whole and in order", EchoMode::Automatic, reply, 5, reply, false},
        {"echo too late is traffic", EchoMode::Automatic, sent, 100, sent, false},
        {"garbled echo passed in automatic mode", EchoMode::Automatic, garbled, 5, garbled, false},
        {"garbled echo dropped when on", EchoMode::On, garbled, 5, {}, true},
        {"off passes the echo", EchoMode::Off, echoThenReply, 5, echoThenReply, false},
    };
    for (const auto& c : cases) {
        EchoFilter filter;
        filter.SetMode(c.mode);
        filter.Transmitting(sent);
        filter.TransmitDone(0, 40 * kMs);
        std::vector<C> out;
        bool echo = false;
        for (uint8_t b : c.received) echo |= filter.Feed(b, false, c.afterDoneMs * kMs, &out);
        Bytes passed;
        for (const C& ch : out) passed.push_back(ch.value);
        EXPECT_EQ(passed, c.passed) << c.what;
        EXPECT_EQ(echo, c.echo) << c.what;
    }
    // A character with a line error is never part of the echo, and the held ones go before it.
    EchoFilter filter;
    filter.Transmitting(sent);
    std::vector<C> out;
    filter.Feed(0xFF, false, 0, &out);
    filter.Feed(0xFF, true, 0, &out);
    EXPECT_EQ(out, (std::vector<C>{{0xFF, false}, {0xFF, true}}));
}

} // namespace
} // namespace zelhart::datalink::test
