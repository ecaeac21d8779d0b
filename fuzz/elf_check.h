// The checks on one reading of an ELF image, as the ELF fuzz target and the
// corpus replay test run them. Header-only, like pipeline.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reader/ElfSymbols.h"

namespace kestrel::fuzzing {

using reader::ElfSymbols;
using reader::ElfDataSymbol;
using reader::parseElfSymbols;

// Reads `image` and returns what is wrong with the result; empty when every
// check held.
inline std::string checkElfImage(std::string_view image, ElfSymbols* result = nullptr) {
    const ElfSymbols symbols = parseElfSymbols(image);
    if (result != nullptr) *result = symbols;
    if (!symbols.ok()) {
        if (symbols.error.empty()) return "an error result without a message";
        if (!symbols.objects.empty()) return "an error result with symbols";
        return {};
    }
    if (!symbols.error.empty()) return "a message on a good result";
    // Every symbol takes a 16-byte entry of the file at least.
    if (symbols.objects.size() > image.size() / 16) return "more symbols than the file can hold";
    // Each counted section lies in the file; sections may overlap, so only
    // each one on its own is bounded by the file.
    if (symbols.debugSectionBytes > std::uint64_t{image.size()} * symbols.debugSections)
        return "debugging sections larger than the file";
    if (!symbols.hasSymbolTable && !symbols.objects.empty()) return "symbols without a symbol table";
    for (const ElfDataSymbol& s : symbols.objects) {
        if (s.size == 0) return "a data symbol of size 0";
        if (s.name.size() >= image.size() || s.section.size() >= image.size()) return "a name longer than the file";
        if (s.binding > 15) return "a binding out of range";
    }
    return {};
}

}  // namespace kestrel::fuzzing
