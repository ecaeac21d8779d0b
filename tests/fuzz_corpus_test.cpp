// Replays every input of the fuzz corpus (real dumps, hand-made hostile
// dumps and whatever the fuzzer found) through the same pipeline function
// that the fuzz target runs, in every build, so that a finding once fixed
// stays fixed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../fuzz/elf_check.h"
#include "TestSupport.h"
#include "../fuzz/dump_file_check.h"
#include "../fuzz/pipeline.h"

namespace {

namespace fs = std::filesystem;
using kestrel::test::readFile;
using kestrel::test::TempDir;

std::vector<fs::path> corpusFiles(const char* folder = "corpus") {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(KESTREL_SOURCE_DIR) / "fuzz" / folder))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

TEST(FuzzCorpus, EveryInputPassesThePipelineChecks) {
    const std::vector<fs::path> files = corpusFiles();
    ASSERT_GE(files.size(), 10u) << "the corpus folder is missing or nearly empty";
    TempDir scratch("kestrel-corpus-");
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const kestrel::fuzzing::PipelineOutcome outcome = kestrel::fuzzing::runPipeline(readFile(file), scratch.path);
        EXPECT_EQ(outcome.problem, "");
        EXPECT_TRUE(fs::is_empty(scratch.path)) << "output files were left behind";
    }
}

// The dump-file target's check: every input read from a file gives the model
// the text in memory gives.
TEST(FuzzCorpus, EveryInputReadsFromAFileLikeFromMemory) {
    TempDir scratch("kestrel-corpus-");
    for (const fs::path& file : corpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        EXPECT_EQ(kestrel::fuzzing::checkDumpFile(readFile(file), scratch.path), "");
    }
    EXPECT_TRUE(fs::is_empty(scratch.path));
}

// The real dumps locate their variables; the checks above would pass
// trivially on a pipeline that reads nothing.
TEST(FuzzCorpus, RealDumpsGiveSignals) {
    TempDir scratch("kestrel-corpus-");
    int real = 0;
    for (const fs::path& file : corpusFiles()) {
        if (file.filename().string().rfind("real-", 0) != 0) continue;
        SCOPED_TRACE(file.filename().string());
        ++real;
        const auto outcome = kestrel::fuzzing::runPipeline(readFile(file), scratch.path);
        EXPECT_GE(outcome.located, 4u);
        EXPECT_NE(outcome.map.find("SYMBOL  DATA"), std::string::npos);
    }
    EXPECT_EQ(real, 6);
}

// What the hostile inputs must still produce around the broken part.
TEST(FuzzCorpus, HostileDumpsKeepTheirGoodVariables) {
    TempDir scratch("kestrel-corpus-");
    const fs::path corpus = fs::path(KESTREL_SOURCE_DIR) / "fuzz" / "corpus";
    auto run = [&](const char* name) {
        return kestrel::fuzzing::runPipeline(readFile(corpus / name), scratch.path);
    };

    const auto cycle = run("nasty-struct-cycle.txt");
    EXPECT_NE(cycle.map.find("20000010H     SYMBOL  DATA  INT32    after\r\n"), std::string::npos) << cycle.map;
    EXPECT_NE(cycle.map.find("head.value"), std::string::npos);

    const auto self = run("nasty-self-typedef.txt");
    EXPECT_NE(self.map.find("20000004H     SYMBOL  DATA  INT32    after\r\n"), std::string::npos) << self.map;

    const auto truncated = run("nasty-truncated.txt");
    EXPECT_NE(truncated.map.find("INT32    whole\r\n"), std::string::npos) << truncated.map;

    const auto twins = run("nasty-duplicates.txt");
    EXPECT_TRUE(twins.logPresent);
    EXPECT_NE(twins.log.find("Duplicate Static VariableName: twin"), std::string::npos) << twins.log;
}

// The seeds and findings of the ELF reader's fuzz target, through the same
// checks; the real images among them must give their data symbols.
TEST(FuzzCorpus, EveryElfInputPassesTheReaderChecks) {
    const std::vector<fs::path> files = corpusFiles("elf-corpus");
    ASSERT_GE(files.size(), 3u) << "the ELF corpus folder is missing or nearly empty";
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        kestrel::reader::ElfSymbols symbols;
        EXPECT_EQ(kestrel::fuzzing::checkElfImage(readFile(file), &symbols), "");
        if (file.filename().string().rfind("real-", 0) == 0) {
            EXPECT_TRUE(symbols.ok()) << symbols.error;
            EXPECT_GE(symbols.objects.size(), 4u);
            EXPECT_GT(symbols.debugSectionBytes, 0u);
        }
    }
}

}  // namespace
