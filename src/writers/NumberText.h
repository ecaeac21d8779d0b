// Small number formatters for the output texts (no locale, no allocation).
#pragma once

#include <charconv>
#include <cstdint>
#include <string>

namespace Model {

// Lowercase hexadecimal, zero-padded to 8 digits.
inline void appendHex8(std::string& out, std::uint32_t value) {
    static constexpr char digits[] = "0123456789abcdef";
    char text[8];
    for (int i = 7; i >= 0; --i) {
        text[i] = digits[value & 0xFu];
        value >>= 4;
    }
    out.append(text, 8);
}

template <class Integer>
void appendDecimal(std::string& out, Integer value) {
    char text[24];
    auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

// Appends `text` and pads it with spaces on the right to `width` characters.
inline void appendPadded(std::string& out, std::string_view text, std::size_t width) {
    out += text;
    if (text.size() < width) out.append(width - text.size(), ' ');
}

}  // namespace Model
