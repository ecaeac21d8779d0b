// Whole runs of the real executable on small dumps, each output file compared
// byte for byte (CR LF included) with the expected file. Every folder of
// tests/data/golden is a case:
//   forms:      a signal of every form of the format examples
//   duplicates: two and three statics of the same name in three units
//   empty:      no located variable: empty map, three-line CANape file, no log
//   omissions:  the dump of tests/data/firmware/omissions beside its ELF,
//               edited: `vol` renamed to Set_Speed, pump::level moved to
//               0x9200, `counter` at a location list, `hidden` at an
//               expression, `calls` without a location: the omissions log
//               with every reason and both kinds of name/address mismatch
//   corpus-*:   the hostile dumps of the fuzz corpus (fuzz/corpus/*.txt, read
//               from there): what they must give around their broken parts
// A case folder with a file `refused.txt` instead of `expected` holds a dump
// the program must refuse: status 1, that file's line as the last console
// line, and no output file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "TestSupport.h"

namespace fs = std::filesystem;
using kestrel::test::readFile;

namespace {

const fs::path kGolden = fs::path(KESTREL_TEST_DATA) / "golden";
constexpr std::string_view kCorpusPrefix = "corpus-";
constexpr std::string_view kDumpSuffix = "_ObjDump.txt";

// Read while the tests are registered: a missing or empty folder gives one
// case that fails, instead of an exception before main or no test at all.
std::vector<std::string> caseNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(kGolden, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory()) names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    if (names.empty()) names.push_back("missing");
    return names;
}

// Puts the case's dump (and an ELF file beside it) into `work`; returns its
// stem ("" when there is none).
std::string placeDump(const std::string& name, const fs::path& work) {
    if (name.starts_with(kCorpusPrefix)) {
        const std::string stem = name.substr(kCorpusPrefix.size());
        const fs::path corpus = fs::path(KESTREL_SOURCE_DIR) / "fuzz" / "corpus" / (stem + ".txt");
        if (!fs::exists(corpus)) return {};
        fs::copy_file(corpus, work / (stem + std::string(kDumpSuffix)));
        return stem;
    }
    for (const auto& entry : fs::directory_iterator(kGolden / name))
        if (entry.path().extension() == ".elf") fs::copy_file(entry.path(), work / entry.path().filename());
    for (const auto& entry : fs::directory_iterator(kGolden / name)) {
        const std::string file = entry.path().filename().string();
        if (!file.ends_with(kDumpSuffix)) continue;
        fs::copy_file(entry.path(), work / file);
        return file.substr(0, file.size() - kDumpSuffix.size());
    }
    return {};
}

class Golden : public testing::TestWithParam<std::string> {};

TEST_P(Golden, OutputsMatchByteForByte) {
    const fs::path caseDir = kGolden / GetParam();
    kestrel::test::TempDir work("kestrel_golden_");
    const std::string stem = placeDump(GetParam(), work.path);
    ASSERT_FALSE(stem.empty()) << "no dump for " << caseDir;

    const std::string command =
        "cd '" + work.path.string() + "' && '" + KESTREL_EXE + "' '" + stem + ".txt' > console.txt";
    const int status = std::system(command.c_str());
    const std::string console = readFile(work.path / "console.txt");
    const bool refused = fs::exists(caseDir / "refused.txt");
    if (refused) {
        ASSERT_NE(status, 0) << console;  // status 1: checked in the driver tests
        EXPECT_TRUE(console.ends_with(readFile(caseDir / "refused.txt"))) << console;
    } else {
        ASSERT_EQ(status, 0) << console;
    }

    std::set<std::string> expected;
    for (const auto& entry : fs::directory_iterator(refused ? caseDir : caseDir / "expected")) {
        if (refused) continue;
        const std::string name = entry.path().filename().string();
        expected.insert(name);
        ASSERT_TRUE(fs::exists(work.path / name)) << name << " was not written";
        EXPECT_EQ(readFile(work.path / name), readFile(entry.path())) << name;
    }
    for (const auto& entry : fs::directory_iterator(work.path)) {
        const std::string name = entry.path().filename().string();
        if (name == stem + std::string(kDumpSuffix) || name == "console.txt" || name == stem + ".elf") continue;
        EXPECT_TRUE(expected.count(name)) << "unexpected output file " << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, testing::ValuesIn(caseNames()), [](const auto& info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

}  // namespace
