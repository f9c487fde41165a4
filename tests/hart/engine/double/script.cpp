#include "script.h"

#include <bit>
#include <charconv>
#include <string>

namespace hartdouble {
namespace {

std::vector<std::string_view> Split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find(sep, start);
        if (end == std::string_view::npos) end = s.size();
        parts.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::vector<std::string_view> Words(std::string_view s) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r'))
            ++i;
        size_t start = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != '\r')
            ++i;
        if (i > start) words.push_back(s.substr(start, i - start));
    }
    return words;
}

template <typename T> bool Number(std::string_view s, T& value, int base = 10) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    return ec == std::errc() && p == s.data() + s.size();
}

bool Number(std::string_view s, float& value) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && p == s.data() + s.size();
}

void BigEndian(uint32_t v, int bytes, std::vector<uint8_t>& out) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(uint8_t(v >> (8 * i)));
}

// One DATA token onto `out`.
bool DataToken(std::string_view t, std::vector<uint8_t>& out) {
    auto colon = t.find(':');
    if (colon == std::string_view::npos) {
        uint8_t b = 0;
        if (t.size() != 2 || !Number(t, b, 16)) return false;
        out.push_back(b);
        return true;
    }
    std::string_view kind = t.substr(0, colon), value = t.substr(colon + 1);
    if (kind == "f") {
        float f = 0;
        if (!Number(value, f)) return false;
        BigEndian(std::bit_cast<uint32_t>(f), 4, out);
    } else if (kind == "u8" || kind == "u24" || kind == "u32") {
        uint32_t v = 0;
        if (!Number(value, v)) return false;
        BigEndian(v, kind == "u8" ? 1 : kind == "u24" ? 3 : 4, out);
    } else if (kind == "i16") {
        int32_t v = 0;
        if (!Number(value, v)) return false;
        BigEndian(uint32_t(v), 2, out);
    } else if (kind == "a8" || kind == "a16" || kind == "a32") {
        auto packed = Packed(value, kind == "a8" ? 8 : kind == "a16" ? 16 : 32);
        out.insert(out.end(), packed.begin(), packed.end());
    } else {
        return false;
    }
    return true;
}

bool Data(const std::vector<std::string_view>& w, size_t from, std::vector<uint8_t>& out) {
    for (size_t i = from; i < w.size(); ++i)
        if (!DataToken(w[i], out)) return false;
    return true;
}

// "RC STATUS DATA..." starting at w[from].
bool Answer(const std::vector<std::string_view>& w, size_t from, Item& item) {
    return w.size() >= from + 2 && Number(w[from], item.code) && Number(w[from + 1], item.status) &&
           Data(w, from + 2, item.bytes);
}

bool ParseItem(std::string_view text, Item& item) {
    auto w = Words(text);
    if (w.empty()) return false;
    const std::string_view k = w[0];
    if (k == "answer") return item.kind = Item::Kind::Answer, Answer(w, 1, item);
    if (k == "burst") return item.kind = Item::Kind::Burst, Answer(w, 1, item);
    if (k == "badcheck") return item.kind = Item::Kind::BadCheck, Answer(w, 1, item);
    if (k == "other")
        return item.kind = Item::Kind::Other,
               w.size() > 1 && Number(w[1], item.command) && Answer(w, 2, item);
    if (k == "raw") return item.kind = Item::Kind::Raw, Data(w, 1, item.bytes);
    if (k == "length")
        return item.kind = Item::Kind::Length,
               w.size() > 1 && Number(w[1], item.length) && Data(w, 2, item.bytes);
    if (k == "fail") return item.kind = Item::Kind::Fail, w.size() == 2 && Number(w[1], item.error);
    if (k == "standing") return item.kind = Item::Kind::Standing, w.size() == 1;
    if (k == "delay")
        return item.kind = Item::Kind::Delay, w.size() == 2 && Number(w[1], item.delay) && item.delay >= 0;
    return false;
}

bool ParseLine(std::string_view line, Script& s) {
    if (auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    auto w = Words(line);
    if (w.empty()) return true;
    const std::string_view k = w[0];
    if (k == "open" || k == "configure" || k == "write" || k == "close") {
        int& target = k == "open"        ? s.openResult
                      : k == "configure" ? s.configureResult
                      : k == "write"     ? s.writeResult
                                         : s.closeResult;
        return w.size() == 2 && Number(w[1], target);
    }
    if (k == "index") return w.size() == 2 && Number(w[1], s.index);
    if (k == "reply") {
        Item item;
        int cmd = 0;
        if (w.size() < 2 || !Number(w[1], cmd) || !Answer(w, 2, item)) return false;
        s.standing[cmd] = std::move(item);
        return true;
    }
    if (k == "step") {
        Step step;
        std::string_view rest = line.substr(line.find("step") + 4);
        for (std::string_view part : Split(rest, '|')) {
            auto words = Words(part);
            if (words.empty() || (words.size() == 1 && words[0] == "silence")) continue;
            Item item;
            if (!ParseItem(part, item)) return false;
            step.push_back(std::move(item));
        }
        s.steps.push_back(std::move(step));
        return true;
    }
    return false;
}

} // namespace

int ParseScript(std::string_view text, Script& out) {
    int number = 0;
    for (std::string_view line : Split(text, '\n')) {
        ++number;
        if (!ParseLine(line, out)) return number;
    }
    return 0;
}

std::vector<uint8_t> Packed(std::string_view text, size_t chars) {
    std::vector<uint8_t> out(chars * 3 / 4, 0);
    uint32_t bits = 0;
    int have = 0;
    size_t o = 0;
    for (size_t i = 0; i < chars; ++i) {
        char c = i < text.size() ? text[i] : ' ';
        if (c == '_') c = ' ';
        if (c >= 'a' && c <= 'z') c = char(c - 32);
        bits = (bits << 6) | (uint8_t(c) & 0x3F);
        have += 6;
        while (have >= 8) {
            out[o++] = uint8_t(bits >> (have - 8));
            have -= 8;
        }
    }
    return out;
}

} // namespace hartdouble
