// Benchmark of kestrelmap on large firmware images. Prints figures, asserts
// nothing. For every ELF given it measures, side by side in one run:
//
//   - objdump alone, writing the dump to a file the way the tool runs it;
//   - the model phase (DwarfModel from the dump) in MB/s, in a child process
//     of its own so that its peak memory is its own;
//   - the output pass (writeOutputFiles) in signals/s;
//   - the whole `kestrelmap app.elf` run, wall time and peak memory;
//   - the memory-growth check: the same dump with 1 GB of lines that are not
//     entries appended must not need much more memory than the dump alone.
//
//   kestrel_bench [--work DIR] [--grow-mb N] [--no-growth] [--repeat N] LABEL=ELF...
//   kestrel_bench --phases DUMP --report FILE [--model-only] [--out DIR]   (child)

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "expand/Expand.h"
#include "model/DwarfModel.h"
#include "reader/LineSource.h"
#include "reader/ModelLoader.h"
#include "writers/OutputPass.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kObjdumpOptions = "-WlLiaprmfFsoRt";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A field of /proc/self/status in kB (VmHWM, VmRSS), or -1.
long statusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
            return std::strtol(line.c_str() + n + 1, nullptr, 10);
    }
    return -1;
}

// Lets VmHWM start again from the current resident size (Linux 4.0 and later).
bool resetPeak() {
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (f == nullptr) return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

struct ChildRun {
    double seconds = 0;
    long maxRssKb = 0;  // ru_maxrss of the child (and the children it waited for)
    int status = -1;
};

// Runs argv with stdout sent to `stdoutFile` and waits for it.
ChildRun runChild(const std::vector<std::string>& args, const std::string& stdoutFile) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ChildRun run;
    // Earlier runs leave hundreds of MB of dirty pages; write them back first
    // so that this run is not charged with their writeback.
    sync();
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) == pid) {
        run.seconds = secondsSince(start);
        run.maxRssKb = usage.ru_maxrss;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return run;
}

struct FileStats {
    std::uint64_t bytes = 0;
    std::uint64_t lines = 0;
};

FileStats countLines(const std::string& path) {
    FileStats stats;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return stats;
    std::vector<char> block(1 << 20);
    std::size_t n = 0;
    while ((n = std::fread(block.data(), 1, block.size(), f)) > 0) {
        stats.bytes += n;
        stats.lines += static_cast<std::uint64_t>(std::count(block.data(), block.data() + n, '\n'));
    }
    std::fclose(f);
    return stats;
}

// Writes `grown`: the dump, then raw line-program lines of the same dump
// ("  [0x0000003a]  Extended opcode 2: set Address to 0x8acc") repeated until
// `extraBytes` more have been written. They are lines of no entry. Only a
// bounded sample of them is held; everything else is streamed.
bool writeGrownDump(const std::string& dump, const std::string& grown, std::uint64_t extraBytes) {
    std::FILE* in = std::fopen(dump.c_str(), "rb");
    std::FILE* out = std::fopen(grown.c_str(), "wb");
    if (in == nullptr || out == nullptr) {
        if (in) std::fclose(in);
        if (out) std::fclose(out);
        return false;
    }
    constexpr std::size_t kSample = 8u << 20;
    std::string sample;
    std::string carry;
    std::vector<char> block(1 << 20);
    std::size_t n = 0;
    bool lastEndsLine = true;
    while ((n = std::fread(block.data(), 1, block.size(), in)) > 0) {
        std::fwrite(block.data(), 1, n, out);
        lastEndsLine = block[n - 1] == '\n';
        if (sample.size() >= kSample) continue;
        carry.append(block.data(), n);
        std::size_t start = 0;
        for (std::size_t lf; (lf = carry.find('\n', start)) != std::string::npos; start = lf + 1) {
            std::string_view line(carry.data() + start, lf + 1 - start);
            if (line.starts_with("  [0x") && sample.size() < kSample) sample.append(line);
        }
        carry.erase(0, start);
    }
    std::fclose(in);
    if (!lastEndsLine) std::fputc('\n', out);
    if (sample.empty()) sample = "  [0x00000000]  Copy\n";
    std::uint64_t written = 0;
    while (written < extraBytes) {
        std::fwrite(sample.data(), 1, sample.size(), out);
        written += sample.size();
    }
    return std::fclose(out) == 0;
}

// ---------------------------------------------------------------------------
// Child: the in-process phases on one dump. Writes "key value" lines.

std::uint64_t countTree(const kestrel::model::BasicObject* root) {
    // Iterative: the tree depth comes from the input.
    std::uint64_t count = 0;
    std::vector<const kestrel::model::BasicObject*> stack;
    if (root != nullptr) stack.push_back(root);
    while (!stack.empty()) {
        const kestrel::model::BasicObject* o = stack.back();
        stack.pop_back();
        ++count;
        for (const kestrel::model::BasicObject* c : o->children) stack.push_back(c);
    }
    return count;
}

int runPhases(const std::string& dump, const std::string& reportFile, bool modelOnly,
              const std::string& outDir) {
    std::FILE* report = std::fopen(reportFile.c_str(), "w");
    if (report == nullptr) return 2;
    // The floor of the model phase: reading and splitting the lines alone.
    auto start = Clock::now();
    std::uint64_t floorLines = 0;
    std::string floorError;
    kestrel::reader::LineAssembler floorSplitter;
    auto countLine = [&](std::string_view) { ++floorLines; };
    kestrel::reader::readBlocks(dump, [&](std::string_view block) { floorSplitter.push(block, countLine);
        return true;
    },
                                floorError);
    floorSplitter.finish(countLine);
    std::fprintf(report, "read_lines_seconds %.6f\n", secondsSince(start));
    std::fprintf(report, "sizeof_basic %zu\n", sizeof(kestrel::model::BasicObject));
    std::fprintf(report, "sizeof_member %zu\n", sizeof(kestrel::model::TypeInfo_Member));
    std::fprintf(report, "sizeof_variable %zu\n", sizeof(kestrel::model::VariableInfo));

    resetPeak();
    const long rssBefore = statusKb("VmRSS");
    start = Clock::now();
    auto model = std::make_unique<kestrel::model::DwarfModel>();
    std::string openError;
    const bool opened = kestrel::reader::loadFile(dump, *model, openError);
    const double modelSeconds = secondsSince(start);
    const long modelPeak = statusKb("VmHWM");
    const long modelRss = statusKb("VmRSS");
    if (!opened) {
        std::fprintf(stderr, "cannot read %s: %s\n", dump.c_str(), openError.c_str());
        return 2;
    }
    std::fprintf(report, "model_seconds %.6f\n", modelSeconds);
    std::fprintf(report, "bytes_read %llu\n", static_cast<unsigned long long>(model->bytesRead));
    std::fprintf(report, "lines_read %llu\n", static_cast<unsigned long long>(model->linesRead));
    std::fprintf(report, "rss_before_kb %ld\n", rssBefore);
    std::fprintf(report, "model_peak_kb %ld\n", modelPeak);
    std::fprintf(report, "model_rss_kb %ld\n", modelRss);
    std::fprintf(report, "entries_indexed %zu\n", model->objectsByOffset.size());
    std::fprintf(report, "entries_tree %llu\n",
                 static_cast<unsigned long long>(countTree(model->root.get())));
    std::fprintf(report, "variables %zu\n", model->variables.size());
    std::fprintf(report, "members %zu\n", model->members.size());
    std::fprintf(report, "located %zu\n", model->locatedObjects.size());
    std::fprintf(report, "line_tables %zu\n", model->lineTables.size());
    std::fprintf(report, "text_pool_bytes %zu\n", model->textBytesReserved());
    std::fflush(report);

    if (!modelOnly) {
        resetPeak();
        start = Clock::now();
        std::clock_t c0 = std::clock();
        kestrel::model::TextReporter messages;
        const bool ok = kestrel::writers::writeOutputFiles(outDir + "/bench_Mox.m51", outDir + "/bench_CANape.db",
                                                           *model, messages);
        const double outputSeconds = secondsSince(start);
        std::fprintf(report, "output_cpu %.6f\n", double(std::clock() - c0) / CLOCKS_PER_SEC);
        const long outputPeak = statusKb("VmHWM");
        // Counted afterwards, outside the timing: every signal of every
        // located variable, constant ones included.
        std::uint64_t signals = 0;
        std::uint64_t written = 0;
        std::vector<kestrel::expand::SignalInfo> scratch;
        for (const kestrel::model::BasicObject* o : model->locatedObjects) {
            const auto* v = kestrel::model::as<kestrel::model::VariableInfo>(o);
            if (v == nullptr) continue;
            const kestrel::model::BasicObject* type = kestrel::expand::expansionType(v);
            if (type == nullptr) continue;
            scratch.clear();
            kestrel::expand::expand(type, kestrel::expand::SignalInfo{}, false, scratch, messages);
            signals += scratch.size();
            for (const auto& s : scratch) written += s.isConst ? 0 : 1;
        }
        std::fprintf(report, "output_ok %d\n", ok ? 1 : 0);
        std::fprintf(report, "output_seconds %.6f\n", outputSeconds);
        std::fprintf(report, "output_peak_kb %ld\n", outputPeak);
        std::fprintf(report, "signals %llu\n", static_cast<unsigned long long>(signals));
        std::fprintf(report, "signals_written %llu\n", static_cast<unsigned long long>(written));
    }
    start = Clock::now();
    model.reset();
    std::fprintf(report, "destroy_seconds %.6f\n", secondsSince(start));
    return std::fclose(report) == 0 ? 0 : 2;
}

std::map<std::string, double> readReport(const std::string& file) {
    std::map<std::string, double> values;
    std::ifstream in(file);
    std::string key;
    double value = 0;
    while (in >> key >> value) values[key] = value;
    return values;
}

// ---------------------------------------------------------------------------
// Parent: one input.

std::string selfPath;

void line(const char* name, const std::string& value, const char* target = "") {
    std::printf("  %-44s %-28s %s\n", name, value.c_str(), target);
}

std::string fmt(const char* format, double a) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a);
    return buf;
}

std::string mb(double kb) { return fmt("%.1f MB", kb / 1024.0); }

struct Options {
    fs::path work = "bench-data";
    std::uint64_t growBytes = 1ull << 30;
    bool growth = true;
    int repeat = 1;
};

void benchOne(const std::string& label, const fs::path& elfIn, const Options& opt) {
    const fs::path dir = fs::absolute(opt.work / ("run-" + label));
    fs::create_directories(dir);
    const fs::path elf = dir / (label + ".elf");
    std::error_code ec;
    fs::remove(elf, ec);
    fs::create_symlink(fs::absolute(elfIn), elf);
    const std::string dump = (dir / "objdump_ObjDump.txt").string();
    const std::string devnull = "/dev/null";

    std::printf("\n== %s: %s (ELF %.1f MB)\n", label.c_str(), fs::absolute(elfIn).c_str(),
                static_cast<double>(fs::file_size(elfIn)) / 1e6);
    std::fflush(stdout);

    // objdump alone, through the shell like the tool's command line.
    const std::string objdumpCmd = std::string("arm-none-eabi-objdump ") + kObjdumpOptions + "  " +
                                   elf.string() + " > " + dump;
    ChildRun objdump;
    ChildRun whole;
    objdump.seconds = whole.seconds = 1e30;
    for (int r = 0; r < opt.repeat; ++r) {
        ChildRun o = runChild({"/bin/sh", "-c", objdumpCmd}, devnull);
        if (o.seconds < objdump.seconds) objdump = o;
        // The whole tool on the ELF; its dump and outputs land beside the link.
        ChildRun w = runChild({KESTREL_EXE, elf.string()}, (dir / "console.txt").string());
        if (w.seconds < whole.seconds) whole = w;
    }
    const FileStats stats = countLines(dump);

    const std::string report = (dir / "phases.txt").string();
    const ChildRun phasesRun =
        runChild({selfPath, "--phases", dump, "--report", report, "--out", dir.string()}, devnull);
    auto ph = readReport(report);
    if (phasesRun.status != 0) std::printf("  (phases child failed with status %d)\n", phasesRun.status);

    const double dumpMb = static_cast<double>(stats.bytes) / 1e6;
    const double modelMbs = dumpMb / ph["model_seconds"];
    const double signalsPerS = ph["signals"] / ph["output_seconds"];
    const double entries = ph["entries_tree"] - 1;  // the root is no entry

    line("dump size", fmt("%.1f MB", dumpMb));
    line("dump lines", fmt("%.0f", static_cast<double>(stats.lines)));
    line("entries (objects in the model, tree walk)", fmt("%.0f", entries));
    line("entries indexed by offset", fmt("%.0f", ph["entries_indexed"]));
    line("located variables", fmt("%.0f", ph["located"]));
    line("signals (written, non-constant)", fmt("%.0f", ph["signals"]) + " (" +
                                                fmt("%.0f", ph["signals_written"]) + ")");
    line("objdump alone (wall)", fmt("%.2f s", objdump.seconds),
         ("peak " + mb(static_cast<double>(objdump.maxRssKb))).c_str());
    line("model phase", fmt("%.2f s", ph["model_seconds"]));
    line("model phase throughput", fmt("%.0f MB/s", modelMbs), "target >= 500 MB/s");
    line("  reading and splitting lines alone", fmt("%.0f MB/s", dumpMb / ph["read_lines_seconds"]),
         "(floor of the model phase)");
    line("output pass", fmt("%.2f s", ph["output_seconds"]));
    line("output pass throughput", fmt("%.2f M signals/s", signalsPerS / 1e6),
         "target >= 2 M signals/s");
    line("model destruction", fmt("%.2f s", ph["destroy_seconds"]));
    line("whole run `kestrelmap app.elf` (wall)", fmt("%.2f s", whole.seconds));
    line("whole run / objdump alone", fmt("%.2f x", whole.seconds / objdump.seconds),
         "target <= 1.30 x");
    line("time added to objdump's / objdump alone",
         fmt("%.2f x", (whole.seconds - objdump.seconds) / objdump.seconds));
    line("peak memory, whole run (ru_maxrss)", mb(static_cast<double>(whole.maxRssKb)));
    line("peak memory, model phase (VmHWM)", mb(ph["model_peak_kb"]));
    line("resident after the model phase (VmRSS)", mb(ph["model_rss_kb"]));
    line("peak memory, output pass incl. model (VmHWM)", mb(ph["output_peak_kb"]));
    line("model peak bytes per entry",
         fmt("%.0f B", (ph["model_peak_kb"] - ph["rss_before_kb"]) * 1024.0 / entries));
    line("model resident bytes per entry",
         fmt("%.0f B", (ph["model_rss_kb"] - ph["rss_before_kb"]) * 1024.0 / entries));
    line("of which text pool (bytesReserved)",
         fmt("%.1f MB", ph["text_pool_bytes"] / 1048576.0) +
             fmt(" = %.0f B/entry", ph["text_pool_bytes"] / entries));
    line("object sizes: BasicObject / Member / Variable",
         fmt("%.0f", ph["sizeof_basic"]) + fmt(" / %.0f", ph["sizeof_member"]) +
             fmt(" / %.0f B", ph["sizeof_variable"]));
    line("index (objectsByOffset), 12 B per slot", fmt("%.1f MB", ph["entries_indexed"] * 12 / 1048576.0));
    if (whole.status != 0) std::printf("  (kestrelmap ended with status %d)\n", whole.status);
    std::fflush(stdout);

    if (!opt.growth) return;
    const std::string grown = (dir / "grown_ObjDump.txt").string();
    if (!writeGrownDump(dump, grown, opt.growBytes)) {
        std::printf("  cannot write %s\n", grown.c_str());
        return;
    }
    const std::string baseReport = (dir / "base.txt").string();
    const std::string grownReport = (dir / "grown.txt").string();
    const ChildRun baseRun =
        runChild({selfPath, "--phases", dump, "--report", baseReport, "--model-only"}, devnull);
    const ChildRun grownRun =
        runChild({selfPath, "--phases", grown, "--report", grownReport, "--model-only"}, devnull);
    auto base = readReport(baseReport);
    auto more = readReport(grownReport);
    const double added = static_cast<double>(fs::file_size(grown)) - static_cast<double>(stats.bytes);
    line("growth check: lines appended", fmt("%.0f MB", added / 1e6) + " (raw line-program lines)");
    line("  model peak without / with (VmHWM)", mb(base["model_peak_kb"]) + " / " + mb(more["model_peak_kb"]));
    line("  child peak without / with (ru_maxrss)",
         mb(static_cast<double>(baseRun.maxRssKb)) + " / " + mb(static_cast<double>(grownRun.maxRssKb)));
    line("  growth of peak memory", mb(more["model_peak_kb"] - base["model_peak_kb"]), "target < 16 MB");
    line("  model phase on the grown dump",
         fmt("%.2f s", more["model_seconds"]) +
             fmt(", %.0f MB/s", static_cast<double>(fs::file_size(grown)) / 1e6 / more["model_seconds"]));
    line("  entries without / with",
         fmt("%.0f", base["entries_tree"] - 1) + " / " + fmt("%.0f", more["entries_tree"] - 1));
    fs::remove(grown, ec);
    std::fflush(stdout);
}

int usage() {
    std::fprintf(stderr,
                 "usage: kestrel_bench [--work DIR] [--grow-mb N] [--no-growth] [--repeat N] "
                 "LABEL=ELF...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    selfPath = fs::canonical("/proc/self/exe").string();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--phases") {
        std::string dump, report, out = ".";
        bool modelOnly = false;
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "--phases" && i + 1 < args.size()) dump = args[++i];
            else if (args[i] == "--report" && i + 1 < args.size()) report = args[++i];
            else if (args[i] == "--out" && i + 1 < args.size()) out = args[++i];
            else if (args[i] == "--model-only") modelOnly = true;
        }
        return runPhases(dump, report, modelOnly, out);
    }
    Options opt;
    std::vector<std::pair<std::string, fs::path>> inputs;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--work" && i + 1 < args.size()) opt.work = args[++i];
        else if (args[i] == "--grow-mb" && i + 1 < args.size())
            opt.growBytes = std::strtoull(args[++i].c_str(), nullptr, 10) << 20;
        else if (args[i] == "--no-growth") opt.growth = false;
        else if (args[i] == "--repeat" && i + 1 < args.size())
            opt.repeat = std::max(1, std::atoi(args[++i].c_str()));
        else if (auto eq = args[i].find('='); eq != std::string::npos && eq > 0)
            inputs.emplace_back(args[i].substr(0, eq), args[i].substr(eq + 1));
        else return usage();
    }
    if (inputs.empty()) return usage();
    std::printf("kestrel_bench: wall times on this machine; compare the ratios, not the seconds.\n");
    for (const auto& [label, elf] : inputs) {
        if (!fs::exists(elf)) {
            std::printf("\n== %s: %s missing\n", label.c_str(), elf.c_str());
            continue;
        }
        benchOne(label, elf, opt);
    }
    return 0;
}
