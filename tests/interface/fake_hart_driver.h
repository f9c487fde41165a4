// A small HART driver on the driver framework, for testing the library's path through the real socket:
//
//   function device  ROOT\ZELHARTDRIVER\0000 with the interface {DD2540C5-808A-4461-89FE-9CCE766B8E77};
//                    IOCTL_HART_MODEM_INIT creates the HART device of the port it names
//                    (STATUS_OBJECT_NAME_COLLISION when it exists); the IOCTL_FAKE_* codes below let a
//                    test remove a device, hand a frame to its reader and count its writes.
//   HART devices     "\\.\{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_HART<n>": receive mask and protocol
//                    as the real driver keeps them (SET/GET); a read waits for a frame; a written frame
//                    is answered at once with a slave reply (delimiter 6, the request's address and
//                    command, response code and status 0), given to the waiting read or kept for the
//                    next one, and then the write completes. A request for kSilentCommand gets no
//                    answer: its write ends with STATUS_TRANSACTION_TIMED_OUT, as with an absent slave.
//                    Cleaning up a handle takes 30 ms, after which FakeReleaseMarker(n) exists.
#pragma once

#include "zelhart/drvfw/wdf.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zelhart::hartif::testing {

constexpr uint32_t FakeCtlCode(uint32_t function) {
    return (0x9C40u << 16) | (function << 2);
}
// Input: u32 port number. Reads waiting on the device end with STATUS_CANCELLED, the device goes.
inline constexpr uint32_t IOCTL_FAKE_REMOVE_DEVICE = FakeCtlCode(0x900);
// Input: u32 port number, u32 NTSTATUS, then the frame: completes the waiting read (or is kept).
inline constexpr uint32_t IOCTL_FAKE_DELIVER_FRAME = FakeCtlCode(0x901);
// Input: u32 port number; output: u32 frames written to the device so far.
inline constexpr uint32_t IOCTL_FAKE_WRITE_COUNT = FakeCtlCode(0x902);

inline constexpr uint8_t kSilentCommand = 0xFE;

// The slave reply to a written request frame (preambles included), or nothing when the frame is too
// short to be a request or asks for kSilentCommand.
std::vector<uint8_t> FakeReplyTo(const uint8_t* frame, size_t length);

// "<runtime dir>/released-HART<n>": made when the device has cleaned up a handle.
std::string FakeReleaseMarker(uint32_t port);

// DriverEntry of the fake driver; `ports` get their HART devices with the function device.
NTSTATUS FakeHartDriverEntry(drvfw::Framework& fw, std::vector<uint32_t> ports);

} // namespace zelhart::hartif::testing
