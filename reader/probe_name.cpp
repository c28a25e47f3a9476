#include "reader/probe_name.h"

#include <cstdint>

namespace thermo::reader {

namespace {

// The code point starting at `at`, and through `at` the position after it; -1 for a sequence
// that is no UTF-8 (a stray continuation byte, a cut one, an overlong form, a surrogate).
std::int32_t nextCodePoint(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    int length = 0;
    std::int32_t point = 0;
    std::int32_t least = 0;
    if (lead < 0x80) {
        ++at;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, point = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, point = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, point = lead & 0x07, least = 0x10000;
    } else {
        return -1;
    }
    if (text.size() - at < static_cast<std::size_t>(length)) return -1;
    for (int i = 1; i < length; ++i) {
        const unsigned char next = byte(at + static_cast<std::size_t>(i));
        if ((next & 0xC0) != 0x80) return -1;
        point = (point << 6) | (next & 0x3F);
    }
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return -1;
    at += static_cast<std::size_t>(length);
    return point;
}

bool isControl(std::int32_t point) { return point < 0x20 || (point >= 0x7F && point <= 0x9F); }

}  // namespace

std::string whyNotAProbeName(std::string_view name) {
    if (name.empty()) return "a name cannot be empty";
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t start = at;
        const std::int32_t point = nextCodePoint(name, at);
        if (point < 0) return "not UTF-8 at byte " + std::to_string(start + 1);
        if (isControl(point)) {
            return "a control character at byte " + std::to_string(start + 1);
        }
    }
    return {};
}

}  // namespace thermo::reader
