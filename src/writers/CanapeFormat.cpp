#include "writers/CanapeFormat.h"

#include <charconv>
#include <cstdint>

#include "writers/NumberText.h"

namespace Model {

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

// Limits of an n-bit field. Up to 31 bits the mask is 2^n - 1 (the signed
// range is derived from it); wider fields get their true range, up to the
// 64-bit range, instead of a wrapped 32-bit mask.
void limitsText(std::string& out, std::uint32_t n, std::uint32_t p, bool isSigned) {
    char minText[24];
    char maxText[24];
    std::to_chars_result minEnd{};
    std::to_chars_result maxEnd{};
    if (isSigned) {
        const std::int64_t high =
            n >= 64 ? INT64_MAX : static_cast<std::int64_t>((std::uint64_t{1} << (n - 1)) - 1);
        minEnd = std::to_chars(minText, minText + sizeof minText, -high - 1);
        maxEnd = std::to_chars(maxText, maxText + sizeof maxText, high);
    } else {
        const std::uint64_t mask = n >= 64 ? UINT64_MAX : (std::uint64_t{1} << n) - 1;
        minEnd = std::to_chars(minText, minText + sizeof minText, 0);
        maxEnd = std::to_chars(maxText, maxText + sizeof maxText, mask);
    }
    const std::string_view minimum(minText, static_cast<std::size_t>(minEnd.ptr - minText));
    const std::string_view maximum(maxText, static_cast<std::size_t>(maxEnd.ptr - maxText));
    out += "    \"\" UINT(";
    appendDecimal(out, n);
    out += ',';
    appendDecimal(out, p);
    out += ") \"\" 0 ";
    out += minimum;
    out.append(11, ' ');
    out += maximum;
    out += " (";
    out += minimum;
    out += "  ";
    out += maximum;
    out += ")            CHARACTERISTIC  WEAK_LIMITS ";
    out += minimum;
    out.append(19, ' ');
    out += maximum;
}

}  // namespace

void appendCanapeHeader(std::string& out) {
    out += "VERSION 104 COMMENT \"CANAPE DB\"\r\n";
    out += "GROUP 'QX_Signals' : \"\"\r\n";
    out += "['QX_Signals']\r\n";
}

void appendCanapeLine(std::string& out, const SignalInfo& signal, std::string_view displayName,
                      std::uint32_t bitPosition) {
    out += "VARIABLE 0x0 '";
    const std::size_t quotedStart = out.size() - 1;
    for (char c : displayName) out += (c == '@' || c == ':') ? '_' : c;
    out += "'  ";
    const std::size_t quotedLength = out.size() - quotedStart;
    if (quotedLength < 100) out.append(100 - quotedLength, ' ');
    out += "0x";
    appendHex8(out, signal.address);
    if (signal.bitSize == 0) {
        out += typeRow(signal.size, signal.isSigned);
    } else {
        limitsText(out, static_cast<std::uint32_t>(signal.bitSize), bitPosition, signal.isSigned);
    }
    out += "\r\n";
}

}  // namespace Model
