// The clients of stack_soak: one thread a port running the program's transactions (CTransmitter, so
// the interface library and its retries) and checking every accepted answer against its request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelhart::soak {

using Clock = std::chrono::steady_clock;

struct PortCounts {
    long transactions = 0;
    long accepted = 0;   // result 0 or 8: an answer was delivered
    long mismatched = 0; // an accepted answer that is not the answer to its request
    std::map<int, long> results;
    std::vector<std::string> mismatches; // the first few, described
    double longestMs = 0;
};

class SoakClient {
  public:
    // `faultFifo`: the simulator's control FIFO; `deviceId` the identifier of this port's transmitter.
    SoakClient(int port, uint32_t deviceId, std::string faultFifo, uint32_t seed);
    ~SoakClient();

    void Start(Clock::time_point until);
    void Join();
    // A transaction under way for longer than `bound`: its description, else empty.
    std::string Overdue(std::chrono::milliseconds bound) const;
    PortCounts Counts() const;

  private:
    void Run(Clock::time_point until);
    void InjectFault();

    int port_;
    uint32_t deviceId_;
    std::string fifo_;
    uint32_t random_;
    std::thread thread_;
    mutable std::mutex mutex_;
    PortCounts counts_;
    std::atomic<int64_t> startedNs_{0}; // the transaction under way (0: none)
    std::atomic<int> command_{-1};
};

} // namespace zelhart::soak
