#include "soak_clients.h"

#include "hart/commands.h"
#include "hart/frame.h"
#include "hart/settings.h"
#include "hart/transmitter.h"
#include "hart/user_interface.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace zelhart::soak {
namespace {

using hart::CommandIndex;

// The program's reads: every command the read of a configuration sends that takes no request data.
constexpr CommandIndex kCycle[] = {
    CommandIndex::IdentifyDevice,       CommandIndex::ReadTagDescriptorDate, CommandIndex::ReadSensorConfig,
    CommandIndex::ReadOutputInfo,       CommandIndex::ReadPvTransducerInfo,  CommandIndex::ReadMainsFilter,
    CommandIndex::ReadFinalAssemblyNumber, CommandIndex::ReadAlarmLevels,    CommandIndex::ReadDynamicVariables,
    CommandIndex::ReadAdditionalStatus,
};

// Nobody to show messages to: they are counted with the results.
class QuietUi : public hart::IUserInterface {
  public:
    void ShowMessage(int, std::string_view, hart::MessageIcon) override {}
    hart::UserAnswer AskUser(int, std::string_view, hart::MessageButtons, hart::MessageIcon) override {
        return hart::UserAnswer::Cancel;
    }
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
};

int64_t NowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// What is wrong with an accepted answer to the last request, or empty: the answer must be to the
// request's command, from this port's transmitter.
std::string CheckAnswer(hart::CTransmitter& t, CommandIndex index, uint32_t deviceId) {
    auto request = t.LastRequest();
    auto answer = t.LastResponse();
    size_t at = 0;
    while (at < request.size() && request[at] == hart::kPreambleByte) ++at;
    if (at >= request.size() || answer.empty()) return "no request or answer kept";
    const uint8_t command = request[at + ((request[at] & 0x80) ? 6 : 2)];
    const auto offsets = hart::OffsetsOf(answer[0]);
    if (answer.size() <= offsets.command || answer[offsets.command] != command) return "answer to another command";
    if (index == CommandIndex::IdentifyDevice) {
        int32_t id = 0;
        t.ParseResponse(index, {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &id});
        if (uint32_t(id) != deviceId) return "identity of another transmitter";
    } else if ((answer[0] & 0x80) == 0) {
        return "short answer to a long request";
    } else {
        uint32_t id = (uint32_t(answer[3]) << 16) | (uint32_t(answer[4]) << 8) | answer[5];
        if (id != deviceId) return "answer from another transmitter's address";
    }
    return {};
}

} // namespace

SoakClient::SoakClient(int port, uint32_t deviceId, std::string faultFifo, uint32_t seed)
    : port_(port), deviceId_(deviceId), fifo_(std::move(faultFifo)), random_(seed ? seed : 1) {}

SoakClient::~SoakClient() {
    if (thread_.joinable()) thread_.detach(); // a hung client: the process reports it and ends
}

void SoakClient::Start(Clock::time_point until) {
    thread_ = std::thread([this, until] { Run(until); });
}

void SoakClient::Join() {
    if (thread_.joinable()) thread_.join();
}

std::string SoakClient::Overdue(std::chrono::milliseconds bound) const {
    int64_t started = startedNs_.load();
    if (started == 0 || NowNs() - started < std::chrono::duration_cast<std::chrono::nanoseconds>(bound).count())
        return {};
    char text[96];
    std::snprintf(text, sizeof text, "COM%d: command index %d under way for %.1f s", port_, command_.load(),
                  double(NowNs() - started) / 1e9);
    return text;
}

PortCounts SoakClient::Counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

// The simulator's faults, one transaction at a time: 10 % silence, 5 % a wrong check byte, 5 % busy.
void SoakClient::InjectFault() {
    random_ ^= random_ << 13;
    random_ ^= random_ >> 17;
    random_ ^= random_ << 5;
    const unsigned roll = random_ % 100;
    const char* fault = roll < 10 ? "silent 1\n" : roll < 15 ? "bad-check 1\n" : roll < 20 ? "busy 1\n" : nullptr;
    if (!fault) return;
    int fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); // ENXIO while the simulator is down
    if (fd < 0) return;
    (void)!::write(fd, fault, std::char_traits<char>::length(fault));
    ::close(fd);
}

void SoakClient::Run(Clock::time_point until) {
    hart::MemorySettings settings;
    settings.SetInt("General", "PortSettings", port_);
    QuietUi ui;
    hart::CTransmitter transmitter(settings, ui);
    for (size_t i = 0; Clock::now() < until; ++i) {
        const CommandIndex index = kCycle[i % std::size(kCycle)];
        InjectFault();
        command_ = static_cast<int>(index);
        const auto start = Clock::now();
        startedNs_ = NowNs();
        const int result = transmitter.Transact(index);
        startedNs_ = 0;
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::string wrong;
        if (result == 0 || result == 8) wrong = CheckAnswer(transmitter, index, deviceId_);
        std::lock_guard lock(mutex_);
        ++counts_.transactions;
        ++counts_.results[result];
        counts_.longestMs = std::max(counts_.longestMs, ms);
        if (result == 0 || result == 8) ++counts_.accepted;
        if (!wrong.empty()) {
            ++counts_.mismatched;
            if (counts_.mismatches.size() < 5)
                counts_.mismatches.push_back("COM" + std::to_string(port_) + " command index " +
                                             std::to_string(int(index)) + ": " + wrong);
        }
    }
}

} // namespace zelhart::soak
