// find, check, read, show, send-basic, send-advanced: the connection, the whole configuration and files.
#include "cli.h"
#include "report.h"

#include "hart/strings.h"

namespace zelhart::cli {
namespace {

// Takes "--save FILE" out of the arguments; false on anything else.
bool ParseReadOptions(Context& c, std::optional<std::string>& save, std::string& problem) {
    for (size_t i = 0; i < c.args.size(); ++i) {
        if (c.args[i] == "--save" && i + 1 < c.args.size() && !c.args[i + 1].empty() && !save) {
            save = std::string(c.args[++i]);
        } else {
            problem = c.args[i] == "--save" ? "--save needs one file name"
                                            : "read: unexpected '" + std::string(c.args[i]) + "'";
            return false;
        }
    }
    return true;
}

// The one FILE argument of show and the send commands.
std::optional<std::string> OneFile(Context& c, std::string_view command) {
    if (c.args.size() != 1 || c.args[0].empty() || c.args[0].starts_with("-")) {
        c.UsageError(std::string(command) + " takes one file name");
        return std::nullopt;
    }
    return std::string(c.args[0]);
}

void PrintAll(Context& c) {
    const CTransmitterModel& m = c.transmitter();
    PrintBasic(c.io.out, m);
    PrintAdvanced(c.io.out, m);
    PrintInformation(c.io.out, m);
    PrintThermometer(c.io.out, m);
    PrintIdentity(c.io.out, m);
}

} // namespace

int RunFind(Context& c) {
    if (!c.args.empty()) return c.UsageError("find takes no arguments");
    if (!c.transmitter().FindDevice()) {
        hart::ShowString(c.ui, hart::str::kSensorNotFound, hart::MessageIcon::Stop,
                         c.transmitter().NoAnswerCause());
        return kExitFailure;
    }
    const CTransmitterModel& m = c.transmitter();
    PrintIdentity(c.io.out, m);
    PrintRow(c.io.out, hart::LoadString(hart::str::kLabelSoftwareVersion),
             std::to_string(m.GetUniversalRev()) + "." + std::to_string(m.GetDeviceRev()) + "." +
                 std::to_string(m.GetSoftwareRev()));
    PrintRow(c.io.out, hart::LoadString(hart::str::kLabelHardwareVersion),
             std::to_string(m.GetHardwareRevByte()));
    return kExitOk;
}

int RunCheck(Context& c) {
    if (!c.args.empty()) return c.UsageError("check takes no arguments");
    return c.doc.CheckConnection(true) ? kExitOk : kExitFailure;
}

int RunRead(Context& c) {
    std::optional<std::string> save;
    std::string problem;
    if (!ParseReadOptions(c, save, problem)) return c.UsageError(problem);
    if (save && !c.doc.CheckSavePath(*save)) return kExitFailure; // not after a read of 12 s
    c.doc.OnNewDocument();
    const bool read = c.doc.ReadFromDevice() != 0;
    // Whatever was read is shown, also after a failed step; a partial configuration is not saved.
    if (c.doc.GetCleared() == 0) PrintAll(c);
    if (!read) return kExitFailure;
    if (save && !c.doc.OnSaveDocument(*save)) return kExitFailure;
    return kExitOk;
}

int RunShow(Context& c) {
    const auto file = OneFile(c, "show");
    if (!file) return kExitUsage;
    if (!c.doc.OnOpenDocument(*file)) return kExitFailure;
    const CTransmitterModel& m = c.transmitter();
    PrintBasic(c.io.out, m);
    PrintAdvanced(c.io.out, m);
    PrintThermometer(c.io.out, m);
    return kExitOk;
}

int RunSendBasic(Context& c) {
    const auto file = OneFile(c, "send-basic");
    if (!file) return kExitUsage;
    if (!c.doc.OnOpenDocument(*file)) return kExitFailure;
    return c.doc.SendBasicSettings() ? kExitOk : kExitFailure;
}

int RunSendAdvanced(Context& c) {
    const auto file = OneFile(c, "send-advanced");
    if (!file) return kExitUsage;
    if (!c.doc.OnOpenDocument(*file)) return kExitFailure;
    return c.doc.SendAdvancedSettings() ? kExitOk : kExitFailure;
}

} // namespace zelhart::cli
