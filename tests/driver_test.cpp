// The program driver: path split and ELF test (checked against the regular
// expressions they replace), derived names, usage text, and whole runs of the
// built executable with the real arm-none-eabi-objdump, hostile paths, a
// failing objdump and a missing dump.

// gcc 12 with AddressSanitizer reports false -Wmaybe-uninitialized warnings
// inside libstdc++'s <regex> and <functional>, which this file instantiates.
#if defined(__SANITIZE_ADDRESS__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"
#include "driver/Driver.h"
#include "driver/PathSplit.h"
#include "driver/Process.h"

namespace fs = std::filesystem;
using kestrel::test::readFile;
using kestrel::test::writeFile;
using kestrel::test::TempDir;
using kestrel::driver::PathParts;

namespace {

// ---------------------------------------------------------------- helpers

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Single-quoted for /bin/sh, whatever the text holds.
std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

// Joins texts with +=, which keeps gcc 12's -Wrestrict false positive on
// `"literal" + std::string&&` away.
template <typename... Parts>
std::string concat(const Parts&... parts) {
    std::string text;
    ((text += parts), ...);
    return text;
}

int runShell(const std::string& command) {
    const int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

struct ExeRun {
    int status = -1;
    std::string out;
    std::vector<std::string> lines;
};

// Runs the built kestrelmap in `cwd` with `args`; `pathEnv`, when given,
// replaces PATH for the program.
ExeRun runKestrel(const fs::path& cwd, const std::vector<std::string>& args,
                  const std::string& pathEnv = std::string()) {
    const fs::path outFile = cwd / ".." / (cwd.filename().string() + "_stdout.txt");
    std::string command = concat("cd ", shellQuote(cwd.string()), " && ");
    if (!pathEnv.empty()) {
        command += "PATH=";
        command += shellQuote(pathEnv);
        command += ' ';
    }
    command += shellQuote(KESTREL_EXE);
    for (const std::string& arg : args) {
        command += ' ';
        command += shellQuote(arg);
    }
    command += " > ";
    command += shellQuote(outFile.string());
    ExeRun run;
    run.status = runShell(command);
    run.out = readFile(outFile);
    run.lines = splitLines(run.out);
    fs::remove(outFile);
    return run;
}

bool hasLine(const ExeRun& run, const std::string& line) {
    for (const std::string& l : run.lines) {
        if (l == line) return true;
    }
    return false;
}

bool hasLineStartingWith(const ExeRun& run, const std::string& prefix) {
    for (const std::string& l : run.lines) {
        if (l.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

// ----------------------------------------------- reference implementations

PathParts referenceSplit(const std::string& path) {
    static const std::regex withDirectory("^(.*[/\\\\])([^/\\\\]+)([.].*)$");
    static const std::regex withoutDirectory("^(.*)([.].*)$");
    PathParts parts;
    std::smatch m;
    if (std::regex_match(path, m, withDirectory)) {
        parts = {m[1].str(), m[2].str(), m[3].str(), true};
    } else if (std::regex_match(path, m, withoutDirectory)) {
        parts = {std::string(), m[1].str(), m[2].str(), true};
    }
    return parts;
}

bool referenceIsElf(const std::string& extension) {
    static const std::regex elf("^[.][elfELF]+$");
    return std::regex_match(extension, elf);
}

std::string printable(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        if (c == '\r') shown += "\\r";
        else if (c == '\n') shown += "\\n";
        else shown += c;
    }
    return shown;
}

void expectSameSplit(const std::string& path) {
    const PathParts expected = referenceSplit(path);
    const PathParts actual = kestrel::driver::splitPath(path);
    ASSERT_EQ(actual.matched, expected.matched) << "path: " << printable(path);
    ASSERT_EQ(actual.directory, expected.directory) << "path: " << printable(path);
    ASSERT_EQ(actual.name, expected.name) << "path: " << printable(path);
    ASSERT_EQ(actual.extension, expected.extension) << "path: " << printable(path);
}

// Calls `check` with every text over `alphabet` of up to `maxLength`
// characters; stops at the first fatal failure.
template <typename F>
void forAllTexts(const std::string& alphabet, std::size_t maxLength, F check) {
    std::string text;
    std::vector<std::size_t> digits;
    for (std::size_t length = 0; length <= maxLength; ++length) {
        digits.assign(length, 0);
        while (true) {
            text.resize(length);
            for (std::size_t i = 0; i < length; ++i) text[i] = alphabet[digits[i]];
            check(text);
            if (testing::Test::HasFatalFailure()) return;
            std::size_t i = 0;
            while (i < length && ++digits[i] == alphabet.size()) digits[i++] = 0;
            if (i == length) break;
        }
    }
}

}  // namespace

// ------------------------------------------------------------- path split

TEST(PathSplit, NamedCases) {
    struct Case {
        std::string input, directory, name, extension;
        bool elf;
        std::string dump, map, canape;
    };
    const std::vector<Case> cases = {
        {"fw/app.elf", "fw/", "app", ".elf", true,
         "fw/app_ObjDump.txt", "fw/app_Mox.m51", "fw/app_CANape.db"},
        {"D:\\work\\app.main.ELF", "D:\\work\\", "app.main", ".ELF", true,
         "D:\\work\\app.main_ObjDump.txt", "D:\\work\\app.main_Mox.m51",
         "D:\\work\\app.main_CANape.db"},
        {"app.txt", "", "app", ".txt", false, "app_ObjDump.txt", "app_Mox.m51", "app_CANape.db"},
        {"app.axf", "", "app", ".axf", false, "app_ObjDump.txt", "app_Mox.m51", "app_CANape.db"},
        {"mydir/app.elf", "mydir/", "app", ".elf", true,
         "mydir/app_ObjDump.txt", "mydir/app_Mox.m51", "mydir/app_CANape.db"},
        {"dir.d/app", "", "dir", ".d/app", false, "dir_ObjDump.txt", "dir_Mox.m51", "dir_CANape.db"},
        {"a/b.c/d", "a/", "b", ".c/d", false, "a/b_ObjDump.txt", "a/b_Mox.m51", "a/b_CANape.db"},
        {"fw/.elf", "", "fw/", ".elf", true, "fw/_ObjDump.txt", "fw/_Mox.m51", "fw/_CANape.db"},
        {"firmware", "", "", "", false, "_ObjDump.txt", "_Mox.m51", "_CANape.db"},
        {"x/y/.hidden.eLf", "x/y/", ".hidden", ".eLf", true,
         "x/y/.hidden_ObjDump.txt", "x/y/.hidden_Mox.m51", "x/y/.hidden_CANape.db"},
        {"a\\b/c\\d.e.f", "a\\b/c\\", "d.e", ".f", true,
         "a\\b/c\\d.e_ObjDump.txt", "a\\b/c\\d.e_Mox.m51", "a\\b/c\\d.e_CANape.db"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const kestrel::driver::RunFiles files = kestrel::driver::deriveRunFiles(c.input);
        EXPECT_EQ(files.parts.directory, c.directory);
        EXPECT_EQ(files.parts.name, c.name);
        EXPECT_EQ(files.parts.extension, c.extension);
        EXPECT_EQ(files.elfInput, c.elf);
        EXPECT_EQ(files.dumpFile, c.dump);
        EXPECT_EQ(files.mapFile, c.map);
        EXPECT_EQ(files.canapeFile, c.canape);
        if (!c.extension.empty()) {
            EXPECT_EQ(files.elfPath(), c.input);
        }
        expectSameSplit(c.input);
    }
}

TEST(PathSplit, LineBreaksFollowTheDotRule) {
    // '.' of the patterns matches neither CR nor LF: a line break may stand in
    // the name, but not in the directory part or the extension.
    expectSameSplit("a/b\nc.d");     // in the name: first rule
    expectSameSplit("a\n/b.c");      // in the directory: second rule fails too
    expectSameSplit("a/b.c\r");      // in the extension: no split at all
    expectSameSplit("a/b.c\r.d");    // a later dot after the break
    expectSameSplit("a/x.y/b.c\n");  // an earlier component
    EXPECT_FALSE(kestrel::driver::splitPath("a\n/b.c").matched);
    EXPECT_EQ(kestrel::driver::splitPath("a/b.c\r.d").extension, ".d");
}

TEST(PathSplit, EqualsRegularExpressionsOnAllShortPaths) {
    forAllTexts(std::string("a./\\\r\n", 6), 7, [](const std::string& path) { expectSameSplit(path); });
}

TEST(PathSplit, EqualsRegularExpressionsOnRandomPaths) {
    std::mt19937 random(20240611u);
    const std::string alphabet("ab.././\\\\ :\r\nx.", 16);
    std::uniform_int_distribution<std::size_t> length(0, 40);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (int i = 0; i < 20000; ++i) {
        std::string path(length(random), ' ');
        for (char& c : path) c = alphabet[pick(random)];
        expectSameSplit(path);
        if (HasFatalFailure()) return;
    }
}

TEST(ElfExtension, EqualsRegularExpression) {
    forAllTexts(std::string(".eLfx\n", 6), 6, [](const std::string& extension) {
        ASSERT_EQ(kestrel::driver::isElfExtension(extension), referenceIsElf(extension))
            << printable(extension);
    });
    EXPECT_TRUE(kestrel::driver::isElfExtension(".ELF"));
    EXPECT_TRUE(kestrel::driver::isElfExtension(".ffe"));
    EXPECT_FALSE(kestrel::driver::isElfExtension("."));
    EXPECT_FALSE(kestrel::driver::isElfExtension(".axf"));
    EXPECT_FALSE(kestrel::driver::isElfExtension(".elf "));
    EXPECT_FALSE(kestrel::driver::isElfExtension("elf"));
}

TEST(Arguments, JoinedWithoutSeparator) {
    const char* argv[] = {"kestrelmap", "my", " ", "dir/app.elf", nullptr};
    EXPECT_EQ(kestrel::driver::joinArguments(4, argv), "my dir/app.elf");
    EXPECT_EQ(kestrel::driver::joinArguments(1, argv), "");
    EXPECT_EQ(kestrel::driver::joinArguments(0, argv), "");
}

// ------------------------------------------------------------- usage text

TEST(Usage, ExecutablePrintsBannerAndElevenLinesByteForByte) {
    TempDir dir;
    const ExeRun run = runKestrel(dir.path, {});
    EXPECT_EQ(run.status, 0);
    ASSERT_GE(run.lines.size(), 1u);

    const std::string prefix = "kestrelmap version 2.0 from ";
    ASSERT_EQ(run.lines[0].rfind(prefix, 0), 0u) << run.lines[0];
    const std::string date = run.lines[0].substr(prefix.size());
    EXPECT_TRUE(std::regex_match(
        date, std::regex("(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] 20[0-9]{2}")))
        << date;

    const std::string expected =
        prefix + date + "\n"
        "Copyright (C) 2026 Kestrelmap developers\n"
        "ELF TO KEIL M51 MEMORY MAP FILE GENERATOR\n"
        "BUILD: " + date + "\n"
        "Call: program \"elf_file.elf\"\n"
        "       -  generates map file from elf file\n"
        "Call: program \"objDumpOutput.txt\"\n"
        "       -  generates map file from objDumpFile\n"
        "Call: Kestrelmap \"directory\"\n"
        "       -  generate map file from elf files found in directory\n"
        "\n"
        "Generated files will have the same name as used input filename + _ObjDump.txt + _Mox.m51 + _CANape.db\n"
        "Internal ObjDump Call will be \"arm-none-eabi-objdump -WlLiaprmfFsoRt  inputFile.elf > inputFile.txt\"\n";
    EXPECT_EQ(run.out, expected);
    EXPECT_TRUE(fs::is_empty(dir.path)) << "the usage path writes no files";
}

TEST(Usage, NoBannerWithoutProgramName) {
    const char* argv[] = {nullptr};
    std::ostringstream out;
    EXPECT_EQ(kestrel::driver::runDriver(0, argv, out), 0);
    const std::vector<std::string> lines = splitLines(out.str());
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], "ELF TO KEIL M51 MEMORY MAP FILE GENERATOR");
    EXPECT_EQ(lines[8], "");
}

TEST(Usage, HelpOptionsPrintTheUsageTextAndVersionTheBanner) {
    TempDir dir;
    const ExeRun none = runKestrel(dir.path, {});
    ASSERT_EQ(none.lines.size(), 13u) << none.out;
    for (const char* option : {"-h", "--help", "/?"}) {
        const ExeRun run = runKestrel(dir.path, {option});
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(run.out, none.out) << option;
    }
    const ExeRun version = runKestrel(dir.path, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.lines, std::vector<std::string>(none.lines.begin(), none.lines.begin() + 2)) << version.out;
    EXPECT_TRUE(fs::is_empty(dir.path)) << "options write no files";
}

TEST(Usage, UnknownOptionsAndPathsWithoutANameGiveTheHint) {
    TempDir dir;
    // A stray dump under the bare suffix must not be read as the input.
    writeFile(dir.path / "_ObjDump.txt", "");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-"}, "The path names no file: -"},
        {{"no-such-folder/"}, "The path names no file: no-such-folder/"},
        {{"firmware"}, "The path names no file: firmware"},
        {{".elf"}, "The path names no file: .elf"},
        {{"fw\napp.elf"}, "The path names no file: fw\\napp.elf"},
        {{"app.elf\n"}, "The path names no file: app.elf\\n"},
        {{"-x.elf"}, "Unknown option: -x.elf"},
        {{"-h", "app.elf"}, "Unknown option: -h"},
        {{"--version", "app.elf"}, "Unknown option: --version"},
    };
    const std::vector<std::string> hint = kestrel::driver::usageHint();
    for (const auto& [args, reason] : cases) {
        SCOPED_TRACE(reason);
        const ExeRun run = runKestrel(dir.path, args);
        EXPECT_EQ(run.status, 1) << run.out;
        ASSERT_EQ(run.lines.size(), 5u) << run.out;
        EXPECT_EQ(run.lines[2], reason);
        EXPECT_EQ(std::vector<std::string>(run.lines.begin() + 3, run.lines.end()), hint);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1) << "nothing written";
}

// ------------------------------------------------------------ whole runs

class DriverRun : public testing::Test {
protected:
    // One small firmware image, built once with the real cross compiler.
    static void SetUpTestSuite() {
        firmwareDir_ = new TempDir;
        writeFile(firmwareDir_->path / "app.c",
                  "struct Sample { int level; unsigned char flags[3]; };\n"
                  "volatile struct Sample sample;\n"
                  "int counter = 5;\n"
                  "int main(void) { sample.level = counter; return sample.flags[1]; }\n");
        const std::string command =
            concat("cd ", shellQuote(firmwareDir_->path.string()),
                   " && arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -g -O1 --specs=nosys.specs"
                   " app.c -o app.elf");
        buildStatus_ = runShell(command);
    }
    static void TearDownTestSuite() {
        delete firmwareDir_;
        firmwareDir_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(buildStatus_, 0) << "arm-none-eabi-gcc failed"; }

    static fs::path elf() { return firmwareDir_->path / "app.elf"; }

    // The dump objdump writes for `elfArgument` when run by hand in `cwd`.
    static std::string referenceDump(const fs::path& cwd, const std::string& elfArgument) {
        const fs::path ref = cwd / ".." / (cwd.filename().string() + "_reference.txt");
        runShell(concat("cd ", shellQuote(cwd.string()), " && arm-none-eabi-objdump -WlLiaprmfFsoRt ",
                        shellQuote(elfArgument), " > ", shellQuote(ref.string())));
        std::string text = readFile(ref);
        fs::remove(ref);
        return text;
    }

    static std::string fakeObjdump(const fs::path& binDir, const std::string& body) {
        fs::create_directories(binDir);
        const fs::path script = binDir / "arm-none-eabi-objdump";
        writeFile(script, "#!/bin/sh\n" + body + "\n");
        fs::permissions(script, fs::perms::owner_all, fs::perm_options::add);
        const char* path = std::getenv("PATH");
        return binDir.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
    }

    static TempDir* firmwareDir_;
    static int buildStatus_;
};

TempDir* DriverRun::firmwareDir_ = nullptr;
int DriverRun::buildStatus_ = -1;

TEST_F(DriverRun, ElfInputRunsObjdumpAndWritesEverythingBesideIt) {
    TempDir dir;
    fs::create_directories(dir.path / "fw");
    fs::copy_file(elf(), dir.path / "fw" / "app.elf");

    const ExeRun run = runKestrel(dir.path, {"fw/app.elf"});
    EXPECT_EQ(run.status, 0) << run.out;

    // Progress lines in order, all timed from one start, then the counts.
    ASSERT_EQ(run.lines.size(), 9u) << run.out;
    EXPECT_EQ(run.lines[2], "inputFile : fw/app_ObjDump.txt");
    EXPECT_EQ(run.lines[3], "outFileMap : fw/app_Mox.m51");
    EXPECT_EQ(run.lines[4], "elfFile : fw/app.elf");
    const std::vector<std::string> timedPrefixes = {
        "ObjDump finished fw/app_ObjDump.txt -> Seconds Since Start: ",
        "Parsing Dwarf finished -> Seconds Since Start: ",
        "Mox M51 + CANape finished fw/app_Mox.m51 -> Seconds Since Start: ",
    };
    long previous = 0;
    for (std::size_t i = 0; i < timedPrefixes.size(); ++i) {
        const std::string& line = run.lines[5 + i];
        ASSERT_EQ(line.rfind(timedPrefixes[i], 0), 0u) << line;
        const std::string seconds = line.substr(timedPrefixes[i].size());
        ASSERT_TRUE(std::regex_match(seconds, std::regex("0|[1-9][0-9]*"))) << line;
        EXPECT_GE(std::stol(seconds), previous);
        previous = std::stol(seconds);
    }

    // The dump is exactly what objdump writes for the same argument.
    const std::string dump = readFile(dir.path / "fw" / "app_ObjDump.txt");
    EXPECT_EQ(dump, referenceDump(dir.path, "fw/app.elf"));
    EXPECT_NE(dump.find("DW_TAG_variable"), std::string::npos);

    const std::string map = readFile(dir.path / "fw" / "app_Mox.m51");
    EXPECT_NE(map.find("counter"), std::string::npos);
    const std::string mapLines = std::to_string(std::count(map.begin(), map.end(), '\n'));
    EXPECT_TRUE(std::regex_match(run.lines[8], std::regex("Variables: [1-9][0-9]*, signals: " + mapLines +
                                                          ", omissions: [0-9]+")))
        << run.lines[8];
    EXPECT_TRUE(fs::exists(dir.path / "fw" / "app_CANape.db"));
    EXPECT_FALSE(fs::exists(dir.path / "fw" / "app_Mox.m51_StyleWarnings.log"));
}

TEST_F(DriverRun, ArgumentsAreJoinedAndOddNamesSplitAsDerived) {
    TempDir dir;
    // my + dir/app.elf -> mydir/app.elf
    fs::create_directories(dir.path / "mydir");
    fs::copy_file(elf(), dir.path / "mydir" / "app.elf");
    const ExeRun joined = runKestrel(dir.path, {"my", "dir/app.elf"});
    EXPECT_EQ(joined.status, 0) << joined.out;
    EXPECT_TRUE(hasLine(joined, "elfFile : mydir/app.elf")) << joined.out;
    EXPECT_TRUE(fs::exists(dir.path / "mydir" / "app_ObjDump.txt"));
    EXPECT_TRUE(fs::exists(dir.path / "mydir" / "app_Mox.m51"));

    // fw/.elf: name "fw/", so the dump is fw/_ObjDump.txt.
    fs::create_directories(dir.path / "fw");
    fs::copy_file(elf(), dir.path / "fw" / ".elf");
    const ExeRun hidden = runKestrel(dir.path, {"fw/.elf"});
    EXPECT_EQ(hidden.status, 0) << hidden.out;
    EXPECT_TRUE(hasLine(hidden, "elfFile : fw/.elf")) << hidden.out;
    EXPECT_EQ(readFile(dir.path / "fw" / "_ObjDump.txt"), referenceDump(dir.path, "fw/.elf"));
    EXPECT_TRUE(fs::exists(dir.path / "fw" / "_Mox.m51"));
}

TEST_F(DriverRun, NameStartingWithADashIsGivenWithItsFolder) {
    TempDir dir;
    fs::copy_file(elf(), dir.path / "-app.elf");
    const ExeRun run = runKestrel(dir.path, {"./-app.elf"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(hasLine(run, "elfFile : ./-app.elf")) << run.out;
    EXPECT_NE(readFile(dir.path / "-app_Mox.m51").find("counter"), std::string::npos);
}

TEST_F(DriverRun, OtherExtensionsReadTheDumpUnderTheDerivedName) {
    TempDir dir;
    fs::copy_file(elf(), dir.path / "app.elf");
    writeFile(dir.path / "app_ObjDump.txt", referenceDump(dir.path, "app.elf"));
    fs::remove(dir.path / "app.elf");

    // app.axf does not exist: only app_ObjDump.txt is read, and objdump does not run.
    const ExeRun axf = runKestrel(dir.path, {"app.axf"}, fakeObjdump(dir.path / "bin", "exit 3"));
    EXPECT_EQ(axf.status, 0) << axf.out;
    EXPECT_FALSE(hasLineStartingWith(axf, "elfFile : ")) << axf.out;
    EXPECT_FALSE(hasLineStartingWith(axf, "ObjDump finished")) << axf.out;
    EXPECT_TRUE(hasLineStartingWith(axf, "Mox M51 + CANape finished app_Mox.m51 -> ")) << axf.out;
    EXPECT_NE(readFile(dir.path / "app_Mox.m51").find("counter"), std::string::npos);
}

// objdump runs in the C locale whatever the user's is: an objdump built with
// translations would otherwise write "Contenido de la secci\xc3\xb3n" where the
// reader looks for "Contents of the ... section".
TEST_F(DriverRun, ObjdumpRunsInTheCLocale) {
    TempDir dir;
    fs::copy_file(elf(), dir.path / "app.elf");
    writeFile(dir.path / "ref.txt", referenceDump(dir.path, "app.elf"));
    const std::string bin = fakeObjdump(dir.path / "bin", "printf '%s|%s' \"$LC_ALL\" \"$LANG\" > locale.txt; cat ref.txt");
    ::setenv("LC_ALL", "es_ES.UTF-8", 1);
    ::setenv("LANG", "fr_FR.UTF-8", 1);
    const ExeRun run = runKestrel(dir.path, {"app.elf"}, bin);
    ::unsetenv("LC_ALL");
    ::setenv("LANG", "C.UTF-8", 1);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readFile(dir.path / "locale.txt"), "C|fr_FR.UTF-8");
}

TEST(ChildEnvironment, LcAllIsReplacedByTheCLocaleInItsSortedPlace) {
    using Entries = std::vector<std::string>;
    struct Case {
        Entries in;
        bool ignoreCase;
        Entries out;
    };
    const Case cases[] = {
        {{}, false, {"LC_ALL=C"}},
        {{"PATH=/bin", "LC_ALL=de_DE.UTF-8", "HOME=/h"}, false, {"LC_ALL=C", "PATH=/bin", "HOME=/h"}},
        {{"A=1", "LC_ALL=x", "LC_ALL=y", "LANG=fr"}, false, {"A=1", "LANG=fr", "LC_ALL=C"}},
        {{"lc_all=x", "LC_ALLX=1", "LC_AL=2"}, false, {"LC_ALL=C", "lc_all=x", "LC_ALLX=1", "LC_AL=2"}},
        {{"=C:=C:\\w", "ALLUSERSPROFILE=C:\\p", "lc_all=fr", "Path=C:\\w", "windir=C:\\w"}, true,
         {"=C:=C:\\w", "ALLUSERSPROFILE=C:\\p", "LC_ALL=C", "Path=C:\\w", "windir=C:\\w"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kestrel::driver::withCLocale(c.in, c.ignoreCase), c.out) << testing::PrintToString(c.in);
}

TEST_F(DriverRun, PathsWithShellCharactersReachObjdumpUnchanged) {
    TempDir dir;
    const std::vector<std::string> dirs = {
        "my dir",
        "a;touch pwned1;b",
        "q&touch pwned2&'\"x|touch pwned3",
    };
    for (const std::string& sub : dirs) {
        SCOPED_TRACE(sub);
        fs::create_directories(dir.path / sub);
        const std::string base = sub == "my dir" ? "my app" : "app;touch pwned4";
        fs::copy_file(elf(), dir.path / sub / (base + ".elf"));
        const std::string input = sub + "/" + base + ".elf";

        const ExeRun run = runKestrel(dir.path, {input});
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_TRUE(hasLine(run, "elfFile : " + input)) << run.out;
        const std::string dump = readFile(dir.path / sub / (base + "_ObjDump.txt"));
        EXPECT_NE(dump.find(input + ":     file format elf32-littlearm"), std::string::npos);
        EXPECT_TRUE(fs::exists(dir.path / sub / (base + "_Mox.m51")));
        EXPECT_TRUE(fs::exists(dir.path / sub / (base + "_CANape.db")));
    }
    for (const auto& entry : fs::recursive_directory_iterator(dir.path)) {
        EXPECT_EQ(entry.path().filename().string().rfind("pwned", 0), std::string::npos)
            << "a command ran: " << entry.path();
    }
}

TEST_F(DriverRun, FailingObjdumpIsReportedAndWritesNothing) {
    struct Case {
        std::string script;
        std::string reason;  // beginning of the reason text
        bool useFake;
    };
    const std::vector<Case> cases = {
        {"echo partial dump\nexit 1", "exit status 1", true},
        {"kill -KILL $$", "killed by signal 9", true},
        {"", "can not start: ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        TempDir dir;
        fs::create_directories(dir.path / "fw");
        fs::copy_file(elf(), dir.path / "fw" / "app.elf");
        writeFile(dir.path / "fw" / "app_Mox.m51", "old map\r\n");
        writeFile(dir.path / "fw" / "app_CANape.db", "old database\r\n");

        const std::string pathEnv =
            c.useFake ? fakeObjdump(dir.path / "bin", c.script) : (dir.path / "empty").string();
        const ExeRun run = runKestrel(dir.path, {"fw/app.elf"}, pathEnv);
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_TRUE(hasLineStartingWith(
            run, "arm-none-eabi-objdump failed on fw/app.elf: " + c.reason)) << run.out;
        EXPECT_FALSE(hasLineStartingWith(run, "ObjDump finished")) << run.out;
        EXPECT_FALSE(hasLineStartingWith(run, "Parsing Dwarf finished")) << run.out;
        EXPECT_EQ(readFile(dir.path / "fw" / "app_Mox.m51"), "old map\r\n");
        EXPECT_EQ(readFile(dir.path / "fw" / "app_CANape.db"), "old database\r\n");
        EXPECT_FALSE(fs::exists(dir.path / "fw" / "app_Mox.m51_StyleWarnings.log"));
    }
}

// A dump cut inside its .debug_info listing, given as a file or arriving from
// objdump through the pipe, is refused with status 1 and leaves the outputs.
TEST_F(DriverRun, CutDumpIsRefusedAndLeavesOutputsUntouched) {
    TempDir dir;
    const std::string whole = referenceDump(firmwareDir_->path, "app.elf");
    const std::size_t unit = whole.find("  Compilation Unit @ offset");
    const std::size_t heading = whole.find("\nContents of the", unit);
    ASSERT_NE(unit, std::string::npos);
    ASSERT_NE(heading, std::string::npos);
    const std::string cut = whole.substr(0, whole.find('\n', (unit + heading) / 2) + 1);
    writeFile(dir.path / "cut.txt", cut);
    for (const bool throughObjdump : {false, true}) {
        SCOPED_TRACE(throughObjdump ? "through objdump" : "dump file");
        writeFile(dir.path / "app_Mox.m51", "old map\r\n");
        writeFile(dir.path / "app_CANape.db", "old database\r\n");
        ExeRun run;
        if (throughObjdump) {
            writeFile(dir.path / "app_ObjDump.txt", "earlier dump\n");
            fs::copy_file(elf(), dir.path / "app.elf", fs::copy_options::overwrite_existing);
            run = runKestrel(dir.path, {"app.elf"},
                             fakeObjdump(dir.path / "bin", "cat " + shellQuote((dir.path / "cut.txt").string())));
        } else {
            writeFile(dir.path / "app_ObjDump.txt", cut);
            run = runKestrel(dir.path, {"app.txt"});
        }
        EXPECT_EQ(run.status, 1) << run.out;
        ASSERT_FALSE(run.lines.empty());
        EXPECT_EQ(run.lines.back(), "The dump ends inside a compilation unit: app_ObjDump.txt");
        EXPECT_EQ(readFile(dir.path / "app_ObjDump.txt"), throughObjdump ? "earlier dump\n" : cut);
        EXPECT_EQ(readFile(dir.path / "app_Mox.m51"), "old map\r\n");
        EXPECT_EQ(readFile(dir.path / "app_CANape.db"), "old database\r\n");
        EXPECT_FALSE(fs::exists(dir.path / "app_Mox.m51_StyleWarnings.log"));
    }
}

TEST_F(DriverRun, MissingDumpIsReportedAndLeavesOutputsUntouched) {
    TempDir dir;
    writeFile(dir.path / "app.txt", "not a dump\n");
    writeFile(dir.path / "app_Mox.m51", "old map\r\n");
    writeFile(dir.path / "app_CANape.db", "old database\r\n");

    const ExeRun txt = runKestrel(dir.path, {"app.txt"});
    EXPECT_EQ(txt.status, 1) << txt.out;
    ASSERT_FALSE(txt.lines.empty());
    EXPECT_EQ(txt.lines.back(), "Can not open file: app_ObjDump.txt (No such file or directory)");
    EXPECT_FALSE(hasLineStartingWith(txt, "elfFile : "));
    EXPECT_EQ(readFile(dir.path / "app_Mox.m51"), "old map\r\n");
    EXPECT_EQ(readFile(dir.path / "app_CANape.db"), "old database\r\n");
}

TEST_F(DriverRun, UnwritableOutputGivesStatusOne) {
    TempDir dir;
    fs::copy_file(elf(), dir.path / "app.elf");
    // A directory where the map file should go: it cannot be created.
    fs::create_directories(dir.path / "app_Mox.m51");
    const ExeRun run = runKestrel(dir.path, {"app.elf"});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(hasLine(run, "Can not create file: app_Mox.m51")) << run.out;
    EXPECT_TRUE(hasLineStartingWith(run, "Mox M51 + CANape finished app_Mox.m51 -> ")) << run.out;
    // The outputs are replaced as a set: none of them is written.
    EXPECT_FALSE(fs::exists(dir.path / "app_CANape.db"));
}
