// A folder as the input path: every ELF file directly in it is run as if given
// alone (outputs equal single runs byte for byte), other files and subfolders
// are left alone, a failing image fails the run but not the others, and an
// empty or unreadable folder is reported. Firmware is built with the real
// arm-none-eabi-gcc, dumped by the real objdump.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "driver/Driver.h"
#include "driver/FolderRun.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using kestrel::test::readFile;
using kestrel::test::TempDir;
using kestrel::test::writeFile;

namespace {

// Every file under `root` (relative path -> contents); folders as "<dir>".
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const fs::path& root) {
    Snapshot files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        files[name] = entry.is_directory() ? "<dir>" : readFile(entry.path());
    }
    return files;
}

struct Console {
    int status = -1;
    std::string text;
    std::vector<std::string> lines;
};

// One run of the driver on `path`, as `kestrelmap path` would do it.
Console runOn(const std::string& path) {
    const char* argv[] = {"kestrelmap", path.c_str()};
    std::ostringstream out;
    Console console;
    console.status = kestrel::driver::runDriver(2, argv, out);
    console.text = out.str();
    std::istringstream in(console.text);
    for (std::string line; std::getline(in, line);) console.lines.push_back(line);
    return console;
}

std::vector<std::string> linesStartingWith(const Console& console, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : console.lines) {
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
}

std::size_t lineCount(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text) count += c == '\n';
    return count;
}

const char* const kOutputSuffixes[] = {"_ObjDump.txt", "_Mox.m51", "_CANape.db", "_Mox.m51_StyleWarnings.log"};

class FolderRun : public testing::Test {
protected:
    // Three images built once: the controller of tests/data/firmware and two
    // small programs.
    static void SetUpTestSuite() {
        built_ = new TempDir;
        const fs::path& dir = built_->path;
        writeFile(dir / "small.c",
                  "struct Sample { int level; unsigned char flags[3]; };\n"
                  "volatile struct Sample sample;\n"
                  "int counter = 5;\n"
                  "int main(void) { sample.level = counter; return sample.flags[1]; }\n");
        writeFile(dir / "table.c",
                  "static short table[12];\n"
                  "struct { unsigned mode : 3; unsigned level : 5; } state;\n"
                  "int main(void) { table[state.mode] = 1; return table[3]; }\n");
        const std::string src = fs::path(KESTREL_TEST_DATA).append("firmware").string();
        const std::string gcc = "arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -g -O0 ";
        const std::string commands[] = {
            gcc + "--specs=nosys.specs small.c -o small.elf",
            gcc + "--specs=nosys.specs table.c -o table.elf",
            gcc + "-Wno-packed-bitfield-compat -c '" + src + "/calib.c' -o calib.o",
            "arm-none-eabi-g++ -mcpu=cortex-m4 -mthumb -g -O0 -fno-exceptions -fno-rtti "
            "-Wno-packed-bitfield-compat -c '" + src + "/drive.cpp' -o drive.o",
            gcc + "--specs=nosys.specs -nostartfiles calib.o drive.o -o ctrl.elf",
        };
        buildOk_ = true;
        for (const std::string& command : commands) {
            const std::string line = "cd '" + dir.string() + "' && " + command + " 2>/dev/null";
            buildOk_ = buildOk_ && std::system(line.c_str()) == 0;
        }
    }
    static void TearDownTestSuite() {
        delete built_;
        built_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(buildOk_) << "arm-none-eabi-gcc failed"; }

    static fs::path image(const char* name) { return built_->path / name; }

    static TempDir* built_;
    static bool buildOk_;
};

TempDir* FolderRun::built_ = nullptr;
bool FolderRun::buildOk_ = false;

TEST_F(FolderRun, EveryElfFileEqualsItsSingleRunAndOtherFilesAreLeftAlone) {
    TempDir dir;
    const fs::path folder = dir.path / "fw";
    fs::create_directories(folder / "sub.elf");
    // Byte order: "B" < "a" < "c"; "c.ELF" passes the ELF test in any case.
    fs::copy_file(image("ctrl.elf"), folder / "a.elf");
    fs::copy_file(image("small.elf"), folder / "B.elf");
    fs::copy_file(image("table.elf"), folder / "c.ELF");
    fs::copy_file(image("small.elf"), folder / "sub.elf" / "inner.elf");
    writeFile(folder / "notes.txt", "not an image\n");
    writeFile(folder / "a.elf.bak", "old\n");
    writeFile(folder / "README", "no extension\n");
    const Snapshot inputs = snapshot(dir.path);

    const Console run = runOn(folder.string());
    ASSERT_EQ(run.status, 0) << run.text;
    const Snapshot afterFolder = snapshot(dir.path);

    // The same files from single runs on the same paths, in name order.
    fs::remove_all(dir.path);
    fs::create_directories(dir.path);
    for (const auto& [name, text] : inputs) {
        if (text == "<dir>") fs::create_directories(dir.path / name);
        else writeFile(dir.path / name, text);
    }
    const std::vector<std::string> images = {"B.elf", "a.elf", "c.ELF"};
    for (const std::string& name : images) {
        const Console single = runOn((folder / name).string());
        ASSERT_EQ(single.status, 0) << single.text;
    }
    EXPECT_EQ(afterFolder, snapshot(dir.path));
    for (const char* ignored : {"notes", "README", "a.elf", "sub.elf/inner"}) {
        EXPECT_FALSE(fs::exists(folder / (std::string(ignored) + "_Mox.m51"))) << ignored;
    }

    // The banner once; each image's lines as one block under its path, in
    // name order; the signals counted are the lines of the maps.
    EXPECT_EQ(linesStartingWith(run, "kestrelmap version ").size(), 1u) << run.text;
    std::vector<std::string> headers;
    std::size_t mapLines = 0;
    for (const std::string& name : images) {
        const std::string path = (folder / name).string();
        headers.push_back("Image: " + path);
        const std::string stem = (folder / name).replace_extension().string();
        mapLines += lineCount(readFile(stem + "_Mox.m51"));
        const std::string block = "Image: " + path + "\ninputFile : " + stem + "_ObjDump.txt\noutFileMap : " +
                                  stem + "_Mox.m51\nelfFile : " + path + "\nObjDump finished ";
        EXPECT_NE(run.text.find(block), std::string::npos) << block << "\n---\n" << run.text;
    }
    EXPECT_EQ(linesStartingWith(run, "Image: "), headers);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "Folder finished: 3 images processed, 0 failed, " + std::to_string(mapLines) +
                                    " signals written");
    EXPECT_GT(mapLines, 30u);
}

TEST_F(FolderRun, FailingImageGivesStatusOneAndTheOthersAreWritten) {
    TempDir dir;
    fs::copy_file(image("small.elf"), dir.path / "a.elf");
    writeFile(dir.path / "b.elf", "not an ELF file\n");
    fs::copy_file(image("table.elf"), dir.path / "c.elf");

    const Console run = runOn(dir.path.string());
    EXPECT_EQ(run.status, 1) << run.text;
    const std::string bad = (dir.path / "b.elf").string();
    EXPECT_NE(run.text.find("Image: " + bad + "\n"), std::string::npos) << run.text;
    EXPECT_EQ(linesStartingWith(run, "arm-none-eabi-objdump failed on " + bad + ": exit status 1").size(), 1u)
        << run.text;
    EXPECT_EQ(linesStartingWith(run, "Image: ").size(), 3u) << run.text;
    EXPECT_EQ(linesStartingWith(run, "Folder finished: 3 images processed, 1 failed, ").size(), 1u) << run.text;
    for (const char* name : {"a", "c"}) {
        for (const char* suffix : {"_ObjDump.txt", "_Mox.m51", "_CANape.db"}) {
            EXPECT_TRUE(fs::exists(dir.path / (std::string(name) + suffix))) << name << suffix;
        }
    }
    EXPECT_FALSE(fs::exists(dir.path / "b_Mox.m51"));
    EXPECT_FALSE(fs::exists(dir.path / "b_CANape.db"));
}

// The messages of an image (here a map file that cannot be created) stand in
// that image's own block, whichever image finishes first.
TEST_F(FolderRun, MessagesOfAnImageStandInItsBlock) {
    TempDir dir;
    fs::copy_file(image("ctrl.elf"), dir.path / "a.elf");
    fs::copy_file(image("small.elf"), dir.path / "b.elf");
    fs::create_directories(dir.path / "b_Mox.m51");

    const Console run = runOn(dir.path.string());
    EXPECT_EQ(run.status, 1) << run.text;
    const std::size_t blockB = run.text.find("Image: " + (dir.path / "b.elf").string() + "\n");
    const std::size_t end = run.text.find("Folder finished: ");
    ASSERT_NE(blockB, std::string::npos) << run.text;
    ASSERT_NE(end, std::string::npos) << run.text;
    const std::string problem = "\nCan not create file: " + (dir.path / "b_Mox.m51").string() + "\n";
    const std::size_t at = run.text.find(problem);
    EXPECT_TRUE(at != std::string::npos && at > blockB && at < end) << run.text;
    EXPECT_EQ(run.text.find(problem, at + 1), std::string::npos) << run.text;
}

TEST_F(FolderRun, FolderSpellings) {
    struct Case {
        std::string folder;     // under the temporary folder
        std::string separator;  // appended to the argument
    };
    const std::vector<Case> cases = {
        {"fw", "/"},
        {"my fw", ""},
        {"Projekte Müller", "/"},
        {"v1.2", ""},
        {"dir.elf", "/"},  // a folder named like an ELF file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder + c.separator);
        TempDir dir;
        const fs::path folder = dir.path / c.folder;
        fs::create_directories(folder);
        fs::copy_file(image("small.elf"), folder / "one.elf");
        fs::copy_file(image("table.elf"), folder / "two elf.elf");

        const Console run = runOn(folder.string() + c.separator);
        EXPECT_EQ(run.status, 0) << run.text;
        const std::vector<std::string> headers = {"Image: " + folder.string() + "/one.elf",
                                                  "Image: " + folder.string() + "/two elf.elf"};
        EXPECT_EQ(linesStartingWith(run, "Image: "), headers) << run.text;
        const std::string dump = readFile(folder / "two elf_ObjDump.txt");
        EXPECT_NE(dump.find(folder.string() + "/two elf.elf:     file format elf32-littlearm"), std::string::npos);
        EXPECT_TRUE(fs::exists(folder / "one_Mox.m51"));
        EXPECT_TRUE(fs::exists(folder / "two elf_CANape.db"));
    }
}

TEST_F(FolderRun, FolderWithoutElfFilesIsReportedAndNothingWritten) {
    TempDir dir;
    const fs::path empty = dir.path / "empty";
    const fs::path other = dir.path / "other files";
    fs::create_directories(empty);
    fs::create_directories(other / "nested.elf");
    fs::copy_file(image("small.elf"), other / "nested.elf" / "app.elf");
    writeFile(other / "app.txt", "text\n");
    const Snapshot before = snapshot(dir.path);
    for (const fs::path& folder : {empty, other}) {
        const Console run = runOn(folder.string());
        EXPECT_EQ(run.status, 1) << run.text;
        ASSERT_FALSE(run.lines.empty());
        EXPECT_EQ(run.lines.back(), "No ELF file found in directory: " + folder.string());
        EXPECT_TRUE(linesStartingWith(run, "Folder finished").empty()) << run.text;
    }
    EXPECT_EQ(snapshot(dir.path), before);
}

TEST_F(FolderRun, UnreadableFolderIsReported) {
    // Permissions do not stop root from reading a folder.
    if (::geteuid() == 0) GTEST_SKIP() << "running as root";
    TempDir dir;
    const fs::path locked = dir.path / "locked";
    fs::create_directories(locked);
    fs::copy_file(image("small.elf"), locked / "app.elf");
    fs::permissions(locked, fs::perms::none);
    const Console run = runOn(locked.string());
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_EQ(run.status, 1) << run.text;
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "Can not open directory: " + locked.string());
    EXPECT_FALSE(fs::exists(locked / "app_Mox.m51"));
}

TEST_F(FolderRun, ImagesWritingTheSameFilesRunOneAfterTheOther) {
    // app.ELF, app.elF and app.elf all write app_*: the result is that of
    // single runs in name order, even with more workers than images.
    TempDir dir;
    fs::copy_file(image("table.elf"), dir.path / "app.ELF");
    fs::copy_file(image("small.elf"), dir.path / "app.elf");
    fs::copy_file(image("ctrl.elf"), dir.path / "app.elF");
    std::ostringstream out;
    EXPECT_EQ(kestrel::driver::runFolder(dir.path.string(), out, 4), 0) << out.str();
    const Snapshot afterFolder = snapshot(dir.path);
    for (const char* suffix : kOutputSuffixes) fs::remove(dir.path / (std::string("app") + suffix));
    for (const char* name : {"app.ELF", "app.elF", "app.elf"}) {
        ASSERT_EQ(runOn((dir.path / name).string()).status, 0) << name;
    }
    EXPECT_EQ(afterFolder, snapshot(dir.path));
}

}  // namespace
