// The tag texts of all entries ("DW_TAG_variable", "User TAG value: 0x4088"),
// each kept once for the whole process and named by a 16-bit id, so that an
// object carries two bytes for its tag instead of a pointer.
//
// The table only grows. Any thread may look texts up and add them at any
// time (two readers may fill two models at once): adding takes a lock,
// looking up does not, and a text once added never moves.
//
// Limits: at most 65,535 distinct texts (ids 1 to 65535) and kMaxBytes of
// text. A dump names a few dozen distinct tags; only a made-up dump gets near
// either limit. A text beyond them gets id 0, whose text is empty, like the
// root's. Nothing written from a model uses the tag text: the reader decides
// everything that depends on it (the class of the object, whether a variable
// is a parameter) from the text itself before the object is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrel::model {

class TagTable {
public:
    // The empty text, and the id of any text beyond the limits.
    static constexpr std::uint16_t kEmpty = 0;
    // Present from the start, so that unit entries are known by their id.
    static constexpr std::uint16_t kTypeUnit = 1;     // "DW_TAG_type_unit"
    static constexpr std::uint16_t kPartialUnit = 2;  // "DW_TAG_partial_unit"
    static constexpr std::size_t kMaxBytes = std::size_t{16} << 20;

    // The id of `text`, added if it is new.
    static std::uint16_t intern(std::string_view text);
    // The text of an id that intern() returned: NUL-terminated after its end.
    static std::string_view text(std::uint16_t id);
};

}  // namespace kestrel::model
