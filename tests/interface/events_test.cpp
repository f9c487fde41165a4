// Manual-reset events and the wait on several.
#include "events.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

namespace zelhart::hartif {
namespace {

TEST(Events, WaitReturnsTheLowestSignalledEventUntilItIsReset) {
    CommunicationEvents events;
    ASSERT_EQ(events.Create(), 0);
    events.Set(EVT_STOP_THREAD);
    events.Set(EVT_PORT_ARRIVAL);
    EXPECT_EQ(events.Wait(), EVT_PORT_ARRIVAL);
    EXPECT_EQ(events.Wait(), EVT_PORT_ARRIVAL); // manual reset: still signalled
    events.Reset(EVT_PORT_ARRIVAL);
    EXPECT_EQ(events.Wait(), EVT_STOP_THREAD);
    events.Set(EVT_READ_COMPLETE);
    events.Set(EVT_READ_COMPLETE); // signalling twice is still one signalled state
    EXPECT_EQ(events.Wait(), EVT_READ_COMPLETE);
    events.Reset(EVT_READ_COMPLETE);
    EXPECT_FALSE(events.IsSet(EVT_READ_COMPLETE));
    EXPECT_EQ(events.Wait(), EVT_STOP_THREAD);
}

TEST(Events, ReadCompletionThroughTheDescriptorWakesTheWait) {
    CommunicationEvents events;
    ASSERT_EQ(events.Create(), 0);
    std::thread signaller([&] {
        uint64_t one = 1;
        ASSERT_EQ(::write(events.ReadCompletionFd(), &one, sizeof(one)), 8);
    });
    EXPECT_EQ(events.Wait(), EVT_READ_COMPLETE);
    signaller.join();
}

TEST(Events, SetFromAnotherThreadWakesABlockedWait) {
    CommunicationEvents events;
    ASSERT_EQ(events.Create(), 0);
    std::thread setter([&] { events.Set(EVT_WRITE_REQUEST); });
    EXPECT_EQ(events.Wait(), EVT_WRITE_REQUEST);
    setter.join();
}

TEST(Events, WaitForAnyGivesTheLowestReadyIndexOrTimeout) {
    ManualResetEvent a, b;
    ASSERT_EQ(a.Create(), 0);
    ASSERT_EQ(b.Create(), 0);
    int fds[] = {a.fd(), b.fd()};
    EXPECT_EQ(WaitForAny(fds, 2, 0), kWaitTimeout);
    b.Set();
    EXPECT_EQ(WaitForAny(fds, 2, 0), 1);
    a.Set();
    EXPECT_EQ(WaitForAny(fds, 2, 0), 0);
    a.Reset();
    b.Reset();
    EXPECT_FALSE(a.IsSet());
    EXPECT_EQ(WaitForAny(fds, 2, 0), kWaitTimeout);
}

} // namespace
} // namespace zelhart::hartif
