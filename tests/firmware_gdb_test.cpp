// Whole runs on real firmware: the sources in tests/data/firmware are built
// with arm-none-eabi-gcc at DWARF 2, 4 and 5 (at 4 and 5 also with
// -fdebug-types-section) and with clang at DWARF 4 and 5, the
// built kestrelmap writes the memory map of each image, and every line of the
// map is checked against gdb-multiarch on the same image: the address and
// size of the signal, and for a bit field the bit numbers against the layout
// that gdb's `ptype/o` gives. The DWARF 5 map must equal the DWARF 4 map, and
// binutils 2.26 dumps (Debian's avr-objdump, also in the shape of the older
// binutils) must give the same map as the 2.40 dump of the same image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "FirmwareTools.h"
#include "../fuzz/pipeline.h"

namespace fs = std::filesystem;

namespace {

using namespace firmware;

// ---------------------------------------------------------------- gdb batch

// Runs inside gdb. For each job it asks gdb's own commands: `print/x &(e)`
// and `print sizeof(e)` for a signal, `ptype/o` of the containing object for
// a bit field, and prints one result line per job. A failing expression
// moves on to the next candidate instead of ending the batch.
const char* const kGdbChecks = R"PY(
def member_bitpos(expr, t, member, depth):
    # gdb prints "/*   byte: bit   |  size */  type name : width;" with the
    # byte counted from the start of the printed object (nested anonymous
    # members included) and the bit counted from the least significant bit.
    text = gdb.execute('ptype/o ' + expr, to_string=True)
    pat = re.compile(r'/\*\s+(\d+):\s*(\d+)\s+\|\s+\d+ \*/.*[\s*]' + re.escape(member) + r'\s*:\s*(\d+);')
    for line in text.splitlines():
        m = pat.search(line)
        if m:
            return int(m.group(1)) * 8 + int(m.group(2)), int(m.group(3))
    # Not declared here: look into the base classes, at their offsets.
    if depth > 0:
        for f in t.strip_typedefs().fields():
            base = f.type.strip_typedefs()
            if f.is_base_class and base.tag:
                found = member_bitpos(base.tag, base, member, depth - 1)
                if found:
                    return found[0] + f.bitpos, found[1]
    return None
def answer(kind, e, member, unit, size):
    if kind == 'S' and '._vptr.' in e:
        # GCC names the vtable pointer '_vptr.Class', which no expression can name.
        base, rest = e.split('._vptr.', 1)
        v = gdb.parse_and_eval(base)['_vptr.' + rest]
        return '%x %d' % (int(v.address), v.type.sizeof)
    if kind == 'S':
        return '%x %d' % (value('print/x &(%s)' % e), value('print sizeof(%s)' % e))
    base = value('print/x &(%s)' % e)
    size = value('print sizeof((%s).%s)' % (e, member))
    found = member_bitpos(e, gdb.parse_and_eval(e).type, member, 4)
    if found is None:
        raise gdb.error('member %s not in ptype/o of %s' % (member, e))
    return '%x %d %d %d' % (base, found[0], found[1], size)
)PY";

// ------------------------------------------------------------------ builds

struct Build {
    std::string label;     // "gcc -gdwarf-4"
    std::string compiler;  // "gcc" or "clang"
    int dwarf = 0;
    fs::path dir;
    bool built = false;
    std::string buildLog;
    std::vector<MapLine> map;
    std::string mapText;
    std::string flags;  // further compiler options (" -fdebug-types-section")
};

// keyed.cpp holds the key functions of the classes that keyed_use.cpp
// defines objects of: clang declares those classes there only.
const char* const kSources[] = {"calib.c", "drive.cpp", "keyed.cpp", "keyed_use.cpp"};
const char* const kTypeUnits = " -fdebug-types-section";

class FirmwareGdbTest : public ::testing::Test {
protected:
    static fs::path root_;
    static std::vector<Build> builds_;
    static bool clangUsable_;

    static void SetUpTestSuite() {
        root_ = fs::temp_directory_path() / ("kestrel_fw_gdb_" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
        const fs::path src = fs::path(KESTREL_TEST_DATA) / "firmware";

        // clang compiles for the target only with the newlib headers at hand.
        writeFile(root_ / "probe.c", "#include <stdint.h>\nuint32_t probe;\n");
        clangUsable_ = run("clang --target=arm-none-eabi -mcpu=cortex-m4 -mthumb -isystem /usr/lib/arm-none-eabi/include -c " +
                               quoted(root_ / "probe.c") + " -o " + quoted(root_ / "probe.o"),
                           root_ / "probe.log");

        auto add = [](const std::string& compiler, int dwarf, const std::string& flags) {
            Build b;
            b.label = compiler + " -gdwarf-" + std::to_string(dwarf) + flags;
            b.compiler = compiler;
            b.dwarf = dwarf;
            b.flags = flags;
            builds_.push_back(b);
        };
        for (int v : {2, 4, 5}) add("gcc", v, "");
        for (int v : {4, 5}) add("gcc", v, kTypeUnits);
        if (clangUsable_)
            for (int v : {4, 5}) add("clang", v, "");

        const std::string target = " -mcpu=cortex-m4 -mthumb -O0 ";
        for (Build& b : builds_) {
            b.dir = root_ / (b.compiler + "-dwarf" + std::to_string(b.dwarf) + (b.flags.empty() ? "" : "-types"));
            fs::create_directories(b.dir);
            std::string objects;
            bool ok = true;
            for (const char* source : kSources) {
                const bool cpp = std::string(source).ends_with(".cpp");
                std::string cmd;
                if (b.compiler == "gcc") {
                    cmd = cpp ? "arm-none-eabi-g++" : "arm-none-eabi-gcc";
                    cmd += target + "-Wno-packed-bitfield-compat -gdwarf-" + std::to_string(b.dwarf) + b.flags;
                } else {
                    // -fshort-enums: the size of enumerations that arm-none-eabi-gcc uses.
                    cmd = cpp ? "clang++" : "clang";
                    cmd += " --target=arm-none-eabi" + target + "-fshort-enums -gdwarf-" + std::to_string(b.dwarf) +
                           " -isystem /usr/lib/arm-none-eabi/include";
                }
                if (cpp) cmd += " -fno-exceptions -fno-rtti";
                const fs::path object = b.dir / (std::string(source) + ".o");
                cmd += " -c " + quoted(src / source) + " -o " + quoted(object);
                ok = ok && run(cmd, b.dir / "compile.log");
                if (!ok) b.buildLog += readFile(b.dir / "compile.log");
                objects += " " + quoted(object);
            }
            // Linked without the C library's start files, so that every
            // compile unit of the image is one of ours (newlib's own debug
            // information is DWARF 5, which binutils 2.26 cannot read).
            const fs::path elf = b.dir / "app.elf";
            ok = ok && run("arm-none-eabi-gcc" + target + "--specs=nosys.specs -nostartfiles" + objects + " -o " + quoted(elf),
                           b.dir / "link.log");
            if (!ok) {
                b.buildLog += readFile(b.dir / "link.log");
                continue;
            }
            run(std::string(quoted(KESTREL_EXE)) + " " + quoted(elf), b.dir / "kestrelmap.log");
            b.mapText = readFile(b.dir / "app_Mox.m51");
            std::vector<std::string> bad;
            b.map = parseMap(b.mapText, bad);
            b.built = bad.empty() && !b.map.empty();
            if (!bad.empty()) b.buildLog += "map line of unknown shape: " + bad.front();
        }
    }

    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    static const Build* find(const std::string& compiler, int dwarf, const std::string& flags = "") {
        for (const Build& b : builds_)
            if (b.compiler == compiler && b.dwarf == dwarf && b.flags == flags) return &b;
        return nullptr;
    }
};

fs::path FirmwareGdbTest::root_;
std::vector<Build> FirmwareGdbTest::builds_;
bool FirmwareGdbTest::clangUsable_ = false;

TEST_F(FirmwareGdbTest, ImagesBuildAndMapsCoverTheFirmware) {
    if (!clangUsable_) std::cout << "clang cannot compile for arm-none-eabi here: clang build skipped\n";
    // Names that the sources guarantee, one per kind of storage: every one
    // must be in every map (the gdb check below only sees what is listed).
    const char* const expected[] = {
        "g_errorCount", "calChannels_01.curve_09.y", "calChannels_00.grid_02_03", "calChannels_00.raw.half.hi",
        "calChannels_00..scale", "calChannels_00..trim", "calSingle_0.id", "lut1_0", "lut2_01", "lut10_09",
        "lut20_019", "lut200_0199", "map3d_01_02_019", "flagBank_019.gain_Bits:123", "telemetry.tag",
        "traceBuffer.bulk_069999", "traceBuffer.lateCounter", "g_mode", "adcLive.raw_Bits:01234567891011",
        "g_adcCursor", "g_isrHook", "g_readyFlag", "g_lockFlag", "g_uptime", "g_temperature", "g_serial_15",
        "s_checksum", "Scheduler_Tick@tickCount", "Scheduler_Tick@slotLoad_09", "drive::mainMotor.speed",
        "drive::mainMotor.lastError", "drive::mainMotor.lim_01.max", "drive::Actuator->instances",
        "drive::Motor->maxRpm", "drive::Motor->defaults.min", "drive::ctl::kp", "drive::ctl::motors_01.history_01",
        "drive::ctl::phase", "::localWatchdog", "drive::poll@pollCount", "drive::Motor->step@calls",
        // Objects of classes whose key function is in another unit.
        "plant::inlet.raw", "plant::inlet.window.samples_02", "plant::probes_01.offset_Bits:6789101112131415",
        "plant::nodes_02.load_01", "plant::spareWindow.samples_00"};
    // Constant data gets no line.
    const char* const absent[] = {"calLimits_0", "g_bootLabel", "calChannels_00.revision"};
    for (const Build& b : builds_) {
        SCOPED_TRACE(b.label);
        ASSERT_TRUE(b.built) << b.buildLog;
        for (const char* name : expected) {
            const bool found = std::any_of(b.map.begin(), b.map.end(), [&](const MapLine& m) { return m.display == name; });
            EXPECT_TRUE(found) << name << " missing from the map of " << b.label;
        }
        for (const char* name : absent) {
            const bool found = std::any_of(b.map.begin(), b.map.end(),
                                           [&](const MapLine& m) { return m.display.rfind(name, 0) == 0; });
            EXPECT_FALSE(found) << name << " (constant) listed in the map of " << b.label;
        }
    }
}

TEST_F(FirmwareGdbTest, EverySignalMatchesGdb) {
    const std::string script = gdbScript(kGdbChecks);
    for (const Build& b : builds_) {
        SCOPED_TRACE(b.label);
        ASSERT_TRUE(b.built) << b.buildLog;
        // One job per map line, all answered by one gdb process.
        std::vector<std::string> results;
        std::string gdbError;
        ASSERT_TRUE(runGdbJobs(b.map, b.dir, script, "-ex 'set language c++' -ex 'set print demangle on'",
                               b.dir / "app.elf", results, gdbError))
            << gdbError;

        // gdb 13 takes some classes of a -fdebug-types-section image for
        // incomplete types; a line it cannot evaluate there counts when the
        // build without type units, whose every line gdb checks, has it too.
        const Build* plain = b.flags.empty() ? nullptr : find(b.compiler, b.dwarf);
        std::size_t checked = 0, matched = 0, reported = 0, viaPlain = 0;
        auto inPlain = [&](const MapLine& m) {
            return plain != nullptr && std::any_of(plain->map.begin(), plain->map.end(), [&](const MapLine& p) {
                       return p.display == m.display && p.address == m.address && p.size == m.size;
                   });
        };
        auto fail = [&](const MapLine& m, const std::string& what) {
            if (++reported <= 25) ADD_FAILURE() << b.label << ": " << m.display << ": " << what;
        };
        forEachGdbAnswer(results, b.map, [&](char kind, const MapLine& m, std::istream& in) {
            ++checked;
            std::ostringstream tool;
            tool << "tool 0x" << std::hex << m.address << std::dec << " size " << m.size;
            if (kind == 'E') {
                std::string message;
                std::getline(in, message);
                if (inPlain(m)) ++viaPlain;
                else fail(m, "gdb cannot evaluate it:" + message);
                return;
            }
            std::uint32_t gdbAddress = 0, gdbSize = 0;
            if (kind == 'S') {
                in >> std::hex >> gdbAddress >> std::dec >> gdbSize;
                if (gdbAddress != m.address || gdbSize != m.size) {
                    std::ostringstream g;
                    g << "gdb 0x" << std::hex << gdbAddress << std::dec << " size " << gdbSize << ", " << tool.str();
                    fail(m, g.str());
                    return;
                }
            } else {
                // Bit field. gdb gives the address of the containing object
                // (S), the field's first bit counted from bit 0 of byte S (bit
                // 0 the least significant: pos = 8 * byte + bit of ptype/o's
                // "byte: bit"), its width, and the size of its declared type.
                // The tool lists the storage unit's address U (the map address)
                // and the bit numbers counted from the least significant bit
                // of the unit; the unit lies 8 * (U - S) bits into the object,
                // so the expected numbers are pos - 8 * (U - S) ... + width - 1.
                std::int64_t pos = 0, width = 0;
                in >> std::hex >> gdbAddress >> std::dec >> pos >> width >> gdbSize;
                const std::int64_t unitOffset = static_cast<std::int64_t>(m.address) - gdbAddress;
                const std::int64_t first = pos - 8 * unitOffset;
                const std::string expectedBits = first >= 0 ? bitList(first, width) : "(unit above the field)";
                if (gdbSize != m.size || expectedBits != m.bits) {
                    std::ostringstream g;
                    g << "gdb object 0x" << std::hex << gdbAddress << std::dec << " bit " << pos << " width " << width
                      << " type size " << gdbSize << " -> bits " << expectedBits << "; " << tool.str() << " bits "
                      << m.bits;
                    fail(m, g.str());
                    return;
                }
            }
            ++matched;
        }, [&](const MapLine& m) { fail(m, "no answer from gdb"); });
        std::cout << "[firmware] " << b.label << ": " << checked << " signals checked against gdb, " << matched
                  << " matched";
        if (viaPlain > 0) std::cout << ", " << viaPlain << " not evaluable by gdb, equal to the checked build without type units";
        std::cout << "\n";
        EXPECT_EQ(matched + viaPlain, b.map.size()) << b.label;
    }
}

// Lines of `a` not in `b` and the other way round, for a readable failure.
std::string mapDifference(const std::string& a, const std::string& b, const std::string& nameA, const std::string& nameB) {
    std::vector<std::string> la = textLines(a), lb = textLines(b);
    std::vector<std::string> sa = la, sb = lb, onlyA, onlyB;
    std::sort(sa.begin(), sa.end());
    std::sort(sb.begin(), sb.end());
    std::set_difference(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(onlyA));
    std::set_difference(sb.begin(), sb.end(), sa.begin(), sa.end(), std::back_inserter(onlyB));
    std::ostringstream text;
    text << la.size() << " lines in " << nameA << ", " << lb.size() << " in " << nameB << "\n";
    for (std::size_t i = 0; i < onlyA.size() && i < 20; ++i) text << "  only " << nameA << ": " << onlyA[i] << "\n";
    for (std::size_t i = 0; i < onlyB.size() && i < 20; ++i) text << "  only " << nameB << ": " << onlyB[i] << "\n";
    if (onlyA.empty() && onlyB.empty()) text << "  same lines, different order\n";
    return text.str();
}

TEST_F(FirmwareGdbTest, Dwarf5MapEqualsDwarf4Map) {
    for (const std::string compiler : {"gcc", "clang"}) {
        if (compiler == "clang" && !clangUsable_) continue;
        SCOPED_TRACE(compiler);
        const Build* v4 = find(compiler, 4);
        const Build* v5 = find(compiler, 5);
        ASSERT_TRUE(v4 && v4->built && v5 && v5->built);
        EXPECT_TRUE(v4->mapText == v5->mapText) << mapDifference(v4->mapText, v5->mapText, "DWARF 4", "DWARF 5");
    }
}

// Types moved into type units (.debug_types at DWARF 4, units of type
// DW_UT_type at DWARF 5) and named by signature give the map of the same
// build without them.
TEST_F(FirmwareGdbTest, TypeUnitsGiveTheMapOfTheBuildWithoutThem) {
    for (int v : {4, 5}) {
        const Build* plain = find("gcc", v);
        const Build* types = find("gcc", v, kTypeUnits);
        ASSERT_TRUE(plain && plain->built && types && types->built);
        SCOPED_TRACE(types->label);
        const std::string dump = readFile(types->dir / "app_ObjDump.txt");
        EXPECT_NE(dump.find("DW_AT_type        : signature: 0x"), std::string::npos);
        EXPECT_NE(dump.find("DW_AT_signature   : signature: 0x"), std::string::npos);
        EXPECT_EQ(dump.find("Contents of the .debug_types section:") != std::string::npos, v == 4);
        EXPECT_TRUE(plain->mapText == types->mapText)
            << mapDifference(plain->mapText, types->mapText, "plain", "type units");
    }
}

// clang at DWARF 5 locates globals by DW_OP_addrx: the dump holds the
// .debug_addr rows as well, and a later run on the saved dump alone gives the
// same map. Images without .debug_addr get the dump objdump gives without the
// extra option.
TEST_F(FirmwareGdbTest, IndexedAddressesAndTheSavedDump) {
    const Build* gcc = find("gcc", 5);
    ASSERT_TRUE(gcc && gcc->built);
    const fs::path plainDump = gcc->dir / "plain_dump.txt";
    ASSERT_TRUE(run("arm-none-eabi-objdump -WlLiaprmfFsoRt " + quoted(gcc->dir / "app.elf") + " >" + quoted(plainDump),
                    gcc->dir / "plain.log"));
    EXPECT_TRUE(readFile(plainDump) == readFile(gcc->dir / "app_ObjDump.txt"));
    if (!clangUsable_) GTEST_SKIP() << "clang cannot compile for arm-none-eabi here";
    const Build* clang = find("clang", 5);
    ASSERT_TRUE(clang && clang->built);
    const std::string dump = readFile(clang->dir / "app_ObjDump.txt");
    EXPECT_NE(dump.find("(DW_OP_addrx <0x"), std::string::npos);
    EXPECT_NE(dump.find("Contents of the .debug_addr section:"), std::string::npos);
    const fs::path again = clang->dir / "again";
    fs::create_directories(again);
    fs::copy_file(clang->dir / "app_ObjDump.txt", again / "saved_ObjDump.txt");
    run(std::string(quoted(KESTREL_EXE)) + " " + quoted(again / "saved.txt"), again / "saved.log");
    const std::string map = readFile(again / "saved_Mox.m51");
    EXPECT_TRUE(map == clang->mapText) << mapDifference(clang->mapText, map, "ELF run", "dump run");
}

// A dump read in two parts at once, split at any unit header of
// .debug_info, gives the model of the dump read in one piece, and the two
// parts are joined (not read again in one piece) on every real image.
TEST_F(FirmwareGdbTest, DumpsReadInTwoPartsGiveTheSameModel) {
    for (const Build& b : builds_) {
        SCOPED_TRACE(b.label);
        ASSERT_TRUE(b.built) << b.buildLog;
        const std::string dump = readFile(b.dir / "app_ObjDump.txt");
        const std::string whole = kestrel::fuzzing::describeModel(*kestrel::reader::loadText(dump));
        const std::size_t info = dump.find("Contents of the .debug_info section:");
        const std::size_t infoEnd = dump.find("\nContents of", info);
        ASSERT_NE(info, std::string::npos);
        int joined = 0;
        for (std::size_t start : kestrel::fuzzing::detail::unitHeaderStarts(dump, 64)) {
            bool split = false;
            const auto parts = kestrel::reader::loadTextInParts(dump, start, split);
            EXPECT_TRUE(kestrel::fuzzing::describeModel(*parts) == whole) << "split at " << start;
            const bool inInfo = start > info && start < infoEnd;
            EXPECT_EQ(split, inInfo) << "split at " << start;
            joined += split;
        }
        EXPECT_GE(joined, 3);

        // Chunks between the parts, read by either thread, are joined too.
        std::vector<std::uint64_t> inInfo;
        for (std::size_t start : kestrel::fuzzing::detail::unitHeaderStarts(dump, 64))
            if (start > info && start < infoEnd && inInfo.size() < 5) inInfo.push_back(start);
        ASSERT_GE(inInfo.size(), 3u);
        const std::vector<std::uint64_t> chunks(inInfo.begin() + 1, inInfo.end() - 1);
        for (std::size_t firstTakes : {0, 1}) {
            bool split = false;
            const auto parts = kestrel::reader::loadTextInParts(dump, inInfo.back(), chunks, firstTakes, split);
            EXPECT_TRUE(kestrel::fuzzing::describeModel(*parts) == whole) << firstTakes;
            EXPECT_TRUE(split) << firstTakes;
        }
    }
}

TEST_F(FirmwareGdbTest, Binutils226DumpsGiveTheSameMap) {
    // kestrelmap given <dir>/<name>.txt runs no objdump and reads
    // <dir>/<name>_ObjDump.txt, writing <dir>/<name>_Mox.m51.
    for (int v : {2, 4}) {
        const Build* b = find("gcc", v);
        ASSERT_TRUE(b && b->built);
        SCOPED_TRACE(b->label);
        const fs::path dir = b->dir / "binutils226";
        fs::create_directories(dir);
        const fs::path dump = dir / "app226_ObjDump.txt";
        ASSERT_TRUE(run("avr-objdump -WlLiaprmfFsoRt " + quoted(b->dir / "app.elf") + " >" + quoted(dump), dir / "avr.log"))
            << readFile(dir / "avr.log");
        ASSERT_TRUE(run("python3 " + quoted(fs::path(KESTREL_SOURCE_DIR) / "tests" / "tools" / "old_shape_dump.py") + " " + quoted(dump) + " >" +
                            quoted(dir / "appold_ObjDump.txt"),
                        dir / "old.log"))
            << readFile(dir / "old.log");
        // The rewritten dump has the older shape: a converter that passed the
        // text through unchanged would prove nothing below.
        const std::string old = readFile(dir / "appold_ObjDump.txt");
        EXPECT_NE(old.find("file format elf32-littlearm\n"), std::string::npos);
        EXPECT_NE(old.find("\n The Directory Table:\n"), std::string::npos);
        EXPECT_NE(old.find("\n The File Name Table:\n"), std::string::npos);
        EXPECT_EQ(old.find("(offset 0x"), std::string::npos);
        EXPECT_EQ(old.find("\n  [0x"), std::string::npos);
        EXPECT_EQ(old.find(" (location list)"), std::string::npos);
        for (const std::string name : {"app226", "appold"}) {
            run(std::string(quoted(KESTREL_EXE)) + " " + quoted(dir / (name + ".txt")), dir / (name + ".log"));
            const std::string map = readFile(dir / (name + "_Mox.m51"));
            EXPECT_TRUE(map == b->mapText) << mapDifference(b->mapText, map, "2.40 dump", name + " dump");
        }
    }
}

}  // namespace
