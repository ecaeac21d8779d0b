#include "model/TagTable.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

namespace kestrel::model {

namespace {

struct Entry {
    const char* data;
    std::uint32_t size;
};

// Open addressing over ids (0 marks a free slot: id 0 is never hashed),
// at most half full. The first texts go to a small table, so that a process
// that sees a few dozen tags touches one page of it; only a made-up dump with
// hundreds of distinct tags reaches the large one.
template <std::size_t Slots>
struct HashSlots {
    std::array<std::atomic<std::uint16_t>, Slots> ids{};
};
constexpr std::size_t kSmallSlots = 1024;
constexpr std::size_t kLargeSlots = std::size_t{1} << 17;
constexpr std::uint32_t kSmallEntries = kSmallSlots / 2;

constexpr std::size_t kChunkEntries = 256;
constexpr std::size_t kChunks = 256;  // 65,536 ids
constexpr std::size_t kTextBlock = 4096;

constexpr std::string_view kInitial[] = {"", "DW_TAG_type_unit", "DW_TAG_partial_unit"};

std::size_t hashOf(std::string_view text) {
    std::uint64_t h = 14695981039346656037ull;
    for (char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 29));
}

// Everything is constant-initialised (zero pages in .bss, resident only
// where touched); a lock orders additions, reads take acquire loads of
// what an addition publishes with release stores.
class Table {
public:
    std::uint16_t find(std::string_view text, std::size_t hash) const {
        if (std::uint16_t id = probe(small_.ids, text, hash)) return id;
        if (count_.load(std::memory_order_acquire) > kSmallEntries) return probe(large_.ids, text, hash);
        return 0;
    }

    std::uint16_t add(std::string_view text, std::size_t hash) {
        // Not a member: std::mutex cannot be constant-initialised everywhere (MinGW).
        static std::mutex mutex;
        std::lock_guard<std::mutex> lock(mutex);
        seed();
        if (std::uint16_t id = find(text, hash)) return id;
        const std::uint32_t id = count_.load(std::memory_order_relaxed);
        if (id >= kChunks * kChunkEntries || text.size() > TagTable::kMaxBytes - textBytes_) return 0;
        append(text);
        if (id < kSmallEntries) place(small_.ids, static_cast<std::uint16_t>(id), hash);
        else place(large_.ids, static_cast<std::uint16_t>(id), hash);
        return static_cast<std::uint16_t>(id);
    }

    std::string_view text(std::uint16_t id) const {
        const Entry* chunk = chunks_[id / kChunkEntries].load(std::memory_order_acquire);
        if (chunk == nullptr) return {};
        const Entry& e = chunk[id % kChunkEntries];
        return {e.data, e.size};
    }

    // The texts of kInitial take the first ids, in that order.
    void seed() {
        if (count_.load(std::memory_order_relaxed) != 0) return;
        for (std::string_view t : kInitial) {
            const std::uint32_t id = count_.load(std::memory_order_relaxed);
            append(t);
            if (id != 0) place(small_.ids, static_cast<std::uint16_t>(id), hashOf(t));
        }
    }

    bool seeded() const { return count_.load(std::memory_order_acquire) != 0; }

private:
    template <std::size_t Slots>
    std::uint16_t probe(const std::array<std::atomic<std::uint16_t>, Slots>& ids, std::string_view text,
                        std::size_t hash) const {
        for (std::size_t i = hash % Slots;; i = (i + 1) % Slots) {
            const std::uint16_t id = ids[i].load(std::memory_order_acquire);
            if (id == 0) return 0;
            if (this->text(id) == text) return id;
        }
    }

    template <std::size_t Slots>
    static void place(std::array<std::atomic<std::uint16_t>, Slots>& ids, std::uint16_t id, std::size_t hash) {
        std::size_t i = hash % Slots;
        while (ids[i].load(std::memory_order_relaxed) != 0) i = (i + 1) % Slots;
        ids[i].store(id, std::memory_order_release);
    }

    // Stores the text and its entry under the next id and publishes the count.
    void append(std::string_view text) {
        const std::uint32_t id = count_.load(std::memory_order_relaxed);
        const char* data = keep(text);
        std::atomic<const Entry*>& slot = chunks_[id / kChunkEntries];
        Entry* chunk = const_cast<Entry*>(slot.load(std::memory_order_relaxed));
        if (chunk == nullptr) {
            chunk = new Entry[kChunkEntries]();
            slot.store(chunk, std::memory_order_release);
        }
        chunk[id % kChunkEntries] = {data, static_cast<std::uint32_t>(text.size())};
        count_.store(id + 1, std::memory_order_release);
    }

    // A copy followed by a NUL, never freed (the table lives as long as the process).
    const char* keep(std::string_view text) {
        const std::size_t need = text.size() + 1;
        if (need > textLeft_) {
            const std::size_t size = std::max(need, kTextBlock);
            textCursor_ = new char[size];
            textLeft_ = size;
        }
        char* out = textCursor_;
        if (!text.empty()) std::memcpy(out, text.data(), text.size());
        out[text.size()] = '\0';
        textCursor_ += need;
        textLeft_ -= need;
        textBytes_ += need;
        return out;
    }

    HashSlots<kSmallSlots> small_;
    HashSlots<kLargeSlots> large_;
    std::array<std::atomic<const Entry*>, kChunks> chunks_{};
    std::atomic<std::uint32_t> count_{0};
    char* textCursor_ = nullptr;
    std::size_t textLeft_ = 0;
    std::size_t textBytes_ = 0;
};

constinit Table table;

}  // namespace

std::uint16_t TagTable::intern(std::string_view text) {
    if (text.empty()) return kEmpty;
    const std::size_t hash = hashOf(text);
    if (table.seeded())
        if (std::uint16_t id = table.find(text, hash)) return id;
    return table.add(text, hash);
}

std::string_view TagTable::text(std::uint16_t id) { return table.text(id); }

}  // namespace kestrel::model
