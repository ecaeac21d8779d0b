// Reads the symbol table of an ELF file, independently of the objdump dump:
// the data objects it names (to account for variables that the debugging
// information does not list) and the sizes of the debugging sections (to
// bound what objdump can print about them). ELF32 and ELF64 in either byte
// order. Every offset, size, count and string index of the file is checked
// against the file before it is used, and nothing is allocated for a table
// before its claimed size has been found within the file: a damaged or
// hostile file gives an error result, never a crash or an exception.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::reader {

// A data-object symbol: STT_OBJECT, a non-zero size, defined in a section
// that occupies memory (SHF_ALLOC). Also STT_NOTYPE with a non-zero size in
// such a section that is not executable: arm-none-eabi-gcc 12's startup
// objects (crtbegin) mark their zero-initialised data so (`completed.1`,
// `object.0` in .bss).
struct ElfDataSymbol {
    std::string name;
    std::uint64_t address = 0;  // st_value
    std::uint64_t size = 0;     // st_size
    std::string section;        // name of the section it is defined in
    std::uint8_t binding = 0;   // STB_LOCAL 0, STB_GLOBAL 1, STB_WEAK 2, ...
    std::uint8_t type = 1;      // STT_OBJECT 1, or STT_NOTYPE 0
};

enum class ElfStatus {
    Ok,
    CannotOpen,  // the file cannot be opened or read (a folder, no permission)
    NotElf,      // no ELF identification at the start
    Unsupported, // an ELF class, byte order or header layout this reader does not know
    Truncated,   // a header or table reaches beyond the end of the file
    Malformed,   // an index, link or string offset points outside its table
    OutOfMemory, // the tables fit in the file but not in memory
};

struct ElfSymbols {
    ElfStatus status = ElfStatus::Ok;
    std::string error;  // what went wrong, for a message; empty when status is Ok
    bool is64 = false;
    bool bigEndian = false;
    // False for a stripped file: it has neither .symtab nor .dynsym.
    bool hasSymbolTable = false;
    // Only .dynsym was there (a stripped, dynamically linked file).
    bool dynamicOnly = false;
    std::vector<ElfDataSymbol> objects;  // in symbol-table order
    // The sum of the sizes of the .debug_* sections whose contents lie in
    // the file (a section that claims more than the file holds adds nothing),
    // and how many such sections there are.
    std::uint64_t debugSectionBytes = 0;
    std::uint32_t debugSections = 0;

    bool ok() const { return status == ElfStatus::Ok; }
};

// Reads the file named `fileName` (UTF-8 on every platform).
ElfSymbols readElfSymbols(const std::string& fileName);

// The same for a file image held in memory.
ElfSymbols parseElfSymbols(std::string_view image);

}  // namespace kestrel::reader
