#include "reader/ElfSymbols.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "reader/LineSource.h"

namespace kestrel::reader {

namespace {

// ELF constants used here.
constexpr unsigned char kElfClass32 = 1, kElfClass64 = 2;
constexpr unsigned char kElfDataLsb = 1, kElfDataMsb = 2;
constexpr std::uint32_t kShtSymtab = 2, kShtStrtab = 3, kShtNobits = 8, kShtDynsym = 11;
constexpr std::uint64_t kShfAlloc = 0x2, kShfExecInstr = 0x4;
constexpr std::uint32_t kShnLoReserve = 0xff00, kShnXIndex = 0xffff;
constexpr unsigned kSttNoType = 0, kSttObject = 1;

// Where the bytes come from: a file (read at offsets) or an image in memory.
// `read` is only called for ranges that lie within `size`.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual bool read(std::uint64_t offset, std::size_t count, char* out) = 0;
    std::uint64_t size = 0;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view image) : image_(image) { size = image.size(); }
    bool read(std::uint64_t offset, std::size_t count, char* out) override {
        if (count != 0) std::memcpy(out, image_.data() + offset, count);
        return true;
    }

private:
    std::string_view image_;
};

class FileSource final : public ByteSource {
public:
    explicit FileSource(std::FILE* file) : file_(file) {}
    // Finds the size; false for a stream that cannot seek and for one that
    // cannot be read (a folder opens on POSIX systems, but gives no bytes).
    bool measure() {
        if (!seek(0, SEEK_END)) return false;
#ifdef _WIN32
        const long long end = _ftelli64(file_);
#else
        const off_t end = ftello(file_);
#endif
        if (end < 0 || !seek(0, SEEK_SET)) return false;
        char probe;
        if (std::fread(&probe, 1, 1, file_) != 1 && std::ferror(file_)) return false;
        size = static_cast<std::uint64_t>(end);
        return true;
    }
    bool read(std::uint64_t offset, std::size_t count, char* out) override {
        if (!seek(offset, SEEK_SET)) return false;
        return std::fread(out, 1, count, file_) == count;
    }

private:
    bool seek(std::uint64_t offset, int whence) {
#ifdef _WIN32
        return _fseeki64(file_, static_cast<long long>(offset), whence) == 0;
#else
        return fseeko(file_, static_cast<off_t>(offset), whence) == 0;
#endif
    }
    std::FILE* file_;
};

struct Section {
    std::uint32_t name = 0;
    std::uint32_t type = 0;
    std::uint64_t flags = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t link = 0;
    std::uint64_t entrySize = 0;
};

class Reader {
public:
    Reader(ByteSource& source, ElfSymbols& result) : in_(source), out_(result) {}

    void run() {
        if (!readHeader() || !readSections() || !readSectionNames()) return;
        countDebugSections();
        readSymbols();
    }

private:
    bool fail(ElfStatus status, std::string what) {
        out_.status = status;
        out_.error = std::move(what);
        out_.objects.clear();
        return false;
    }

    // The range [offset, offset + count) lies within the file.
    bool inFile(std::uint64_t offset, std::uint64_t count) const {
        return offset <= in_.size && count <= in_.size - offset;
    }

    // Reads a range that has been checked with inFile.
    bool fetch(std::uint64_t offset, std::size_t count, char* out, const char* what) {
        if (!in_.read(offset, count, out)) return fail(ElfStatus::CannotOpen, std::string("cannot read ") + what);
        return true;
    }

    std::uint64_t number(const char* p, int bytes) const {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            const auto byte = static_cast<unsigned char>(p[out_.bigEndian ? i : bytes - 1 - i]);
            value = (value << 8) | byte;
        }
        return value;
    }
    std::uint32_t u16(const char* p) const { return static_cast<std::uint32_t>(number(p, 2)); }
    std::uint32_t u32(const char* p) const { return static_cast<std::uint32_t>(number(p, 4)); }
    // A word: 4 bytes in ELF32, 8 in ELF64.
    std::uint64_t word(const char* p) const { return number(p, out_.is64 ? 8 : 4); }

    bool readHeader() {
        char ident[16] = {};
        if (in_.size < 4) return fail(ElfStatus::NotElf, "too short for an ELF file");
        if (!fetch(0, 4, ident, "the ELF header")) return false;
        if (std::memcmp(ident, "\x7f" "ELF", 4) != 0) return fail(ElfStatus::NotElf, "not an ELF file");
        if (!inFile(0, sizeof ident)) return fail(ElfStatus::Truncated, "the ELF identification is cut off");
        if (!fetch(0, sizeof ident, ident, "the ELF header")) return false;
        const auto elfClass = static_cast<unsigned char>(ident[4]);
        const auto data = static_cast<unsigned char>(ident[5]);
        if (elfClass != kElfClass32 && elfClass != kElfClass64)
            return fail(ElfStatus::Unsupported, "unknown ELF class " + std::to_string(elfClass));
        if (data != kElfDataLsb && data != kElfDataMsb)
            return fail(ElfStatus::Unsupported, "unknown ELF byte order " + std::to_string(data));
        out_.is64 = elfClass == kElfClass64;
        out_.bigEndian = data == kElfDataMsb;

        const std::size_t headerSize = out_.is64 ? 64 : 52;
        char h[64];
        if (!inFile(0, headerSize)) return fail(ElfStatus::Truncated, "the ELF header is cut off");
        if (!fetch(0, headerSize, h, "the ELF header")) return false;
        shoff_ = word(h + (out_.is64 ? 40 : 32));
        const char* rest = h + (out_.is64 ? 58 : 46);  // e_shentsize, e_shnum, e_shstrndx
        shentsize_ = u16(rest);
        shnum_ = u16(rest + 2);
        shstrndx_ = u16(rest + 4);
        return true;
    }

    bool readSection(std::uint64_t index, Section& s) {
        char h[64];
        const std::uint64_t at = shoff_ + index * shentsize_;
        if (!fetch(at, shentsize_, h, "a section header")) return false;
        s.name = u32(h);
        s.type = u32(h + 4);
        s.flags = word(h + 8);
        const char* p = h + (out_.is64 ? 24 : 16);
        const int w = out_.is64 ? 8 : 4;
        s.offset = word(p);
        s.size = word(p + w);
        s.link = u32(p + 2 * w);
        s.entrySize = word(p + 2 * w + 8 + w);
        return true;
    }

    bool readSections() {
        if (shoff_ == 0) return true;  // no section headers: nothing to read
        const std::uint32_t expected = out_.is64 ? 64 : 40;
        if (shentsize_ != expected)
            return fail(ElfStatus::Unsupported, "section header size " + std::to_string(shentsize_) + ", expected " +
                                                    std::to_string(expected));
        if (!inFile(shoff_, shentsize_)) return fail(ElfStatus::Truncated, "the section headers lie beyond the end of the file");
        // Many sections: the count and the name-table index are held in
        // section header 0.
        std::uint64_t count = shnum_;
        std::uint64_t names = shstrndx_;
        if (count == 0 || names == kShnXIndex) {
            Section first;
            if (!readSection(0, first)) return false;
            if (count == 0) count = first.size;
            if (names == kShnXIndex) names = first.link;
        }
        if (count > (in_.size - shoff_) / shentsize_)
            return fail(ElfStatus::Truncated, std::to_string(count) + " section headers do not fit in the file");
        sections_.resize(static_cast<std::size_t>(count));
        for (std::uint64_t i = 0; i < count; ++i)
            if (!readSection(i, sections_[static_cast<std::size_t>(i)])) return false;
        if (names >= count && names != 0) return fail(ElfStatus::Malformed, "the section-name table index is out of range");
        shstrndx_ = static_cast<std::uint32_t>(names);
        return true;
    }

    // Reads the contents of section `index` as a string table.
    bool readStrings(std::size_t index, std::string& into, const char* what) {
        const Section& s = sections_[index];
        if (s.type == kShtNobits) return fail(ElfStatus::Malformed, std::string(what) + " has no contents");
        if (!inFile(s.offset, s.size)) return fail(ElfStatus::Truncated, std::string(what) + " lies beyond the end of the file");
        into.resize(static_cast<std::size_t>(s.size));
        return fetch(s.offset, into.size(), into.data(), what);
    }

    // The NUL-terminated string at `offset` of a string table.
    bool stringAt(const std::string& table, std::uint64_t offset, std::string_view& text, const char* what) {
        if (offset >= table.size()) return fail(ElfStatus::Malformed, std::string(what) + " outside its string table");
        const std::size_t end = table.find('\0', static_cast<std::size_t>(offset));
        if (end == std::string::npos) return fail(ElfStatus::Malformed, std::string(what) + " runs off its string table");
        text = std::string_view(table).substr(static_cast<std::size_t>(offset), end - static_cast<std::size_t>(offset));
        return true;
    }

    bool readSectionNames() {
        sectionNames_.resize(sections_.size());
        if (sections_.empty() || shstrndx_ == 0) return true;  // sections without names
        if (!readStrings(shstrndx_, sectionNameTable_, "the section-name table")) return false;
        for (std::size_t i = 0; i < sections_.size(); ++i)
            if (!stringAt(sectionNameTable_, sections_[i].name, sectionNames_[i], "a section name")) return false;
        return true;
    }

    void countDebugSections() {
        for (std::size_t i = 0; i < sections_.size(); ++i) {
            const Section& s = sections_[i];
            if (sectionNames_[i].starts_with(".debug_") && s.type != kShtNobits && inFile(s.offset, s.size)) {
                out_.debugSectionBytes += s.size;
                ++out_.debugSections;
            }
        }
    }

    // The section of the symbol table: .symtab, else .dynsym; the number of
    // sections when there is neither (a stripped file).
    std::size_t symbolTableIndex() {
        std::size_t table = sections_.size();
        for (std::size_t i = 0; i < sections_.size() && table == sections_.size(); ++i)
            if (sections_[i].type == kShtSymtab) table = i;
        for (std::size_t i = 0; i < sections_.size() && table == sections_.size(); ++i)
            if (sections_[i].type == kShtDynsym) {
                table = i;
                out_.dynamicOnly = true;
            }
        return table;
    }

    void readSymbols() {
        const std::size_t table = symbolTableIndex();
        if (table == sections_.size()) return;  // stripped
        out_.hasSymbolTable = true;

        const Section& symtab = sections_[table];
        const std::uint64_t entry = out_.is64 ? 24 : 16;
        if (symtab.entrySize != entry)
            return void(fail(ElfStatus::Malformed, "symbol entry size " + std::to_string(symtab.entrySize) +
                                                       ", expected " + std::to_string(entry)));
        if (symtab.type == kShtNobits || !inFile(symtab.offset, symtab.size))
            return void(fail(ElfStatus::Truncated, "the symbol table lies beyond the end of the file"));
        if (symtab.link == 0 || symtab.link >= sections_.size() || symtab.link == table ||
            sections_[symtab.link].type != kShtStrtab)
            return void(fail(ElfStatus::Malformed, "the symbol table links to no string table"));
        std::string strings;
        if (!readStrings(symtab.link, strings, "the symbol-name table")) return;
        std::string symbols(static_cast<std::size_t>(symtab.size), '\0');
        if (!fetch(symtab.offset, symbols.size(), symbols.data(), "the symbol table")) return;

        const std::size_t count = symbols.size() / entry;
        for (std::size_t i = 1; i < count; ++i) {  // entry 0 is the null symbol
            const char* p = symbols.data() + i * entry;
            const std::uint32_t nameOffset = u32(p);
            unsigned info;
            std::uint32_t sectionIndex;
            std::uint64_t value, size;
            if (out_.is64) {
                info = static_cast<unsigned char>(p[4]);
                sectionIndex = u16(p + 6);
                value = number(p + 8, 8);
                size = number(p + 16, 8);
            } else {
                value = u32(p + 4);
                size = u32(p + 8);
                info = static_cast<unsigned char>(p[12]);
                sectionIndex = u16(p + 14);
            }
            // Symbols of sections with an extended index (SHN_XINDEX) are in
            // files of more than 65280 sections only; they are not read.
            if (size == 0 || sectionIndex == 0 || sectionIndex >= kShnLoReserve || sectionIndex >= sections_.size())
                continue;
            const std::uint64_t flags = sections_[sectionIndex].flags;
            const unsigned type = info & 0xf;
            if ((flags & kShfAlloc) == 0 ||
                (type != kSttObject && (type != kSttNoType || (flags & kShfExecInstr) != 0)))
                continue;
            std::string_view name;
            if (!stringAt(strings, nameOffset, name, "a symbol name")) return;
            ElfDataSymbol symbol;
            symbol.name.assign(name);
            symbol.address = value;
            symbol.size = size;
            symbol.section.assign(sectionNames_[sectionIndex]);
            symbol.binding = static_cast<std::uint8_t>(info >> 4);
            symbol.type = static_cast<std::uint8_t>(type);
            out_.objects.push_back(std::move(symbol));
        }
    }

    ByteSource& in_;
    ElfSymbols& out_;
    std::uint64_t shoff_ = 0;
    std::uint32_t shentsize_ = 0;
    std::uint32_t shnum_ = 0;
    std::uint32_t shstrndx_ = 0;
    std::vector<Section> sections_;
    std::string sectionNameTable_;
    std::vector<std::string_view> sectionNames_;
};

ElfSymbols readFrom(ByteSource& source) {
    ElfSymbols result;
    try {
        Reader(source, result).run();
    } catch (const std::bad_alloc&) {
        result = ElfSymbols{};
        result.status = ElfStatus::OutOfMemory;
        result.error = "not enough memory for the symbol table";
    }
    return result;
}

}  // namespace

ElfSymbols parseElfSymbols(std::string_view image) {
    MemorySource source(image);
    return readFrom(source);
}

ElfSymbols readElfSymbols(const std::string& fileName) {
    ElfSymbols result;
    std::FILE* f = openForReading(fileName);
    if (f == nullptr) {
        result.status = ElfStatus::CannotOpen;
        result.error = std::strerror(errno);
        return result;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f, &std::fclose);
    FileSource source(f);
    if (!source.measure()) {
        result.status = ElfStatus::CannotOpen;
        result.error = "not a file that can be read at offsets";
        return result;
    }
    return readFrom(source);
}

}  // namespace kestrel::reader
