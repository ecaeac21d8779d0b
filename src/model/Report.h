// The one channel for messages to the user. The driver hands a Reporter down
// to every layer that has something to say; only the driver decides where
// the messages go (the console of the program, a string in the tests).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::model {

class Reporter {
public:
    // One message line, without its line end.
    virtual void message(std::string_view text) = 0;

protected:
    Reporter() = default;
    Reporter(const Reporter&) = default;
    Reporter& operator=(const Reporter&) = default;
    ~Reporter() = default;
};

// A message about an entry of the input: `text` followed by " (DIE 0x4a)",
// the entry's offset as the dump writes it. Offset 0 names no entry and adds
// nothing.
std::string aboutEntry(std::string_view text, std::uint32_t offset);

// Keeps the messages as text, one line each ending in "\n".
class TextReporter final : public Reporter {
public:
    void message(std::string_view line) override {
        text += line;
        text += '\n';
    }
    std::string text;
};

}  // namespace kestrel::model
