// `4810cli read`: find the transmitter at polling address 0 and print what it reports.
#include "cli.h"

#include "hart/strings.h"
#include "hart/transmitter.h"

namespace zelhart::cli {
namespace {

using hart::CommandIndex;
using hart::FieldOut;
using hart::FieldValue;

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string TwoDigits(int v) {
    return (v < 10 ? "0" : "") + FormatInt(v);
}

// One command; true when the transmitter accepted it (0 or 8) and the answer was decoded into `outs`.
bool Exchange(hart::CTransmitter& t, CommandIndex index, std::initializer_list<FieldValue> request,
              std::initializer_list<FieldOut> outs) {
    const int rc = t.Transact(index, request);
    if (rc != hart::kResponseSuccess && rc != hart::kResponseWarningUpdate) {
        t.ReportResponseCode(index, rc);
        return false;
    }
    t.ParseResponse(index, outs);
    return true;
}

bool ReadIdentity(hart::CTransmitter& t, std::FILE* out) {
    uint8_t marker = 0, manufacturer = 0, type = 0, preambles = 0, universal = 0, device = 0, software = 0,
            hardware = 0, flags = 0;
    uint32_t id = 0;
    if (!Exchange(t, CommandIndex::IdentifyDevice, {},
                  {&marker, &manufacturer, &type, &preambles, &universal, &device, &software, &hardware,
                   &flags, &id}))
        return false;
    if (manufacturer != hart::kKorvelManufacturer || type != hart::kKorvelDeviceType) {
        hart::ShowString(t.UserInterface(), hart::str::kSensorNotFound, hart::MessageIcon::Stop);
        return false;
    }
    PrintField(out, "manufacturer", FormatInt(manufacturer));
    PrintField(out, "device type", FormatInt(type));
    PrintField(out, "device id", FormatInt(id));
    PrintField(out, "universal revision", FormatInt(universal));
    PrintField(out, "device revision", FormatInt(device));
    PrintField(out, "software revision", FormatInt(software));
    PrintField(out, "hardware revision", FormatInt(hardware >> 3));
    return true;
}

bool ReadTag(hart::CTransmitter& t, std::FILE* out) {
    std::string tag, descriptor;
    uint8_t day = 0, month = 0, year = 0;
    if (!Exchange(t, CommandIndex::ReadTagDescriptorDate, {}, {&tag, &descriptor, &day, &month, &year}))
        return false;
    PrintField(out, "tag", Trimmed(tag));
    PrintField(out, "descriptor", Trimmed(descriptor));
    PrintField(out, "date", TwoDigits(day) + "." + TwoDigits(month) + "." + FormatInt(1900 + year));
    return true;
}

bool ReadOutput(hart::CTransmitter& t, std::FILE* out) {
    uint8_t alarm = 0, transfer = 0, units = 0, protect = 0, distributor = 0;
    float upper = 0, lower = 0, damping = 0;
    if (!Exchange(t, CommandIndex::ReadOutputInfo, {},
                  {&alarm, &transfer, &units, &upper, &lower, &damping, &protect, &distributor}))
        return false;
    PrintField(out, "alarm type", FormatInt(alarm));
    PrintField(out, "range units", FormatInt(units));
    PrintField(out, "upper range", FormatFloat(upper, 3));
    PrintField(out, "lower range", FormatFloat(lower, 3));
    PrintField(out, "damping", FormatFloat(damping, 3));
    PrintField(out, "write protect", FormatInt(protect));
    return true;
}

bool ReadSensor(hart::CTransmitter& t, std::FILE* out) {
    const uint8_t sensorNumber = 0;
    uint8_t number = 0, type = 0, connection = 0;
    if (!Exchange(t, CommandIndex::ReadSensorConfig, {&sensorNumber}, {&number, &type, &connection}))
        return false;
    PrintField(out, "sensor type", FormatInt(type));
    PrintField(out, "sensor connection", FormatInt(connection));
    return true;
}

} // namespace

int RunRead(Context& c) {
    if (!c.args.empty()) {
        std::fprintf(c.err, "4810cli: read takes no arguments\n");
        return kExitUsage;
    }
    hart::CTransmitter transmitter(c.settings, c.ui);
    if (!ReadIdentity(transmitter, c.out)) return kExitDeviceError;
    bool ok = ReadTag(transmitter, c.out);
    ok = ReadOutput(transmitter, c.out) && ok;
    ok = ReadSensor(transmitter, c.out) && ok;
    return ok ? kExitOk : kExitDeviceError;
}

} // namespace zelhart::cli
