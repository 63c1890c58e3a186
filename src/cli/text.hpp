#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velunda::cli {

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD, so that a message quoting a
// line's bytes stays valid UTF-8 (and JSON) whatever the line held. Well-formed text is returned
// as it is.
inline std::string valid_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char lead = byte(at);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        std::size_t good = length == 0 ? 0 : 1;
        while (good < length && at + good < text.size()) {
            const unsigned char next = byte(at + good);
            const bool fits = good == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
            if (!fits) break;
            ++good;
        }
        if (length != 0 && good == length) {
            out.append(text.substr(at, length));
            at += length;
        } else {
            out += "\xEF\xBF\xBD";  // one replacement for the maximal ill-formed prefix
            at += good == 0 ? 1 : good;
        }
    }
    return out;
}

// For standard error: valid UTF-8 with every control character (C0, DEL and C1) written as an
// escape (\x1b, \u009b), so that no byte of an input can steer the terminal.
inline std::string printable(std::string_view text) {
    constexpr char hex[] = "0123456789abcdef";
    const std::string valid = valid_utf8(text);
    std::string out;
    out.reserve(valid.size());
    for (std::size_t at = 0; at < valid.size(); ++at) {
        const auto byte = static_cast<unsigned char>(valid[at]);
        const auto next = at + 1 < valid.size() ? static_cast<unsigned char>(valid[at + 1]) : 0;
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            out += "\\u00";
            out += hex[next >> 4];
            out += hex[next & 0xF];
            ++at;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

}  // namespace velunda::cli
