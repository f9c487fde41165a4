// The interface library double: the seven hart_* exports over a scripted transmitter.
#include "interface_double.h"

#include "script.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

namespace {

constexpr size_t kMaxSent = 100000;
constexpr size_t kMaxScriptBytes = 1 << 20;

struct Pending {
    HartMessage record;
    int hold; // reads that find nothing before this record comes out
};

struct State {
    std::mutex mutex;
    hartdouble::Script script;
    std::deque<Pending> queue;
    std::vector<HartMessage> sent;
    std::map<std::string, int> calls;
    std::string lastOpenName;
    HartConfig lastConfig{};
    bool configured = false;
    bool open = false;
    int lastIndex = -1;
};

State& TheState() {
    static State state;
    return state;
}

// Loads $ZELHART_DOUBLE_SCRIPT once, at the first use of the library.
void LoadEnvironmentScript(State& s) {
    static std::once_flag once;
    std::call_once(once, [&] {
        const char* path = std::getenv("ZELHART_DOUBLE_SCRIPT");
        if (!path || !*path) return;
        std::ifstream in(path, std::ios::binary);
        std::string text(kMaxScriptBytes, '\0');
        in.read(text.data(), std::streamsize(text.size()));
        text.resize(size_t(in.gcount()));
        if (!in.eof() && !text.empty()) std::fprintf(stderr, "hart double: %s is too long\n", path);
        if (int line = hartdouble::ParseScript(text, s.script))
            std::fprintf(stderr, "hart double: %s:%d: cannot read this line\n", path, line);
    });
}

std::unique_lock<std::mutex> Enter(const char* name, int index = -1) {
    State& s = TheState();
    std::unique_lock lock(s.mutex);
    LoadEnvironmentScript(s);
    ++s.calls[name];
    if (index >= 0) s.lastIndex = index;
    return lock;
}

bool ValidIndex(uint32_t index) {
    const State& s = TheState();
    return s.open && (index & 0xFFFF) == s.script.index;
}

// Where the parts of a request frame are: after the preamble, the delimiter, 1 or 5 address bytes.
struct RequestView {
    uint8_t delimiter = 0;
    std::vector<uint8_t> address;
    uint8_t command = 0;
};

RequestView View(const HartMessage& m) {
    RequestView v;
    size_t n = std::min<size_t>(m.Length, HART_MESSAGE_DATA_SIZE), p = 0;
    while (p < n && m.Data[p] == 0xFF)
        ++p;
    if (p >= n) return v;
    v.delimiter = m.Data[p];
    const size_t addressLength = (v.delimiter & 0x80) ? 5 : 1;
    if (p + 1 + addressLength >= n) return v;
    v.address.assign(m.Data + p + 1, m.Data + p + 1 + addressLength);
    v.command = m.Data[p + 1 + addressLength];
    return v;
}

HartMessage Record(const std::vector<uint8_t>& bytes, int length) {
    HartMessage r{};
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), HART_MESSAGE_DATA_SIZE), r.Data);
    r.Length = uint16_t(length);
    r.Status = HART_STATUS_SLAVE_REPLY;
    return r;
}

HartMessage Frame(const RequestView& req, uint8_t delimiter, int command, const hartdouble::Item& item,
                  bool spoilCheck) {
    std::vector<uint8_t> f;
    f.push_back(delimiter | (req.delimiter & 0x80));
    if (req.address.empty())
        f.push_back(0);
    else
        f.insert(f.end(), req.address.begin(), req.address.end());
    f.push_back(uint8_t(command));
    f.push_back(uint8_t(2 + item.bytes.size()));
    f.push_back(item.code);
    f.push_back(item.status);
    f.insert(f.end(), item.bytes.begin(), item.bytes.end());
    uint8_t check = 0;
    for (uint8_t b : f)
        check ^= b;
    f.push_back(spoilCheck ? uint8_t(~check) : check);
    HartMessage r = Record(f, int(std::min<size_t>(f.size(), HART_MESSAGE_DATA_SIZE)));
    r.Status = delimiter & 0x07;
    return r;
}

void React(State& s, const HartMessage& request) {
    using Kind = hartdouble::Item::Kind;
    const RequestView req = View(request);
    hartdouble::Step step;
    if (!s.script.steps.empty()) {
        step = std::move(s.script.steps.front());
        s.script.steps.pop_front();
    } else {
        hartdouble::Item standing;
        standing.kind = Kind::Standing;
        step.push_back(standing);
    }
    int hold = 0;
    for (const auto& item : step) {
        const hartdouble::Item* it = &item;
        if (item.kind == Kind::Standing) {
            auto found = s.script.standing.find(req.command);
            if (found == s.script.standing.end()) continue;
            it = &found->second;
        }
        HartMessage r{};
        switch (it->kind) {
        case Kind::Delay:
            hold += it->delay;
            continue;
        case Kind::Answer:
        case Kind::Standing:
            r = Frame(req, 0x06, req.command, *it, false);
            break;
        case Kind::Other:
            r = Frame(req, 0x06, it->command, *it, false);
            break;
        case Kind::Burst:
            r = Frame(req, 0x01, req.command, *it, false);
            break;
        case Kind::BadCheck:
            r = Frame(req, 0x06, req.command, *it, true);
            break;
        case Kind::Raw:
            r = Record(it->bytes, int(std::min<size_t>(it->bytes.size(), HART_MESSAGE_DATA_SIZE)));
            break;
        case Kind::Length:
            r = Record(it->bytes, it->length);
            break;
        case Kind::Fail:
            r = Record({}, 0);
            r.Error = it->error;
            break;
        }
        s.queue.push_back({r, hold});
        hold = 0;
    }
}

} // namespace

extern "C" {

// Variants of the library built with HART_DOUBLE_WITHOUT_<EXPORT> lack that export.
#ifndef HART_DOUBLE_WITHOUT_OPEN
int32_t hart_open(const char* name, uint16_t* index) {
    auto lock = Enter("hart_open");
    State& s = TheState();
    if (!name || !index) return HDRV_INVALID_PARAM;
    s.lastOpenName = name;
    if (s.script.openResult != 0) return s.script.openResult;
    s.open = true;
    s.queue.clear();
    *index = s.script.index;
    return HDRV_SUCCESS;
}
#endif

int32_t hart_configure(uint32_t index, const HartConfig* config) {
    auto lock = Enter("hart_configure", int(index));
    State& s = TheState();
    if (!ValidIndex(index)) return HDRV_INVALID_INDEX;
    if (!config) return HDRV_INVALID_PARAM;
    s.lastConfig = *config;
    s.configured = true;
    return s.script.configureResult;
}

#ifndef HART_DOUBLE_WITHOUT_SUBSCRIBE
int32_t hart_subscribe(uint32_t index, uint32_t) {
    auto lock = Enter("hart_subscribe", int(index));
    return ValidIndex(index) ? HDRV_SUCCESS : HDRV_INVALID_INDEX;
}
#endif

int32_t hart_register(uint32_t index, const AppRegistryInfo*) {
    auto lock = Enter("hart_register", int(index));
    return ValidIndex(index) ? HDRV_SUCCESS : HDRV_INVALID_INDEX;
}

int32_t hart_write(uint32_t index, const HartMessage* request) {
    auto lock = Enter("hart_write", int(index));
    State& s = TheState();
    if (!ValidIndex(index)) return HDRV_INVALID_INDEX;
    if (!request) return HDRV_INVALID_PARAM;
    if (s.sent.size() < kMaxSent) s.sent.push_back(*request);
    if (s.script.writeResult != 0) return s.script.writeResult;
    React(s, *request);
    return HDRV_SUCCESS;
}

int32_t hart_read(uint32_t index, HartMessage* record) {
    auto lock = Enter("hart_read", int(index));
    State& s = TheState();
    if (!ValidIndex(index)) return HDRV_INVALID_INDEX;
    if (!record) return HDRV_INVALID_PARAM;
    if (s.queue.empty()) return HDRV_NO_MESSAGE;
    if (s.queue.front().hold > 0) {
        --s.queue.front().hold;
        return HDRV_NO_MESSAGE;
    }
    *record = s.queue.front().record;
    s.queue.pop_front();
    return HDRV_SUCCESS;
}

#ifndef HART_DOUBLE_WITHOUT_CLOSE
int32_t hart_close(uint32_t index) {
    auto lock = Enter("hart_close", int(index));
    State& s = TheState();
    if (!ValidIndex(index)) return HDRV_FAILURE;
    s.open = false;
    s.queue.clear(); // the library discards a closed device's records
    return s.script.closeResult;
}
#endif

int hart_double_load_script(const char* text) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.script = {};
    s.queue.clear();
    s.sent.clear();
    s.calls.clear();
    s.lastOpenName.clear();
    s.lastConfig = {};
    s.configured = false;
    s.open = false;
    s.lastIndex = -1;
    return text ? hartdouble::ParseScript(text, s.script) : 0;
}

int hart_double_sent_count(void) {
    std::lock_guard lock(TheState().mutex);
    return int(TheState().sent.size());
}

int hart_double_sent(int i, HartMessage* out) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    if (i < 0 || size_t(i) >= s.sent.size() || !out) return -1;
    *out = s.sent[size_t(i)];
    return 0;
}

int hart_double_calls(const char* name) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    auto it = s.calls.find(name ? name : "");
    return it == s.calls.end() ? 0 : it->second;
}

int hart_double_last_open_name(char* buffer, int size) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    if (!buffer || size <= 0) return -1;
    std::snprintf(buffer, size_t(size), "%s", s.lastOpenName.c_str());
    return int(s.lastOpenName.size());
}

int hart_double_last_config(HartConfig* out) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    if (!s.configured || !out) return -1;
    *out = s.lastConfig;
    return 0;
}

int hart_double_queued(void) {
    std::lock_guard lock(TheState().mutex);
    return int(TheState().queue.size());
}

int hart_double_is_open(void) {
    std::lock_guard lock(TheState().mutex);
    return TheState().open ? 1 : 0;
}

int hart_double_last_index(void) {
    std::lock_guard lock(TheState().mutex);
    return TheState().lastIndex;
}

} // extern "C"
