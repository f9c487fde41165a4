// DriverEntry: the driver object, DebugLevel and the timing tunables of the service key.
#include "contexts.h"
#include "hart_trace.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace zelhart::hartdriver {
namespace {

uint16_t ReadTunable(const Framework& fw, const std::string& registryPath, const char* name,
                     uint32_t defaultValue) {
    uint32_t value = 0;
    if (!NT_SUCCESS(HartUtilRegistryValueGet(fw, registryPath, name, &value))) value = defaultValue;
    return static_cast<uint16_t>(value); // the low 16 bits
}

void PrintBanner() {
    // Printed whenever DebugLevel is non-zero, whatever its bits.
    constexpr uint32_t kAnyCategory = ~static_cast<uint32_t>(HART_TRACE_TIME);
    HartTrace(kAnyCategory, "************************************************************\n\n");
    HartTrace(kAnyCategory, "\t\tHART Driver\n");
#ifdef ZELHART_BUILD_DATE // a reproducible build: SOURCE_DATE_EPOCH's moment (cmake/ZelHart.cmake)
    HartTrace(kAnyCategory, "\t\tBuilt %s %s\n", ZELHART_BUILD_DATE, ZELHART_BUILD_TIME);
#else
    HartTrace(kAnyCategory, "\t\tBuilt %s %s\n", __DATE__, __TIME__);
#endif
    HartTrace(kAnyCategory, "\n************************************************************\n\n");
}

// The service key's values as DriverEntry took them, for a reload to compare with. Written by
// DriverEntry and the reload, both before the loop serves or on its thread.
struct LoadedValue {
    const char* name;
    uint32_t value;
    bool present;
};
std::vector<LoadedValue> g_loaded;

constexpr const char* kTunableNames[] = {"DebugLevel", "HOLD", "GAP", "RT1PRIMARY", "RT1SECONDARY", "RT2", "STO",
                                         "QUIETTIME", "BGTIMESTART", "BGTIMEERROR", "RT1DIFF", "PRE2",
                                         "MISSEDTRANSMITWINDOW", "TIMEINTERVAL"};

// Every tunable as the key holds it now, without tracing the absent ones.
std::optional<std::vector<LoadedValue>> ReadServiceKey(const Framework& fw, const std::string& registryPath) {
    std::unique_ptr<RegistryKey> key;
    if (!NT_SUCCESS(RegistryKey::Open(fw, registryPath, &key))) return std::nullopt;
    std::vector<LoadedValue> values;
    for (const char* name : kTunableNames) {
        uint32_t value = 0;
        bool present = NT_SUCCESS(key->QueryULong(name, &value));
        values.push_back({name, present ? value : 0, present});
    }
    return values;
}

std::string Shown(const LoadedValue& v) {
    if (!v.present) return "(absent)";
    char text[16];
    std::snprintf(text, sizeof(text), std::strcmp(v.name, "DebugLevel") == 0 ? "0x%X" : "%u", v.value);
    return text;
}

} // namespace

std::string ReloadServiceKey(const Framework& fw, const std::string& registryPath) {
    auto now = ReadServiceKey(fw, registryPath);
    if (!now) return {};
    std::string inEffect, waiting;
    for (size_t i = 0; i < now->size(); ++i) {
        const LoadedValue &was = i < g_loaded.size() ? g_loaded[i] : LoadedValue{kTunableNames[i], 0, false},
                          &is = (*now)[i];
        if (was.present == is.present && was.value == is.value) continue;
        std::string change = std::string(is.name) + " " + Shown(was) + " -> " + Shown(is);
        if (i == 0) {
            DebugLevel = is.present ? is.value : 0;
            inEffect = change;
        } else {
            waiting += (waiting.empty() ? "" : ", ") + change;
        }
    }
    // The times stay those the devices were made with until a restart, and are named again at the
    // next reload while they differ.
    if (g_loaded.size() == now->size())
        g_loaded[0] = (*now)[0];
    else
        g_loaded = *now;
    if (inEffect.empty() && waiting.empty()) return "no tunable changed";
    std::string text;
    if (!inEffect.empty()) text = inEffect + " in effect";
    if (!waiting.empty())
        text += (text.empty() ? "" : "; ") + waiting + " read, in effect after a restart (systemctl restart ZelHartDriver)";
    return text;
}

NTSTATUS HartUtilRegistryValueGet(const Framework& fw, const std::string& registryPath, const char* valueName,
                                  uint32_t* value) {
    std::unique_ptr<RegistryKey> key;
    NTSTATUS status = RegistryKey::Open(fw, registryPath, &key);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s HartUtilRegistryValueGet WdfRegistryOpenKey failed! Status 0x%X %s\n",
                  valueName, static_cast<unsigned>(status), registryPath.c_str());
        return status;
    }
    // A REG_DWORD only: a longer value (a 64-bit one) does not fit the 4-byte query, and a string or
    // binary value is no number.
    status = key->QueryULong(valueName, value);
    if (!NT_SUCCESS(status))
        HartTrace(HART_TRACE_ERROR, "HartUtilRegistryValueGet WdfRegistryQueryValue failed! Status 0x%X\n",
                  static_cast<unsigned>(status));
    return status;
}

NTSTATUS DriverEntry(Framework& fw, const std::string& registryPath) {
    HartTrace(HART_TRACE_ENTRY, "%s >>>> \n", __func__);

    DriverConfig config;
    config.EvtDriverDeviceAdd = HartEvtDriverDeviceAdd;
    config.EvtDriverUnload = HartMainEvtDriverUnload;
    WDFDRIVER driver;
    NTSTATUS status =
        Driver::Create(fw, registryPath, ObjectAttributes::WithContext<DRIVER_CONTEXT>(), config, &driver);
    if (!NT_SUCCESS(status)) return status;
    DRIVER_CONTEXT* ctx = DriverGetContext(driver);

    uint32_t level = 0;
    if (!NT_SUCCESS(HartUtilRegistryValueGet(fw, registryPath, "DebugLevel", &level))) level = 0;
    DebugLevel = level;
    if (level != 0) PrintBanner();

    ctx->HOLD = ReadTunable(fw, registryPath, "HOLD", 3);
    ctx->GAP = ReadTunable(fw, registryPath, "GAP", 3);
    ctx->RT1PRIMARY = ReadTunable(fw, registryPath, "RT1PRIMARY", 34);
    ctx->RT1SECONDARY = ReadTunable(fw, registryPath, "RT1SECONDARY", 42);
    ctx->RT2 = ReadTunable(fw, registryPath, "RT2", 8);
    ctx->STO = ReadTunable(fw, registryPath, "STO", 28);
    ctx->QUIETTIME = ReadTunable(fw, registryPath, "QUIETTIME", ctx->RT1PRIMARY);
    ctx->BGTIMESTART = ReadTunable(fw, registryPath, "BGTIMESTART", 298);
    ctx->BGTIMEERROR = ReadTunable(fw, registryPath, "BGTIMEERROR", 296);
    ctx->RT1DIFF = ReadTunable(fw, registryPath, "RT1DIFF", 0);
    ctx->PRE2 = ReadTunable(fw, registryPath, "PRE2", 3);
    ctx->MISSEDTRANSMITWINDOW = ReadTunable(fw, registryPath, "MISSEDTRANSMITWINDOW", 77);
    uint32_t echo = 0;
    if (NT_SUCCESS(HartUtilRegistryValueGet(fw, registryPath, "ECHO", &echo))) {
        if (echo <= static_cast<uint32_t>(datalink::EchoMode::Off))
            ctx->EchoSuppression = static_cast<datalink::EchoMode>(echo);
        else
            HartTrace(HART_TRACE_ERROR, "%s Error: ECHO %u is not 0, 1 or 2; automatic\n", __func__, echo);
    }
    uint32_t interval = 0;
    constexpr int32_t kTimeIntervalDefault = -100000;
    ctx->TIMEINTERVAL = NT_SUCCESS(HartUtilRegistryValueGet(fw, registryPath, "TIMEINTERVAL", &interval))
                            ? static_cast<int32_t>(interval)
                            : kTimeIntervalDefault;
    g_loaded = ReadServiceKey(fw, registryPath).value_or(std::vector<LoadedValue>{});

    HartTrace(HART_TRACE_DETAIL,
              "Tunables: HOLD %u GAP %u RT1PRIMARY %u RT1SECONDARY %u RT2 %u STO %u QUIETTIME %u "
              "BGTIMESTART %u BGTIMEERROR %u RT1DIFF %u PRE2 %u MISSEDTRANSMITWINDOW %u TIMEINTERVAL %d\n",
              ctx->HOLD, ctx->GAP, ctx->RT1PRIMARY, ctx->RT1SECONDARY, ctx->RT2, ctx->STO, ctx->QUIETTIME,
              ctx->BGTIMESTART, ctx->BGTIMEERROR, ctx->RT1DIFF, ctx->PRE2, ctx->MISSEDTRANSMITWINDOW,
              ctx->TIMEINTERVAL);

    status = Collection<WDFDEVICE>::Create(&ctx->HartDevices);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s WdfCollectionCreate Failed! Status: 0x%X\n", __func__,
                  static_cast<unsigned>(status));
        return status;
    }
    status = WaitLock::Create(&ctx->HartDevicesLock);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s WdfWaitLockCreate Failed! Status: 0x%X\n", __func__,
                  static_cast<unsigned>(status));
        return status;
    }
    HartTrace(HART_TRACE_ENTRY, "%s <<<< \n", __func__);
    return STATUS_SUCCESS;
}

void HartMainEvtDriverUnload(WDFDRIVER) {
    HartTrace(HART_TRACE_ENTRY, "%s >>>>\n", __func__);
    HartTrace(HART_TRACE_ENTRY, "%s <<<<\n", __func__);
}

} // namespace zelhart::hartdriver
