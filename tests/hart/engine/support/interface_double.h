// Test-side handle on the interface library double: loads the same file the program loads (so both
// see one instance) and binds its control functions.
#pragma once

#include "../double/interface_double.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <string_view>
#include <vector>

namespace zelhart::hart::testing {

class InterfaceDouble {
  public:
    explicit InterfaceDouble(const std::string& path)
        : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (!handle_) {
            ADD_FAILURE() << "cannot load " << path << ": " << ::dlerror();
            return;
        }
        Bind("hart_double_load_script", load_);
        Bind("hart_double_sent_count", sentCount_);
        Bind("hart_double_sent", sent_);
        Bind("hart_double_calls", calls_);
        Bind("hart_double_last_open_name", openName_);
        Bind("hart_double_last_config", config_);
        Bind("hart_double_queued", queued_);
        Bind("hart_double_is_open", isOpen_);
        Bind("hart_double_last_index", lastIndex_);
        if (load_) load_(""); // a fresh double for every test, even when tests share the process
    }
    ~InterfaceDouble() {
        if (handle_) ::dlclose(handle_);
    }
    InterfaceDouble(const InterfaceDouble&) = delete;
    InterfaceDouble& operator=(const InterfaceDouble&) = delete;

    bool ok() const { return load_ != nullptr; }

    // Resets the double and loads `script`; a script it cannot read fails the test.
    void Load(std::string_view script) {
        std::string text(script);
        int line = load_(text.c_str());
        EXPECT_EQ(line, 0) << "script line " << line << " unreadable:\n" << text;
    }

    // Every request written so far, as the bytes of its record.
    std::vector<std::vector<uint8_t>> Sent() const {
        std::vector<std::vector<uint8_t>> out;
        for (int i = 0, n = sentCount_(); i < n; ++i) {
            HartMessage m{};
            sent_(i, &m);
            out.emplace_back(m.Data, m.Data + std::min<size_t>(m.Length, HART_MESSAGE_DATA_SIZE));
        }
        return out;
    }
    HartMessage SentRecord(int i) const {
        HartMessage m{};
        sent_(i, &m);
        return m;
    }
    int SentCount() const { return sentCount_(); }
    int Calls(const char* name) const { return calls_(name); }
    std::string LastOpenName() const {
        char buffer[64] = {};
        openName_(buffer, sizeof buffer);
        return buffer;
    }
    bool LastConfig(HartConfig& out) const { return config_(&out) == 0; }
    int Queued() const { return queued_(); }
    bool IsOpen() const { return isOpen_() != 0; }
    int LastIndex() const { return lastIndex_(); }

  private:
    template <typename Fn> void Bind(const char* name, Fn& fn) {
        fn = reinterpret_cast<Fn>(::dlsym(handle_, name));
        if (!fn) ADD_FAILURE() << "the double lacks " << name;
    }

    void* handle_;
    int (*load_)(const char*) = nullptr;
    int (*sentCount_)() = nullptr;
    int (*sent_)(int, HartMessage*) = nullptr;
    int (*calls_)(const char*) = nullptr;
    int (*openName_)(char*, int) = nullptr;
    int (*config_)(HartConfig*) = nullptr;
    int (*queued_)() = nullptr;
    int (*isOpen_)() = nullptr;
    int (*lastIndex_)() = nullptr;
};

} // namespace zelhart::hart::testing
