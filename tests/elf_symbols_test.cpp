// The ELF symbol-table reader on real files: a little-endian Cortex-M image,
// a big-endian Cortex-R image (both built here with arm-none-eabi-gcc) and a
// 64-bit host program, each checked against readelf's listing of the same
// file; then damaged copies of each, which must give an error result of the
// right kind and nothing else.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "FirmwareTools.h"
#include "reader/ElfSymbols.h"

namespace {

using namespace firmware;
using kestrel::reader::ElfDataSymbol;
using kestrel::reader::ElfStatus;
using kestrel::reader::ElfSymbols;

// Data of every kind of storage: .bss, .data, .rodata, local, weak, a
// function-static variable, arrays and structures.
const char* const kSource = R"C(
#include <stdint.h>
struct Pair { uint8_t a; uint32_t b; };
uint32_t counter;
int16_t table[12] = {1, 2, 3};
const uint8_t limits[5] = {9, 8, 7, 6, 5};
static volatile uint64_t s_state = 7;
struct Pair pairs[3];
__attribute__((weak)) uint16_t weakValue = 3;
int main(void) {
    static uint32_t calls;
    calls++;
    counter += limits[calls & 3u] + (uint32_t)s_state;
    return table[0] + weakValue + pairs[1].a;
}
)C";

struct Image {
    std::string label;
    std::string build;    // compile command; the source and output are appended
    std::string readelf;  // the readelf that knows the target
    bool is64 = false;
    bool bigEndian = false;
    fs::path file;
    std::string bytes;
    std::string log;
};

// What readelf lists: the data-object symbols of .symtab (the table this
// reader reads first) and the sizes of the .debug_* sections.
struct Reference {
    std::vector<ElfDataSymbol> objects;
    std::uint64_t debugBytes = 0;
};

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::uint64_t number(const std::string& text, int base) {
    return std::stoull(text.rfind("0x", 0) == 0 ? text.substr(2) : text, nullptr, text.rfind("0x", 0) == 0 ? 16 : base);
}

Reference readelfReference(const Image& image, std::string& problem) {
    Reference ref;
    const fs::path out = image.file.string() + ".readelf";
    if (!run(image.readelf + " -SW -sW " + quoted(image.file), out)) {
        problem = "readelf failed: " + readFile(out);
        return ref;
    }
    // Sections: "  [ 3] .data  PROGBITS  addr off size ES [Flg] Lk Inf Al".
    std::vector<std::string> names(1);
    std::vector<bool> alloc(1), exec(1);
    bool inSymtab = false;
    for (const std::string& line : textLines(readFile(out))) {
        const std::size_t open = line.find('['), close = line.find(']');
        if (line.rfind("Symbol table '", 0) == 0) inSymtab = line.rfind("Symbol table '.symtab'", 0) == 0;
        if (open != std::string::npos && close != std::string::npos && open < close && line.find("Nr]") == std::string::npos &&
            line.compare(0, 2, "  ") == 0 && line.find(':') == std::string::npos) {
            const std::vector<std::string> w = words(line.substr(close + 1));
            if (w.size() < 9) continue;  // section 0 has no name
            names.push_back(w[0]);
            alloc.push_back(w.size() == 10 && w[6].find('A') != std::string::npos);
            exec.push_back(w.size() == 10 && w[6].find('X') != std::string::npos);
            if (w[0].rfind(".debug_", 0) == 0) ref.debugBytes += number(w[4], 16);
            continue;
        }
        // Symbols: "    12: 20000000     4 OBJECT  GLOBAL DEFAULT    3 counter".
        const std::vector<std::string> w = words(line);
        if (!inSymtab || w.size() < 8 || w[0].back() != ':' || (w[3] != "OBJECT" && w[3] != "NOTYPE")) continue;
        const std::uint64_t size = number(w[2], 10);
        if (size == 0 || w[6] == "UND" || w[6] == "ABS" || w[6] == "COM") continue;
        const std::size_t section = std::stoul(w[6]);
        if (section >= names.size() || !alloc[section] || (w[3] == "NOTYPE" && exec[section])) continue;
        ElfDataSymbol s;
        s.name = w[7];
        s.address = number(w[1], 16);
        s.size = size;
        s.section = names[section];
        s.binding = w[4] == "LOCAL" ? 0 : w[4] == "GLOBAL" ? 1 : w[4] == "WEAK" ? 2 : 10;
        s.type = w[3] == "OBJECT" ? 1 : 0;
        ref.objects.push_back(s);
    }
    return ref;
}

auto key(const ElfDataSymbol& s) { return std::tie(s.name, s.address, s.size, s.section, s.binding, s.type); }

class ElfSymbolsTest : public ::testing::Test {
protected:
    static TempDir* folder_;
    static std::vector<Image> images_;

    static void SetUpTestSuite() {
        folder_ = new TempDir("kestrel_elf_");
        const fs::path source = folder_->path / "data.c";
        writeFile(source, kSource);
        const std::string arm = " -O0 -gdwarf-4 -nostdlib -Wl,-e,main ";
        images_ = {
            {"little-endian ELF32", "arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb" + arm, "arm-none-eabi-readelf", false, false, {}, {}, {}},
            {"big-endian ELF32", "arm-none-eabi-gcc -mbig-endian -mcpu=cortex-r4 -marm" + arm, "arm-none-eabi-readelf", false, true, {}, {}, {}},
            {"host ELF64", "gcc -O0 -g ", "readelf", true, false, {}, {}, {}},
        };
        for (std::size_t i = 0; i < images_.size(); ++i) {
            Image& image = images_[i];
            image.file = folder_->path / ("image" + std::to_string(i) + ".elf");
            const fs::path log = folder_->path / "build.log";
            if (run(image.build + quoted(source) + " -o " + quoted(image.file), log)) image.bytes = readFile(image.file);
            else image.log = readFile(log);
        }
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
};

TempDir* ElfSymbolsTest::folder_ = nullptr;
std::vector<Image> ElfSymbolsTest::images_;

TEST_F(ElfSymbolsTest, DataSymbolsMatchReadelf) {
    for (const Image& image : images_) {
        SCOPED_TRACE(image.label);
        ASSERT_FALSE(image.bytes.empty()) << image.log;
        std::string problem;
        const Reference ref = readelfReference(image, problem);
        ASSERT_EQ(problem, "");
        const ElfSymbols got = kestrel::reader::readElfSymbols(image.file.string());
        ASSERT_TRUE(got.ok()) << got.error;
        EXPECT_EQ(got.is64, image.is64);
        EXPECT_EQ(got.bigEndian, image.bigEndian);
        EXPECT_TRUE(got.hasSymbolTable);
        EXPECT_FALSE(got.dynamicOnly);
        ASSERT_EQ(got.objects.size(), ref.objects.size());
        for (std::size_t i = 0; i < ref.objects.size(); ++i)
            EXPECT_TRUE(key(got.objects[i]) == key(ref.objects[i]))
                << got.objects[i].name << " 0x" << std::hex << got.objects[i].address << " " << got.objects[i].size << " "
                << got.objects[i].section << " != readelf's " << ref.objects[i].name << " 0x" << ref.objects[i].address
                << " " << ref.objects[i].size << " " << ref.objects[i].section;
        EXPECT_EQ(got.debugSectionBytes, ref.debugBytes);
        EXPECT_GT(got.debugSections, 3u);
        // The source's own data, each kind of storage (the host program adds
        // its C library's objects around them), the function-static `calls`
        // (`calls.0`) included.
        for (const char* name : {"counter", "table", "limits", "s_state", "pairs", "weakValue", "calls"}) {
            bool found = false;
            for (const ElfDataSymbol& s : got.objects) found = found || s.name == name || s.name.rfind(std::string(name) + ".", 0) == 0;
            EXPECT_TRUE(found) << name;
        }
        // The same from memory.
        const ElfSymbols fromMemory = kestrel::reader::parseElfSymbols(image.bytes);
        ASSERT_EQ(fromMemory.objects.size(), got.objects.size());
        EXPECT_EQ(fromMemory.debugSectionBytes, got.debugSectionBytes);
    }
}

// ------------------------------------------------------------ damaged files

// Reads and writes the fields of an ELF image in its own class and byte order.
class Patcher {
public:
    explicit Patcher(std::string& bytes) : b_(bytes), is64_(bytes[4] == 2), big_(bytes[5] == 2) {}

    std::uint64_t get(std::size_t at, int size) const {
        std::uint64_t v = 0;
        for (int i = 0; i < size; ++i) v = (v << 8) | static_cast<unsigned char>(b_[at + (big_ ? i : size - 1 - i)]);
        return v;
    }
    void put(std::size_t at, int size, std::uint64_t v) {
        for (int i = 0; i < size; ++i) b_[at + (big_ ? size - 1 - i : i)] = static_cast<char>(v >> (8 * i));
    }
    int word() const { return is64_ ? 8 : 4; }

    // ELF header fields: offset and size.
    std::pair<std::size_t, int> shoff() const { return {is64_ ? 40 : 32, word()}; }
    std::pair<std::size_t, int> shentsize() const { return {is64_ ? 58 : 46, 2}; }
    std::pair<std::size_t, int> shnum() const { return {is64_ ? 60 : 48, 2}; }
    std::pair<std::size_t, int> shstrndx() const { return {is64_ ? 62 : 50, 2}; }
    std::size_t headerSize() const { return is64_ ? 64 : 52; }
    std::size_t sectionSize() const { return is64_ ? 64 : 40; }
    std::uint64_t field(std::pair<std::size_t, int> f) const { return get(f.first, f.second); }
    void set(std::pair<std::size_t, int> f, std::uint64_t v) { put(f.first, f.second, v); }

    // Section header fields.
    std::size_t section(std::uint64_t i) const { return static_cast<std::size_t>(field(shoff()) + i * sectionSize()); }
    std::pair<std::size_t, int> name(std::uint64_t i) const { return {section(i), 4}; }
    std::pair<std::size_t, int> type(std::uint64_t i) const { return {section(i) + 4, 4}; }
    std::pair<std::size_t, int> offset(std::uint64_t i) const { return {section(i) + (is64_ ? 24 : 16), word()}; }
    std::pair<std::size_t, int> size(std::uint64_t i) const { return {section(i) + (is64_ ? 32 : 20), word()}; }
    std::pair<std::size_t, int> link(std::uint64_t i) const { return {section(i) + (is64_ ? 40 : 24), 4}; }
    std::pair<std::size_t, int> entsize(std::uint64_t i) const { return {section(i) + (is64_ ? 56 : 36), word()}; }

    std::uint64_t find(std::uint32_t wantedType) const {
        for (std::uint64_t i = 0; i < field(shnum()); ++i)
            if (field(type(i)) == wantedType) return i;
        return 0;
    }
    std::uint64_t symtab() const { return find(2); }
    std::uint64_t strtab() const { return field(link(symtab())); }
    // The first symbol of .symtab that the reader lists (entry offset): an
    // object with a size, in a section (all sections of these images that
    // hold objects are allocated).
    std::size_t firstObject() const {
        const std::size_t entry = is64_ ? 24 : 16;
        const std::uint64_t base = field(offset(symtab()));
        for (std::uint64_t at = base + entry; at < base + field(size(symtab())); at += entry) {
            const auto a = static_cast<std::size_t>(at);
            const unsigned info = static_cast<unsigned char>(b_[a + (is64_ ? 4 : 12)]);
            const std::uint64_t symbolSize = is64_ ? get(a + 16, 8) : get(a + 8, 4);
            const std::uint64_t shndx = get(a + (is64_ ? 6 : 14), 2);
            if ((info & 0xf) == 1 && symbolSize != 0 && shndx != 0 && shndx < field(shnum())) return a;
        }
        return 0;
    }

private:
    std::string& b_;
    bool is64_, big_;
};

struct Damage {
    const char* what;
    void (*apply)(Patcher&, std::string&);
    ElfStatus expected;
};

constexpr std::uint64_t kHuge = 0xfffffff0u;

const Damage kDamages[] = {
    {"wrong magic", [](Patcher&, std::string& b) { b[1] = 'X'; }, ElfStatus::NotElf},
    {"unknown class", [](Patcher&, std::string& b) { b[4] = 3; }, ElfStatus::Unsupported},
    {"unknown byte order", [](Patcher&, std::string& b) { b[5] = 0; }, ElfStatus::Unsupported},
    {"section header size", [](Patcher& p, std::string&) { p.set(p.shentsize(), 41); }, ElfStatus::Unsupported},
    {"huge e_shoff", [](Patcher& p, std::string&) { p.set(p.shoff(), kHuge); }, ElfStatus::Truncated},
    {"huge e_shnum", [](Patcher& p, std::string&) { p.set(p.shnum(), 0xffff); }, ElfStatus::Truncated},
    {"e_shnum 0, huge count in section 0",
     [](Patcher& p, std::string&) {
         p.set(p.size(0), kHuge);
         p.set(p.shnum(), 0);
     },
     ElfStatus::Truncated},
    {"e_shstrndx out of range", [](Patcher& p, std::string&) { p.set(p.shstrndx(), p.field(p.shnum())); }, ElfStatus::Malformed},
    {"e_shstrndx extended, link out of range",
     [](Patcher& p, std::string&) {
         p.set(p.link(0), 0x7fffffff);
         p.set(p.shstrndx(), 0xffff);
     },
     ElfStatus::Malformed},
    {"section name index out of range", [](Patcher& p, std::string&) { p.set(p.name(1), kHuge); }, ElfStatus::Malformed},
    {"section-name table beyond the file",
     [](Patcher& p, std::string&) { p.set(p.offset(p.field(p.shstrndx())), kHuge); },
     ElfStatus::Truncated},
    {"huge symtab sh_size", [](Patcher& p, std::string&) { p.set(p.size(p.symtab()), kHuge); }, ElfStatus::Truncated},
    {"huge symtab sh_offset", [](Patcher& p, std::string&) { p.set(p.offset(p.symtab()), kHuge); }, ElfStatus::Truncated},
    {"symtab entry size", [](Patcher& p, std::string&) { p.set(p.entsize(p.symtab()), 7); }, ElfStatus::Malformed},
    {"huge strtab sh_size", [](Patcher& p, std::string&) { p.set(p.size(p.strtab()), kHuge); }, ElfStatus::Truncated},
    {"symtab linked to itself", [](Patcher& p, std::string&) { p.set(p.link(p.symtab()), p.symtab()); }, ElfStatus::Malformed},
    {"symtab link out of range", [](Patcher& p, std::string&) { p.set(p.link(p.symtab()), 0xffffff); }, ElfStatus::Malformed},
    {"symtab and strtab linked in a loop",
     [](Patcher& p, std::string&) {
         const std::uint64_t strtab = p.strtab();
         p.set(p.type(strtab), 2);
         p.set(p.link(strtab), p.symtab());
     },
     ElfStatus::Malformed},
    {"symbol name index out of range", [](Patcher& p, std::string&) { p.put(p.firstObject(), 4, kHuge); }, ElfStatus::Malformed},
    {"symbol name that runs off its table",
     [](Patcher& p, std::string& b) {
         // A name that starts at the last byte of the string table, which is
         // not a NUL any more.
         const std::uint64_t s = p.strtab();
         b[static_cast<std::size_t>(p.field(p.offset(s)) + p.field(p.size(s)) - 1)] = 'x';
         p.put(p.firstObject(), 4, p.field(p.size(s)) - 1);
     },
     ElfStatus::Malformed},
};

TEST_F(ElfSymbolsTest, DamagedImagesGiveTheirErrorAndNothingElse) {
    for (const Image& image : images_) {
        SCOPED_TRACE(image.label);
        ASSERT_FALSE(image.bytes.empty()) << image.log;
        for (const Damage& d : kDamages) {
            SCOPED_TRACE(d.what);
            std::string bytes = image.bytes;
            Patcher patcher(bytes);
            d.apply(patcher, bytes);
            ASSERT_NE(bytes, image.bytes);
            const ElfSymbols got = kestrel::reader::parseElfSymbols(bytes);
            EXPECT_EQ(static_cast<int>(got.status), static_cast<int>(d.expected)) << got.error;
            EXPECT_FALSE(got.error.empty());
            EXPECT_TRUE(got.objects.empty());
        }
    }
}

TEST_F(ElfSymbolsTest, SymbolsOutsideAllocatedSectionsAreLeftOut) {
    for (const Image& image : images_) {
        SCOPED_TRACE(image.label);
        ASSERT_FALSE(image.bytes.empty()) << image.log;
        const std::size_t whole = kestrel::reader::parseElfSymbols(image.bytes).objects.size();
        std::string bytes = image.bytes;
        Patcher p(bytes);
        const std::size_t symbol = p.firstObject();
        ASSERT_NE(symbol, 0u);
        const std::size_t shndx = symbol + (image.is64 ? 6 : 14);
        for (const std::uint64_t index : {std::uint64_t{0}, p.field(p.shnum()), std::uint64_t{0xfff1}, std::uint64_t{0xffff}}) {
            p.put(shndx, 2, index);
            const ElfSymbols got = kestrel::reader::parseElfSymbols(bytes);
            ASSERT_TRUE(got.ok()) << index << ": " << got.error;
            EXPECT_EQ(got.objects.size() + 1, whole) << "section index " << index;
        }
    }
}

// Cut at every boundary of the headers and tables: the ELF header, each
// section header, the symbol entries and the string tables.
TEST_F(ElfSymbolsTest, TruncatedImagesAreReportedAsSuch) {
    for (const Image& image : images_) {
        SCOPED_TRACE(image.label);
        ASSERT_FALSE(image.bytes.empty()) << image.log;
        std::string copy = image.bytes;
        Patcher p(copy);
        std::vector<std::uint64_t> cuts = {0, 1, 3, 4, 5, 15, 16, p.headerSize() - 1, p.headerSize()};
        for (std::uint64_t i = 0; i <= p.field(p.shnum()); ++i) {
            cuts.push_back(p.section(i));
            cuts.push_back(p.section(i) + 1);
        }
        for (const std::uint64_t table : {p.symtab(), p.strtab(), p.field(p.shstrndx())}) {
            cuts.push_back(p.field(p.offset(table)) + 1);
            cuts.push_back(p.field(p.offset(table)) + p.field(p.size(table)) - 1);
        }
        for (const std::uint64_t cut : cuts) {
            if (cut >= image.bytes.size()) continue;
            const ElfSymbols got = kestrel::reader::parseElfSymbols(std::string_view(image.bytes).substr(0, cut));
            EXPECT_EQ(static_cast<int>(got.status), static_cast<int>(cut < 4 ? ElfStatus::NotElf : ElfStatus::Truncated))
                << "cut at " << cut << ": " << got.error;
            EXPECT_TRUE(got.objects.empty());
        }
    }
}

TEST_F(ElfSymbolsTest, FilesThatAreNoElfImages) {
    const fs::path empty = folder_->path / "empty.elf";
    writeFile(empty, "");
    const fs::path text = folder_->path / "text.elf";
    writeFile(text, "int main() { return 0; }\n");
    const struct {
        fs::path path;
        ElfStatus expected;
    } cases[] = {
        {empty, ElfStatus::NotElf},
        {text, ElfStatus::NotElf},
        {folder_->path, ElfStatus::CannotOpen},
        {folder_->path / "missing.elf", ElfStatus::CannotOpen},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.string());
        const ElfSymbols got = kestrel::reader::readElfSymbols(c.path.string());
        EXPECT_EQ(static_cast<int>(got.status), static_cast<int>(c.expected)) << got.error;
        EXPECT_FALSE(got.error.empty());
    }
    // A file without section headers has no symbol table, which is no error.
    std::string bytes = images_[0].bytes;
    ASSERT_FALSE(bytes.empty());
    Patcher p(bytes);
    p.set(p.shoff(), 0);
    const ElfSymbols stripped = kestrel::reader::parseElfSymbols(bytes);
    EXPECT_TRUE(stripped.ok()) << stripped.error;
    EXPECT_FALSE(stripped.hasSymbolTable);
}

}  // namespace
