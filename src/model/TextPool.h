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

    std::size_t bytesReserved() const { return reserved_; }

private:
    static constexpr std::size_t kChunk = 256 * 1024;
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t reserved_ = 0;
};

}  // namespace kestrel::model
