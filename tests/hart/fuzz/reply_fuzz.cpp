// libFuzzer target: what the interface library hands the program as received records, judged and
// decoded by the real transaction engine. CTransmitter runs on the interface library double (a private
// runtime directory with COM1 as a plain file, a clock that only counts), whose script the input
// becomes: one step (the records that come after one written request) after another, and then the
// simulator's answers to every command of the read.
//
// Input: byte 0 chooses what runs. Below 0xC0: one transaction of command index byte0 % 30, then
// ParseResponse of every command layout on its answer. From 0xC0: the whole read of the document
// (identification, the six read steps, a monitoring poll) with each request taking the next step,
// then the report `4810cli show` prints. The rest is a list of records, each led by a tag byte T:
//   T & 3 == 0   a record of N bytes as they stand:            N, then N bytes
//   T & 3 == 1   the same with its check byte appended (and, when T & 4, the byte count set to
//                match the length first), so that the fuzzer gets past the check byte easily
//   T & 3 == 2   a record whose Length field says L (up to 1023) whatever the bytes: L (2 bytes), N,
//                then N bytes
//   T & 3 == 3   (T >> 2) & 3: 0 ends the step, 1 a failure record (the next byte its error),
//                2 (T >> 4) reads that find nothing, 3 nothing
// Checked for every answer the engine accepts: its check byte and byte count hold, and ParseResponse
// counts exactly the fields the data hold whole.
#include "fuzz_support.h"
#include "hart/frame.h"
#include "hart/settings.h"
#include "hart/transmitter.h"
#include "report.h"

#include <zelhart/hart_api.h>
#include <zelhart/platform/runtime_dir.h>
#include <zelhart/platform/serial_port_map.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace zelhart::hart;

constexpr size_t kMaxSteps = 24;
constexpr size_t kMaxItemsPerStep = 16;

// Once the input's steps are used up, every request the read sends gets the simulator's answer, so
// that the transactions after them end at the first poll instead of polling 300 times for nothing.
constexpr char kStandingAnswers[] = R"(reply 249 0 0 FE 99 FC 05 05 01 03 10 00 3A 5F 21
reply 13 0 0 51 4B 71 C3 18 20 2C F4 96 14 CB 74 E3 1C 20 82 08 20 0E 03 7C
reply 140 0 0 00 01 03
reply 15 0 0 00 00 20 42 C8 00 00 00 00 00 00 3F 80 00 00 00 99
reply 14 0 0 03 4A B5 20 44 54 80 00 C3 48 00 00 41 20 00 00
reply 150 0 0 01
reply 16 0 0 07 56 E9
reply 189 0 0 41 A8 00 00 40 66 66 66 41 A4 00 00 40 73 33 33
reply 33 0 0 01 20 41 C0 30 06 02 20 41 AC 3C C9 FA FA 7F A0 00 00 FA FA 7F A0 00 00
reply 3 0 0 40 EE 3A D5 20 41 AC 3B ED 20 41 C0 34 EC FA 7F A0 00 00 FA 7F A0 00 00
reply 48 0 0 00 00 00 00 00
reply 139 0 0 01 00 6C 02 0C 00 00
)";

[[noreturn]] void Die(const char* what, int detail = 0) {
    std::fprintf(stderr, "reply fuzz: %s (%d)\n", what, detail);
    std::abort();
}

class NullUi : public IUserInterface {
  public:
    void ShowMessage(int, std::string_view text, MessageIcon) override {
        if (text.empty()) Die("a message without text");
    }
    UserAnswer AskUser(int, std::string_view, MessageButtons, MessageIcon) override {
        return UserAnswer::Cancel;
    }
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
};

class CountingClock : public IClock {
  public:
    void Sleep(std::chrono::milliseconds d) override { now_ += d; }
    std::chrono::milliseconds Now() const override { return now_; }

  private:
    std::chrono::milliseconds now_{0};
};

// The double's control function, from the same file the program loads.
int (*g_loadScript)(const char*) = nullptr;

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, " %02X", v);
        s += b;
    }
    return s;
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t Byte() { return empty() ? 0 : data_[at_++]; }
    std::vector<uint8_t> Bytes(size_t n) {
        n = std::min(n, size_ - std::min(at_, size_));
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A frame with its byte count made to fit its length (when asked) and its check byte appended.
std::vector<uint8_t> Framed(std::vector<uint8_t> f, bool fixCount) {
    if (f.empty()) return f;
    const ReplyOffsets at = OffsetsOf(f[0]);
    if (fixCount && f.size() > at.byteCount) f[at.byteCount] = uint8_t(f.size() - at.responseCode);
    f.push_back(CheckByte(f));
    return f;
}

std::string ScriptOf(Input& in) {
    std::string script = kStandingAnswers;
    std::string step;
    size_t steps = 0, items = 0;
    auto item = [&](const std::string& text) {
        if (items++ < kMaxItemsPerStep) step += (step.empty() ? "step " : " | ") + text;
    };
    auto endStep = [&] {
        script += (step.empty() ? std::string("step silence") : step) + "\n";
        step.clear();
        items = 0;
        ++steps;
    };
    while (!in.empty() && steps < kMaxSteps) {
        const uint8_t tag = in.Byte();
        switch (tag & 3) {
        case 0:
        case 1: {
            std::vector<uint8_t> bytes = in.Bytes(in.Byte());
            if (tag & 1) bytes = Framed(std::move(bytes), tag & 4);
            item(bytes.empty() ? "silence" : "raw" + Hex(bytes));
            break;
        }
        case 2: {
            const int length = (in.Byte() | in.Byte() << 8) & 0x3FF;
            std::vector<uint8_t> bytes = in.Bytes(in.Byte());
            item("length " + std::to_string(length) + Hex(bytes));
            break;
        }
        default:
            switch ((tag >> 2) & 3) {
            case 0:
                endStep();
                break;
            case 1:
                item("fail " + std::to_string(int8_t(in.Byte())));
                break;
            case 2:
                item("delay " + std::to_string(tag >> 4));
                break;
            default:
                item("silence");
                break;
            }
        }
    }
    if (!step.empty()) endStep();
    return script;
}

// Room for one decoded field of every type.
struct Outs {
    std::array<uint8_t, kMaxLayoutFields> bytes{};
    std::array<int32_t, kMaxLayoutFields> ints{};
    std::array<float, kMaxLayoutFields> floats{};
    std::array<std::string, kMaxLayoutFields> texts{};
    std::array<FieldOut, kMaxLayoutFields> outs{};

    std::span<const FieldOut> For(const CommandLayout& layout) {
        auto fields = layout.fields();
        for (size_t i = 0; i < fields.size(); ++i) {
            switch (fields[i]) {
            case FieldType::Byte:
                outs[i] = &bytes[i];
                break;
            case FieldType::Int16:
            case FieldType::Int32:
            case FieldType::UInt24:
                outs[i] = &ints[i];
                break;
            case FieldType::Float:
                outs[i] = &floats[i];
                break;
            default:
                outs[i] = &texts[i];
                break;
            }
        }
        return std::span<const FieldOut>(outs).first(fields.size());
    }
};

void CheckAcceptedAnswer(const CTransmitter& t, uint8_t command, int result) {
    const auto answer = t.LastResponse();
    if (answer.empty()) return;
    uint8_t code = 0;
    if (JudgeReply(answer, answer.size(), command, code) != ReplyVerdict::Accepted || code != result)
        Die("the accepted answer does not pass its own checks", result);
}

void ParseEveryLayout(CTransmitter& t) {
    const auto answer = t.LastResponse();
    Outs outs;
    for (size_t i = 0; i < kCommandCount; ++i) {
        const auto index = static_cast<CommandIndex>(i);
        const CommandLayout& layout = ResponseLayout(index);
        const size_t complete = t.ParseResponse(index, outs.For(layout));
        // What the data between the status bytes and the check byte hold whole.
        size_t expected = 0;
        if (!answer.empty()) {
            const size_t data = answer.size() - 1 - OffsetsOf(answer[0]).data;
            for (size_t used = 0; expected < layout.fieldCount; ++expected) {
                used += FieldSize(layout.fieldTypes[expected]);
                if (used > data) break;
            }
        }
        if (complete != expected) Die("ParseResponse counted other fields than the answer holds", int(i));
        for (size_t f = 0; f < layout.fieldCount; ++f)
            if (outs.texts[f].size() > PackedCharacters(FieldType::Packed32))
                Die("a text longer than its field");
    }
}

void ReadEverything(CTransmitter& t) {
    t.FindDevice();
    t.ReadTagAndSensor();
    t.ReadOutputConfig();
    t.ReadFilterAndAssembly();
    t.ReadLevelsAndVariables();
    t.ReadFaultStatus();
    t.ReadThermometerData();
    t.RefreshMonitor();
    static std::FILE* sink = std::fopen("/dev/null", "w");
    if (!sink) Die("cannot open /dev/null");
    zelhart::cli::PrintBasic(sink, t);
    zelhart::cli::PrintAdvanced(sink, t);
    zelhart::cli::PrintInformation(sink, t);
    zelhart::cli::PrintThermometer(sink, t);
    zelhart::cli::PrintIdentity(sink, t);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A private runtime and configuration directory with COM1 registered as a plain file.
    const std::string root = zelhart::fuzz::MakePrivateDir("reply-fuzz");
    ::setenv("ZELHART_RUNTIME_DIR", (root + "/run").c_str(), 1);
    ::setenv("ZELHART_CONFIG_DIR", (root + "/etc").c_str(), 1);
    ::setenv(zelhart::kInterfaceLibraryEnv, ZELHART_HART_DOUBLE, 1);
    std::ofstream(root + "/port1").put('\0');
    if (zelhart::platform::RegisterComPort(zelhart::platform::PortsDir(), 1, root + "/port1") != 0)
        Die("cannot register COM1");
    void* library = ::dlopen(ZELHART_HART_DOUBLE, RTLD_NOW | RTLD_LOCAL);
    if (!library) Die("cannot load the interface library double");
    g_loadScript = reinterpret_cast<int (*)(const char*)>(::dlsym(library, "hart_double_load_script"));
    if (!g_loadScript) Die("the double has no hart_double_load_script");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Input in(data, size);
    const uint8_t mode = in.Byte();
    const std::string script = ScriptOf(in);
    if (int line = g_loadScript(script.c_str()); line != 0) Die("the double refused script line", line);

    MemorySettings settings;
    NullUi ui;
    CountingClock clock;
    CTransmitter t(settings, ui, clock);
    if (mode >= 0xC0) {
        ReadEverything(t);
        return 0;
    }
    const auto index = static_cast<CommandIndex>(mode % kCommandCount);
    const int result = t.Transact(index);
    if (result < 0 || result > 255) Die("a result outside 0..255", result);
    CheckAcceptedAnswer(t, RequestLayout(index).command, result);
    ParseEveryLayout(t);
    return 0;
}
