// Stable storage for the texts of a model: each text is copied once into
// large blocks and handed out as a view that lives as long as the pool.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace kestrel::model {

class TextPool {
public:
    TextPool() = default;
    TextPool(const TextPool&) = delete;
    TextPool& operator=(const TextPool&) = delete;

    // A stable copy of `text`.
    std::string_view keep(std::string_view text);
    // A stable copy of `text` followed by a NUL (its view does not count it).
    std::string_view keepTerminated(std::string_view text);
    // A stable copy of `text`, shared with an earlier equal text where one
    // is at hand: for names, of which a dump repeats a few thousand over and
    // over ("this", "__x", the members of a structure used in many units).
    // A fixed cache of the latest texts by hash, not a set of all of them, so
    // that it costs the same for a dump of many distinct names.
    std::string_view keepShared(std::string_view text);

    std::size_t bytesReserved() const { return reserved_; }

private:
    static constexpr std::size_t kChunk = 256 * 1024;
    static constexpr std::size_t kShared = 8192;
    std::unique_ptr<std::string_view[]> shared_;
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t reserved_ = 0;
};

}  // namespace kestrel::model
