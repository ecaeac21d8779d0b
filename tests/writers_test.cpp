// The output pass and its two file formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

#include "TestSupport.h"
#include "expand/Expand.h"
#include "model/DwarfModel.h"
#include "model/Report.h"
#include "reader/ModelLoader.h"
#include "writers/CanapeFormat.h"
#include "writers/FileOutput.h"
#include "writers/MapFormat.h"
#include "writers/Omissions.h"
#include "writers/OutputPass.h"

using namespace kestrel::model;
using namespace kestrel::expand;
using namespace kestrel::reader;
using namespace kestrel::writers;
namespace fs = std::filesystem;
using kestrel::test::readFile;
using kestrel::test::TempDir;

namespace {

// The messages of the code under test.
TextReporter console;

SignalInfo signal(std::string name, std::uint32_t address, std::uint32_t size, bool isSigned,
                  std::int32_t bitSize = 0, std::int32_t bitOffset = 0) {
    SignalInfo s;
    s.name = std::move(name);
    s.address = address;
    s.size = size;
    s.isSigned = isSigned;
    s.bitSize = bitSize;
    s.bitOffset = bitOffset;
    return s;
}

std::string canapeLine(const SignalInfo& s, bool littleEndian = false) {
    std::string display, out;
    const std::uint32_t p = s.bitSize != 0 ? bitPosition(s, littleEndian) : 0;
    appendDisplayName(display, s, p);
    appendCanapeLine(out, s, display, p);
    return out;
}

std::string mapLine(const SignalInfo& s) {
    std::string display, out;
    appendDisplayName(display, s, s.bitSize != 0 ? bitPosition(s, false) : 0);
    appendMapLine(out, s, display);
    return out;
}

// --------------------------------------------------------------- formats

TEST(Formats, ExampleLines) {
    const std::string canape =
        canapeLine(signal("counter", 0x2000a1b4, 4, false)) + canapeLine(signal("gState.mode", 0x20000010, 1, false)) +
        canapeLine(signal("ns::limit", 0x1234, 2, true)) + canapeLine(signal("flags", 0x20000020, 1, false, 1, 2)) +
        canapeLine(signal("ctrl.gain", 0x20000024, 1, true, 3, 1));
    EXPECT_EQ(canape,
        "VARIABLE 0x0 'counter'                                                                                           0x2000a1b4    \"\" UINT(32)   \"\" 0 0                   4294967295          CHARACTERISTIC       WEAK_LIMITS 0                    4294967295\r\n"
        "VARIABLE 0x0 'gState.mode'                                                                                       0x20000010    \"\" UINT(8)    \"\" 0 0                   255                 CHARACTERISTIC       WEAK_LIMITS 0                    255\r\n"
        "VARIABLE 0x0 'ns__limit'                                                                                         0x00001234    \"\" INT(16)    \"\" 0 -32768              32767               CHARACTERISTIC       WEAK_LIMITS -32768               32767\r\n"
        "VARIABLE 0x0 'flags_Bit_5'                                                                                       0x20000020    \"\" UINT(1,5) \"\" 0 0           1 (0  1)            CHARACTERISTIC  WEAK_LIMITS 0                   1\r\n"
        "VARIABLE 0x0 'ctrl.gain_Bits_456'                                                                                0x20000024    \"\" UINT(3,4) \"\" 0 -4           3 (-4  3)            CHARACTERISTIC  WEAK_LIMITS -4                   3\r\n");

    const std::string map = mapLine(signal("counter", 0x2000a1b4, 4, false)) + mapLine(signal("ns::limit", 0x1234, 2, true)) +
                            mapLine(signal("flags", 0x20000020, 1, false, 1, 2)) + mapLine(signal("blob", 0x20000100, 3, false));
    EXPECT_EQ(map,
        "2000a1b4H     SYMBOL  DATA  DWORD    counter\r\n"
        "00001234H     SYMBOL  DATA  INT16    ns::limit\r\n"
        "20000020H     SYMBOL  DATA  BYTE     flags_Bit:5\r\n"
        "20000100H     SYMBOL  DATA  SIZE_NOT_SUPPORTED_3    blob\r\n");

    std::string header;
    appendCanapeHeader(header);
    EXPECT_EQ(header, "VERSION 104 COMMENT \"CANAPE DB\"\r\nGROUP 'QX_Signals' : \"\"\r\n['QX_Signals']\r\n");
}

TEST(Formats, TypeRowsAndKeywordsBySize) {
    struct Case {
        std::uint32_t size;
        bool isSigned;
        const char* keyword;
        const char* row;  // start of the limits text
        std::size_t rowLength;
    };
    const Case cases[] = {
        {1, false, "BYTE ", "    \"\" UINT(8)    \"\" 0 0                   255 ", 120},
        {2, false, "WORD ", "    \"\" UINT(16)   \"\" 0 0                   65535 ", 122},
        {4, false, "DWORD", "    \"\" UINT(32)   \"\" 0 0 ", 127},
        {8, false, "QWORD", "    \"\" UINT(64)   \"\" 0 0                   4294967295 ", 127},
        {1, true, "INT8 ", "    \"\" INT(8)     \"\" 0 -128                127 ", 120},
        {2, true, "INT16", "    \"\" INT(16)    \"\" 0 -32768 ", 122},
        {4, true, "INT32", "    \"\" INT(32)    \"\" 0 -2147483648 ", 127},
        {8, true, "INT64", "    \"\" INT(64)    \"\" 0 -2147483648         2147483647 ", 127},
        {0, false, "SIZE_NOT_SUPPORTED_0", "    \"\" UINT(64)   \"\" 0 0 ", 127},
        {3, true, "SIZE_NOT_SUPPORTED_3", "    \"\" UINT(64)   \"\" 0 0 ", 127},
        {16, false, "SIZE_NOT_SUPPORTED_16", "    \"\" UINT(64)   \"\" 0 0 ", 127},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const SignalInfo s = signal("v", 0x10, c.size, c.isSigned);
        EXPECT_EQ(mapLine(s), std::string("00000010H     SYMBOL  DATA  ") + c.keyword + "    v\r\n");
        const std::string line = canapeLine(s);
        const std::string row = line.substr(123, line.size() - 125);  // after 13 + 100 + "0x" + 8 digits
        EXPECT_EQ(row.rfind(c.row, 0), 0u) << row;
        EXPECT_EQ(row.size(), c.rowLength);
    }
}

TEST(Formats, LongNamesAreNeverCut) {
    for (std::size_t length : {95u, 96u, 97u, 150u}) {
        const std::string name(length, 'n');
        const std::string line = canapeLine(signal(name, 0x1234, 1, false));
        const std::string quoted = "'" + name + "'  ";
        ASSERT_EQ(line.substr(13, quoted.size()), quoted);
        const std::size_t hex = std::max<std::size_t>(13 + 100, 13 + quoted.size());
        EXPECT_EQ(line.substr(hex, 10), "0x00001234") << length;
    }
    // Only the CANape file replaces '@' and ':'.
    const SignalInfo s = signal("f@x::y.z", 0, 1, false);
    EXPECT_EQ(canapeLine(s).substr(13, 12), "'f_x__y.z'  ");
    EXPECT_NE(mapLine(s).find("    f@x::y.z\r\n"), std::string::npos);
}

TEST(Formats, BitFieldLimits) {
    auto limits = [](std::int32_t bits, bool isSigned) {
        const std::string line = canapeLine(signal("b", 0, 8, isSigned, bits, 64 - bits));
        return line.substr(line.find("UINT("));
    };
    EXPECT_EQ(limits(1, true), "UINT(1,0) \"\" 0 -1           0 (-1  0)            CHARACTERISTIC  WEAK_LIMITS -1                   0\r\n");
    EXPECT_EQ(limits(31, false), "UINT(31,0) \"\" 0 0           2147483647 (0  2147483647)            CHARACTERISTIC  WEAK_LIMITS 0                   2147483647\r\n");
    EXPECT_EQ(limits(32, false), "UINT(32,0) \"\" 0 0           4294967295 (0  4294967295)            CHARACTERISTIC  WEAK_LIMITS 0                   4294967295\r\n");
    EXPECT_EQ(limits(32, true), "UINT(32,0) \"\" 0 -2147483648           2147483647 (-2147483648  2147483647)            CHARACTERISTIC  WEAK_LIMITS -2147483648                   2147483647\r\n");
    EXPECT_NE(limits(40, false).find(" 1099511627775 ("), std::string::npos);
    EXPECT_NE(limits(64, false).find(" 18446744073709551615 ("), std::string::npos);
    EXPECT_NE(limits(64, true).find(" -9223372036854775808           9223372036854775807 ("), std::string::npos);
}

TEST(Formats, DisplayNamesAndBitPositions) {
    auto display = [](const SignalInfo& s, bool littleEndian) {
        std::string out;
        appendDisplayName(out, s, s.bitSize != 0 ? bitPosition(s, littleEndian) : 0);
        return out;
    };
    // Bits count from the least significant bit of the unit's value on
    // targets of either byte order; the bit offset counts from its most
    // significant bit. The first field of a 16-bit unit on a big-endian
    // target holds its top bits.
    for (const bool littleEndian : {false, true}) {
        EXPECT_EQ(display(signal("flags", 0, 1, false, 1, 5), littleEndian), "flags_Bit:2");
        EXPECT_EQ(display(signal("flags", 0, 1, false, 3, 4), littleEndian), "flags_Bits:123");
        EXPECT_EQ(display(signal("w", 0, 2, false, 4, 8), littleEndian), "w_Bits:4567");
        EXPECT_EQ(display(signal("Reserved", 0, 2, false, 5, 0), littleEndian), "Reserved_Bits:1112131415");
        // A packed field that runs on past the top of its unit (negative offset).
        EXPECT_EQ(display(signal("e", 0, 1, false, 7, -4), littleEndian), "e_Bits:567891011");
    }
    EXPECT_EQ(display(signal("x", 0, 4, false, 3, 29), true), "x_Bits:012");
    EXPECT_EQ(display(signal("x", 0, 4, false, 1, 0), true), "x_Bit:31");
    EXPECT_EQ(display(signal("plain", 0, 4, false), true), "plain");
    // A field reaching beyond its unit is placed at bit 0 instead of wrapping.
    EXPECT_EQ(bitPosition(signal("x", 0, 4, false, 3, 30), true), 0u);
    EXPECT_EQ(display(signal("x", 0, 1, false, 3, 30), true), "x_Bits:012");
}

// The base name is a direct scan; it must agree with the expression the
// duplicate warnings have always been defined by.
TEST(Formats, BaseNameAgreesWithTheExpression) {
    const std::regex pattern("^([^@.:]+).*", std::regex::ECMAScript);
    auto reference = [&](const std::string& text) {
        std::smatch m;
        return std::regex_match(text, m, pattern) ? m[1].str() : std::string();
    };
    std::vector<std::string> texts = {"s.a", "flags_Bit:5", "f@cnt", "ns::x", ".x", "@", ":", "", "plain",
                                      "a\nb.c", "a.b\nc", "a.b\r", "\n", "a\r"};
    std::mt19937 random(11);
    const char alphabet[] = "ab.@:\r\n";
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        const int length = static_cast<int>(random() % 9);
        for (int k = 0; k < length; ++k) text += alphabet[random() % (sizeof alphabet - 1)];
        texts.push_back(text);
    }
    for (const auto& text : texts) EXPECT_EQ(std::string(baseName(text)), reference(text)) << '"' << text << '"';
}

// The duplicate check against a plain model of its rules (ordered map of
// names, ordered set of reported locations) on many names: the table grows
// many times, names collide in length and prefix, and some are very long.
TEST(Formats, DuplicateCheckAgreesWithOrderedMaps) {
    std::mt19937 random(5);
    const std::string locations[] = {"", "/a.c(1)", "/b.c(2)", "/c.h(30)", "/d.c(4)"};
    std::vector<std::pair<std::string, std::string>> calls;
    for (int i = 0; i < 60000; ++i) {
        std::string name;
        switch (random() % 4) {
            case 0: name = "v" + std::to_string(random() % 50000); break;          // some repeat
            case 1: name = "s.member_" + std::to_string(i) + ".x"; break;        // all distinct
            case 2: name = std::string(random() % 20, 'a'); break;                // prefixes of one another
            default: name = "ns::t@" + std::to_string(random() % 200) + "_Bits:" + std::to_string(i % 7); break;
        }
        calls.emplace_back(name, locations[random() % std::size(locations)]);
    }
    calls.emplace_back(std::string(3u << 20, 'L'), "/big.c(1)");  // longer than a storage block
    calls.emplace_back(std::string(3u << 20, 'L'), "/big.c(2)");
    calls.emplace_back(std::string(3u << 20, 'L') + "x", "/big.c(3)");

    std::map<std::string, std::string> seen;
    std::set<std::string> reported;
    std::string expected;
    bool expectedFound = false;
    DuplicateCheck check;
    for (const auto& [name, location] : calls) {
        check.check(name, location);
        auto it = seen.find(name);
        if (it == seen.end()) {
            seen.emplace(name, location);
            continue;
        }
        expectedFound = true;
        if (reported.insert(location).second) {
            expected += "Warning - Duplicate Static VariableName: " + std::string(baseName(name)) +
                        "\r\n  Location File: " + location + "\r\n";
            if (!it->second.empty()) expected += "  Location File: " + it->second + "\r\n";
        }
        it->second.clear();
    }
    EXPECT_EQ(check.found(), expectedFound);
    EXPECT_EQ(check.names(), seen.size());
    EXPECT_EQ(check.log(), expected);
    EXPECT_TRUE(check.found());
}

// ------------------------------------------------------------ output pass

// A model built by hand: one compile unit with a line table, and helpers to
// add located variables.
struct Firmware {
    DwarfModel model;
    CompileUnitInfo* unit;
    StatementList* table;
    TypeInfo_Base* u8;
    TypeInfo_Base* u32;
    TypeInfo_Base* i16;

    Firmware() {
        model.root.reset(new BasicObject(0, "", nullptr));
        unit = add<CompileUnitInfo>(model.root.get(), "main.c");
        unit->stmtList = 0x40;
        table = (model.lineTables[0x40] = std::make_unique<StatementList>(0x40)).get();
        table->files = {"/src/a.c", "/src/b.h", "/src/c.c"};
        u8 = base(1, "unsigned char");
        u32 = base(4, "unsigned");
        i16 = base(2, "signed");
    }
    template <class T>
    T* add(BasicObject* parent, std::string_view name) {
        auto* o = new T(next++, "DW_TAG_x", parent);
        o->setName(name);
        return o;
    }
    TypeInfo_Base* base(std::int32_t size, std::string_view encoding) {
        auto* b = add<TypeInfo_Base>(unit, "t");
        b->byteSize = size;
        b->encodingName = encoding;
        return b;
    }
    VariableInfo* variable(BasicObject* parent, std::string_view name, BasicObject* type, std::uint32_t address,
                           std::int32_t file = 1, std::string_view line = "1") {
        auto* v = add<VariableInfo>(parent != nullptr ? parent : unit, name);
        v->type = type;
        v->address = address;
        v->declFile = file;
        model.setDeclLine(*v, line);
        model.locatedObjects.push_back(v);
        return v;
    }
    std::uint32_t next = 1;
};

struct Outputs {
    bool ok;
    std::string console;
};

Outputs writeAll(const DwarfModel& model, const std::string& map, const std::string& canape) {
    console.text.clear();
    const bool ok = writeOutputFiles(map, canape, model, console);
    return {ok, std::exchange(console.text, {})};
}

void expectCrLf(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare line feed at " << i;
        }
    if (!text.empty()) {
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    }
}

TEST(OutputPass, WritesMapAndCanapeInSignalOrder) {
    Firmware fw;
    fw.variable(nullptr, "counter", fw.u32, 0x2000a1b4, 1, "12");
    auto* ns = fw.add<TypeInfo_Namespace>(fw.unit, "ns");
    fw.variable(ns, "limit", fw.i16, 0x1234, 2, "7");
    auto* s = fw.add<TypeInfo_Structure>(fw.unit, "Ctrl");
    s->byteSize = 2;
    auto* gain = fw.add<TypeInfo_Member>(s, "gain");
    gain->type = fw.i16;
    gain->bitField().bitSize = 3;
    gain->bitField().bitOffset = 9;
    gain->bitField().byteSize = 1;
    auto* mode = fw.add<TypeInfo_Member>(s, "mode");
    mode->type = fw.u8;
    mode->dataMemberLocation = 1;
    fw.variable(nullptr, "ctrl", s, 0x20000024, 0, "17");  // file number 0
    auto* constant = fw.add<TypeInfo_Const>(fw.unit, "");
    constant->type = fw.u32;
    fw.variable(nullptr, "table", constant, 0x08000000);     // no lines, never a duplicate
    fw.variable(nullptr, "table", constant, 0x08000004);
    fw.variable(nullptr, "untyped", nullptr, 0x20000100);    // nothing
    fw.model.locatedObjects.push_back(fw.add<FunctionInfo>(fw.unit, "fn"));
    // A definition without a type is expanded through its declaration's type.
    auto* decl = fw.add<VariableInfo>(fw.add<TypeInfo_Class>(fw.unit, "Motor"), "speed");
    decl->type = fw.u8;
    decl->declFile = 3;
    decl->setDeclLine(4);
    fw.variable(nullptr, "speed", nullptr, 0x20000200, 1, "99")->specification = decl;

    TempDir dir;
    const Outputs out = writeAll(fw.model, dir / "fw_Mox.m51", dir / "fw_CANape.db");
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.console, "");
    const std::string map = readFile(dir / "fw_Mox.m51");
    EXPECT_EQ(map,
              "2000a1b4H     SYMBOL  DATA  DWORD    counter\r\n"
              "00001234H     SYMBOL  DATA  INT16    ns::limit\r\n"
              "20000024H     SYMBOL  DATA  INT16    ctrl.gain_Bits:456\r\n"
              "20000025H     SYMBOL  DATA  BYTE     ctrl.mode\r\n"
              "20000200H     SYMBOL  DATA  BYTE     Motor->speed\r\n");
    const std::string canape = readFile(dir / "fw_CANape.db");
    std::vector<std::string> lines;
    std::istringstream split(canape);
    for (std::string line; std::getline(split, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "VERSION 104 COMMENT \"CANAPE DB\"\r");
    EXPECT_EQ(lines[3].substr(0, 24), "VARIABLE 0x0 'counter'  ");
    EXPECT_EQ(lines[4].substr(0, 26), "VARIABLE 0x0 'ns__limit'  ");
    EXPECT_NE(lines[5].find("'ctrl.gain_Bits_456'"), std::string::npos);
    EXPECT_NE(lines[5].find("0x20000024    \"\" UINT(3,4) \"\" 0 -4           3 (-4  3)"), std::string::npos);
    EXPECT_NE(lines[7].find("'Motor->speed'"), std::string::npos);
    expectCrLf(map);
    expectCrLf(canape);
    EXPECT_FALSE(fs::exists(dir / "fw_Mox.m51_StyleWarnings.log"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2) << "no temporary left";

    // An empty model: empty map, header-only CANape file, no log.
    DwarfModel empty;
    EXPECT_TRUE(writeAll(empty, dir / "e_Mox.m51", dir / "e_CANape.db").ok);
    EXPECT_EQ(readFile(dir / "e_Mox.m51"), "");
    EXPECT_EQ(readFile(dir / "e_CANape.db"), "VERSION 104 COMMENT \"CANAPE DB\"\r\nGROUP 'QX_Signals' : \"\"\r\n['QX_Signals']\r\n");
}

TEST(OutputPass, LittleEndianBitNumbers) {
    Firmware fw;
    fw.model.littleEndian = true;
    auto* s = fw.add<TypeInfo_Structure>(fw.unit, "R");
    s->byteSize = 4;
    auto* f = fw.add<TypeInfo_Member>(s, "f");
    f->type = fw.u32;
    f->bitField().bitSize = 3;
    f->bitField().bitOffset = 29;
    f->bitField().byteSize = 4;
    fw.variable(nullptr, "x", s, 0x100);
    TempDir dir;
    ASSERT_TRUE(writeAll(fw.model, dir / "m", "").ok);
    EXPECT_EQ(readFile(dir / "m"), "00000100H     SYMBOL  DATA  DWORD    x.f_Bits:012\r\n");
}

TEST(OutputPass, DuplicateLog) {
    Firmware fw;
    fw.variable(nullptr, "count", fw.u32, 0x100, 1, "3");
    fw.variable(nullptr, "count", fw.u32, 0x200, 2, "9");
    TempDir dir;
    const std::string map = dir / "two_Mox.m51";
    ASSERT_TRUE(writeAll(fw.model, map, "").ok);
    const std::string two =
        "Warning - Duplicate Static VariableName: count\r\n"
        "  Location File: /src/b.h(9)\r\n"
        "  Location File: /src/a.c(3)\r\n";
    EXPECT_EQ(readFile(map + "_StyleWarnings.log"), two);

    fw.variable(nullptr, "count", fw.u32, 0x300, 3, "5");
    ASSERT_TRUE(writeAll(fw.model, map, "").ok);
    EXPECT_EQ(readFile(map + "_StyleWarnings.log"),
              two + "Warning - Duplicate Static VariableName: count\r\n  Location File: /src/c.c(5)\r\n");
    EXPECT_EQ(readFile(map).size(), 3 * std::string("00000100H     SYMBOL  DATA  DWORD    count\r\n").size());

    // Names are checked in batches on a thread of their own: repeats far
    // apart, the last one in a batch that is not full, are still found.
    Firmware many;
    many.variable(nullptr, "count", many.u32, 0x100, 1, "3");
    auto* array = many.add<TypeInfo_Array>(many.unit, "");
    array->type = many.u8;
    many.add<TypeInfo_Subrange>(array, "")->upperB = 9999;
    many.variable(nullptr, "table", array, 0x1000, 1, "4");
    many.variable(nullptr, "count", many.u32, 0x200, 2, "9");
    ASSERT_TRUE(writeAll(many.model, map, "").ok);
    EXPECT_EQ(readFile(map + "_StyleWarnings.log"), two);

    // The same variable twice: one warning naming its location twice; the
    // structure's second member repeats at a reported location and adds nothing.
    Firmware again;
    auto* s = again.add<TypeInfo_Structure>(again.unit, "S");
    auto* a = again.add<TypeInfo_Member>(s, "a");
    a->type = again.u8;
    auto* b = again.add<TypeInfo_Member>(s, "b");
    b->type = again.u8;
    auto* v = again.variable(nullptr, "s", s, 0x10, 2, "1");
    again.model.locatedObjects.push_back(v);
    // Statics of a unit without a line table have empty locations.
    auto* bare = again.add<CompileUnitInfo>(again.model.root.get(), "gen.c");
    bare->stmtList = 0x99;
    again.variable(bare, "e", again.u8, 0x20);
    again.variable(bare, "e", again.u8, 0x21);
    again.variable(bare, "e", again.u8, 0x22);
    ASSERT_TRUE(writeAll(again.model, map, "").ok);
    EXPECT_EQ(readFile(map + "_StyleWarnings.log"),
              "Warning - Duplicate Static VariableName: s\r\n"
              "  Location File: /src/b.h(1)\r\n"
              "  Location File: /src/b.h(1)\r\n"
              "Warning - Duplicate Static VariableName: e\r\n"
              "  Location File: \r\n");
}

// The outputs are replaced as one set: a file that cannot be created leaves
// the earlier files of the others as they were.
TEST(OutputPass, AFileThatCannotBeCreatedKeepsTheWholeEarlierSet) {
    Firmware fw;
    fw.variable(nullptr, "dup", fw.u8, 0x1, 1, "1");
    fw.variable(nullptr, "dup", fw.u8, 0x2, 2, "2");
    TempDir dir;
    const std::string map = dir / "blocked_Mox.m51";
    fs::create_directory(map);  // the map's name is taken by a folder
    ASSERT_TRUE(writeWholeFile(map + "_StyleWarnings.log", "earlier log\r\n", console));
    ASSERT_TRUE(writeWholeFile(dir / "blocked_CANape.db", "earlier database\r\n", console));
    const Outputs out = writeAll(fw.model, map, dir / "blocked_CANape.db");
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.console, "Can not create file: " + map + "\n");
    EXPECT_TRUE(fs::is_directory(map));
    EXPECT_EQ(readFile(map + "_StyleWarnings.log"), "earlier log\r\n");
    EXPECT_EQ(readFile(dir / "blocked_CANape.db"), "earlier database\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 3) << "temporaries removed";

    const std::string missing = dir / "no/such/folder_Mox.m51";
    const Outputs gone = writeAll(fw.model, missing, "");
    EXPECT_FALSE(gone.ok);
    EXPECT_EQ(gone.console, "Can not create file: " + missing + "\n" + "Can not create file: " + missing +
                                "_StyleWarnings.log\n");
}

// Texts far larger than one block of the file writer: the files hold every
// line once, in order, and nothing else is left in the folder.
TEST(OutputPass, LargeTextsAreWrittenWhole) {
    Firmware fw;
    auto* table = fw.add<TypeInfo_Array>(fw.unit, "");
    table->type = fw.u32;
    auto* range = fw.add<TypeInfo_Subrange>(table, "");
    range->upperB = 2999;
    fw.variable(nullptr, "big", table, 0x20000000);
    fw.variable(nullptr, "tail", fw.u8, 0x30000000);
    TempDir dir;
    ASSERT_TRUE(writeAll(fw.model, dir / "l_Mox.m51", dir / "l_CANape.db").ok);

    const std::string map = readFile(dir / "l_Mox.m51");
    const std::string canape = readFile(dir / "l_CANape.db");
    EXPECT_GT(canape.size(), std::size_t{700000});
    std::istringstream mapLines(map), canapeLines(canape);
    std::string mapLine, canapeLine;
    for (int k = 0; k < 3; ++k) std::getline(canapeLines, canapeLine);
    for (std::uint32_t i = 0; i < 3000; ++i) {
        ASSERT_TRUE(std::getline(mapLines, mapLine));
        ASSERT_TRUE(std::getline(canapeLines, canapeLine));
        char index[8];
        std::snprintf(index, sizeof index, "%05u", i);
        char address[16];
        std::snprintf(address, sizeof address, "%08x", 0x20000000u + 4 * i);
        ASSERT_EQ(mapLine, std::string(address) + "H     SYMBOL  DATA  DWORD    big_" + index + "\r");
        ASSERT_EQ(canapeLine.substr(0, 24), std::string("VARIABLE 0x0 'big_") + index + "'");
        ASSERT_EQ(canapeLine.substr(113, 10), std::string("0x") + address);
    }
    std::getline(mapLines, mapLine);
    EXPECT_EQ(mapLine, "30000000H     SYMBOL  DATA  BYTE     tail\r");
    EXPECT_FALSE(std::getline(mapLines, mapLine));
    std::getline(canapeLines, canapeLine);
    EXPECT_EQ(canapeLine.substr(0, 20), "VARIABLE 0x0 'tail' ");
    EXPECT_FALSE(std::getline(canapeLines, canapeLine));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2) << "no temporary left";

    // The same name for the map and the CANape file: as when written one
    // after the other, the CANape text is what remains.
    ASSERT_TRUE(writeAll(fw.model, dir / "same", dir / "same").ok);
    EXPECT_EQ(readFile(dir / "same"), canape);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 3);
}

// A CANape file large enough to be put in place on a thread of its own
// replaces the previous one like any other; with the map's name it is
// still the text that remains.
TEST(OutputPass, ALargeCanapeFileReplacesThePreviousOne) {
    Firmware fw;
    auto* table = fw.add<TypeInfo_Array>(fw.unit, "");
    table->type = fw.u8;
    fw.add<TypeInfo_Subrange>(table, "")->upperB = 159999;
    fw.variable(nullptr, "big", table, 0x20000000);
    TempDir dir;
    const std::string map = dir / "l_Mox.m51", canape = dir / "l_CANape.db";
    ASSERT_TRUE(writeWholeFile(map, "old\r\n", console) && writeWholeFile(canape, "old\r\n", console));
    ASSERT_TRUE(writeAll(fw.model, map, canape).ok);
    const std::string text = readFile(canape);
    EXPECT_GT(text.size(), std::size_t{32} << 20);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3 + 160000);
    EXPECT_EQ(text.substr(text.rfind("'big_"), 12), "'big_159999'");
    EXPECT_EQ(readFile(map).substr(0, 8), "20000000");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2) << "no temporary left";

    ASSERT_TRUE(writeAll(fw.model, dir / "same", dir / "same").ok);
    EXPECT_EQ(readFile(dir / "same"), text);
}

#ifndef _WIN32
TEST(OutputPass, AFailedWriteKeepsThePreviousFile) {
    TempDir dir;
    const std::string name = dir / "keep_Mox.m51";
    ASSERT_TRUE(writeWholeFile(name, "good\r\n", console));

    // Let the file size limit make the write fail part way.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    console.text.clear();
    const bool written = writeWholeFile(name, std::string(100000, 'x'), console);
    const std::string messages = std::exchange(console.text, {});
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(written);
    EXPECT_EQ(messages, "Can not write file: " + name + "\n");
    EXPECT_EQ(readFile(name), "good\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1) << "temporary removed";
}

// A CANape file that fails part way while its text is still being produced:
// the messages come in the order of the files (map, then CANape), and no file
// of the set is written: the previous CANape file stays as it was, no log
// appears.
TEST(OutputPass, AWriteFailingPartWayIsReportedAtTheEnd) {
    Firmware fw;
    auto* table = fw.add<TypeInfo_Array>(fw.unit, "");
    table->type = fw.u8;
    auto* range = fw.add<TypeInfo_Subrange>(table, "");
    range->upperB = 2999;  // about 750 kB of CANape text, 150 kB of map text
    fw.variable(nullptr, "t", table, 0x100, 1, "1");
    fw.variable(nullptr, "t", table, 0x200, 2, "2");
    TempDir dir;
    const std::string map = dir / "f_Mox.m51";
    const std::string canape = dir / "f_CANape.db";
    fs::create_directory(map);
    ASSERT_TRUE(writeWholeFile(canape, "previous\r\n", console));

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved;
    limit.rlim_cur = 600000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const Outputs out = writeAll(fw.model, map, canape);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.console, "Can not create file: " + map + "\nCan not write file: " + canape + "\n");
    EXPECT_EQ(readFile(canape), "previous\r\n");
    EXPECT_FALSE(fs::exists(map + "_StyleWarnings.log"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2) << "temporaries removed";
}
#endif

}  // namespace

namespace {

// A definition whose declaration lies in another compile unit (as after
// link-time optimisation) is located with the file table of that unit.
TEST(OutputPass, DeclarationsAreLocatedInTheirOwnUnit) {
    auto model = loadText(
        "  Offset:                      0x0\n"
        " The Directory Table:\n"
        "\n"
        " The File Name Table:\n"
        "  Entry\tDir\tTime\tSize\tName\n"
        "  1\t0\t0\t0\tconcrete.c\n"
        "\n"
        "  Offset:                      0x40\n"
        " The Directory Table:\n"
        "\n"
        " The File Name Table:\n"
        "  Entry\tDir\tTime\tSize\tName\n"
        "  1\t0\t0\t0\tconcrete2.c\n"
        "  2\t0\t0\t0\tdeclared.h\n"
        "\n"
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        "    <c>   DW_AT_stmt_list   : 0x40\t\n"
        " <1><20>: Abbrev Number: 2 (DW_TAG_base_type)\n"
        "    <21>   DW_AT_byte_size   : 4\t\n"
        "    <22>   DW_AT_encoding    : 7\t(unsigned)\n"
        " <1><28>: Abbrev Number: 3 (DW_TAG_variable)\n"
        "    <29>   DW_AT_name        : count\t\n"
        "    <2a>   DW_AT_decl_file   : 2\t\n"
        "    <2b>   DW_AT_decl_line   : 7\t\n"
        "    <2c>   DW_AT_type        : <0x20>\t\n"
        "    <2d>   DW_AT_location    : 5 byte block: 3 0 1 0 20 \t(DW_OP_addr: 20000100)\n"
        " <0><100>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        "    <101>   DW_AT_stmt_list   : 0x0\t\n"
        " <1><120>: Abbrev Number: 3 (DW_TAG_variable)\n"
        "    <121>   DW_AT_abstract_origin: <0x28>\t\n"
        "    <122>   DW_AT_location    : 5 byte block: 3 4 1 0 20 \t(DW_OP_addr: 20000104)\n");
    TempDir dir;
    const std::string map = dir / "lto_Mox.m51";
    ASSERT_TRUE(writeOutputFiles(map, "", *model, console));
    EXPECT_EQ(readFile(map), "20000100H     SYMBOL  DATA  DWORD    count\r\n20000104H     SYMBOL  DATA  DWORD    count\r\n");
    EXPECT_EQ(readFile(map + "_StyleWarnings.log"),
              "Warning - Duplicate Static VariableName: count\r\n"
              "  Location File: /declared.h(7)\r\n"
              "  Location File: /declared.h(7)\r\n");
}

// A symbol is matched with a variable by the linkage name of the variable or
// of its declaration, whatever entry the declaration is: a member, a
// variable, or (in DWARF no compiler writes, but read all the same) a
// subprogram.
TEST(Omissions, LinkageNamesOfDeclarationsOfEveryKindAreLookedAt) {
    for (const char* declarationTag : {"DW_TAG_member", "DW_TAG_variable", "DW_TAG_subprogram"}) {
        SCOPED_TRACE(declarationTag);
        auto model = loadText(std::string(" <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
                                          " <1><30>: Abbrev Number: 2 (") +
                              declarationTag +
                              ")\n"
                              "    <31>   DW_AT_linkage_name: (indirect string, offset: 0x1f): _ZN1k3oddE\n"
                              " <1><40>: Abbrev Number: 3 (DW_TAG_variable)\n"
                              "    <41>   DW_AT_specification: <0x30>\t\n");
        std::vector<ElfDataSymbol> symbols(1);
        symbols[0] = {"_ZN1k3oddE", 0x20000000, 4, ".bss"};
        std::string log;
        const OmissionCounts counts = appendOmissions(log, symbols, *model, {});
        EXPECT_EQ(counts.omissions, 1u);
        EXPECT_EQ(log, "_ZN1k3oddE\t0x20000000\t4\t.bss\toptimized out\r\n");
    }
}

}  // namespace

namespace {

// The whole run is bounded too: once the run's signals are used up, the
// remaining variables are not expanded, and the console says where it stopped.
TEST(OutputPass, TheRunWideSignalBoundStopsTheRemainingVariables) {
    std::string dump =
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        " <1><20>: Abbrev Number: 2 (DW_TAG_base_type)\n"
        "    <21>   DW_AT_byte_size   : 4\t\n"
        " <1><30>: Abbrev Number: 3 (DW_TAG_array_type)\n"
        "    <31>   DW_AT_type        : <0x20>\t\n"
        " <2><38>: Abbrev Number: 4 (DW_TAG_subrange_type)\n"
        "    <39>   DW_AT_upper_bound : 100000\t\n";
    for (char v : std::string("abc")) {
        const unsigned off = 0x40 + 0x10 * static_cast<unsigned>(v - 'a');
        char line[256];
        std::snprintf(line, sizeof line,
                      " <1><%x>: Abbrev Number: 5 (DW_TAG_variable)\n"
                      "    <%x>   DW_AT_name        : %c\t\n"
                      "    <%x>   DW_AT_type        : <0x30>\t\n"
                      "    <%x>   DW_AT_location    : 5 byte block: 3 0 0 0 20 \t(DW_OP_addr: 20000000)\n",
                      off, off + 1, v, off + 2, off + 3);
        dump += line;
    }
    auto model = loadText(dump);
    ExpandLimits limits;
    limits.maxSignals = 1000;
    limits.maxRunSignals = 1500;
    TempDir dir;
    const std::string map = dir / "cap_Mox.m51";
    console.text.clear();
    ASSERT_TRUE(writeOutputFiles(map, "", *model, console, limits));
    EXPECT_EQ(std::exchange(console.text, {}),
              "Too many signals, expansion stopped: a (DIE 0x40)\n"
              "Too many signals, expansion stopped: b (DIE 0x50)\n"
              "Too many signals in this image, expansion stopped before: c (DIE 0x60)\n");
    const std::string text = readFile(map);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1500);
    EXPECT_NE(text.find("b_000499\r\n"), std::string::npos);
    EXPECT_EQ(text.find("b_000500"), std::string::npos);
}

}  // namespace

namespace {

// A type that claims more bytes than the 32-bit address space holds is no
// real variable: it is reported and left out, and the next one follows.
TEST(OutputPass, VariablesLargerThanTheAddressSpaceAreNotExpanded) {
    auto model = loadText(
        " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
        " <1><20>: Abbrev Number: 2 (DW_TAG_base_type)\n"
        "    <21>   DW_AT_byte_size   : 4\t\n"
        " <1><30>: Abbrev Number: 3 (DW_TAG_array_type)\n"
        "    <31>   DW_AT_type        : <0x20>\t\n"
        " <2><38>: Abbrev Number: 4 (DW_TAG_subrange_type)\n"
        "    <39>   DW_AT_upper_bound : 1073741823\t\n"
        " <1><40>: Abbrev Number: 5 (DW_TAG_variable)\n"
        "    <41>   DW_AT_name        : whole\t\n"
        "    <42>   DW_AT_type        : <0x30>\t\n"
        "    <43>   DW_AT_location    : 5 byte block: 3 0 0 0 0 \t(DW_OP_addr: 0)\n"
        " <1><50>: Abbrev Number: 5 (DW_TAG_variable)\n"
        "    <51>   DW_AT_name        : beyond\t\n"
        "    <52>   DW_AT_type        : <0x30>\t\n"
        "    <53>   DW_AT_location    : 5 byte block: 3 4 0 0 0 \t(DW_OP_addr: 4)\n"
        " <1><60>: Abbrev Number: 5 (DW_TAG_variable)\n"
        "    <61>   DW_AT_name        : next\t\n"
        "    <62>   DW_AT_type        : <0x20>\t\n"
        "    <63>   DW_AT_location    : 5 byte block: 3 4 0 0 20 \t(DW_OP_addr: 20000004)\n");
    ExpandLimits limits;
    limits.maxSignals = 3;
    TempDir dir;
    const std::string map = dir / "space_Mox.m51";
    console.text.clear();
    ASSERT_TRUE(writeOutputFiles(map, "", *model, console, limits));
    EXPECT_EQ(std::exchange(console.text, {}),
              "Too many signals, expansion stopped: whole (DIE 0x40)\n"
              "Variable larger than the address space, not expanded: beyond (DIE 0x50)\n");
    EXPECT_EQ(readFile(map),
              "00000000H     SYMBOL  DATA  DWORD    whole_0000000000\r\n"
              "00000004H     SYMBOL  DATA  DWORD    whole_0000000001\r\n"
              "00000008H     SYMBOL  DATA  DWORD    whole_0000000002\r\n"
              "20000004H     SYMBOL  DATA  DWORD    next\r\n");
}

}  // namespace

namespace {

// ------------------------------------------------------- temporary files

// The temporary file's own name keeps within 255 bytes, cut at a character
// boundary, whatever the length of the target's name.
TEST(TemporaryFiles, NamesKeepWithin255Bytes) {
    const std::string suffix(16, 'a');
    const std::string umlaut = "\xc3\xbc";  // two bytes in UTF-8
    struct Case {
        std::string folder;
        std::string name;
        std::string expectedStem;  // the name part before ".tmp"
    };
    const std::string long235(235, 'n');
    const std::string long243(243, 'n');
    const std::string long255(255, 'n');
    const Case cases[] = {
        {"", "app_Mox.m51", "app_Mox.m51"},
        {"dir/", "app_Mox.m51", "app_Mox.m51"},
        {"", long235, long235},
        {"some/folder/", long243, long243.substr(0, 235)},
        {"", long255, long255.substr(0, 235)},
        {"f/", std::string(234, 'n') + umlaut + "x", std::string(234, 'n')},
        {"f/", std::string(233, 'n') + umlaut + "x", std::string(233, 'n') + umlaut},
    };
    for (const Case& c : cases) {
        const std::string name = temporaryName(c.folder + c.name, suffix);
        EXPECT_EQ(name, c.folder + c.expectedStem + ".tmp" + suffix) << c.name.size();
        EXPECT_LE(name.size() - c.folder.size(), 255u);
    }

    // A 243-byte name is written (the temporary file's name is cut).
    TempDir dir;
    const std::string target = dir / std::string(243, 'w');
    ASSERT_TRUE(writeWholeFile(target, "text\r\n", console));
    EXPECT_EQ(readFile(target), "text\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

// Temporary files are created only where nothing of their name exists, under
// names nobody can guess: two files for one target get two names.
TEST(TemporaryFiles, CreatedExclusivelyUnderUnpredictableNames) {
    TempDir dir;
    const std::string taken = dir / "taken";
    ASSERT_TRUE(writeWholeFile(taken, "earlier\r\n", console));
    std::FILE* file = nullptr;
    EXPECT_EQ(createExclusive(taken, file), CreateResult::exists);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(createExclusive(dir / "no/such/folder", file), CreateResult::failed);
    ASSERT_EQ(createExclusive(dir / "new", file), CreateResult::created);
    std::fclose(file);
    EXPECT_EQ(readFile(taken), "earlier\r\n");

    {
        StreamedFile first(dir / "same");
        StreamedFile second(dir / "same");
        std::set<std::string> temporaries;
        for (const auto& entry : fs::directory_iterator(dir.path)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("same.tmp", 0) == 0) temporaries.insert(name.substr(8));
        }
        ASSERT_EQ(temporaries.size(), 2u);
        for (const std::string& suffix : temporaries) {
            EXPECT_EQ(suffix.size(), 16u) << suffix;
            EXPECT_EQ(suffix.find_first_not_of("0123456789abcdef"), std::string::npos) << suffix;
            // Not made from the process id; a short id (wine's are) is found
            // in 16 random digits by chance too often to be looked for.
            const std::string id = std::to_string(currentProcessId());
            if (id.size() >= 5) {
                EXPECT_EQ(suffix.find(id), std::string::npos) << suffix;
            }
        }
    }
    EXPECT_FALSE(fs::exists(dir / "same")) << "nothing committed";

    // More files open at once than the table of names removed on an
    // interruption holds: all are still written.
    std::vector<std::unique_ptr<StreamedFile>> many;
    for (int k = 0; k < 20; ++k) many.push_back(std::make_unique<StreamedFile>(dir / ("many" + std::to_string(k))));
    for (auto& file : many) {
        file->write("text");
        EXPECT_TRUE(file->complete() && file->commit()) << file->fileName() << file->problem();
        EXPECT_EQ(readFile(file->fileName()), "text");
    }
}

#ifndef _WIN32
// A link planted where the temporary file of an earlier version was named
// (the target's name, ".tmp" and the process id) is not written through.
TEST(TemporaryFiles, PlantedLinkAtTheGuessableNameIsNotFollowed) {
    TempDir dir;
    const std::string victim = dir / "victim";
    ASSERT_TRUE(writeWholeFile(victim, "precious\r\n", console));
    const std::string target = dir / "app_Mox.m51";
    fs::create_symlink(victim, target + ".tmp" + std::to_string(currentProcessId()));
    ASSERT_TRUE(writeWholeFile(target, "map\r\n", console));
    EXPECT_EQ(readFile(victim), "precious\r\n");
    EXPECT_EQ(readFile(target), "map\r\n");
    EXPECT_FALSE(fs::is_symlink(target));
}
#endif

}  // namespace
