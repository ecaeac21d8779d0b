#include "writers/MapFormat.h"

#include <charconv>

#include "writers/NumberText.h"

namespace kestrel::writers {

namespace {

std::string_view keywordFor(std::uint32_t size, bool isSigned) {
    switch (size) {
        case 1: return isSigned ? "INT8 " : "BYTE ";
        case 2: return isSigned ? "INT16" : "WORD ";
        case 4: return isSigned ? "INT32" : "DWORD";
        case 8: return isSigned ? "INT64" : "QWORD";
        default: return {};
    }
}

constexpr std::string_view kSymbol = "H     SYMBOL  DATA  ";
constexpr std::string_view kUnsupported = "SIZE_NOT_SUPPORTED_";
constexpr std::string_view kGap = "    ";

}  // namespace

void appendMapLine(std::string& out, const SignalInfo& signal, std::string_view displayName) {
    // The keyword, or the unsupported-size text with its number.
    char keyword[kUnsupported.size() + 12];
    std::string_view known = keywordFor(signal.size, signal.isSigned);
    char* keywordEnd = keyword;
    if (known.empty()) {
        keywordEnd = writeText(keyword, kUnsupported);
        keywordEnd = std::to_chars(keywordEnd, keyword + sizeof keyword, signal.size).ptr;
    } else {
        keywordEnd = writeText(keyword, known);
    }
    const std::size_t keywordLength = static_cast<std::size_t>(keywordEnd - keyword);

    char* p = extend(out, 8 + kSymbol.size() + keywordLength + kGap.size() + displayName.size() + 2);
    p = writeHex8(p, signal.address);
    p = writeText(p, kSymbol);
    p = writeText(p, std::string_view(keyword, keywordLength));
    p = writeText(p, kGap);
    p = writeText(p, displayName);
    p[0] = '\r';
    p[1] = '\n';
}

}  // namespace kestrel::writers
