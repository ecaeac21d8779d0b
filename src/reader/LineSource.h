// Splits text into lines: a line ends at LF, a CR right before the LF belongs
// to the line end, and a last line without LF is still a line. Each line is
// handed out as a view that is valid only during the callback.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace kestrel::reader {

// Calls `onLine` for each line of `text`.
template <class F>
void forEachLine(std::string_view text, F&& onLine) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) {
            onLine(text.substr(start));
            return;
        }
        std::size_t end = lf;
        if (end > start && text[end - 1] == '\r') --end;
        onLine(text.substr(start, end - start));
        start = lf + 1;
    }
}

// Turns blocks of bytes, as they arrive from a file or a pipe, into lines. A
// line cut by a block boundary is kept until its end arrives.
class LineAssembler {
public:
    template <class F>
    void push(std::string_view bytes, F&& onLine) {
        if (!pending_.empty()) {
            std::size_t lf = bytes.find('\n');
            if (lf == std::string_view::npos) {
                pending_.append(bytes);
                return;
            }
            pending_.append(bytes.substr(0, lf + 1));
            forEachLine(pending_, onLine);
            pending_.clear();
            bytes.remove_prefix(lf + 1);
        }
        std::size_t lastLf = bytes.rfind('\n');
        if (lastLf == std::string_view::npos) {
            pending_.append(bytes);
            return;
        }
        forEachLine(bytes.substr(0, lastLf + 1), onLine);
        pending_.assign(bytes.substr(lastLf + 1));
    }
    // The last line, when the input did not end with a line feed.
    template <class F>
    void finish(F&& onLine) {
        if (!pending_.empty()) forEachLine(pending_, onLine);
        pending_.clear();
        pending_.shrink_to_fit();
    }

private:
    std::string pending_;
};

// Opens a file for binary reading or writing; the name is UTF-8 on every
// platform.
std::FILE* openForReading(const std::string& fileName);
std::FILE* openForWriting(const std::string& fileName);

// Reads the whole file in large blocks and calls `onBlock` for each, in
// order. Returns false (with the system's reason in `error`) when the file
// cannot be opened or read.
bool readBlocks(const std::string& fileName, const std::function<void(std::string_view)>& onBlock,
                std::string& error);

}  // namespace kestrel::reader
