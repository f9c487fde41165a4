#include "driver_store.h"

#include "fs_util.h"
#include "zelhart/devdb/device_db.h"
#include "zelhart/devdb/sysroot.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>

namespace zelhart::setupapi::detail {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxPnfBytes = 4096;
constexpr int kMaxOemNumber = 9999;

uint32_t Fnv1a32(std::string_view bytes) {
    uint32_t h = 0x811c9dc5u;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x01000193u;
    }
    return h;
}

std::string StoredName(std::string_view originalName) {
    std::string name = AsciiLower(originalName);
    for (char& c : name)
        if (c <= ' ' || c > '~' || c == ',' || c == '/') c = '_';
    return name;
}

// The number of "oem<N>.inf" (any letter case), or -1.
int OemNumber(std::string_view name) {
    if (name.size() < 8 || !StartsWithNoCase(name, "oem") || !EqualsNoCase(name.substr(name.size() - 4), ".inf")) return -1;
    std::string_view digits = name.substr(3, name.size() - 7);
    int n = -1;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec != std::errc() || end != digits.data() + digits.size() || n < 0 || n > kMaxOemNumber) return -1;
    return n;
}

std::string PnfPathOf(const std::string& infPath) {
    return infPath.size() >= 4 ? infPath.substr(0, infPath.size() - 4) + ".pnf" : infPath + ".pnf";
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string BaseName(std::string_view path) {
    auto slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string PackageIdFor(std::string_view originalName, std::string_view content) {
    char hash[9];
    std::snprintf(hash, sizeof(hash), "%08x", Fnv1a32(content));
    return StoredName(originalName) + "_" + hash;
}

std::string StoredInfPath(const std::string& id) {
    auto underscore = id.find_last_of('_');
    return DriverStoreDir() + "/" + id + "/" + id.substr(0, underscore);
}

std::optional<StoredPackage> LoadStoredPackage(const std::string& id) {
    if (!IsDeviceIdText(id, kMaxTextLength) || id.find('/') != std::string::npos || id.find('_') == std::string::npos)
        return std::nullopt;
    StoredPackage p{id, StoredInfPath(id), {}, {}};
    if (ReadInfFile(p.infPath, &p.inf, nullptr) != ERROR_SUCCESS) return std::nullopt;
    if (DescribeDriverPackage(p.inf, &p.description, nullptr) != ERROR_SUCCESS) return std::nullopt;
    return p;
}

std::vector<StoredPackage> ListStoredPackages() {
    std::vector<std::string> ids;
    std::error_code ec;
    for (fs::directory_iterator it(DriverStoreDir(), ec), end; !ec && it != end; it.increment(ec))
        ids.push_back(it->path().filename().string());
    std::sort(ids.begin(), ids.end());
    std::vector<StoredPackage> packages;
    for (const std::string& id : ids)
        if (auto p = LoadStoredPackage(id)) packages.push_back(std::move(*p));
    return packages;
}

DWORD AddToStore(std::string_view originalName, std::string_view content, bool repair, std::string* id) {
    *id = PackageIdFor(originalName, content);
    std::string dir = DriverStoreDir() + "/" + *id;
    if (IsDirectory(dir) && !repair && LoadStoredPackage(*id)) return ERROR_SUCCESS;
    if (DWORD e = MakeDirectories(dir)) return e;
    return ReplaceFileAtomically(StoredInfPath(*id), content);
}

DWORD RemoveFromStore(const std::string& id) { return RemoveTree(DriverStoreDir() + "/" + id); }

std::vector<std::string> ListOemInfs() {
    std::vector<std::pair<int, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it(OemInfDir(), ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (int n = OemNumber(name); n >= 0) found.emplace_back(n, OemInfDir() + "/" + name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found)
        paths.push_back(std::move(f.second));
    return paths;
}

DWORD ReadPnf(const std::string& oemInfPath, PnfInfo* out) {
    std::string text;
    DWORD e = ReadWholeFile(PnfPathOf(oemInfPath), kMaxPnfBytes, &text);
    if (e == ERROR_INVALID_DATA) return ERROR_FILE_CORRUPT;
    if (e != ERROR_SUCCESS) return e;
    PnfInfo info;
    size_t pos = 0;
    for (int lineNo = 0; pos < text.size(); ++lineNo) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) return ERROR_FILE_CORRUPT;
        std::string_view line(text.data() + pos, eol - pos);
        pos = eol + 1;
        if (lineNo == 0) {
            if (line != "zelhart-pnf 1") return ERROR_FILE_CORRUPT;
        } else if (line.starts_with("original ")) {
            info.originalName = line.substr(9);
        } else if (line.starts_with("package ")) {
            info.packageId = line.substr(8);
        } else {
            return ERROR_FILE_CORRUPT;
        }
    }
    if (info.originalName.empty() || info.originalName.size() >= MAX_PATH ||
        !IsDeviceIdText(info.packageId, kMaxTextLength))
        return ERROR_FILE_CORRUPT;
    for (unsigned char c : info.originalName)
        if (c < 0x20 || c == '/') return ERROR_FILE_CORRUPT;
    *out = std::move(info);
    return ERROR_SUCCESS;
}

DWORD PublishOemInf(const std::string& id, std::string_view originalName, std::string_view content,
                    std::string* oemInfPath) {
    std::vector<bool> used(kMaxOemNumber + 1, false);
    for (const std::string& path : ListOemInfs()) {
        PnfInfo pnf;
        if (ReadPnf(path, &pnf) == ERROR_SUCCESS && pnf.packageId == id) {
            *oemInfPath = path;
            return ERROR_SUCCESS;
        }
        used[static_cast<size_t>(OemNumber(BaseName(path)))] = true;
    }
    if (DWORD e = MakeDirectories(OemInfDir())) return e;
    int n = 0;
    while (n <= kMaxOemNumber && (used[static_cast<size_t>(n)] ||
                                  fs::exists(OemInfDir() + "/oem" + std::to_string(n) + ".pnf")))
        ++n;
    if (n > kMaxOemNumber) return ERROR_DISK_FULL;
    std::string path = OemInfDir() + "/oem" + std::to_string(n) + ".inf";
    std::string pnf = "zelhart-pnf 1\noriginal " + std::string(originalName) + "\npackage " + id + "\n";
    // The PNF first: an INF without its PNF would lose its original name.
    if (DWORD e = ReplaceFileAtomically(PnfPathOf(path), pnf)) return e;
    if (DWORD e = ReplaceFileAtomically(path, content)) return e;
    *oemInfPath = path;
    return ERROR_SUCCESS;
}

DWORD RemoveOemInfsOf(const std::string& id) {
    DWORD first = ERROR_SUCCESS;
    for (const std::string& path : ListOemInfs()) {
        PnfInfo pnf;
        if (ReadPnf(path, &pnf) != ERROR_SUCCESS || pnf.packageId != id) continue;
        for (const std::string& file : {path, PnfPathOf(path)}) {
            std::error_code ec;
            fs::remove(file, ec);
            if (ec && first == ERROR_SUCCESS) first = Win32FromErrno(ec.value());
        }
    }
    return first;
}

DWORD ResolvePackage(const std::string& infPath, std::string* id) {
    std::string content;
    DWORD e = ReadWholeFile(infPath, kMaxInfBytes, &content);
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_ACCESS_DENIED) return e;
    std::string store = DriverStoreDir() + "/";
    if (infPath.starts_with(store)) {
        std::string rest = infPath.substr(store.size());
        std::string candidate = rest.substr(0, rest.find('/'));
        if (rest.find('/') != std::string::npos && LoadStoredPackage(candidate)) {
            *id = candidate;
            return ERROR_SUCCESS;
        }
    }
    if (PnfInfo pnf; ReadPnf(infPath, &pnf) == ERROR_SUCCESS && LoadStoredPackage(pnf.packageId)) {
        *id = pnf.packageId;
        return ERROR_SUCCESS;
    }
    if (e == ERROR_SUCCESS) {
        std::string candidate = PackageIdFor(BaseName(infPath), content);
        if (LoadStoredPackage(candidate)) {
            *id = candidate;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_DRIVER_PACKAGE_NOT_IN_STORE;
}

} // namespace zelhart::setupapi::detail
