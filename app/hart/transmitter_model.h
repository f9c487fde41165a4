// The transmitter's configuration and state fields, with their not-set markers, field error flags,
// getters and setters. CTransmitter adds the HART link on top of these.
#pragma once

class CTransmitterModel {
public:
    virtual ~CTransmitterModel() = default;
};
