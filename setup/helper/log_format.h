// The log's formats: the printf conversions the setup helper's lines use (%d %i %u %x %X, %s %S %ws %ls,
// %%), checked against the arguments when the program is compiled. Free of system calls.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace zelhart::setup {

enum class LogArgKind { Integer, Text };

struct LogArg {
    LogArgKind kind;
    int64_t integer = 0;
    std::string_view text;
};

template <class T> constexpr LogArgKind KindOf() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_integral_v<U> || std::is_enum_v<U>) return LogArgKind::Integer;
    else {
        static_assert(std::is_convertible_v<const U&, std::string_view> || std::is_same_v<std::decay_t<U>, const char*>,
                      "log arguments are integers or text");
        return LogArgKind::Text;
    }
}

template <class T> LogArg MakeLogArg(const T& value) {
    if constexpr (KindOf<T>() == LogArgKind::Integer) return {LogArgKind::Integer, static_cast<int64_t>(value), {}};
    else if constexpr (std::is_array_v<T>) return {LogArgKind::Text, 0, std::string_view(value)};
    else if constexpr (std::is_pointer_v<T>)
        return {LogArgKind::Text, 0, value ? std::string_view(value) : std::string_view("(null)")};
    else return {LogArgKind::Text, 0, std::string_view(value)};
}

// True when every conversion of `format` has an argument of its kind, in order, and none is left.
template <size_t N> constexpr bool LogFormatMatches(std::string_view format, const std::array<LogArgKind, N>& kinds) {
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (++i >= format.size()) return false;
        if (format[i] == '%') continue;
        if (format[i] == 'w' || format[i] == 'l') {
            if (++i >= format.size() || format[i] != 's') return false;
        }
        char c = format[i];
        LogArgKind want;
        if (c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X') want = LogArgKind::Integer;
        else if (c == 's' || c == 'S') want = LogArgKind::Text;
        else return false;
        if (next >= N || kinds[next] != want) return false;
        ++next;
    }
    return next == N;
}

template <class... Args> class LogFormat {
  public:
    template <class S>
        requires std::is_convertible_v<const S&, std::string_view>
    consteval LogFormat(const S& text) : text_(text) {
        if (!LogFormatMatches<sizeof...(Args)>(text_, std::array<LogArgKind, sizeof...(Args)>{KindOf<Args>()...}))
            throw "the log format does not match its arguments";
    }
    std::string_view text() const { return text_; }

  private:
    std::string_view text_;
};

// The formatted line: %d and %i print the argument as a signed 32-bit number, %u, %x and %X as an
// unsigned one (as the C library prints a DWORD), the text conversions copy the text.
std::string FormatLogLine(std::string_view format, std::span<const LogArg> args);

} // namespace zelhart::setup
