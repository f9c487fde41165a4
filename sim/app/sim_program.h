// korvel4810-sim at run time: one thread, one epoll loop over the pseudo-terminal, a timer, the
// signals and the control FIFO.
#pragma once

#include "control_fifo.h"
#include "pseudo_terminal.h"
#include "zelhart/platform/unique_fd.h"
#include "zelhart/sim/korvel_device.h"
#include "zelhart/sim/line_engine.h"
#include "zelhart/sim/sim_options.h"

#include <optional>
#include <string>
#include <vector>

namespace zelhart::sim {

class SimProgram {
public:
    explicit SimProgram(SimOptions options) : options_(std::move(options)) {}
    SimProgram(const SimProgram&) = delete;
    SimProgram& operator=(const SimProgram&) = delete;
    ~SimProgram();

    // Runs until SIGTERM, SIGINT or SIGHUP. Returns the exit status.
    int Run();

private:
    using TimePoint = LineEngine::TimePoint;

    std::string Setup();
    std::string LoadState();
    void ShareWithPortsGroup(const std::string& portsDir);
    std::string Register();
    void AnnounceReady();
    std::string Loop();
    void OnPortEvent(uint32_t events);
    void Detach(TimePoint now);
    void CheckAttach(TimePoint now);
    void Flush(TimePoint now);
    void ArmTimer();
    void SaveStateIfChanged();
    void WriteLog(std::string_view line);

    SimOptions options_;
    PseudoTerminal pty_;
    std::optional<KorvelDevice> device_;
    std::optional<LineEngine> engine_;
    ControlFifo control_;
    platform::UniqueFd epoll_, timer_, signals_, log_;
    bool attached_ = false;
    bool registered_ = false;
    bool quit_ = false;
    std::vector<uint8_t> out_;
};

} // namespace zelhart::sim
