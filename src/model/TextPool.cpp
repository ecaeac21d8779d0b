#include "model/TextPool.h"

#include <cstring>

namespace Model {

std::string_view TextPool::intern(std::string_view text) {
    if (text.empty()) return {};
    auto it = index_.find(text);
    if (it != index_.end()) return *it;
    std::string_view stored = store(text);
    index_.insert(stored);
    return stored;
}

std::string_view TextPool::store(std::string_view text) {
    if (text.size() > kChunk / 4) {
        chunks_.push_back(std::make_unique<char[]>(text.size()));
        reserved_ += text.size();
        std::memcpy(chunks_.back().get(), text.data(), text.size());
        return {chunks_.back().get(), text.size()};
    }
    if (text.size() > left_) {
        chunks_.push_back(std::make_unique<char[]>(kChunk));
        reserved_ += kChunk;
        cursor_ = chunks_.back().get();
        left_ = kChunk;
    }
    std::memcpy(cursor_, text.data(), text.size());
    std::string_view stored(cursor_, text.size());
    cursor_ += text.size();
    left_ -= text.size();
    return stored;
}

}  // namespace Model
