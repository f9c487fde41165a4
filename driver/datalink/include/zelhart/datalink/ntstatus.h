// NTSTATUS results of the HART modem driver, with their Windows numeric values.
//
// The driver daemon completes every request with one of these, the socket protocol carries them, and
// the platform client maps them to the Win32 error codes the interface library expects. They are
// defined once, here, so that all three agree on every bit.
#pragma once

#include <cstdint>

namespace zelhart {

using NTSTATUS = int32_t;

constexpr bool NT_SUCCESS(NTSTATUS status) {
    return status >= 0;
}

namespace detail {
constexpr NTSTATUS Nt(uint32_t value) {
    return static_cast<NTSTATUS>(value);
}
} // namespace detail

inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_PENDING = detail::Nt(0x00000103u);
inline constexpr NTSTATUS STATUS_DEVICE_BUSY = detail::Nt(0x80000011u);
inline constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = detail::Nt(0x8000001Au);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = detail::Nt(0xC0000001u);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = detail::Nt(0xC000000Du);
inline constexpr NTSTATUS STATUS_NO_MEMORY = detail::Nt(0xC0000017u);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = detail::Nt(0xC0000023u);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = detail::Nt(0xC0000035u);
inline constexpr NTSTATUS STATUS_CRC_ERROR = detail::Nt(0xC000003Fu);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = detail::Nt(0xC000009Au);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_READY = detail::Nt(0xC00000A3u);
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = detail::Nt(0xC00000BBu);
inline constexpr NTSTATUS STATUS_CANCELLED = detail::Nt(0xC0000120u);
inline constexpr NTSTATUS STATUS_OPEN_FAILED = detail::Nt(0xC0000136u);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = detail::Nt(0xC0000184u);
inline constexpr NTSTATUS STATUS_TRANSACTION_TIMED_OUT = detail::Nt(0xC0000210u);

} // namespace zelhart
