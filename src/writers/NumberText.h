// Small number formatters for the output texts (no locale, no allocation).
// The write* forms fill a buffer the caller has made large enough and return
// the end of what they wrote; the append* forms add to a string.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kestrel::writers {

// Lowercase hexadecimal, zero-padded to 8 digits (8 characters).
inline char* writeHex8(char* out, std::uint32_t value) {
    static constexpr char digits[] = "0123456789abcdef";
    for (int i = 7; i >= 0; --i) {
        out[i] = digits[value & 0xFu];
        value >>= 4;
    }
    return out + 8;
}

inline char* writeText(char* out, std::string_view text) {
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

template <class Integer>
void appendDecimal(std::string& out, Integer value) {
    char text[24];
    auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

// Makes room for `length` more characters at the end of `out` and returns
// where they start; the caller writes all of them. The capacity grows
// geometrically.
inline char* extend(std::string& out, std::size_t length) {
    const std::size_t old = out.size();
    if (out.capacity() - old < length) out.reserve(old + (old > length ? old : length));
    out.resize(old + length);
    return out.data() + old;
}

}  // namespace kestrel::writers
