#include "model/Report.h"

namespace kestrel::model {

std::string aboutEntry(std::string_view text, std::uint32_t offset) {
    std::string line(text);
    if (offset == 0) return line;
    static constexpr char kDigits[] = "0123456789abcdef";
    char hex[8];
    int n = 0;
    do {
        hex[n++] = kDigits[offset & 0xFu];
        offset >>= 4;
    } while (offset != 0);
    line += " (DIE 0x";
    while (n > 0) line += hex[--n];
    line += ')';
    return line;
}

}  // namespace kestrel::model
