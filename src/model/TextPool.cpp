#include "model/TextPool.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace kestrel::model {

std::string_view TextPool::keep(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > kChunk / 4) {
        chunks_.push_back(std::unique_ptr<char[]>(new char[text.size()]));
        reserved_ += text.size();
        std::memcpy(chunks_.back().get(), text.data(), text.size());
        return {chunks_.back().get(), text.size()};
    }
    if (text.size() > left_) {
        chunks_.push_back(std::unique_ptr<char[]>(new char[kChunk]));
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

std::string_view TextPool::keepShared(std::string_view text) {
    if (text.empty()) return {};
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    if (shared_ == nullptr) shared_.reset(new std::string_view[kShared]);
    std::string_view& slot = shared_[(h ^ (h >> 32)) % kShared];
    if (slot != text) slot = keep(text);
    return slot;
}

std::string_view TextPool::keepTerminated(std::string_view text) {
    std::string copy;
    copy.reserve(text.size() + 1);
    copy.append(text);
    copy.push_back('\0');
    return keep(copy).substr(0, text.size());
}

}  // namespace kestrel::model
