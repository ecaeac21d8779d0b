#include "writers/CanapeFormat.h"

#include <charconv>
#include <cstdint>
#include <cstring>

#include "writers/NumberText.h"

namespace kestrel::writers {

namespace {

// The limits texts of the whole-value types, by size and sign. The 64-bit
// rows carry the 32-bit limits; every other size takes the UINT(64) row.
constexpr std::string_view kUint8 =
    "    \"\" UINT(8)    \"\" 0 0                   255                 CHARACTERISTIC       WEAK_LIMITS 0                    255";
constexpr std::string_view kUint16 =
    "    \"\" UINT(16)   \"\" 0 0                   65535               CHARACTERISTIC       WEAK_LIMITS 0                    65535";
constexpr std::string_view kUint32 =
    "    \"\" UINT(32)   \"\" 0 0                   4294967295          CHARACTERISTIC       WEAK_LIMITS 0                    4294967295";
constexpr std::string_view kUint64 =
    "    \"\" UINT(64)   \"\" 0 0                   4294967295          CHARACTERISTIC       WEAK_LIMITS 0                    4294967295";
constexpr std::string_view kInt8 =
    "    \"\" INT(8)     \"\" 0 -128                127                 CHARACTERISTIC       WEAK_LIMITS -128                 127";
constexpr std::string_view kInt16 =
    "    \"\" INT(16)    \"\" 0 -32768              32767               CHARACTERISTIC       WEAK_LIMITS -32768               32767";
constexpr std::string_view kInt32 =
    "    \"\" INT(32)    \"\" 0 -2147483648         2147483647          CHARACTERISTIC       WEAK_LIMITS -2147483648          2147483647";
constexpr std::string_view kInt64 =
    "    \"\" INT(64)    \"\" 0 -2147483648         2147483647          CHARACTERISTIC       WEAK_LIMITS -2147483648          2147483647";

std::string_view typeRow(std::uint32_t size, bool isSigned) {
    switch (size) {
        case 1: return isSigned ? kInt8 : kUint8;
        case 2: return isSigned ? kInt16 : kUint16;
        case 4: return isSigned ? kInt32 : kUint32;
        case 8: return isSigned ? kInt64 : kUint64;
        default: return kUint64;
    }
}

constexpr std::string_view kVariable = "VARIABLE 0x0 '";
constexpr std::string_view kQuoteEnd = "'  ";
constexpr std::size_t kQuotedWidth = 100;  // the quoted name is padded to this

// Pieces of the limits text of a bit field.
constexpr std::string_view kBitsOpen = "    \"\" UINT(";
constexpr std::string_view kBitsType = ") \"\" 0 ";
constexpr std::string_view kBitsGap = "           ";  // 11 spaces
constexpr std::string_view kBitsParen = " (";
constexpr std::string_view kBitsPair = "  ";
constexpr std::string_view kBitsClass = ")            CHARACTERISTIC  WEAK_LIMITS ";
constexpr std::string_view kBitsWeakGap = "                   ";  // 19 spaces

// The limits text of an n-bit field at bit p, written to `out` (large enough
// for any such text: kBitsLimitsMax). Up to 31 bits the mask is 2^n - 1 (the
// signed range is derived from it); wider fields get their true range, up to
// the 64-bit range, instead of a wrapped 32-bit mask.
constexpr std::size_t kNumberMax = 21;  // -9223372036854775808 and more
constexpr std::size_t kBitsLimitsMax = kBitsOpen.size() + 2 * 10 + 1 + kBitsType.size() + 6 * kNumberMax +
                                       kBitsGap.size() + kBitsParen.size() + kBitsPair.size() +
                                       kBitsClass.size() + kBitsWeakGap.size();

char* writeLimits(char* out, std::uint32_t n, std::uint32_t p, bool isSigned) {
    char minText[24];
    char maxText[24];
    char* minEnd = nullptr;
    char* maxEnd = nullptr;
    if (isSigned) {
        const std::int64_t high =
            n >= 64 ? INT64_MAX : static_cast<std::int64_t>((std::uint64_t{1} << (n - 1)) - 1);
        minEnd = std::to_chars(minText, minText + sizeof minText, -high - 1).ptr;
        maxEnd = std::to_chars(maxText, maxText + sizeof maxText, high).ptr;
    } else {
        const std::uint64_t mask = n >= 64 ? UINT64_MAX : (std::uint64_t{1} << n) - 1;
        minEnd = std::to_chars(minText, minText + sizeof minText, 0).ptr;
        maxEnd = std::to_chars(maxText, maxText + sizeof maxText, mask).ptr;
    }
    const std::string_view minimum(minText, static_cast<std::size_t>(minEnd - minText));
    const std::string_view maximum(maxText, static_cast<std::size_t>(maxEnd - maxText));
    out = writeText(out, kBitsOpen);
    out = std::to_chars(out, out + 10, n).ptr;
    *out++ = ',';
    out = std::to_chars(out, out + 10, p).ptr;
    out = writeText(out, kBitsType);
    out = writeText(out, minimum);
    out = writeText(out, kBitsGap);
    out = writeText(out, maximum);
    out = writeText(out, kBitsParen);
    out = writeText(out, minimum);
    out = writeText(out, kBitsPair);
    out = writeText(out, maximum);
    out = writeText(out, kBitsClass);
    out = writeText(out, minimum);
    out = writeText(out, kBitsWeakGap);
    out = writeText(out, maximum);
    return out;
}

}  // namespace

void appendCanapeHeader(std::string& out) {
    out += "VERSION 104 COMMENT \"CANAPE DB\"\r\n";
    out += "GROUP 'QX_Signals' : \"\"\r\n";
    out += "['QX_Signals']\r\n";
}

void appendCanapeLine(std::string& out, const SignalInfo& signal, std::string_view displayName,
                      std::uint32_t bitPosition) {
    // The limits text first, so that the line's length is known.
    char bits[kBitsLimitsMax];
    std::string_view limits;
    if (signal.bitSize == 0) {
        limits = typeRow(signal.size, signal.isSigned);
    } else {
        const char* end = writeLimits(bits, static_cast<std::uint32_t>(signal.bitSize), bitPosition, signal.isSigned);
        limits = std::string_view(bits, static_cast<std::size_t>(end - bits));
    }
    // The quoted name runs from the apostrophe through the two spaces.
    const std::size_t quoted = 1 + displayName.size() + kQuoteEnd.size();
    const std::size_t padding = quoted < kQuotedWidth ? kQuotedWidth - quoted : 0;
    char* p = extend(out, kVariable.size() - 1 + quoted + padding + 2 + 8 + limits.size() + 2);
    p = writeText(p, kVariable);
    for (char c : displayName) *p++ = (c == '@' || c == ':') ? '_' : c;
    p = writeText(p, kQuoteEnd);
    std::memset(p, ' ', padding);
    p += padding;
    *p++ = '0';
    *p++ = 'x';
    p = writeHex8(p, signal.address);
    p = writeText(p, limits);
    p[0] = '\r';
    p[1] = '\n';
}

}  // namespace kestrel::writers
