// The duplicate-name check of the output pass and the style-warnings log it
// writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kestrel::writers {

// The duplicate-name check and the style-warnings log it writes. Location
// texts are kept as views: they must outlive the check.
//
// The seen names are one open-addressing table over records in a few large
// blocks: a record holds the name's bytes and which location text it has, a
// slot the name's hash and its record. A signal costs one hash, a probe or
// two and, for a new name, one copy of its bytes; nothing is allocated per
// name.
class DuplicateCheck {
public:
    DuplicateCheck() = default;
    DuplicateCheck(const DuplicateCheck&) = delete;
    DuplicateCheck& operator=(const DuplicateCheck&) = delete;

    void check(std::string_view displayName, std::string_view location) {
        check(displayName, location, prepare(displayName));
    }
    // The check in two steps: prepare() hashes the name and starts loading
    // its slot, so that other work can be done while the slot arrives; check()
    // with the same name and that hash then does the check.
    std::uint64_t prepare(std::string_view displayName) const;
    void check(std::string_view displayName, std::string_view location, std::uint64_t hash);

    bool found() const { return found_; }
    const std::string& log() const { return log_; }
    std::size_t names() const { return count_; }

private:
    struct Record {
        // The name's location in locations_; kNoLocation once the name
        // repeated (or for an empty location).
        std::uint32_t location;
        std::uint32_t length;  // of the name, whose bytes follow the record
        std::string_view name() const {
            return {reinterpret_cast<const char*>(this + 1), length};
        }
    };
    // A slot holds the low 32 bits of the name's hash (the table never has
    // more slots than that) and where its record is: 1 + the record's
    // position, in 8-byte units, in blocks of at most 2^21 bytes; 0 is free.
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t record = 0;
    };

    static constexpr std::uint32_t kNoLocation = UINT32_MAX;
    // The location's entry in locations_: consecutive names of a variable
    // share one, so the list holds about one entry per variable.
    std::uint32_t locationRef(std::string_view location);

    // Stores a record and returns its reference for a slot.
    std::uint32_t store(std::string_view displayName, std::string_view location);
    Record* recordAt(std::uint32_t reference) const;
    void grow();

    // Taken from model::hugePageBlocks() (huge pages where the system has
    // them) and cleared by writing: pages that were first
    // read (as calloc's zero pages are) would each be replaced on their first
    // write, at the cost of a fault and a TLB flush on every core.
    struct FreeSlots {
        std::size_t bytes;
        void operator()(Slot* slots) const;
    };
    std::unique_ptr<Slot[], FreeSlots> slots_{nullptr, FreeSlots{0}};
    std::size_t slotCount_ = 0;  // a power of two, or 0
    std::size_t count_ = 0;
    struct FreeBlock {
        std::size_t bytes;
        void operator()(char* block) const;
    };
    using Block = std::unique_ptr<char[], FreeBlock>;
    std::vector<Block> blocks_;
    char* blockNext_ = nullptr;
    std::size_t blockLeft_ = 0;
    std::vector<std::string_view> locations_;
    std::unordered_set<std::string_view> reported_;
    std::string log_;
    bool found_ = false;
};

}  // namespace kestrel::writers
