// Stable storage for the texts of a model: every distinct text is stored once
// and handed out as a view that lives as long as the pool.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace Model {

class TextPool {
public:
    TextPool() = default;
    TextPool(const TextPool&) = delete;
    TextPool& operator=(const TextPool&) = delete;

    // A stable view of `text`, shared with every earlier equal text.
    std::string_view intern(std::string_view text);

    std::size_t bytesReserved() const { return reserved_; }

private:
    std::string_view store(std::string_view text);

    static constexpr std::size_t kChunk = 256 * 1024;
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t reserved_ = 0;
    std::unordered_set<std::string_view> index_;
};

}  // namespace Model
