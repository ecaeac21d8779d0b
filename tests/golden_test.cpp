// Whole runs of the real executable on small hand-written dumps, each output
// file compared byte for byte (CR LF included) with the expected file.
//   forms:      a signal of every form of the format examples
//   duplicates: two and three statics of the same name in three units
//   empty:      no located variable: empty map, three-line CANape file, no log
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class Golden : public testing::TestWithParam<std::string> {};

TEST_P(Golden, OutputsMatchByteForByte) {
    const fs::path caseDir = fs::path(KESTREL_TEST_DATA) / "golden" / GetParam();
    const fs::path work = fs::temp_directory_path() / ("kestrel_golden_" + GetParam());
    fs::remove_all(work);
    fs::create_directories(work);

    std::string stem;
    for (const auto& entry : fs::directory_iterator(caseDir)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with("_ObjDump.txt")) {
            stem = name.substr(0, name.size() - std::string("_ObjDump.txt").size());
            fs::copy_file(entry.path(), work / name);
        }
    }
    ASSERT_FALSE(stem.empty()) << "no dump in " << caseDir;

    const std::string command = "cd '" + work.string() + "' && '" + KESTREL_EXE + "' " + stem + ".txt > console.txt";
    ASSERT_EQ(std::system(command.c_str()), 0) << readAll(work / "console.txt");

    std::set<std::string> expected;
    for (const auto& entry : fs::directory_iterator(caseDir / "expected")) {
        const std::string name = entry.path().filename().string();
        expected.insert(name);
        ASSERT_TRUE(fs::exists(work / name)) << name << " was not written";
        EXPECT_EQ(readAll(work / name), readAll(entry.path())) << name;
    }
    for (const auto& entry : fs::directory_iterator(work)) {
        const std::string name = entry.path().filename().string();
        if (name == stem + "_ObjDump.txt" || name == "console.txt") continue;
        EXPECT_TRUE(expected.count(name)) << "unexpected output file " << name;
    }
    fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, testing::Values("forms", "duplicates", "empty"));

}  // namespace
