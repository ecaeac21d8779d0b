// Hostile inputs and hostile surroundings, each run through the real program
// in a folder of its own: huge lines, bytes that are not text, absurd nesting,
// type cycles, arrays of billions of elements, numbers of forty digits, cut
// dumps, an objdump that fails half-way, outputs that cannot be created or
// written. Every run is guarded by a watchdog (a hang fails the test instead
// of stalling it) and prints its peak memory and wall time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWatchdogSeconds = 60;

struct ProgramRun {
    int status = -1;        // exit status; -1 when killed or signalled
    int signal = 0;         // the signal that ended the program, if any
    bool timedOut = false;  // killed by the watchdog
    std::string console;    // standard output and standard error
    long peakKb = 0;        // maximum resident set size
    double seconds = 0;     // wall time
};

using kestrel::test::readFile;
using kestrel::test::writeFile;

struct RunOptions {
    std::string pathPrefix;                 // put first on PATH for the program
    std::optional<rlim_t> fileSizeLimit;    // RLIMIT_FSIZE of the program
    std::optional<rlim_t> addressSpaceLimit; // RLIMIT_AS of the program (and of objdump)
};

// The runs are started by a launcher process forked while this test program
// is still small (before main): the peak memory that wait4 reports for a
// child includes the memory of the process it was forked from, so forking
// from the grown test process would overstate it.
struct Request {
    char folder[1024];
    char argument[1024];
    char pathPrefix[1024];
    bool limitFileSize;
    rlim_t fileSizeLimit;
    bool limitAddressSpace;
    rlim_t addressSpaceLimit;
};
struct Reply {
    int status;
    int signal;
    bool timedOut;
    long peakKb;
    double seconds;
};

bool readAll(int fd, void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// In a child process: becomes the program as `request` asks.
[[noreturn]] void execProgram(const Request& request) {
    if (::chdir(request.folder) != 0) ::_exit(126);
    const int fd = ::open("console.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) ::_exit(126);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::close(fd);
    if (request.pathPrefix[0] != '\0') {
        const char* path = std::getenv("PATH");
        const std::string joined =
            std::string(request.pathPrefix) + ":" + (path != nullptr ? path : "/usr/bin:/bin");
        ::setenv("PATH", joined.c_str(), 1);
    }
    if (request.limitFileSize) {
        // Writes beyond the limit then fail with EFBIG instead of ending
        // the program with SIGXFSZ.
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{request.fileSizeLimit, request.fileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    if (request.limitAddressSpace) {
        const rlimit limit{request.addressSpaceLimit, request.addressSpaceLimit};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(126);
    }
    ::execl(KESTREL_EXE, KESTREL_EXE, request.argument, static_cast<char*>(nullptr));
    ::_exit(127);
}

// In the launcher: one run of the program under the watchdog.
Reply launch(const Request& request) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) execProgram(request);
    Reply reply{-1, 0, false, 0, 0};
    if (child < 0) return reply;
    int status = 0;
    rusage usage{};
    const auto deadline = start + std::chrono::seconds(kWatchdogSeconds);
    for (;;) {
        const pid_t done = ::wait4(child, &status, WNOHANG, &usage);
        if (done == child) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::wait4(child, &status, 0, &usage);
            reply.timedOut = true;
            break;
        }
        ::usleep(5000);
    }
    reply.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    reply.peakKb = usage.ru_maxrss;
    if (WIFEXITED(status)) reply.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) reply.signal = WTERMSIG(status);
    return reply;
}

class Launcher {
public:
    Launcher() {
        int requests[2];
        int replies[2];
        if (::pipe(requests) != 0 || ::pipe(replies) != 0) return;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(requests[1]);
            ::close(replies[0]);
            Request request;
            while (readAll(requests[0], &request, sizeof request)) {
                const Reply reply = launch(request);
                if (!writeAll(replies[1], &reply, sizeof reply)) break;
            }
            ::_exit(0);  // the test program has ended
        }
        ::close(requests[0]);
        ::close(replies[1]);
        if (pid < 0) return;
        toLauncher_ = requests[1];
        fromLauncher_ = replies[0];
    }
    bool run(const Request& request, Reply& reply) const {
        return toLauncher_ >= 0 && writeAll(toLauncher_, &request, sizeof request) &&
               readAll(fromLauncher_, &reply, sizeof reply);
    }

private:
    int toLauncher_ = -1;
    int fromLauncher_ = -1;
};

const Launcher launcher;

Request makeRequest(const fs::path& folder, const std::string& argument, const RunOptions& options) {
    Request request{};
    std::snprintf(request.folder, sizeof request.folder, "%s", folder.c_str());
    std::snprintf(request.argument, sizeof request.argument, "%s", argument.c_str());
    std::snprintf(request.pathPrefix, sizeof request.pathPrefix, "%s", options.pathPrefix.c_str());
    request.limitFileSize = options.fileSizeLimit.has_value();
    request.fileSizeLimit = options.fileSizeLimit.value_or(0);
    request.limitAddressSpace = options.addressSpaceLimit.has_value();
    request.addressSpaceLimit = options.addressSpaceLimit.value_or(0);
    return request;
}

// Runs the program in `folder` with `argument`, its console in a file of the
// folder, under the watchdog; reports the figures of the run on std::cout.
ProgramRun runProgram(const std::string& label, const fs::path& folder, const std::string& argument,
                      const RunOptions& options = {}) {
    const Request request = makeRequest(folder, argument, options);
    ProgramRun run;
    Reply reply{};
    if (!launcher.run(request, reply)) {
        ADD_FAILURE() << "the launcher process is not there";
        return run;
    }
    run.status = reply.status;
    run.signal = reply.signal;
    run.timedOut = reply.timedOut;
    run.peakKb = reply.peakKb;
    run.seconds = reply.seconds;
    run.console = readFile(folder / "console.out");
    std::cout << "[ resources] " << label << ": peak " << run.peakKb / 1024.0 << " MB, wall "
              << run.seconds << " s\n";
    EXPECT_FALSE(run.timedOut) << label << ": killed by the watchdog after " << kWatchdogSeconds << " s";
    EXPECT_EQ(run.signal, 0) << label << ": ended by signal " << run.signal << "\n" << run.console;
    return run;
}

// A folder of its own for each case, removed afterwards (also when made
// read-only).
class AdversarialTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = fs::temp_directory_path() /
                  ("kestrel-adv-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(folder_, ignored);
    }

    // Writes `dump` as <name>_ObjDump.txt and runs the program on <name>.txt.
    ProgramRun runOnDump(const std::string& name, const std::string& dump, const RunOptions& options = {}) {
        writeFile(folder_ / (name + "_ObjDump.txt"), dump);
        return runProgram(name, folder_, name + ".txt", options);
    }
    std::string map(const std::string& name) const { return readFile(folder_ / (name + "_Mox.m51")); }

    // Puts a shell script as arm-none-eabi-objdump into a folder of its own
    // and returns options that put that folder first on PATH.
    RunOptions fakeObjdump(const std::string& script) const {
        const fs::path bin = folder_ / "bin";
        fs::create_directories(bin);
        const fs::path fake = bin / "arm-none-eabi-objdump";
        writeFile(fake, "#!/bin/sh\n" + script);
        fs::permissions(fake, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
        RunOptions options;
        options.pathPrefix = bin.string();
        return options;
    }
    // The names in the folder that hold ".tmp".
    std::vector<std::string> temporaries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            const std::string name = entry.path().filename().string();
            if (name.find(".tmp") != std::string::npos) names.push_back(name);
        }
        return names;
    }

    fs::path folder_;
};

// --- Dump text in the shape objdump prints ----------------------------------

const std::string kHead =
    "fw.elf:     file format elf32-littlearm\n"
    "Contents of the .debug_info section:\n\n"
    "  Compilation Unit @ offset 0:\n"
    "   Pointer Size:  4\n"
    " <0><b>: Abbrev Number: 1 (DW_TAG_compile_unit)\n"
    "    <c>   DW_AT_name        : fw.c\n"
    "    <10>   DW_AT_stmt_list   : 0\n"
    " <1><20>: Abbrev Number: 2 (DW_TAG_base_type)\n"
    "    <21>   DW_AT_byte_size   : 4\n"
    "    <22>   DW_AT_encoding    : 5\t(signed)\n"
    "    <23>   DW_AT_name        : int\n";

const std::string kLineTable =
    "Raw dump of debug contents of section .debug_line:\n\n"
    "  Offset:                      0\n"
    " The Directory Table is empty.\n\n"
    " The File Name Table (offset 0x1c):\n"
    "  Entry\tDir\tTime\tSize\tName\n"
    "  1\t0\t0\t0\tfw.c\n\n";

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

// A variable of depth `depth` at a fixed address.
std::string variable(unsigned offset, const std::string& name, unsigned typeOffset, unsigned address,
                     int depth = 1) {
    return " <" + std::to_string(depth) + "><" + hex(offset) + ">: Abbrev Number: 9 (DW_TAG_variable)\n" +
           "    <" + hex(offset + 1) + ">   DW_AT_name        : " + name + "\n" +
           "    <" + hex(offset + 2) + ">   DW_AT_decl_file   : 1\n" +
           "    <" + hex(offset + 3) + ">   DW_AT_decl_line   : 7\n" +
           "    <" + hex(offset + 4) + ">   DW_AT_type        : <0x" + hex(typeOffset) + ">\n" +
           "    <" + hex(offset + 5) + ">   DW_AT_location    : 5 byte block: 3 0 0 0 20 \t(DW_OP_addr: " +
           hex(address) + ")\n";
}

// The map line of an int variable (signed, 4 bytes) at `address`.
std::string intLine(unsigned address, const std::string& name) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", address);
    return std::string(text) + "H     SYMBOL  DATA  INT32    " + name + "\r\n";
}

// --- Input that is not what a dump looks like --------------------------------

TEST_F(AdversarialTest, TenMegabyteLineIsPassedOver) {
    std::string dump = kHead + variable(0x40, "before", 0x20, 0x20000000);
    dump += "    <48>   DW_AT_name        : ";
    dump.append(10u << 20, 'x');
    dump += "\n" + variable(0x50, "after", 0x20, 0x20000004) + kLineTable;
    const ProgramRun run = runOnDump("longline", dump);
    EXPECT_EQ(run.status, 0) << run.console;
    EXPECT_NE(run.console.find("Mox M51 + CANape finished"), std::string::npos) << run.console;
    EXPECT_NE(map("longline").find(intLine(0x20000004, "after")), std::string::npos);
}

TEST_F(AdversarialTest, NulBytesAndInvalidUtf8AreKeptAsBytes) {
    const std::string nul("n\0ul", 4);
    const std::string bad = "bad\xc3\x28utf\xed\xa0\x80\xff";
    std::string dump = kHead + variable(0x40, nul, 0x20, 0x20000000) + variable(0x50, bad, 0x20, 0x20000004);
    dump += std::string("\0\0\0\xfe\xff garbage\n", 14);
    dump += variable(0x60, "after", 0x20, 0x20000008) + kLineTable;
    const ProgramRun run = runOnDump("bytes", dump);
    EXPECT_EQ(run.status, 0) << run.console;
    const std::string text = map("bytes");
    EXPECT_NE(text.find(intLine(0x20000000, nul)), std::string::npos);
    EXPECT_NE(text.find(intLine(0x20000004, bad)), std::string::npos);
    EXPECT_NE(text.find(intLine(0x20000008, "after")), std::string::npos);
}

TEST_F(AdversarialTest, HundredThousandNestedEntries) {
    // A function holding lexical blocks, each one level deeper than the one
    // before, with a static variable at the bottom; then a plain variable.
    constexpr unsigned kDepth = 100000;
    std::string dump = kHead;
    dump.reserve(kDepth * 64);
    unsigned offset = 0x100;
    dump += " <1><" + hex(offset++) + ">: Abbrev Number: 3 (DW_TAG_subprogram)\n"
            "    <31>   DW_AT_name        : main\n";
    for (unsigned depth = 2; depth <= kDepth; ++depth)
        dump += " <" + std::to_string(depth) + "><" + hex(offset++) + ">: Abbrev Number: 4 (DW_TAG_lexical_block)\n";
    dump += variable(offset, "deep", 0x20, 0x20000000, kDepth + 1);
    offset += 8;
    dump += variable(offset, "after", 0x20, 0x20000004) + kLineTable;
    const ProgramRun run = runOnDump("nested", dump);
    EXPECT_EQ(run.status, 0) << run.console.substr(0, 2000);
    EXPECT_NE(map("nested").find(intLine(0x20000004, "after")), std::string::npos);
}

TEST_F(AdversarialTest, StructureCycleWithoutPointerIsCutOff) {
    // struct node { int value; node_t self; } with typedef struct node node_t.
    const std::string dump = kHead +
        " <1><30>: Abbrev Number: 4 (DW_TAG_structure_type)\n"
        "    <31>   DW_AT_name        : node\n"
        "    <32>   DW_AT_byte_size   : 8\n"
        " <2><33>: Abbrev Number: 5 (DW_TAG_member)\n"
        "    <34>   DW_AT_name        : value\n"
        "    <35>   DW_AT_type        : <0x20>\n"
        "    <36>   DW_AT_data_member_location: 0\n"
        " <2><37>: Abbrev Number: 5 (DW_TAG_member)\n"
        "    <38>   DW_AT_name        : self\n"
        "    <39>   DW_AT_type        : <0x3c>\n"
        "    <3a>   DW_AT_data_member_location: 4\n"
        " <2><3b>: Abbrev Number: 0\n"
        " <1><3c>: Abbrev Number: 3 (DW_TAG_typedef)\n"
        "    <3d>   DW_AT_name        : node_t\n"
        "    <3e>   DW_AT_type        : <0x30>\n" +
        variable(0x40, "head", 0x3c, 0x20000000) + variable(0x50, "after", 0x20, 0x20000010) + kLineTable;
    const ProgramRun run = runOnDump("cycle", dump);
    EXPECT_EQ(run.status, 0) << run.console;
    EXPECT_NE(run.console.find("expansion stopped: head (DIE 0x40)\n"), std::string::npos) << run.console;
    const std::string text = map("cycle");
    EXPECT_NE(text.find(intLine(0x20000000, "head.value")), std::string::npos) << text.substr(0, 500);
    EXPECT_NE(text.find(intLine(0x20000010, "after")), std::string::npos);
}

TEST_F(AdversarialTest, TypedefOfItself) {
    const std::string dump = kHead +
        " <1><30>: Abbrev Number: 3 (DW_TAG_typedef)\n"
        "    <31>   DW_AT_name        : loop_t\n"
        "    <32>   DW_AT_type        : <0x30>\n" +
        variable(0x40, "looped", 0x30, 0x20000000) + variable(0x50, "after", 0x20, 0x20000004) + kLineTable;
    const ProgramRun run = runOnDump("selftype", dump);
    EXPECT_EQ(run.status, 0) << run.console;
    EXPECT_NE(map("selftype").find(intLine(0x20000004, "after")), std::string::npos);
}

TEST_F(AdversarialTest, ArrayOfBillionsIsBoundedAndTheNextVariableFollows) {
    const std::string dump = kHead +
        " <1><30>: Abbrev Number: 6 (DW_TAG_array_type)\n"
        "    <31>   DW_AT_type        : <0x20>\n"
        " <2><32>: Abbrev Number: 7 (DW_TAG_subrange_type)\n"
        "    <33>   DW_AT_type        : <0x20>\n"
        "    <34>   DW_AT_upper_bound : 4000000000\n"
        " <2><35>: Abbrev Number: 0\n" +
        variable(0x40, "huge", 0x30, 0x20000000) + variable(0x50, "after", 0x20, 0x20000004) + kLineTable;
    const ProgramRun run = runOnDump("huge", dump);
    EXPECT_EQ(run.status, 0) << run.console;
    EXPECT_NE(run.console.find("Variable larger than the address space, not expanded: huge (DIE 0x40)\n"), std::string::npos)
        << run.console;
    const std::string text = map("huge");
    EXPECT_EQ(text.find("huge_"), std::string::npos);
    EXPECT_NE(text.find(intLine(0x20000004, "after")), std::string::npos);
    std::cout << "[ resources] huge: map " << text.size() / (1024.0 * 1024.0) << " MB, CANape "
              << fs::file_size(folder_ / "huge_CANape.db") / (1024.0 * 1024.0) << " MB\n";
}

TEST_F(AdversarialTest, FortyDigitNumbers) {
    const std::string forty = "1234567890123456789012345678901234567890";
    const std::string dump = kHead +
        " <1><30>: Abbrev Number: 2 (DW_TAG_base_type)\n"
        "    <31>   DW_AT_byte_size   : " + forty + "\n"
        "    <32>   DW_AT_name        : wide\n" +
        " <1><" + forty + ">: Abbrev Number: 2 (DW_TAG_base_type)\n" +
        " <" + forty + "><38>: Abbrev Number: 2 (DW_TAG_base_type)\n" +
        variable(0x40, "wide", 0x30, 0x20000000) +
        " <1><50>: Abbrev Number: 9 (DW_TAG_variable)\n"
        "    <51>   DW_AT_name        : far\n"
        "    <52>   DW_AT_decl_line   : -" + forty + "\n"
        "    <53>   DW_AT_type        : <0x" + forty + ">\n"
        "    <54>   DW_AT_location    : 5 byte block: 3 0 0 0 20 \t(DW_OP_addr: " + forty + ")\n" +
        variable(0x60, "after", 0x20, 0x20000004) + kLineTable;
    const ProgramRun run = runOnDump("numbers", dump);
    EXPECT_EQ(run.status, 0) << run.console;
    EXPECT_NE(map("numbers").find(intLine(0x20000004, "after")), std::string::npos);
}

TEST_F(AdversarialTest, DumpEndingInsideAnEntry) {
    // The last entry stops in the middle of its type line: no final LF.
    const std::string dump = kHead + variable(0x40, "whole", 0x20, 0x20000000) +
        " <1><50>: Abbrev Number: 9 (DW_TAG_variable)\n"
        "    <51>   DW_AT_name        : half\n"
        "    <52>   DW_AT_location    : 5 byte block: 3 4 0 0 20 \t(DW_OP_addr: 20000004)\n"
        "    <57>   DW_AT_type        : <0x2";
    // A cut dump is refused: objdump ends every line.
    const ProgramRun run = runOnDump("cut", dump);
    EXPECT_EQ(run.status, 1) << run.console;
    EXPECT_NE(run.console.find("The dump ends inside a compilation unit: cut_ObjDump.txt\n"), std::string::npos)
        << run.console;
    EXPECT_FALSE(fs::exists(folder_ / "cut_Mox.m51"));
}

// --- Surroundings that fail ---------------------------------------------------

TEST_F(AdversarialTest, ObjdumpFailingHalfWay) {
    // An objdump that prints half a dump and gives up.
    const RunOptions options =
        fakeObjdump("printf '%s' '" + kHead + variable(0x40, "v", 0x20, 0x20000000).substr(0, 60) +
                    "'\necho 'objdump: x.elf: file truncated' >&2\nexit 1\n");
    writeFile(folder_ / "x.elf", "\x7f" "ELF truncated");
    // Without an earlier dump none is left; an earlier one stays untouched.
    for (const bool earlier : {false, true}) {
        if (earlier) writeFile(folder_ / "x_ObjDump.txt", "the dump of an earlier run\n");
        const ProgramRun run = runProgram("objdump-fails", folder_, "x.elf", options);
        EXPECT_EQ(run.status, 1) << run.console;
        EXPECT_NE(run.console.find("arm-none-eabi-objdump failed on x.elf"), std::string::npos) << run.console;
        EXPECT_FALSE(fs::exists(folder_ / "x_Mox.m51"));
        EXPECT_FALSE(fs::exists(folder_ / "x_CANape.db"));
        EXPECT_FALSE(fs::exists(folder_ / "x_Mox.m51_StyleWarnings.log"));
        if (earlier) {
            EXPECT_EQ(readFile(folder_ / "x_ObjDump.txt"), "the dump of an earlier run\n");
        } else {
            EXPECT_FALSE(fs::exists(folder_ / "x_ObjDump.txt"));
        }
        EXPECT_EQ(temporaries(), std::vector<std::string>{});
    }
}

TEST_F(AdversarialTest, MapNameTakenByAFolder) {
    fs::create_directories(folder_ / "taken_Mox.m51");
    const ProgramRun run = runOnDump("taken", kHead + variable(0x40, "v", 0x20, 0x20000000) + kLineTable);
    EXPECT_EQ(run.status, 1) << run.console;
    EXPECT_NE(run.console.find("Can not create file: taken_Mox.m51\n"), std::string::npos) << run.console;
    EXPECT_TRUE(fs::is_directory(folder_ / "taken_Mox.m51"));
    // The outputs are replaced as a set: the other file is not written either.
    EXPECT_FALSE(fs::exists(folder_ / "taken_CANape.db"));
}

TEST_F(AdversarialTest, ReadOnlyOutputFolder) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    writeFile(folder_ / "ro_ObjDump.txt", kHead + variable(0x40, "v", 0x20, 0x20000000) + kLineTable);
    fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    // The console goes elsewhere: the folder itself takes no new file.
    const fs::path consoleFolder = folder_.string() + "-console";
    fs::create_directories(consoleFolder);
    const ProgramRun run = runProgram("read-only", consoleFolder, (folder_ / "ro.txt").string());
    fs::remove_all(consoleFolder);
    EXPECT_EQ(run.status, 1) << run.console;
    EXPECT_NE(run.console.find("Can not create file: " + (folder_ / "ro_Mox.m51").string()), std::string::npos)
        << run.console;
    EXPECT_NE(run.console.find("Can not create file: " + (folder_ / "ro_CANape.db").string()), std::string::npos);
}

TEST_F(AdversarialTest, FileSizeLimitKeepsTheEarlierMap) {
    // 20000 ints: a map of about 900 KB, far beyond the 64 KB allowed.
    const std::string dump = kHead +
        " <1><30>: Abbrev Number: 6 (DW_TAG_array_type)\n"
        "    <31>   DW_AT_type        : <0x20>\n"
        " <2><32>: Abbrev Number: 7 (DW_TAG_subrange_type)\n"
        "    <34>   DW_AT_upper_bound : 19999\n"
        " <2><35>: Abbrev Number: 0\n" +
        variable(0x40, "samples", 0x30, 0x20000000) + kLineTable;
    const std::string earlier = intLine(0x20000000, "earlier") + "the map of an earlier run\r\n";
    writeFile(folder_ / "limited_Mox.m51", earlier);
    RunOptions options;
    options.fileSizeLimit = 64 * 1024;
    const ProgramRun run = runOnDump("limited", dump, options);
    EXPECT_EQ(run.status, 1) << run.console;
    EXPECT_NE(run.console.find("Can not write file: limited_Mox.m51\n"), std::string::npos) << run.console;
    EXPECT_EQ(map("limited"), earlier);
    // No temporary file is left behind.
    for (const auto& entry : fs::directory_iterator(folder_))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

}  // namespace

namespace {

// objdump's output is written to the dump file by the program itself: when
// that file cannot take it, the run stops, says so and writes no outputs.
TEST_F(AdversarialTest, DumpFileThatCannotBeWrittenStopsTheRun) {
    // About 2 MB of harmless lines, far beyond the 64 KB allowed.
    RunOptions options = fakeObjdump("i=0\nwhile [ $i -lt 20000 ]; do\n"
                                     "  echo '  filler line of a dump that is much longer than the file size limit allows ....'\n"
                                     "  i=$((i+1))\ndone\n");
    writeFile(folder_ / "big.elf", "\x7f" "ELF");
    options.fileSizeLimit = 64 * 1024;
    const ProgramRun run = runProgram("dump-too-big", folder_, "big.elf", options);
    EXPECT_EQ(run.status, 1) << run.console;
    EXPECT_NE(run.console.find("Can not write file: big_ObjDump.txt\n"), std::string::npos) << run.console;
    EXPECT_FALSE(fs::exists(folder_ / "big_Mox.m51"));
    EXPECT_FALSE(fs::exists(folder_ / "big_CANape.db"));
}

}  // namespace

namespace {

#ifndef KESTREL_TEST_ASAN
// Running out of memory while the dump is read ends the run with a message
// and status 1, on both paths (a dump file, and objdump's output through a
// pipe), whatever the point at which memory runs out: never with a crash. An
// endless dump (a link to /dev/zero) runs out for certain. (Under
// AddressSanitizer an address-space limit cannot work; reader_test checks
// the exception path there.)
TEST_F(AdversarialTest, RunningOutOfMemoryEndsCleanly) {
    std::string dump = kHead;
    for (unsigned k = 0; k < 3000; ++k)
        dump += variable(0x40 + 0x10 * k, "v" + std::to_string(k), 0x20, 0x20000000 + 4 * k);
    dump += kLineTable;
    writeFile(folder_ / "fw_ObjDump.txt", dump);
    const fs::path bin = folder_ / "bin";
    fs::create_directories(bin);
    writeFile(bin / "arm-none-eabi-objdump", "#!/bin/sh\nexec cat \"$(dirname \"$0\")/../fw_ObjDump.txt\"\n");
    fs::permissions(bin / "arm-none-eabi-objdump", fs::perms::owner_all);
    writeFile(folder_ / "fw.elf", "\x7f" "ELF");
    fs::create_symlink("/dev/zero", folder_ / "zero_ObjDump.txt");

    auto expectClean = [&](const char* input, rlim_t megabytes, bool mustFail) {
        RunOptions options;
        options.pathPrefix = bin.string();
        options.addressSpaceLimit = megabytes << 20;
        const ProgramRun run = runProgram(std::string(input) + " in " + std::to_string(megabytes) + " MB",
                                          folder_, input, options);
        SCOPED_TRACE(std::string(input) + " with " + std::to_string(megabytes) + " MB");
        ASSERT_TRUE(run.status == 0 || run.status == 1) << run.console;
        if (run.status == 1 || mustFail) {
            // The endless line of /dev/zero is refused once it passes the line bound.
            const bool refused = run.console.find("The file is not an objdump dump (a line longer than 16 MB): "
                                                  "zero_ObjDump.txt\n") != std::string::npos;
            EXPECT_TRUE(refused || run.console.find("Error: std::bad_alloc\n") != std::string::npos) << run.console;
        }
    };
    expectClean("zero.txt", 64, true);
    // From 8 MB: below about 7 MB the program (with its thread library and
    // the table of temporary names) cannot start at all.
    for (rlim_t megabytes = 8; megabytes <= 26; megabytes += 2) {
        expectClean("fw.txt", megabytes, false);
        expectClean("fw.elf", megabytes, false);
    }
}
#endif

// --- File safety: links, interruptions, runaway objdump, outputs as a set ----

// A valid small dump with two variables of one name (a style-warnings log is due).
std::string duplicateDump() {
    return kHead + variable(0x40, "dup", 0x20, 0x20000000) + variable(0x50, "dup", 0x20, 0x20000004) + kLineTable;
}

// Links planted at the names of all four files (the dump included) are
// replaced by the files; what they point to stays as it was.
TEST_F(AdversarialTest, PlantedLinksAreReplacedNotWrittenThrough) {
    const RunOptions options = fakeObjdump("printf '%s' '" + duplicateDump() + "'\n");
    writeFile(folder_ / "x.elf", "\x7f" "ELF");
    const fs::path victims = folder_ / "victims";
    fs::create_directories(victims);
    const std::string names[] = {"x_ObjDump.txt", "x_Mox.m51", "x_CANape.db", "x_Mox.m51_StyleWarnings.log"};
    for (const std::string& name : names) {
        writeFile(victims / name, "precious\n");
        fs::create_symlink(victims / name, folder_ / name);
    }
    const ProgramRun run = runProgram("planted-links", folder_, "x.elf", options);
    EXPECT_EQ(run.status, 0) << run.console;
    for (const std::string& name : names) {
        EXPECT_EQ(readFile(victims / name), "precious\n") << name;
        EXPECT_FALSE(fs::is_symlink(folder_ / name)) << name;
    }
    EXPECT_EQ(readFile(folder_ / "x_ObjDump.txt"), duplicateDump());
    EXPECT_NE(map("x").find(intLine(0x20000004, "dup")), std::string::npos);
}

// A missing or unreadable ELF file is reported before objdump starts; no dump
// is left. (A folder of an ELF-like name is a folder of images.)
TEST_F(AdversarialTest, ElfThatCannotBeReadStartsNoObjdump) {
    const RunOptions options = fakeObjdump("touch objdump-was-started\n");
    fs::create_symlink(folder_ / "nowhere.elf", folder_ / "dangling.elf");
    for (const std::string elf : {"missing.elf", "dangling.elf"}) {
        const ProgramRun run = runProgram(elf, folder_, elf, options);
        EXPECT_EQ(run.status, 1) << run.console;
        EXPECT_NE(run.console.find("\nCan not open file: " + elf + "\n"), std::string::npos) << run.console;
        EXPECT_FALSE(fs::exists(folder_ / "objdump-was-started")) << elf;
        const std::string stem = elf.substr(0, elf.size() - 4);
        EXPECT_FALSE(fs::exists(folder_ / (stem + "_ObjDump.txt"))) << elf;
        EXPECT_FALSE(fs::exists(folder_ / (stem + "_Mox.m51"))) << elf;
    }
}

// An objdump that never stops (as on a damaged ELF file) is stopped once its
// output passes the bound for the ELF file's size; nothing is written.
TEST_F(AdversarialTest, RunawayObjdumpIsStopped) {
    const RunOptions options =
        fakeObjdump("printf '%s' '" + kHead + "'\nexec yes '    <9a>   DW_AT_name        : endless'\n");
    writeFile(folder_ / "x.elf", "\x7f" "ELF damaged");
    writeFile(folder_ / "x_ObjDump.txt", "the dump of an earlier run\n");
    const ProgramRun run = runProgram("runaway", folder_, "x.elf", options);
    EXPECT_EQ(run.status, 1) << run.console;
    EXPECT_NE(run.console.find("arm-none-eabi-objdump failed on x.elf: stopped after 67111936 bytes of output, "
                               "more than the debugging information of a 12-byte ELF file gives"),
              std::string::npos)
        << run.console;
    EXPECT_EQ(readFile(folder_ / "x_ObjDump.txt"), "the dump of an earlier run\n");
    EXPECT_FALSE(fs::exists(folder_ / "x_Mox.m51"));
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// Interrupted while a temporary file exists (objdump running, or the output
// pass writing): the program ends by the signal, its temporary files are
// gone and the earlier files stay.
TEST_F(AdversarialTest, InterruptionRemovesTheTemporaryFiles) {
    // One million ints: an output pass of about a second, which is
    // interrupted as soon as its files appear.
    const std::string bigDump = kHead +
        " <1><30>: Abbrev Number: 6 (DW_TAG_array_type)\n"
        "    <31>   DW_AT_type        : <0x20>\n"
        " <2><32>: Abbrev Number: 7 (DW_TAG_subrange_type)\n"
        "    <34>   DW_AT_upper_bound : 999999\n"
        " <2><35>: Abbrev Number: 0\n" +
        variable(0x40, "samples", 0x30, 0x20000000) + kLineTable;
    const RunOptions objdump = fakeObjdump("printf '%s' '" + kHead + "'\nexec sleep 30\n");
    writeFile(folder_ / "x.elf", "\x7f" "ELF");
    struct Case {
        const char* label;
        int signal;
        std::string argument;
    };
    const Case cases[] = {
        {"SIGTERM in the output pass", SIGTERM, "x.txt"},
        {"SIGINT in the output pass", SIGINT, "x.txt"},
        {"SIGTERM while objdump runs", SIGTERM, "x.elf"},
    };
    const std::string names[] = {"x_Mox.m51", "x_CANape.db", "x_Mox.m51_StyleWarnings.log"};
    for (const Case& c : cases) {
        const std::string dump = c.argument == "x.txt" ? bigDump : "the dump of an earlier run\n";
        writeFile(folder_ / "x_ObjDump.txt", dump);
        for (const std::string& name : names) writeFile(folder_ / name, "earlier\r\n");
        const Request request = makeRequest(folder_, c.argument, objdump);
        const pid_t child = ::fork();
        if (child == 0) {
            ::setpgid(0, 0);
            ::signal(SIGINT, SIG_DFL);
            ::signal(SIGTERM, SIG_DFL);
            execProgram(request);
        }
        ASSERT_GT(child, 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWatchdogSeconds);
        bool seen = false;
        int status = 0;
        while (!seen && std::chrono::steady_clock::now() < deadline && ::waitpid(child, &status, WNOHANG) == 0)
            seen = !temporaries().empty();
        ::kill(child, seen ? c.signal : SIGKILL);
        if (seen) ::waitpid(child, &status, 0);
        ::kill(-child, SIGKILL);  // what is left of the process group (the fake objdump)
        ASSERT_TRUE(seen) << c.label << ": no temporary file appeared\n" << readFile(folder_ / "console.out");
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << c.label << ": status " << status;
        EXPECT_EQ(temporaries(), std::vector<std::string>{}) << c.label;
        EXPECT_EQ(readFile(folder_ / "x_ObjDump.txt"), dump) << c.label;
        for (const std::string& name : names) EXPECT_EQ(readFile(folder_ / name), "earlier\r\n") << c.label << name;
    }
}

// The outputs are replaced as one set: when any of them cannot be written
// (here its name is taken by a folder), every earlier file stays as it was;
// a complete run without duplicates removes the earlier run's log.
TEST_F(AdversarialTest, OutputsAreReplacedAsOneSet) {
    const std::string names[] = {"x_Mox.m51", "x_Mox.m51_StyleWarnings.log", "x_CANape.db"};
    writeFile(folder_ / "x_ObjDump.txt", duplicateDump());
    for (const std::string& blocked : names) {
        for (const std::string& name : names) {
            fs::remove_all(folder_ / name);
            if (name == blocked)
                fs::create_directories(folder_ / name);
            else
                writeFile(folder_ / name, "earlier\r\n");
        }
        const ProgramRun run = runProgram("blocked " + blocked, folder_, "x.txt");
        EXPECT_EQ(run.status, 1) << run.console;
        EXPECT_NE(run.console.find("Can not create file: " + blocked + "\n"), std::string::npos) << run.console;
        for (const std::string& name : names) {
            if (name != blocked) {
                EXPECT_EQ(readFile(folder_ / name), "earlier\r\n") << blocked << ": " << name;
            }
        }
        EXPECT_EQ(temporaries(), std::vector<std::string>{}) << blocked;
    }
    fs::remove_all(folder_ / names[2]);

    writeFile(folder_ / "x_ObjDump.txt", kHead + variable(0x40, "v", 0x20, 0x20000000) + kLineTable);
    for (const std::string& name : names) writeFile(folder_ / name, "earlier\r\n");
    const ProgramRun run = runProgram("no duplicates", folder_, "x.txt");
    EXPECT_EQ(run.status, 0) << run.console;
    EXPECT_NE(map("x").find(intLine(0x20000000, "v")), std::string::npos);
    EXPECT_FALSE(fs::exists(folder_ / "x_Mox.m51_StyleWarnings.log"));
}

}  // namespace
