// The omissions log on real firmware: tests/data/firmware/omissions is built
// with arm-none-eabi-gcc and g++ at -O2 (two units with -g, two without), and
// the data symbols that arm-none-eabi-nm lists are the independent account:
// every one that no map line covers must be in the log, with its address,
// size and the reason its source gives, and nothing else. The same image in
// folder mode and as a dump beside its ELF gives the same log; a dump alone
// gives none.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "FirmwareTools.h"

namespace {

using namespace firmware;

// Every uncovered data symbol of the image and why (see the sources).
const std::map<std::string, std::string> kExpectedReasons = {
    {"table", "constant data"},                 // const table in .rodata (C)
    {"limits", "constant data"},                // const table in .rodata (C++)
    {"nodebug", "no debugging information"},    // from a unit without -g
    {"opaqueThing", "no debugging information"},// declared with -g, defined without
    {"_ZTV6Device", "no debugging information"},// vtable emitted by the unit without -g
    {"unit", "type not found: Device"},         // its class is only declared with -g
};

struct Symbol {
    std::uint64_t address = 0, size = 0;
};

// Data symbols with a size, as arm-none-eabi-nm -S lists them (d, b, r: data,
// bss, read-only data, local or global).
std::map<std::string, Symbol> nmDataSymbols(const fs::path& elf, const fs::path& log) {
    std::map<std::string, Symbol> symbols;
    if (!run("arm-none-eabi-nm -S " + quoted(elf) + " > " + quoted(log), log.string() + ".err")) return symbols;
    for (const std::string& line : textLines(readFile(log))) {
        std::istringstream in(line);
        std::string address, size, type, name;
        if (!(in >> address >> size >> type >> name) || type.size() != 1) continue;
        if (std::string("dDbBrR").find(type[0]) == std::string::npos) continue;
        symbols[name] = {std::stoull(address, nullptr, 16), std::stoull(size, nullptr, 16)};
    }
    return symbols;
}

class OmissionsFirmware : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir("kestrel_omissions_");
        const fs::path src = fs::path(KESTREL_TEST_DATA) / "firmware" / "omissions";
        const std::string flags = " -mcpu=cortex-m4 -mthumb -O2 -fno-exceptions -fno-rtti -c ";
        const fs::path d = dir_->path;
        const std::string build =
            "cd " + quoted(d) + " && arm-none-eabi-gcc -g" + flags + quoted(src / "main.c") +
            " && arm-none-eabi-gcc" + flags + quoted(src / "nodebug.c") + " && arm-none-eabi-g++ -g" + flags +
            quoted(src / "device.cpp") + " && arm-none-eabi-g++" + flags + quoted(src / "device_impl.cpp") +
            " && arm-none-eabi-g++ -nostdlib -Wl,-e,main main.o nodebug.o device.o device_impl.o -o omit.elf";
        built_ = run(build, d / "build.log");
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static int kestrel(const fs::path& cwd, const std::string& arg) {
        const std::string command =
            "cd " + quoted(cwd) + " && " + quoted(fs::path(KESTREL_EXE)) + " " + quoted(fs::path(arg)) + " > console.txt 2>&1";
        return std::system(command.c_str());
    }
    static TempDir* dir_;
    static bool built_;
};

TempDir* OmissionsFirmware::dir_ = nullptr;
bool OmissionsFirmware::built_ = false;

TEST_F(OmissionsFirmware, EveryUncoveredDataSymbolHasItsReason) {
    const fs::path d = dir_->path;
    ASSERT_TRUE(built_) << readFile(d / "build.log");
    ASSERT_EQ(kestrel(d, "omit.elf"), 0) << readFile(d / "console.txt");

    std::vector<std::string> bad;
    const std::vector<MapLine> map = parseMap(readFile(d / "omit_Mox.m51"), bad);
    EXPECT_TRUE(bad.empty()) << bad.front();
    const std::map<std::string, Symbol> symbols = nmDataSymbols(d / "omit.elf", d / "nm.txt");
    ASSERT_FALSE(symbols.empty()) << readFile(d / "nm.txt.err");

    // The uncovered symbols by nm and the map: exactly the expected ones.
    std::map<std::string, Symbol> uncovered;
    for (const auto& [name, s] : symbols) {
        bool covered = false;
        for (const MapLine& m : map) covered = covered || (m.address < s.address + s.size && s.address < m.address + m.size);
        if (!covered) uncovered[name] = s;
    }
    std::vector<std::string> expectedNames, uncoveredNames;
    for (const auto& [name, reason] : kExpectedReasons) expectedNames.push_back(name);
    for (const auto& [name, s] : uncovered) uncoveredNames.push_back(name);
    EXPECT_EQ(uncoveredNames, expectedNames);

    // The log: a header, then one line per uncovered symbol.
    const std::vector<std::string> lines = textLines(readFile(d / "omit_Mox.m51_Omissions.log"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Symbol\tAddress\tSize\tSection\tReason");
    std::map<std::string, std::string> logged;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> f;
        std::istringstream in(lines[i]);
        for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
        ASSERT_EQ(f.size(), 5u) << lines[i];
        const auto s = uncovered.find(f[0]);
        ASSERT_NE(s, uncovered.end()) << lines[i];
        EXPECT_EQ(std::stoull(f[1], nullptr, 16), s->second.address) << lines[i];
        EXPECT_EQ(std::stoull(f[2]), s->second.size) << lines[i];
        logged[f[0]] = f[4];
    }
    EXPECT_EQ(logged, kExpectedReasons);
    const std::string console = readFile(d / "console.txt");
    EXPECT_NE(console.find("\nVariables: 5, signals: " + std::to_string(map.size()) + ", omissions: 6\n"),
              std::string::npos)
        << console;
}

TEST_F(OmissionsFirmware, FolderModeAndDumpBesideItsElfGiveTheSameLog) {
    const fs::path d = dir_->path;
    ASSERT_TRUE(built_) << readFile(d / "build.log");
    ASSERT_EQ(kestrel(d, "omit.elf"), 0) << readFile(d / "console.txt");
    const std::string log = readFile(d / "omit_Mox.m51_Omissions.log");
    ASSERT_FALSE(log.empty());

    // Folder mode: every image is a run of its own, with its log.
    fs::create_directories(d / "folder");
    fs::copy_file(d / "omit.elf", d / "folder" / "omit.elf");
    ASSERT_EQ(kestrel(d, "folder"), 0) << readFile(d / "console.txt");
    EXPECT_EQ(readFile(d / "folder" / "omit_Mox.m51_Omissions.log"), log);

    // A dump with the ELF beside it, the extension in another case.
    fs::create_directories(d / "dump");
    fs::copy_file(d / "omit_ObjDump.txt", d / "dump" / "omit_ObjDump.txt");
    fs::copy_file(d / "omit.elf", d / "dump" / "omit.ELF");
    ASSERT_EQ(kestrel(d / "dump", "omit.txt"), 0) << readFile(d / "dump" / "console.txt");
    EXPECT_EQ(readFile(d / "dump" / "omit_Mox.m51_Omissions.log"), log);

    // Without the ELF the check is not made, and the earlier log goes.
    fs::remove(d / "dump" / "omit.ELF");
    ASSERT_EQ(kestrel(d / "dump", "omit.txt"), 0) << readFile(d / "dump" / "console.txt");
    const std::string console = readFile(d / "dump" / "console.txt");
    EXPECT_NE(console.find("\nOmissions not checked: no ELF file beside the dump\n"), std::string::npos) << console;
    EXPECT_NE(console.find(", omissions: not checked\n"), std::string::npos) << console;
    EXPECT_FALSE(fs::exists(d / "dump" / "omit_Mox.m51_Omissions.log"));
}

}  // namespace
