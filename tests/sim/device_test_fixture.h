// A transmitter on the test bench: send a request, get the answer split into its parts.
#pragma once

#include "hart_test_util.h"
#include "zelhart/sim/korvel_device.h"

#include <gtest/gtest.h>

namespace zelhart::sim::testing {

class DeviceTest : public ::testing::Test {
protected:
    explicit DeviceTest(DeviceConfig config = FactoryConfig()) : device(std::move(config)) {}

    // Sends the request and expects an answer with a sound frame around it.
    Reply Send(uint8_t command, const Bytes& data = {}) {
        auto reply = device.Handle(Request(command, data), now);
        if (!reply) {
            ADD_FAILURE() << "no answer to command " << int(command);
            return Reply{BuildFrame(0x86, kLongAddress, command, Bytes{0xFF, 0xFF})};
        }
        EXPECT_TRUE(reply->checkOk());
        EXPECT_EQ(reply->command(), command);
        EXPECT_EQ(reply->byteCount(), reply->data().size());
        return Reply{*reply};
    }
    uint8_t Code(uint8_t command, const Bytes& data = {}) { return Send(command, data).code(); }

    KorvelDevice device;
    KorvelDevice::Uptime now = Seconds(10);
};

} // namespace zelhart::sim::testing
