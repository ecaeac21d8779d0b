// A dump read in two parts at once must give the model of the dump read in
// one piece, whatever lies around the point where the later part starts. Each
// case splits a small dump at the header of its second unit; where the later
// part's reading depends on the text before it, the parts must not be joined.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "../fuzz/pipeline.h"
#include "reader/ModelLoader.h"
#include "reader/PartLoad.h"

namespace {

using kestrel::fuzzing::describeModel;

std::string unit(const std::string& offset, const std::string& afterHeader, const std::string& entries) {
    return "  Compilation Unit @ offset " + offset + ":\n   Length:        0x40 (32-bit)\n" + afterHeader + entries;
}

const std::string kPointerSize = "   Pointer Size:  4\n";

const std::string kFirstUnit = unit("0x0", kPointerSize,
                                    " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
                                    "    <c>   DW_AT_name        : a.c\t\n"
                                    " <1><21>: Abbrev Number: 2 (DW_TAG_base_type)\n"
                                    "    <22>   DW_AT_byte_size   : 4\t\n"
                                    "    <24>   DW_AT_name        : int\t\n"
                                    " <1><28>: Abbrev Number: 3 (DW_TAG_variable)\n"
                                    "    <29>   DW_AT_name        : first\t\n"
                                    "    <2e>   DW_AT_decl_line   : 0x1f\t\n"
                                    "    <2f>   DW_AT_type        : <0x21>\t\n"
                                    "    <33>   DW_AT_location    : 5 byte block: 3 0 0 0 20 \t(DW_OP_addr: 20000000)\n"
                                    " <2><39>: Abbrev Number: 5 (DW_TAG_lexical_block)\n"
                                    " <3><3a>: Abbrev Number: 6 (DW_TAG_lexical_block)\n");

const std::string kSecondEntries = " <0><5b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
                                   "    <5c>   DW_AT_name        : b.c\t\n"
                                   " <1><61>: Abbrev Number: 4 (DW_TAG_pointer_type)\n"
                                   "    <62>   DW_AT_type        : <0x21>\t\n"
                                   " <1><68>: Abbrev Number: 3 (DW_TAG_variable)\n"
                                   "    <69>   DW_AT_name        : second\t\n"
                                   "    <6e>   DW_AT_decl_line   : 007\t\n"
                                   "    <6f>   DW_AT_type        : <0x61>\t\n"
                                   "    <73>   DW_AT_location    : 5 byte block: 3 4 0 0 20 \t(DW_OP_addr: 20000004)\n";

const std::string kLineTable = "Raw dump of debug contents of section .debug_line:\n\n"
                               "  Offset:                      0x0\n\n"
                               " The File Name Table:\n  Entry\tDir\tTime\tSize\tName\n  1\t0\t0\t0\tmain.c\n\n";

const std::string kAddresses = "Contents of the .debug_addr section:\n\n"
                               "  For compilation unit at offset 0x0:\n\tIndex\tAddress\n\t0:\t20000010\n\n";

struct Case {
    const char* name = "";
    std::string format = "elf32-littlearm";
    std::string before;   // sections before .debug_info
    std::string between;  // lines between the two units
    std::string secondHeader = kPointerSize;
    std::string secondEntries = kSecondEntries;
    std::string after = kLineTable;  // sections after .debug_info
    bool joined = true;
};

std::string dumpOf(const Case& c) {
    return "\napp.elf:     file format " + c.format + "\n\n" + c.before + "Contents of the .debug_info section:\n\n" +
           kFirstUnit + c.between + unit("0x50", c.secondHeader, c.secondEntries) + "\n" + c.after;
}

std::vector<Case> cases() {
    std::vector<Case> all;
    auto add = [&all](const char* name, bool joined, auto&& change) {
        Case c;
        c.name = name;
        c.joined = joined;
        change(c);
        all.push_back(c);
    };
    add("two plain units (declaration lines kept as text in both)", true, [](Case&) {});
    add("big-endian", true, [](Case& c) { c.format = "elf32-bigarm"; });
    add("a little-endian format line in the later part", true, [](Case& c) {
        c.format = "elf32-bigarm";
        c.after = "\napp.elf:     file format elf32-littlearm\n\n" + kLineTable;
    });
    add("an entry at offset 0 in both parts", true, [](Case& c) {
        c.between = " <1><0>: Abbrev Number: 2 (DW_TAG_base_type)\n";
        c.secondEntries += " <1><0>: Abbrev Number: 2 (DW_TAG_base_type)\n";
    });
    add("an offset of the earlier part again in the later one", true, [](Case& c) {
        c.secondEntries += " <1><28>: Abbrev Number: 2 (DW_TAG_base_type)\n    <29>   DW_AT_name        : twin\t\n";
    });
    add("line tables of one offset in both parts", true, [](Case& c) {
        c.before = kLineTable;
        c.before.replace(c.before.find("main.c"), 6, "early.c");
    });
    add("the later unit in .debug_types", false,
        [](Case& c) { c.between = "\nContents of the .debug_types section:\n\n"; });
    add("cut inside the later unit", true, [](Case& c) { c.after = ""; });
    add("an attribute before the later unit's first entry", false,
        [](Case& c) { c.secondEntries = "    <5a>   DW_AT_name        : stray\t\n" + kSecondEntries; });
    add("the later unit starts deeper", false,
        [](Case& c) { c.secondEntries = " <2><5a>: Abbrev Number: 3 (DW_TAG_variable)\n" + kSecondEntries; });
    add("no pointer size in the later unit", false, [](Case& c) { c.secondHeader = ""; });
    add("a table header before any table start of the later part", false, [](Case& c) {
        c.before = kLineTable;
        c.secondEntries = kSecondEntries + " The File Name Table:\n  Entry\tDir\tTime\tSize\tName\n  2\t0\t0\t0\tlate.c\n\n";
    });
    add("rows of one unit's addresses in both parts", false, [](Case& c) { c.before = c.after = kAddresses; });
    return all;
}

TEST(PartLoad, TwoPartsGiveTheModelOfOnePiece) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::string dump = dumpOf(c);
        const std::size_t start = dump.find("  Compilation Unit @ offset 0x50:");
        bool split = false;
        const auto parts = kestrel::reader::loadTextInParts(dump, start, split);
        EXPECT_EQ(describeModel(*parts), describeModel(*kestrel::reader::loadText(dump)));
        EXPECT_EQ(split, c.joined);
    }
}

// The same cases with the case's second unit as a chunk between the parts
// and a plain third unit as the later part: whichever thread reads the
// chunk, the model is the one of a reading in one piece.
TEST(PartLoad, ChunksReadByEitherThreadGiveTheModelOfOnePiece) {
    const std::string third = unit("0xa0", kPointerSize,
                                   " <0><ab>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
                                   "    <ac>   DW_AT_name        : c.c\t\n"
                                   " <1><b1>: Abbrev Number: 3 (DW_TAG_variable)\n"
                                   "    <b2>   DW_AT_name        : third\t\n"
                                   "    <b7>   DW_AT_type        : <0x61>\t\n"
                                   "    <bb>   DW_AT_location    : 5 byte block: 3 8 0 0 20 \t(DW_OP_addr: 20000008)\n");
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        std::string dump = dumpOf(c);
        // The third unit right after the second, before the line that ends .debug_info.
        dump.insert(dump.size() - c.after.size() - 1, third);
        const std::size_t chunk = dump.find("  Compilation Unit @ offset 0x50:");
        const std::size_t start = dump.find("  Compilation Unit @ offset 0xa0:");
        for (std::size_t firstTakes : {0, 1}) {
            bool split = false;
            const auto parts = kestrel::reader::loadTextInParts(dump, start, {chunk}, firstTakes, split);
            EXPECT_EQ(describeModel(*parts), describeModel(*kestrel::reader::loadText(dump))) << firstTakes;
            if (std::string(c.name).starts_with("two plain units")) {
                EXPECT_TRUE(split) << firstTakes;
            }
        }
    }
}

// A plan made while the first thread reads is used only when it comes before
// that thread has read past the end of its first part. Each case's text is
// read with the plan in force (the first thread starts once the second one
// reads), then with the plan late (made once the first thread is past it).
TEST(PartLoad, APlanMadeMeanwhileIsUsedOnlyInTime) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::string dump = dumpOf(c);
        const std::size_t start = dump.find("  Compilation Unit @ offset 0x50:");
        const kestrel::reader::Peek peek = [&dump](std::uint64_t at, char* out, std::size_t size) -> std::size_t {
            return at < dump.size() ? dump.copy(out, size, at) : 0;
        };
        for (bool late : {false, true}) {
            std::mutex mutex;
            std::condition_variable changed;
            bool secondReads = false;
            bool firstPassed = false;
            bool planMade = false;
            const kestrel::reader::RangeReader read = [&](std::uint64_t begin, std::uint64_t end,
                                                          const std::function<bool(std::string_view)>& onBlock,
                                                          std::string&) {
                std::unique_lock<std::mutex> lock(mutex);
                if (begin != 0) secondReads = true;
                changed.notify_all();
                if (begin == 0 && !late) changed.wait(lock, [&] { return secondReads; });
                lock.unlock();
                end = std::min<std::uint64_t>(end, dump.size());
                for (std::uint64_t at = begin; at < end; at += 16) {
                    if (!onBlock(std::string_view(dump).substr(at, std::min<std::uint64_t>(16, end - at)))) break;
                    if (begin == 0 && at + 16 > start + 200 && !firstPassed) {
                        // Past the point and some entries: reads on once the plan is made.
                        lock.lock();
                        firstPassed = true;
                        changed.notify_all();
                        changed.wait(lock, [&] { return planMade; });
                        lock.unlock();
                    }
                }
                return true;
            };
            const auto makePlan = [&] {
                std::unique_lock<std::mutex> lock(mutex);
                if (late) changed.wait(lock, [&] { return firstPassed; });
                const kestrel::reader::PartPlan plan = kestrel::reader::planPartsAt(peek, start);
                planMade = true;
                changed.notify_all();
                return plan;
            };
            kestrel::model::DwarfModel model;
            std::string error;
            bool split = !c.joined;
            ASSERT_TRUE(kestrel::reader::loadPlanningMeanwhile(read, makePlan, model, error, split));
            EXPECT_EQ(describeModel(model), describeModel(*kestrel::reader::loadText(dump))) << late;
            EXPECT_EQ(split, c.joined && !late) << late;
        }
    }
}

// The later part must start at a unit header line, and only LF line ends
// let a text be split.
TEST(PartLoad, OnlyAtAUnitHeaderOfAnLfText) {
    std::string dump = dumpOf(Case{});
    const std::size_t start = dump.find("  Compilation Unit @ offset 0x50:");
    for (std::size_t at : {start + 1, start - 1, dump.find(" <1><61>")}) {
        bool split = true;
        EXPECT_EQ(describeModel(*kestrel::reader::loadTextInParts(dump, at, split)),
                  describeModel(*kestrel::reader::loadText(dump)));
        EXPECT_FALSE(split) << at;
    }
    for (char& ch : dump)
        if (ch == '\n') ch = '\r';
    bool split = true;
    EXPECT_EQ(describeModel(*kestrel::reader::loadTextInParts(dump, start, split)),
              describeModel(*kestrel::reader::loadText(dump)));
    EXPECT_FALSE(split);
}

// The search for a unit header looks for its phrase in windows of the text:
// it must find what a look at every line start finds, wherever a header line
// lies against the windows' edges, and pass over the phrase in other lines.
TEST(PartLoad, UnitHeaderSearchFindsTheFirstHeaderLine) {
    const std::vector<std::string> lines = {
        "  Compilation Unit @ offset 0x1c2:\n",
        "  Compilation Unit @ offset 0x2f0:\r\n",
        "Compilation Unit @ offset 0x10:\n",
        "  Compilation Unit @ offset zz:\n",
        "  Compilation Unit @ offset",
        "    <c>   DW_AT_name        : Compilation Unit @ offset 0x5:\t\n",
        "    <c>   DW_AT_name        : " + std::string(5000, 'x') + "\t\n",
        " <1><21>: Abbrev Number: 2 (DW_TAG_base_type)\n",
        "    <22>   DW_AT_byte_size   : 4\t\n",
    };
    std::string text = "\napp.elf:     file format elf32-littlearm\n\nContents of the .debug_info section:\n\n";
    for (std::size_t k = 0; text.size() < (300u << 10); k = (k * 7 + 3) % 101) text += lines[k % lines.size()];
    const kestrel::reader::Peek peek = [&text](std::uint64_t at, char* out, std::size_t size) -> std::size_t {
        return at < text.size() ? text.copy(out, size, at) : 0;
    };
    // Every line start that is a unit header, by the check of one position.
    std::vector<std::uint64_t> headers;
    for (std::size_t at = text.find('\n'); at + 1 < text.size(); at = text.find('\n', at + 1))
        if (kestrel::reader::planPartsAt(peek, at + 1).valid) headers.push_back(at + 1);
    ASSERT_GT(headers.size(), 100u);
    for (std::uint64_t point = 0; point < text.size(); point += 331) {
        for (std::uint64_t limit : {std::uint64_t{text.size()}, point + 700}) {
            auto next = std::lower_bound(headers.begin(), headers.end(), std::max<std::uint64_t>(point, 1));
            const std::uint64_t expected = next != headers.end() && *next < limit ? *next : 0;
            EXPECT_EQ(kestrel::reader::unitHeaderFrom(peek, text.size(), point, limit), expected) << point;
        }
    }
}

}  // namespace
