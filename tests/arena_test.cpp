#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#include "model/ArenaMemory.h"
#include "model/DwarfModel.h"

using namespace kestrel::model;

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST(ArenaMemory, BlocksAreAlignedWritableAndGivenBack) {
    struct Case {
        std::size_t bytes, alignment, startsOn;
    };
    // The sizes the model's arena asks for (its first block, then growing
    // ones with a header), and an alignment beyond a huge page.
    const Case cases[] = {
        {1, 8, 8},
        {kMiB + 64, 64, 4096},
        {2 * kMiB + 64, 64, 2 * kMiB},
        {5 * kMiB + 4096, 4096, 2 * kMiB},
        {4096, 4 * 2 * kMiB, 4 * 2 * kMiB},
    };
    std::pmr::memory_resource* blocks = largeBlocks();
    EXPECT_EQ(arenaBlocks(), blocks);
    EXPECT_TRUE(blocks->is_equal(*largeBlocks()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        auto* p = static_cast<unsigned char*>(blocks->allocate(c.bytes, c.alignment));
        ASSERT_NE(p, nullptr);
#ifdef _WIN32
        const std::size_t startsOn = c.alignment;  // blocks from operator new
#else
        const std::size_t startsOn = c.startsOn;  // whole pages; huge-page aligned from 2 MiB on
#endif
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % startsOn, 0u);
        std::memset(p, 0xA5, c.bytes);
        EXPECT_EQ(p[c.bytes - 1], 0xA5);
        blocks->deallocate(p, c.bytes, c.alignment);
    }
}

TEST(ArenaMemory, AModelArenaGrowsOverManyBlocksAndEndsWithTheModel) {
    for (int round = 0; round < 2; ++round) {
        DwarfModel model;
        std::size_t total = 0;
        while (total < 40 * kMiB) {
            auto* p = static_cast<char*>(model.arena.allocate(4000, 8));
            p[0] = p[3999] = 'x';
            total += 4000;
        }
    }
    SUCCEED();
}

// Objects placed by a model's arena are aligned as asked, never overlap,
// and one larger than any block so far gets a block of its own. Giving the
// unused pages back now and then loses no byte placed before, and placing
// goes on after it; so does turning to small pages in the middle of a block
// (as a slow huge page makes the process do).
TEST(ArenaMemory, PlacesAlignedDisjointObjects) {
    ModelArena arena(largeBlocks(), 4096);
    std::vector<std::pair<unsigned char*, std::size_t>> placed;
    const std::size_t sizes[] = {1, 7, 56, 72, 4000, 5000, 3 * kMiB, 24, 0, 64 * 1024};
    const std::size_t alignments[] = {1, 8, 16, 64, 4096};
    for (int round = 0; round < 200; ++round) {
        if (round == 120) {
            stopHugePages();
            EXPECT_FALSE(hugePagesPay());
        }
        const std::size_t bytes = sizes[round % std::size(sizes)];
        const std::size_t alignment = alignments[round % std::size(alignments)];
        auto* p = static_cast<unsigned char*>(arena.allocate(bytes, alignment));
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignment, 0u);
        std::memset(p, round & 0xFF, bytes);
        placed.emplace_back(p, bytes);
        if (round % 37 == 36) arena.releaseUnused();
    }
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const auto [p, bytes] = placed[i];
        for (std::size_t k = 0; k < bytes; k += 512) ASSERT_EQ(p[k], i & 0xFF) << i;
        if (bytes > 0) {
            ASSERT_EQ(p[bytes - 1], i & 0xFF) << i;
        }
    }
}

}  // namespace
