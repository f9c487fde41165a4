// The driver store and the OEM INF directory. Callers that change them hold the state lock.
//
// A package lives in <store>/<id>/<name>, where <name> is the INF's original file name in lower case
// (blanks as '_') and <id> is "<name>_<FNV-1a 32 of its content>", so the same INF installed twice is
// one package and a changed INF of the same name is another. Each package has one OEM copy
// <inf dir>/oem<N>.inf beside its oem<N>.pnf, which records the original name and the package:
//   zelhart-pnf 1
//   original ZelHartDriver.inf
//   package zelhartdriver.inf_1a2b3c4d
#pragma once

#include "zelhart/setupapi/inf_file.h"
#include "zelhart/setupapi/win32.h"

#include <optional>
#include <string>
#include <vector>

namespace zelhart::setupapi::detail {

struct StoredPackage {
    std::string id;
    std::string infPath;
    InfFile inf;
    InfDriverPackage description;
};

// Every package of the store whose INF reads as a driver package, in ID order.
std::vector<StoredPackage> ListStoredPackages();
std::optional<StoredPackage> LoadStoredPackage(const std::string& id);

std::string PackageIdFor(std::string_view originalName, std::string_view content);
std::string StoredInfPath(const std::string& id);

// Puts the INF into the store (rewriting it when `repair`); its package ID.
DWORD AddToStore(std::string_view originalName, std::string_view content, bool repair, std::string* id);
DWORD RemoveFromStore(const std::string& id);

struct PnfInfo {
    std::string originalName;
    std::string packageId;
};

// The oem<N>.inf files of the INF directory, by number.
std::vector<std::string> ListOemInfs();
// The .pnf beside an OEM INF; ERROR_FILE_NOT_FOUND without one, ERROR_FILE_CORRUPT for a bad one.
DWORD ReadPnf(const std::string& oemInfPath, PnfInfo* out);
// The OEM copy of a stored package, made when it has none; its path.
DWORD PublishOemInf(const std::string& id, std::string_view originalName, std::string_view content,
                    std::string* oemInfPath);
// Deletes every OEM copy (INF, then PNF) that belongs to the package; the first error, if any.
DWORD RemoveOemInfsOf(const std::string& id);

// The stored package an INF belongs to: a store copy by its directory, an OEM copy by its .pnf, any
// other INF by its name and content. ERROR_FILE_NOT_FOUND when the file is missing,
// ERROR_DRIVER_PACKAGE_NOT_IN_STORE when no package matches.
DWORD ResolvePackage(const std::string& infPath, std::string* id);

std::string BaseName(std::string_view path);

} // namespace zelhart::setupapi::detail
