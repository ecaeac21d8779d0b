#include "writers/MapFormat.h"

#include "writers/NumberText.h"

namespace Model {

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

}  // namespace

void appendMapLine(std::string& out, const SignalInfo& signal, std::string_view displayName) {
    appendHex8(out, signal.address);
    out += "H     SYMBOL  DATA  ";
    std::string_view keyword = keywordFor(signal.size, signal.isSigned);
    if (keyword.empty()) {
        out += "SIZE_NOT_SUPPORTED_";
        appendDecimal(out, signal.size);
    } else {
        out += keyword;
    }
    out += "    ";
    out += displayName;
    out += "\r\n";
}

}  // namespace Model
