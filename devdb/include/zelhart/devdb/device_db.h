// The device database: every device node the setup services know, kept in one text file.
//
//   zelhart-device-database 1
//   node ROOT\ZELHARTDRIVER\0000
//   parent HTREE\ROOT\0
//   present 1
//   status 0x0000200b
//   problem 0
//   class {a03641f9-2c4f-43c0-ab95-8eb734ea7071} ZelHartDriver
//   hardwareid ROOT\ZelHartDriver
//   compatibleid ...            (any number of hardwareid, compatibleid, upperfilter lines)
//   upperfilter ZelHartFlt
//   service ZelHartDriver       (the bound function driver; absent: none)
//   driver zelhartdriver.inf_1a2b3c4d ZelHart   (store package and its manufacturer)
//   end 1 9f3c0a5e1b2d4c6f      (node count, FNV-1a 64 of every byte before this line)
//
// The first line names the format and its version; the end line makes a truncated file detectable and
// the checksum a damaged one. Every size is bounded (below). A file that breaks any rule is refused as a
// whole with a reason naming the line; nothing is taken from it.
//
// Writers take the lock file (flock) for the whole read-modify-write and replace the file atomically,
// so readers need no lock and concurrent writers never lose each other's changes.
#pragma once

#include "zelhart/devdb/win32.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::devdb {

inline constexpr char kRootDeviceInstanceId[] = "HTREE\\ROOT\\0";
inline constexpr int kDeviceDatabaseVersion = 1;

inline constexpr size_t kMaxDatabaseBytes = 4 * 1024 * 1024;
inline constexpr size_t kMaxDeviceNodes = 4096;
inline constexpr size_t kMaxDeviceIdLength = 200;   // instance IDs (MAX_DEVICE_ID_LEN)
inline constexpr size_t kMaxHardwareIdLength = 255; // each hardware or compatible ID, filter, service
inline constexpr size_t kMaxIdsPerList = 32;
inline constexpr size_t kMaxClassNameLength = 31; // MAX_CLASS_NAME_LEN with its terminator
inline constexpr size_t kMaxTextLength = 256;       // manufacturer names, package IDs
inline constexpr size_t kMaxTreeDepth = 64;

// Status bits and problem numbers of a device node, with the configuration manager's values.
inline constexpr uint32_t DN_ROOT_ENUMERATED = 0x1;
inline constexpr uint32_t DN_DRIVER_LOADED = 0x2;
inline constexpr uint32_t DN_STARTED = 0x8;
inline constexpr uint32_t DN_NEED_RESTART = 0x100;
inline constexpr uint32_t DN_HAS_PROBLEM = 0x400;
inline constexpr uint32_t DN_DISABLEABLE = 0x2000;
inline constexpr uint32_t CM_PROB_FAILED_INSTALL = 28;

struct DeviceNode {
    std::string instanceId;
    std::string parent = kRootDeviceInstanceId;
    bool present = true;
    uint32_t status = 0;
    uint32_t problem = 0;
    GUID classGuid{};
    std::string className;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::vector<std::string> upperFilters;
    std::string service;       // the bound function driver's service, empty when none
    std::string driverPackage; // the driver store package it was installed from
    std::string manufacturer;  // that driver's manufacturer

    friend bool operator==(const DeviceNode&, const DeviceNode&) = default;
};

struct DeviceDatabase {
    std::vector<DeviceNode> nodes; // in file order, which is the order of siblings

    DeviceNode* Find(std::string_view instanceId);
    const DeviceNode* Find(std::string_view instanceId) const;
    // The present children of `instanceId`, in order.
    std::vector<const DeviceNode*> PresentChildren(std::string_view instanceId) const;
    // Removes the node and every node below it; how many went.
    size_t RemoveSubtree(std::string_view instanceId);
};

// The text form, and back. Parsing checks every rule (format line, keywords, sizes, unique IDs,
// parents that exist, no cycles, the end line's count and checksum); on failure it returns nothing
// and says why in `reason` ("line 7: unknown keyword 'foo'").
std::string SerializeDeviceDatabase(const DeviceDatabase& db);
std::optional<DeviceDatabase> ParseDeviceDatabase(std::string_view text, std::string* reason);

// Reads <state dir>/devices.db without a lock (writers replace it atomically). A missing file (or
// state directory) is an empty database. ERROR_FILE_CORRUPT for a file that breaks the format (the
// reason goes to `reason`), or the error of the read.
DWORD LoadDeviceDatabase(DeviceDatabase* db, std::string* reason = nullptr);

// Called with the file and the reason whenever a damaged database is refused (besides the line on
// standard error), so that a program with a log of its own puts both there. One per process; nullptr
// for none.
using RefusalObserver = void (*)(const std::string& path, const std::string& reason);
void SetDatabaseRefusalObserver(RefusalObserver observer);

// The lock of the state directory. Holding it is what writing needs: it is refused with
// ERROR_ACCESS_DENIED (or ERROR_WRITE_PROTECT on a read-only file system) when the state directory is
// not the caller's to write, which is what "administrator" means to the setup services.
class StateLock {
  public:
    // Creates the state directory when needed, opens the lock file for writing and takes it, waiting
    // at most `timeoutMs` for another writer (then ERROR_LOCK_VIOLATION).
    static DWORD Acquire(StateLock* lock, int timeoutMs = 30000);
    // Only checks that the lock file can be opened for writing (the administrator test).
    static DWORD CheckWriteAccess();

    StateLock() = default;
    StateLock(StateLock&& other) noexcept;
    StateLock& operator=(StateLock&& other) noexcept;
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    ~StateLock();
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// One read-modify-write of the database under the state lock:
//   DeviceDatabaseTransaction t;
//   if (DWORD e = t.Begin()) return e;
//   t.db().nodes.push_back(...);
//   return t.Commit();
// A corrupt database is refused (ERROR_FILE_CORRUPT) and left as it is.
class DeviceDatabaseTransaction {
  public:
    DWORD Begin();
    DeviceDatabase& db() { return db_; }
    DWORD Commit();

  private:
    StateLock lock_;
    DeviceDatabase db_;
};

} // namespace zelhart::devdb
