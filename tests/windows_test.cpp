// Windows only: the version banner read from Kestrelmap.exe's own version
// resource, starting programs with quoted UTF-16 command lines through a pipe
// or into a file, and whole runs on dumps in folders whose names hold blanks
// and non-ASCII letters, with CR LF line ends in every output file.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "driver/Banner.h"
#include "driver/BuildInfo.h"
#include "driver/Process.h"
#include "reader/LineSource.h"

namespace fs = std::filesystem;
using kestrel::test::readFile;
using kestrel::test::writeFile;

namespace {

// Text of this file is UTF-8 (u8 literals), like every path inside the program.
std::string utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

fs::path pathOf(const std::string& utf8Text) {
    return fs::path(std::u8string(utf8Text.begin(), utf8Text.end()));
}

std::string utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string program() { return utf8Of(fs::path(KESTREL_EXE).make_preferred()); }

// Runs a program through the pipe and collects all it writes.
struct Captured {
    kestrel::driver::ProcessResult result;
    std::string output;
    int blocks = 0;
};

Captured capture(const std::string& name, const std::vector<std::string>& arguments) {
    Captured run;
    run.result = kestrel::driver::runWithOutputPipe(
        name, arguments,
        [&](std::string_view bytes) {
            run.output.append(bytes);
            ++run.blocks;
            return true;
        },
        "stopped");
    return run;
}

// Lines split at CR LF; fails when a line end is anything else.
std::vector<std::string> crlfLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t lf = text.find('\n', start);
        EXPECT_NE(lf, std::string::npos) << "last line without line end";
        if (lf == std::string::npos) break;
        EXPECT_TRUE(lf > start && text[lf - 1] == '\r') << "LF without CR at byte " << lf;
        const std::size_t end = lf > start && text[lf - 1] == '\r' ? lf - 1 : lf;
        EXPECT_EQ(text.substr(start, end - start).find('\r'), std::string::npos)
            << "stray CR in line at byte " << start;
        lines.push_back(text.substr(start, end - start));
        start = lf + 1;
    }
    return lines;
}

class TempFolder {
public:
    explicit TempFolder(const std::string& utf8Name) {
        path_ = fs::temp_directory_path() / pathOf(utf8Name);
        std::error_code ec;
        fs::remove_all(path_, ec);
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

const char* const kLegalNotice = "Copyright (C) 2026 Kestrelmap developers";

}  // namespace

// ---------------------------------------------------------------- banner

TEST(WindowsBanner, ReadFromTheVersionResourceOfKestrelmapExe) {
    const Captured run = capture(program(), {});
    ASSERT_TRUE(run.result.ok) << run.result.failure;
    const std::vector<std::string> lines = crlfLines(run.output);
    ASSERT_EQ(lines.size(), 13u) << run.output;
    EXPECT_EQ(lines[0], "Kestrelmap.exe version 2.0 from " + kestrel::driver::buildDate());
    EXPECT_EQ(lines[1], kLegalNotice);
    EXPECT_EQ(lines[2], "ELF TO KEIL M51 MEMORY MAP FILE GENERATOR");
    EXPECT_EQ(lines[12],
              "Internal ObjDump Call will be \"arm-none-eabi-objdump -WlLiaprmfFsoRt  inputFile.elf > "
              "inputFile.txt\"");
}

TEST(WindowsBanner, NoBannerForAProgramWithoutVersionResource) {
    // The test program itself carries no version resource.
    EXPECT_TRUE(kestrel::driver::bannerLines("kestrel_tests").empty());
}

// ---------------------------------------------------------------- processes

TEST(WindowsProcess, ArgumentsArriveUnchanged) {
    // Kestrelmap joins its arguments and echoes them in the dump file name.
    // Blanks, quotes, "&", a backslash before the closing quote, an empty
    // argument and non-ASCII letters must all reach it exactly.
    const std::vector<std::string> arguments = {
        utf8(u8"C:\\no such dir\\M\u00fcller & \"Co\" \u65e5\u672c\\"), "", "x\ty.txt"};
    const Captured run = capture(program(), arguments);
    EXPECT_FALSE(run.result.ok);
    EXPECT_EQ(run.result.failure, "exit status 1");
    const std::vector<std::string> lines = crlfLines(run.output);
    ASSERT_GE(lines.size(), 4u) << run.output;
    EXPECT_EQ(lines[2], utf8(u8"inputFile : C:\\no such dir\\M\u00fcller & \"Co\" \u65e5\u672c\\x\ty_ObjDump.txt"));
    EXPECT_EQ(lines[3], utf8(u8"outFileMap : C:\\no such dir\\M\u00fcller & \"Co\" \u65e5\u672c\\x\ty_Mox.m51"));
}

TEST(WindowsProcess, StoppingEndsTheProgramAndReportsTheReason) {
    int calls = 0;
    const kestrel::driver::ProcessResult result = kestrel::driver::runWithOutputPipe(
        program(), {},
        [&](std::string_view) {
            ++calls;
            return false;
        },
        "can not write the dump");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failure, "can not write the dump");
    EXPECT_EQ(calls, 1);
}

TEST(WindowsProcess, ProgramsRunInTheCLocale) {
    // Our own LC_ALL does not reach the program; the rest of the environment does.
    ASSERT_TRUE(SetEnvironmentVariableW(L"lc_all", L"fr_FR"));
    const Captured run = capture("cmd.exe", {"/c", "echo %LC_ALL%/%WINDIR%"});
    SetEnvironmentVariableW(L"lc_all", nullptr);
    EXPECT_TRUE(run.result.ok) << run.result.failure;
    ASSERT_EQ(run.output.rfind("C/", 0), 0u) << run.output;
    EXPECT_GT(run.output.size(), 4u) << run.output;
}

TEST(WindowsProcess, MissingProgramCannotStart) {
    const Captured pipe = capture("kestrel-no-such-program", {"a"});
    EXPECT_FALSE(pipe.result.ok);
    EXPECT_EQ(pipe.result.failure.rfind("can not start: ", 0), 0u) << pipe.result.failure;
    EXPECT_TRUE(pipe.output.empty());
}

TEST(WindowsProcess, OutputIntoAFileWithANonAsciiName) {
    TempFolder folder(utf8(u8"kestrel \u00f6 out"));
    const fs::path output = folder.path() / pathOf(utf8(u8"M\u00fcller & Co.txt"));
    // As the driver keeps objdump's output: the pipe's blocks go into a file
    // opened by its UTF-8 name.
    std::FILE* file = kestrel::reader::openForWriting(utf8Of(output));
    ASSERT_NE(file, nullptr);
    const kestrel::driver::ProcessResult result = kestrel::driver::runWithOutputPipe(
        program(), {},
        [&](std::string_view bytes) { return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(); },
        "can not write");
    ASSERT_EQ(std::fclose(file), 0);
    ASSERT_TRUE(result.ok) << result.failure;
    const std::vector<std::string> lines = crlfLines(readFile(output));
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[1], kLegalNotice);
}

// ---------------------------------------------------------------- whole runs

// A dump in a folder with a blank and non-ASCII letters: every output file is
// created beside it, every line ends in CR LF, and a dump with LF line ends
// gives the same files as one with CR LF.
TEST(WindowsRun, NonAsciiFolderAndCrLfOutputs) {
    const std::string dump = readFile(fs::path(KESTREL_TEST_DATA) / "golden" / "duplicates" / "dup_ObjDump.txt");
    ASSERT_FALSE(dump.empty());
    ASSERT_EQ(dump.find('\r'), std::string::npos);
    std::string crlfDump;
    for (const char c : dump) {
        if (c == '\n') crlfDump += '\r';
        crlfDump += c;
    }

    TempFolder folder(utf8(u8"Projekte M\u00fcller"));
    std::vector<std::string> outputs[2];
    for (int variant = 0; variant < 2; ++variant) {
        const fs::path dir = folder.path() / (variant == 0 ? "lf" : "crlf");
        fs::create_directories(dir);
        writeFile(dir / pathOf(utf8(u8"\u00e4pp_ObjDump.txt")), variant == 0 ? dump : crlfDump);
        const Captured run = capture(program(), {utf8Of(dir / pathOf(utf8(u8"\u00e4pp.txt")))});
        ASSERT_TRUE(run.result.ok) << run.result.failure << "\n" << run.output;
        const std::vector<std::string> lines = crlfLines(run.output);
        // Banner, the names, two timing lines, the omissions line and the count line.
        ASSERT_EQ(lines.size(), 8u) << run.output;
        EXPECT_EQ(lines[7], "Variables: 5, signals: 5, omissions: not checked");
        EXPECT_EQ(lines[2], "inputFile : " + utf8Of(dir / pathOf(utf8(u8"\u00e4pp_ObjDump.txt"))));

        for (const char* suffix : {"_Mox.m51", "_CANape.db", "_Mox.m51_StyleWarnings.log"}) {
            const fs::path file = dir / pathOf(utf8(u8"\u00e4pp") + suffix);
            ASSERT_TRUE(fs::exists(file)) << utf8Of(file);
            const std::string text = readFile(file);
            EXPECT_FALSE(text.empty()) << suffix;
            EXPECT_EQ(text.find("\r\r"), std::string::npos) << suffix;
            EXPECT_FALSE(crlfLines(text).empty());
            outputs[variant].push_back(text);
        }
        // No temporary file is left behind.
        int files = 0;
        for (const auto& entry : fs::directory_iterator(dir)) files += entry.is_regular_file() ? 1 : 0;
        EXPECT_EQ(files, 4);
    }
    EXPECT_EQ(outputs[0], outputs[1]);
}

// A second run replaces the files of the first.
TEST(WindowsRun, ASecondRunReplacesTheOutputs) {
    TempFolder folder(utf8(u8"kestrel \u00fc twice"));
    const fs::path dir = folder.path();
    fs::copy_file(fs::path(KESTREL_TEST_DATA) / "golden" / "forms" / "app_ObjDump.txt", dir / "app_ObjDump.txt");
    const fs::path map = dir / "app_Mox.m51";
    writeFile(map, "old\r\n");
    const std::string input = utf8Of(dir / "app.txt");
    const Captured first = capture(program(), {input});
    ASSERT_TRUE(first.result.ok) << first.output;
    const std::string text = readFile(map);
    EXPECT_NE(text, "old\r\n");
    const Captured second = capture(program(), {input});
    ASSERT_TRUE(second.result.ok) << second.output;
    EXPECT_EQ(readFile(map), text);
}

#endif  // _WIN32
