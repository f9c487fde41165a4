// Addressing, status bytes, live values and the command table of the transmitter.
#include "zelhart/sim/korvel_device.h"

#include "wire.h"

#include <cmath>
#include <numbers>

namespace zelhart::sim {
namespace {

struct CommandSpec {
    uint8_t command;
    uint8_t minDataBytes;
    bool refusedWhenProtected;
};

// Every command the transmitter implements, with the request data it needs and whether write
// protection refuses it. Command 139 is refused only for its write operation (checked there).
constexpr CommandSpec kCommands[] = {
    {0, 0, false},    {1, 0, false},    {2, 0, false},    {3, 0, false},    {13, 0, false},
    {14, 0, false},   {15, 0, false},   {16, 0, false},   {18, 21, true},   {33, 1, false},
    {34, 4, true},    {35, 9, true},    {38, 0, false},   {40, 4, true},    {42, 0, false},
    {44, 1, true},    {45, 4, true},    {46, 4, true},    {48, 0, false},   {130, 5, true},
    {131, 5, true},   {139, 7, false},  {140, 1, false},  {141, 3, true},   {142, 2, false},
    {145, 2, true},   {150, 0, false},  {151, 1, true},   {155, 16, true},  {162, 1, true},
    {189, 0, false},  {195, 4, false},  {249, 0, false},
};

const CommandSpec* FindCommand(uint8_t command) {
    for (const auto& c : kCommands)
        if (c.command == command) return &c;
    return nullptr;
}

double Seconds(KorvelDevice::Uptime t) { return std::chrono::duration<double>(t).count(); }

double Wave(double seconds, double period) { return std::sin(2.0 * std::numbers::pi * seconds / period); }

} // namespace

KorvelDevice::KorvelDevice(DeviceConfig config) : config_(std::move(config)) {
    if (!FindSensor(config_.sensorType)) config_ = FactoryConfig(); // a caller broke the contract
}

const SensorInfo& KorvelDevice::sensor() const { return *FindSensor(config_.sensorType); }

bool KorvelDevice::TakeConfigChanged() {
    bool c = changed_;
    changed_ = false;
    return c;
}

std::array<uint8_t, 5> KorvelDevice::LongAddress() const {
    const auto& id = config_.identity;
    return {uint8_t(id.manufacturer & 0x3F), id.deviceType, uint8_t(id.deviceId >> 16), uint8_t(id.deviceId >> 8),
            uint8_t(id.deviceId)};
}

bool KorvelDevice::AddressedToMe(const Frame& request) const {
    auto a = request.address();
    if (!request.isLong()) {
        uint8_t cmd = request.command();
        return (a[0] & 0x7F) == 0 && (cmd == 0 || cmd == 249); // polling address 0
    }
    auto mine = LongAddress();
    if ((a[0] & 0x7F) != mine[0]) return false;
    for (size_t i = 1; i < 5; ++i)
        if (a[i] != mine[i]) return false;
    return true;
}

bool KorvelDevice::Hears(const Frame& frame) const {
    return frame.size() > 0 && frame.type() == FrameType::Request && AddressedToMe(frame);
}

std::optional<Frame> KorvelDevice::Handle(const Frame& request, Uptime now) {
    if (!Hears(request)) return std::nullopt;
    if (!request.checkOk()) return MakeReply(request, kRcCommunicationError | kRcLongitudinalParityError, {}, now);
    if (busy_ > 0) {
        --busy_;
        return MakeReply(request, kRcBusy, {}, now);
    }
    wire::Reader in(request.data());
    wire::Writer out;
    Answer a = Dispatch(request.command(), in, out, now);
    Frame reply = MakeReply(request, a.code, a.withData ? out.data() : std::span<const uint8_t>{}, now);
    if (resetPending_) {
        // The restart: fixed-current mode ends, a failed trim is forgotten, the next answer tells of
        // the cold start.
        resetPending_ = false;
        fixedCurrent_.reset();
        calibrationError_ = false;
        coldStart_ = true;
    }
    return reply;
}

Frame KorvelDevice::MakeReply(const Frame& request, uint8_t code, std::span<const uint8_t> data, Uptime now) {
    std::array<uint8_t, 5> address{};
    auto req = request.address();
    uint8_t flags = uint8_t((req[0] & kAddressMasterBit) | (burst_ ? kAddressBurstBit : 0));
    if (request.isLong()) {
        address = LongAddress();
        address[0] |= flags;
    } else {
        address[0] = flags; // polling address 0
    }
    std::array<uint8_t, kMaxDataBytes> payload{};
    payload[0] = code;
    payload[1] = DeviceStatus(now);
    size_t n = 2;
    for (uint8_t b : data)
        if (n < payload.size()) payload[n++] = b;
    coldStart_ = false;
    uint8_t delimiter = request.isLong() ? 0x86 : 0x06;
    return BuildFrame(delimiter, std::span<const uint8_t>(address.data(), request.addressLength()), request.command(),
                      std::span<const uint8_t>(payload.data(), n));
}

Frame KorvelDevice::BurstFrame(bool primaryMaster, Uptime now) {
    wire::Writer out;
    ReadDynamicVariables(out, now);
    auto address = LongAddress();
    address[0] |= uint8_t((primaryMaster ? kAddressMasterBit : 0) | kAddressBurstBit);
    std::array<uint8_t, kMaxDataBytes> payload{};
    payload[0] = kRcSuccess;
    payload[1] = DeviceStatus(now);
    size_t n = 2;
    for (uint8_t b : out.data()) payload[n++] = b;
    return BuildFrame(0x81, address, 3, std::span<const uint8_t>(payload.data(), n));
}

KorvelDevice::Answer KorvelDevice::Dispatch(uint8_t command, const wire::Reader& in, wire::Writer& out, Uptime now) {
    const CommandSpec* spec = FindCommand(command);
    if (!spec) return {kRcCommandNotImplemented, false};
    if (in.size() < spec->minDataBytes) return {kRcTooFewDataBytes, false};
    if (spec->refusedWhenProtected && config_.writeProtect == 1) return {kRcWriteProtected, false};
    switch (command) {
    case 0:
    case 249: return Identity(out);
    case 1: return ReadPrimaryVariable(out, now);
    case 2: return ReadCurrentAndPercent(out, now);
    case 3: return ReadDynamicVariables(out, now);
    case 13: return ReadTagDescriptorDate(out);
    case 14: return ReadTransducerInfo(out);
    case 15: return ReadOutputInfo(out);
    case 16: out.U24(config_.finalAssembly); return {};
    case 18: return WriteTagDescriptorDate(in, out);
    case 33: return ReadDeviceVariables(in, out, now);
    case 34: return WriteDamping(in, out);
    case 35: return WriteRange(in, out);
    case 38: configChangedFlag_ = false; return {};
    case 40: return FixedCurrent(in, out);
    case 42: return Reset();
    case 44: return WriteUnits(in, out);
    case 45: return TrimLoop(in, out, true);
    case 46: return TrimLoop(in, out, false);
    case 48: return ReadAdditionalStatus(out);
    case 130: return TrimSensor(in, out, true, now);
    case 131: return TrimSensor(in, out, false, now);
    case 139: return ThermometerParameter(in, out);
    case 140: return ReadSensorConfig(in, out);
    case 141: return WriteSensorConfig(in, out);
    case 142: return ReadCalibrationInfo(in, out);
    case 145: return WriteCalibrationMode(in, out);
    case 150: out.U8(config_.filter); return {};
    case 151: return WriteFilter(in, out);
    case 155: return WriteLevels(in, out);
    case 162: return WriteAlarmType(in, out);
    case 189: return ReadLevels(out);
    case 195: return WriteProtection(in, out);
    default: return {kRcCommandNotImplemented, false};
    }
}

float KorvelDevice::Corrected(float reading) const {
    const auto& c = config_;
    if (c.calibrationMode != 1 || std::isnan(c.trimLowerReference)) return reading;
    if (std::isnan(c.trimUpperReference)) return reading + (c.trimLowerReference - c.trimLowerReading);
    float gain = (c.trimUpperReference - c.trimLowerReference) / (c.trimUpperReading - c.trimLowerReading);
    return c.trimLowerReference + (reading - c.trimLowerReading) * gain;
}

KorvelDevice::LiveValues KorvelDevice::Live(Uptime now) const {
    const auto& c = config_;
    const SensorInfo& s = sensor();
    double t = Seconds(now);
    LiveValues v{};
    float drift = c.drift ? float(0.05 * Wave(t, 37.0) + 0.02 * Wave(t, 11.0)) : 0.0f;
    v.electronicsTemperature = c.electronicsTemperature + (c.drift ? float(0.3 * Wave(t, 600.0)) : 0.0f);
    bool fault = c.sensorFault != SensorFault::None;
    v.reading = fault ? kNotANumber : c.processValue + drift;
    float corrected = Corrected(v.reading);
    v.measured = FromBase(s, corrected, c.rangeUnits);
    v.sensorInput = FromBase(s, v.reading, s.electricalUnit);
    auto limits = SensorLimits(s, BaseUnit(s));
    v.outOfLimits = fault || !(corrected >= limits->lower && corrected <= limits->upper);

    if (fixedCurrent_) {
        v.loopCurrent = *fixedCurrent_;
    } else if (fault || c.electronicsFault) {
        v.loopCurrent = c.alarmType == 0 ? c.highAlarm : c.lowAlarm;
    } else {
        float current = 4.0f + 16.0f * (v.measured - c.lowerRange) / (c.upperRange - c.lowerRange);
        v.saturated = !(current >= c.lowSaturation && current <= c.highSaturation);
        v.loopCurrent = current < c.lowSaturation ? c.lowSaturation
                        : current > c.highSaturation ? c.highSaturation
                                                     : current;
    }
    return v;
}

// Byte 0: input and electronics; byte 1: measurement; byte 2 bit 7 measured value bad, bit 3 trim
// point too far from the reading; byte 3 bits 0, 3, 4 input diagnostics, bit 2 trim refused;
// byte 4 bit 0 sensor open, bit 1 sensor short-circuited.
std::array<uint8_t, 5> KorvelDevice::AdditionalStatus() const {
    std::array<uint8_t, 5> b{};
    if (config_.electronicsFault) b[0] |= 0x02;
    if (config_.sensorFault != SensorFault::None) {
        b[0] |= 0x01;
        b[1] |= 0x01;
        b[2] |= 0x80;
        b[3] |= 0x19;
        b[4] |= config_.sensorFault == SensorFault::Open ? 0x01 : 0x02;
    }
    if (calibrationError_) {
        b[2] |= 0x08;
        b[3] |= 0x04;
    }
    return b;
}

// Bit 1 (a variable other than the primary one out of its limits) is never set: the transmitter
// has no such variable. So the status byte can never be 0xFE, which a master that looks for the
// first 0xFE of an identity answer would take for its start.
uint8_t KorvelDevice::DeviceStatus(Uptime now) const {
    LiveValues v = Live(now);
    uint8_t s = 0;
    if (config_.electronicsFault) s |= kStatusMalfunction;
    if (configChangedFlag_) s |= kStatusConfigChanged;
    if (coldStart_) s |= kStatusColdStart;
    for (uint8_t b : AdditionalStatus())
        if (b) s |= kStatusMoreStatus;
    if (fixedCurrent_) s |= kStatusLoopCurrentFixed;
    if (v.saturated) s |= kStatusLoopCurrentSaturated;
    if (v.outOfLimits) s |= kStatusPvOutOfLimits;
    return s;
}

} // namespace zelhart::sim
