#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace velunda::codec {

// A string literal usable as a template argument, so that keys and variant names are part of a
// description's type and their JSON text can be rendered at compile time.
template <std::size_t N>
struct FixedString {
    char chars[N]{};
    constexpr FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

// JSON string escaping: `"` and `\` by a backslash, the five short control escapes, every other
// byte below 0x20 as \u00xx; all other bytes unchanged. Usable at compile time and at run time.
constexpr std::size_t quoted_size(std::string_view text) {
    std::size_t size = 2;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') {
            size += 2;
        } else if (byte < 0x20) {
            size += 6;
        } else {
            size += 1;
        }
    }
    return size;
}

constexpr char* write_quoted(char* out, std::string_view text) {
    constexpr char hex[] = "0123456789abcdef";
    *out++ = '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        char escape = 0;
        switch (c) {
            case '"':
                escape = '"';
                break;
            case '\\':
                escape = '\\';
                break;
            case '\b':
                escape = 'b';
                break;
            case '\f':
                escape = 'f';
                break;
            case '\n':
                escape = 'n';
                break;
            case '\r':
                escape = 'r';
                break;
            case '\t':
                escape = 't';
                break;
            default:
                break;
        }
        if (escape != 0) {
            *out++ = '\\';
            *out++ = escape;
        } else if (byte < 0x20) {
            *out++ = '\\';
            *out++ = 'u';
            *out++ = '0';
            *out++ = '0';
            *out++ = hex[byte >> 4];
            *out++ = hex[byte & 0xF];
        } else {
            *out++ = c;
        }
    }
    *out++ = '"';
    return out;
}

// Arrays joined end to end: texts rendered at compile time, and tables made of parts.
template <class T, std::size_t... Sizes>
constexpr std::array<T, (Sizes + ... + 0)> concat(const std::array<T, Sizes>&... parts) {
    std::array<T, (Sizes + ... + 0)> joined{};
    std::size_t at = 0;
    ((std::copy(parts.begin(), parts.end(), joined.begin() + static_cast<std::ptrdiff_t>(at)), at += Sizes), ...);
    return joined;
}

template <char... Chars>
inline constexpr std::array<char, sizeof...(Chars)> chars{Chars...};

// Only ASCII may reach the output, so that the result can become a Python str without decoding.
constexpr bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The JSON string of a name, rendered once at compile time.
template <FixedString Name>
    requires(is_ascii(Name.view()))
inline constexpr auto quoted = [] {
    std::array<char, quoted_size(Name.view())> text{};
    write_quoted(text.data(), Name.view());
    return text;
}();

template <std::size_t N>
constexpr std::string_view view_of(const std::array<char, N>& text) {
    return {text.data(), N};
}

}  // namespace velunda::codec
