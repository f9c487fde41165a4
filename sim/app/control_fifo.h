// The simulator's control channel: a FIFO that takes one instruction a line ("busy 2").
#pragma once

#include "zelhart/platform/unique_fd.h"

#include <functional>
#include <string>
#include <string_view>

namespace zelhart::sim {

class ControlFifo {
public:
    static constexpr size_t kMaxLine = 256;

    ControlFifo() = default;
    ControlFifo(const ControlFifo&) = delete;
    ControlFifo& operator=(const ControlFifo&) = delete;
    ~ControlFifo();

    // Creates the FIFO (replacing a stale one) and opens it. Returns an empty text or what failed.
    std::string Open(const std::string& path);
    int fd() const { return read_.get(); }

    // Reads what is waiting and hands out each complete line; a line longer than kMaxLine is
    // reported as an error and skipped.
    void Read(const std::function<void(std::string_view line)>& onLine,
              const std::function<void(std::string_view error)>& onError);

private:
    std::string path_;
    platform::UniqueFd read_;
    platform::UniqueFd keepOpen_; // our own writer, so that a writer closing is no end of file
    std::string pending_;
    bool skipping_ = false;
};

} // namespace zelhart::sim
