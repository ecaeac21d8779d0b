// Bit positions on a big-endian target: tests/data/firmware/bigendian.c is
// built for a big-endian Cortex-R at DWARF 2, 4 and 5 (DWARF 2 and 4 give
// DW_AT_bit_offset, DWARF 5 DW_AT_data_bit_offset), the built kestrelmap
// writes its memory map, and every line is checked with gdb-multiarch. For a
// bit field gdb works on a copy of the image (`set write on`): it zeroes the
// object and the map's storage unit, sets the field to all ones, and reads
// the unit as an integer in the target's byte order and the bytes around it.
// The bits set in that value are the field's bit numbers, counted from its
// least significant bit; bits in bytes before the unit continue above its
// most significant bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "FirmwareTools.h"

namespace {

using namespace firmware;

// Run inside gdb (see gdbScript); the answer to a job is
//   S idx address size           for a plain signal (address in hex)
//   B idx first width unit bytes for a bit field: the address of the first
//       byte read (hex), the field's width, the unit's value (hex) and the
//       bytes from `first` on (hex digits, two per byte)
const char* const kGdbChecks = R"PY(
UNSIGNED = {1: 'unsigned char', 2: 'unsigned short', 4: 'unsigned int', 8: 'unsigned long long'}
def answer(kind, e, member, unit, size):
    if kind == 'S':
        return '%x %d' % (value('print/x &(%s)' % e), value('print sizeof(%s)' % e))
    obj = gdb.parse_and_eval(e)
    start = int(obj.address)
    first = min(start, unit)
    end = max(start + obj.type.sizeof, unit + size)
    for a in range(first, end):
        gdb.execute('set var *(unsigned char *)%d = 0' % a)
    field = [f for f in obj.type.strip_typedefs().fields() if f.name == member]
    if not field or field[0].bitsize == 0:
        raise gdb.error('no bit field %s in %s' % (member, e))
    width = field[0].bitsize
    ones = -1 if field[0].type.strip_typedefs().is_signed else (1 << width) - 1
    gdb.execute('set var (%s).%s = %d' % (e, member, ones))
    got = value('print/x *(%s *)%d' % (UNSIGNED[size], unit))
    data = ''.join('%02x' % value('print/x *(unsigned char *)%d' % a) for a in range(first, end))
    return '%x %d %x %s' % (first, width, got, data)
)PY";

// The bit numbers of the set bits, counted from the least significant bit of
// the big-endian unit at `unit` of `size` bytes: bits of the unit value as
// gdb read it, bits of the bytes before the unit above them. A set bit after
// the unit cannot be numbered: `below` reports it.
std::string bitsOfValue(std::uint64_t value, std::uint32_t size, std::uint32_t first, const std::string& hex,
                        std::uint32_t unit, bool& below) {
    std::vector<std::int64_t> bits;
    for (std::uint32_t k = 0; k < size * 8; ++k)
        if ((value >> k) & 1u) bits.push_back(k);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const std::uint32_t address = first + static_cast<std::uint32_t>(i / 2);
        if (address >= unit && address < unit + size) continue;
        const unsigned byte = static_cast<unsigned>(std::stoul(hex.substr(i, 2), nullptr, 16));
        for (int j = 0; j < 8; ++j) {
            if (((byte >> j) & 1u) == 0) continue;
            if (address >= unit + size) below = true;
            else bits.push_back((std::int64_t{unit} + size - 1 - address) * 8 + j);
        }
    }
    std::sort(bits.begin(), bits.end());
    std::string text;
    for (const std::int64_t b : bits) text += std::to_string(b);
    return text;
}

struct BigEndianBuild {
    int dwarf = 0;
    fs::path dir;
    std::string log;
    std::string mapText;
    std::vector<MapLine> map;
};

class FirmwareBigEndianTest : public ::testing::Test {
protected:
    static TempDir* root_;
    static std::vector<BigEndianBuild> builds_;

    static void SetUpTestSuite() {
        root_ = new TempDir("kestrel_fw_be_");
        const fs::path source = fs::path(KESTREL_TEST_DATA) / "firmware" / "bigendian.c";
        for (int v : {2, 4, 5}) {
            BigEndianBuild b;
            b.dwarf = v;
            b.dir = root_->path / ("dwarf" + std::to_string(v));
            fs::create_directories(b.dir);
            // Debian has no big-endian C library: the image is linked alone.
            const fs::path elf = b.dir / "app.elf";
            if (!run("arm-none-eabi-gcc -mbig-endian -mcpu=cortex-r4 -marm -nostdlib -Wl,-e,main -O0 "
                     "-Wno-packed-bitfield-compat -gdwarf-" + std::to_string(v) + " " + quoted(source) + " -o " + quoted(elf),
                     b.dir / "build.log")) {
                b.log = readFile(b.dir / "build.log");
            } else {
                run(std::string(quoted(KESTREL_EXE)) + " " + quoted(elf), b.dir / "kestrelmap.log");
                b.mapText = readFile(b.dir / "app_Mox.m51");
                std::vector<std::string> bad;
                b.map = parseMap(b.mapText, bad);
                if (!bad.empty()) b.log = "map line of unknown shape: " + bad.front();
                if (b.map.empty()) b.log += readFile(b.dir / "kestrelmap.log");
            }
            builds_.push_back(b);
        }
    }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
    }
};

TempDir* FirmwareBigEndianTest::root_ = nullptr;
std::vector<BigEndianBuild> FirmwareBigEndianTest::builds_;

TEST_F(FirmwareBigEndianTest, EveryBitPositionMatchesGdb) {
    for (const BigEndianBuild& b : builds_) {
        const std::string label = "big-endian gcc -gdwarf-" + std::to_string(b.dwarf);
        SCOPED_TRACE(label);
        ASSERT_TRUE(b.log.empty() && !b.map.empty()) << b.log;
        // gdb writes into a copy of the image.
        const fs::path image = b.dir / "scratch.elf";
        fs::copy_file(b.dir / "app.elf", image, fs::copy_options::overwrite_existing);
        std::vector<std::string> results;
        std::string gdbError;
        ASSERT_TRUE(runGdbJobs(b.map, b.dir, gdbScript(kGdbChecks), "-iex 'set write on'", image, results, gdbError)) << gdbError;

        std::size_t fields = 0, fieldsMatched = 0, plain = 0, plainMatched = 0, reported = 0;
        auto fail = [&](const MapLine& m, const std::string& what) {
            if (++reported <= 25) ADD_FAILURE() << label << ": " << m.display << ": " << what;
        };
        forEachGdbAnswer(results, b.map, [&](char kind, const MapLine& m, std::istream& in) {
            if (kind == 'E') {
                std::string message;
                std::getline(in, message);
                ++(m.bits.empty() ? plain : fields);
                fail(m, "gdb cannot evaluate it:" + message);
            } else if (kind == 'S') {
                ++plain;
                std::uint32_t address = 0, size = 0;
                in >> std::hex >> address >> std::dec >> size;
                if (address == m.address && size == m.size) ++plainMatched;
                else fail(m, "gdb address 0x" + (std::ostringstream() << std::hex << address).str() + " size " + std::to_string(size));
            } else {
                ++fields;
                std::uint32_t first = 0;
                std::uint64_t unitValue = 0;
                int width = 0;
                std::string bytes;
                in >> std::hex >> first >> std::dec >> width >> std::hex >> unitValue >> bytes;
                bool below = false;
                const std::string expected = bitsOfValue(unitValue, m.size, first, bytes, m.address, below);
                if (!below && expected == m.bits) ++fieldsMatched;
                else
                    fail(m, "gdb sets bits " + expected + (below ? " and bits after the unit" : "") + " (unit value 0x" +
                                (std::ostringstream() << std::hex << unitValue).str() + ", bytes " + bytes + "), tool bits " +
                                m.bits);
            }
        }, [&](const MapLine& m) { fail(m, "no answer from gdb"); });
        std::cout << "[firmware] " << label << ": " << fields << " bit fields checked against gdb, " << fieldsMatched
                  << " matched; " << plain << " other signals checked, " << plainMatched << " matched\n";
        EXPECT_GE(fields, 70u);
        EXPECT_EQ(fieldsMatched + plainMatched, b.map.size());
    }
}

// Both forms of the bit offset (DWARF 2 and 4 give DW_AT_bit_offset, DWARF 5
// DW_AT_data_bit_offset) describe the same layout.
TEST_F(FirmwareBigEndianTest, MapsOfAllDwarfVersionsAgree) {
    ASSERT_EQ(builds_.size(), 3u);
    for (const BigEndianBuild& b : builds_) ASSERT_TRUE(b.log.empty() && !b.map.empty()) << b.log;
    EXPECT_EQ(builds_[0].mapText, builds_[1].mapText);
    EXPECT_EQ(builds_[1].mapText, builds_[2].mapText);
}

}  // namespace
