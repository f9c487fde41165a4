#include "zelhart/setupapi/winbase.h"

#include "fs_util.h"
#include "handles.h"
#include "zelhart/setupapi/newdev.h"
#include "zelhart/devdb/sysroot.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace zelhart::setupapi {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

// Bounds of a directory search.
constexpr size_t kMaxSearchEntries = 10000;

struct Search {
    std::vector<std::pair<std::string, DWORD>> entries; // name, attributes
    size_t next = 0;
};

detail::HandleTable<Search>& Searches() {
    static detail::HandleTable<Search> table;
    return table;
}

bool MatchNoCase(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || detail::AsciiLower(pattern[p]) == detail::AsciiLower(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::pair<std::string, std::string> SplitPath(std::string_view path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return {".", std::string(path)};
    return {slash == 0 ? "/" : std::string(path.substr(0, slash)), std::string(path.substr(slash + 1))};
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

// The names in `dir` that match `pattern`; an error when the directory cannot be read.
DWORD ListMatching(const std::string& dir, std::string_view pattern, std::vector<std::pair<std::string, DWORD>>* out) {
    std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
    if (!d) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : detail::Win32FromErrno(errno);
    while (dirent* e = ::readdir(d.get())) {
        std::string_view name = e->d_name;
        if (name == "." || name == ".." || name.size() >= MAX_PATH) continue;
        if (!MatchNoCase(pattern, name)) continue;
        if (out->size() >= kMaxSearchEntries) return ERROR_NOT_ENOUGH_MEMORY;
        out->emplace_back(std::string(name), e->d_type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL);
    }
    std::sort(out->begin(), out->end(),
              [](const auto& a, const auto& b) { return detail::AsciiLower(a.first) < detail::AsciiLower(b.first); });
    return ERROR_SUCCESS;
}

void Fill(const std::pair<std::string, DWORD>& entry, WIN32_FIND_DATAW* data) {
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = entry.second;
    std::memcpy(data->cFileName, entry.first.data(), entry.first.size());
}

constexpr uintptr_t kDesktopWindow = 0x10010;
constexpr uintptr_t kNewdevModule = 0x7E570000;

} // namespace

namespace detail {
uintptr_t NextHandleValue() {
    static std::atomic<uintptr_t> next{0x1000};
    return next.fetch_add(4);
}
} // namespace detail

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

UINT GetWindowsDirectoryW(char* buffer, UINT size) {
    std::string dir = StateDir();
    if (dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

HANDLE FindFirstFileW(const char* pattern, WIN32_FIND_DATAW* data) {
    if (!pattern || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto [dir, namePattern] = SplitPath(pattern);
    auto search = std::make_unique<Search>();
    if (DWORD error = ListMatching(dir, namePattern, &search->entries); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (search->entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Fill(search->entries[0], data);
    search->next = 1;
    return Searches().Add(std::move(search));
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
    Search* search = Searches().Get(find);
    if (!search || !data) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (search->next >= search->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    Fill(search->entries[search->next++], data);
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    if (Searches().Remove(find)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL DeleteFileW(const char* path) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (::unlink(path) == 0) return TRUE;
    int error = errno;
    if (error == ENOENT) {
        auto [dir, name] = SplitPath(path);
        std::vector<std::pair<std::string, DWORD>> same;
        if (name.find_first_of("*?") == std::string::npos && ListMatching(dir, name, &same) == ERROR_SUCCESS &&
            same.size() == 1) {
            std::string actual = (dir == "/" ? "" : dir) + "/" + same[0].first;
            if (::unlink(actual.c_str()) == 0) return TRUE;
            error = errno;
        }
    }
    SetLastError(detail::Win32FromErrno(error));
    return FALSE;
}

void OutputDebugStringW(const char* text) {
    if (!text) return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

HWND FindWindowW(const char* /*className*/, const char* /*windowName*/) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
}

HWND GetDesktopWindow() { return reinterpret_cast<HWND>(kDesktopWindow); }

BOOL SetWindowPos(HWND window, HWND, int, int, int, int, UINT) {
    if (window == GetDesktopWindow()) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

HMODULE LoadLibraryW(const char* name) {
    if (name && (detail::EqualsNoCase(name, "newdev.dll") || detail::EqualsNoCase(name, "newdev")))
        return reinterpret_cast<HMODULE>(kNewdevModule);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    if (module != reinterpret_cast<HMODULE>(kNewdevModule)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (name && std::string_view(name) == "InstallSelectedDriver")
        return reinterpret_cast<FARPROC>(&InstallSelectedDriver);
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    if (module == reinterpret_cast<HMODULE>(kNewdevModule)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

HRESULT CLSIDFromString(const char* text, GUID* guid) {
    std::string_view t = text ? text : "";
    if (t.size() != 38 || t.front() != '{' || t.back() != '}') return CO_E_CLASSSTRING;
    auto parsed = platform::ParseGuid(t);
    if (!parsed) return CO_E_CLASSSTRING;
    *guid = *parsed;
    return NOERROR;
}

} // namespace zelhart::setupapi
