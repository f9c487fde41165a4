// The user-mode side of the driver's I/O manager: what a program needs to talk to ZelHartDriver's
// devices the way it would through the Windows file API.
//
//   Event                   a manual-reset event (eventfd): Set, Reset, IsSet, waitable with poll
//   WaitForMultipleEvents   waits for any of several events; the lowest signalled index wins
//   DeviceFile::Open        CreateFile on "\\.\<link name>" or a device interface path "\\?\..."
//   Read / Write            ReadFile / WriteFile, overlapped (ERROR_IO_PENDING, the event is set on
//                           completion) or synchronous
//   GetOverlappedResult     the outcome of an overlapped request, optionally waiting for it
//   DeviceIoControl         synchronous or overlapped; may pass one event to the driver
//   CancelIo / CancelIoEx   cancel every outstanding request of the handle, or one
//   Close                   CloseHandle: the driver cleans up and closes its file object
//   LookupDeviceInterface   the path of the index-th present interface of a class (SetupDi look-up)
//
// Every call returns a Win32 error code (ERROR_SUCCESS, ERROR_IO_PENDING, or the failure), mapped from
// the request's NTSTATUS by NtStatusToWin32Error. Each open handle is one connection to the daemon and
// one receiving thread that completes requests and sets their events. When the daemon goes away,
// outstanding requests complete with STATUS_CANCELLED (ERROR_OPERATION_ABORTED) and later ones fail
// with STATUS_DEVICE_NOT_CONNECTED (ERROR_NOT_READY).
//
// No call waits for the daemon without end: a synchronous request (open, look-up, read, write, control
// request, close) that the daemon has not answered within kRequestTimeoutMs is cancelled and given up,
// and fails with ERROR_TIMEOUT (a close simply returns). An answer that comes after that is dropped
// and the connection goes on. Overlapped requests stay pending as long as the daemon keeps them
// (a read waiting for a frame); GetOverlappedResultEx waits for one with a time-out, Abandon gives it up.
#pragma once

#include "zelhart/platform/guid.h"
#include "zelhart/platform/iomgr_protocol.h" // GENERIC_READ and the other access masks
#include "zelhart/platform/ntstatus.h"
#include "zelhart/platform/unique_fd.h"
#include "zelhart/platform/win32_error.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>

namespace zelhart::platform::iomgr {

inline constexpr uint32_t INFINITE = 0xFFFFFFFF;
inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
inline constexpr size_t MAXIMUM_WAIT_OBJECTS = 64;

inline constexpr uint32_t FILE_FLAG_OVERLAPPED = 0x40000000;

// How long any synchronous request waits for the daemon (see above).
inline constexpr uint32_t kRequestTimeoutMs = 5000;

// A manual-reset event: stays signalled from Set until Reset.
class Event {
  public:
    explicit Event(bool initialState = false);
    // Takes over an eventfd made elsewhere (another layer's event): Set signals that event.
    explicit Event(UniqueFd eventFd) : fd_(std::move(eventFd)) {}
    Event(Event&&) noexcept = default;
    Event& operator=(Event&&) noexcept = default;

    bool valid() const { return fd_.valid(); }
    bool Set();
    bool Reset();
    bool IsSet() const;
    // The descriptor, readable while the event is signalled; also the event's "handle value" when it
    // is passed to the driver with DeviceIoControl.
    int fd() const { return fd_.get(); }

  private:
    UniqueFd fd_;
};

// WAIT_OBJECT_0 + the lowest index among the signalled events, WAIT_TIMEOUT, or WAIT_FAILED (no
// events, more than MAXIMUM_WAIT_OBJECTS, a null or invalid event). Nothing is reset.
uint32_t WaitForMultipleEvents(std::span<const Event* const> events, uint32_t timeoutMs);
uint32_t WaitForSingleEvent(const Event& event, uint32_t timeoutMs);

// One overlapped request. Clear it (= {}) and set hEvent before starting a request; read the outcome
// with GetOverlappedResult only. The buffer of the request must stay valid until it has completed.
struct Overlapped {
    Event* hEvent = nullptr; // set when the request completes; may be null
    NTSTATUS Internal = STATUS_SUCCESS;
    uint32_t InternalHigh = 0; // bytes transferred
    uint64_t requestId = 0;    // the request this overlapped stands for; 0 when none
};

class DeviceFile {
    struct Key {
        explicit Key() = default;
    };

  public:
    DeviceFile(Key, UniqueFd sock, std::string objectName); // through Open only
    ~DeviceFile();
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;

    // Opens "\\.\NAME" (a symbolic link the driver created) or "\\?\PATH" (a device interface path);
    // a name without either prefix is looked up as it stands. desiredAccess and shareMode are handed
    // to the driver; flags may hold FILE_FLAG_OVERLAPPED (overlapped requests are allowed either way).
    // ERROR_FILE_NOT_FOUND when neither the name nor the daemon exists.
    static uint32_t Open(std::string_view path, uint32_t desiredAccess, uint32_t shareMode, uint32_t flags,
                         std::unique_ptr<DeviceFile>* out);

    // With `overlapped`: ERROR_IO_PENDING, or a failure before the request was sent. Without: waits,
    // and returns the outcome with *transferred set. Lengths above kMaxTransferLength are refused with
    // ERROR_INVALID_PARAMETER.
    uint32_t Read(void* buffer, uint32_t length, uint32_t* transferred, Overlapped* overlapped);
    uint32_t Write(const void* buffer, uint32_t length, uint32_t* transferred, Overlapped* overlapped);
    // `passEvent`: an event whose descriptor travels with the request, so that the driver can keep
    // and later set it; the caller puts passEvent->fd() into the input where the driver expects a handle.
    uint32_t DeviceIoControl(uint32_t ioControlCode, const void* input, uint32_t inputLength, void* output,
                             uint32_t outputLength, uint32_t* returned, Overlapped* overlapped = nullptr,
                             const Event* passEvent = nullptr);

    // ERROR_IO_INCOMPLETE while the request runs and `wait` is false; otherwise its outcome.
    uint32_t GetOverlappedResult(Overlapped* overlapped, uint32_t* transferred, bool wait);
    // Waits at most timeoutMs (INFINITE: without end) for the request: its outcome, or WAIT_TIMEOUT.
    uint32_t GetOverlappedResultEx(Overlapped* overlapped, uint32_t* transferred, uint32_t timeoutMs);
    // Gives the request up without waiting for the daemon: the daemon is asked to cancel it, and it
    // completes here and now with STATUS_CANCELLED (its event is set); whatever the daemon answers for
    // it later is dropped. For a request that must end even when the daemon does not answer (the
    // request of a handle about to be closed, or one that timed out). May be called from any thread.
    // ERROR_NOT_FOUND when the request has completed already.
    uint32_t Abandon(Overlapped* overlapped);
    uint32_t CancelIo();
    uint32_t CancelIoEx(const Overlapped* overlapped);
    // Ends the connection: the driver cleans up and closes the file object. Requests still outstanding
    // complete with STATUS_CANCELLED before Close returns; nothing touches their buffers afterwards.
    uint32_t Close();

    const std::string& objectName() const { return objectName_; }

  private:
    struct Outstanding {
        uint8_t* buffer = nullptr; // what the answer's data go to (a read, a control request's output)
        uint32_t capacity = 0;     // the most bytes the request may report: the buffer's, a write's length
        Overlapped* overlapped = nullptr; // null for a synchronous request
        bool done = false;
        NTSTATUS status = STATUS_PENDING;
        uint32_t information = 0;
    };

    uint32_t Submit(std::span<const uint8_t> packetWithoutId, uint8_t* buffer, uint32_t capacity,
                    uint32_t* transferred, Overlapped* overlapped, int fdToPass);
    void ReceiveLoop();
    void CompleteLocked(uint64_t id, Outstanding& o, NTSTATUS status, uint32_t information);
    void FailAllLocked(NTSTATUS status);
    // Completes the request here with STATUS_CANCELLED, remembers its id as abandoned (its answer is
    // dropped) and returns true when a cancel is to be sent for it.
    bool AbandonLocked(uint64_t id);
    void SendCancel(uint64_t id);

    UniqueFd sock_;
    std::string objectName_;
    std::mutex mutex_;
    std::condition_variable completed_;
    std::map<uint64_t, Outstanding> outstanding_;
    std::set<uint64_t> abandoned_; // given up here; the daemon's answer, if it comes, is dropped
    uint64_t nextId_ = 2;          // 1 was the Create
    bool connected_ = true;        // false once the daemon has gone
    bool closed_ = false;
    std::thread receiver_;
};

// SetupDi look-up: the path of the index-th present device interface of `interfaceClass`.
// ERROR_NO_MORE_ITEMS when there is none (also when the daemon is not running).
uint32_t LookupDeviceInterface(const Guid& interfaceClass, uint32_t index, std::string* path);

// Whether a daemon serves the socket at `socketPath` (default: SocketPath() of this process's runtime
// directory): no socket file there, a file nobody accepts connections on (a daemon that is starting,
// or one that died and left it behind), or a daemon that accepts. Only connects; says nothing.
enum class DaemonSocketState { kAbsent, kNotAccepting, kAccepting };
DaemonSocketState ProbeDaemonSocket(const std::string& socketPath = {});

} // namespace zelhart::platform::iomgr
