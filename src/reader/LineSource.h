// Splits text into lines. A text keeps the line ends its first line end
// shows: after an LF or a CR LF, lines end at LF (a CR right before the LF
// belongs to the line end, any other CR is text); after a lone CR, lines end
// at CR, CR LF or LF. A last line without a line end is still a line. Each
// line is handed out as a view that is valid only during the callback. A
// line longer than kMaxLine bytes is no line of a dump: it is skipped, and
// never held whole in memory.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#endif

namespace kestrel::reader {

inline constexpr std::size_t kMaxLine = 16u << 20;

enum class LineEnds : std::uint8_t { Unknown, Lf, Cr };

namespace detail {

inline bool isLineEnd(char c) { return c == '\n' || c == '\r'; }

// Position of the first CR or LF in `text` from `from` on, or npos.
inline std::size_t findAnyEnd(std::string_view text, std::size_t from) {
    for (std::size_t i = from; i < text.size(); ++i)
        if (isLineEnd(text[i])) return i;
    return std::string_view::npos;
}

// The first line end of `text` in convention `ends`, from `from` on.
inline std::size_t findEnd(std::string_view text, std::size_t from, LineEnds ends) {
    return ends == LineEnds::Cr ? findAnyEnd(text, from) : text.find('\n', from);
}

// The last line end of `text` in convention `ends`.
inline std::size_t findLastEnd(std::string_view text, LineEnds ends) {
    if (ends != LineEnds::Cr) return text.rfind('\n');
    for (std::size_t i = text.size(); i > 0; --i)
        if (isLineEnd(text[i - 1])) return i - 1;
    return std::string_view::npos;
}

// The LF bytes among the 64 bytes at `p`, one bit each (bit k: p[k]).
inline std::uint64_t lfMask64(const char* p) {
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
    const __m128i lf = _mm_set1_epi8('\n');
    std::uint64_t mask = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lf)))) << (16 * k);
    }
    return mask;
#else
    std::uint64_t mask = 0;
    for (int k = 0; k < 64; ++k) mask |= static_cast<std::uint64_t>(p[k] == '\n') << k;
    return mask;
#endif
}

// Calls onLine for each line of `text` in convention `ends` (Lf or Cr).
template <class F>
void splitLines(std::string_view text, LineEnds ends, F&& onLine) {
    auto deliver = [&](std::string_view line) {
        if (line.size() <= kMaxLine) onLine(line);
    };
    std::size_t start = 0;
    if (ends != LineEnds::Cr) {
        // The common case: the LFs of 64 bytes at a time are found at once
        // (lines of a dump are short: a search per line costs more).
        auto deliverUpTo = [&](std::size_t end) {
            deliver(text.substr(start, (end > start && text[end - 1] == '\r' ? end - 1 : end) - start));
            start = end + 1;
        };
        std::size_t at = 0;
        for (; at + 64 <= text.size(); at += 64) {
            for (std::uint64_t mask = lfMask64(text.data() + at); mask != 0; mask &= mask - 1)
                deliverUpTo(at + static_cast<std::size_t>(std::countr_zero(mask)));
        }
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) {
                deliver(text.substr(start));
                return;
            }
            deliverUpTo(end);
        }
        return;
    }
    while (start < text.size()) {
        const std::size_t end = findAnyEnd(text, start);
        if (end == std::string_view::npos) {
            deliver(text.substr(start));
            return;
        }
        std::size_t next = end + 1;
        if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
        deliver(text.substr(start, end - start));
        start = next;
    }
}

}  // namespace detail

// The convention the first line end of `text` shows; Unknown when `text` has
// no line end, or its first one is a CR at its very end.
inline LineEnds lineEndsOf(std::string_view text) {
    const std::size_t end = detail::findAnyEnd(text, 0);
    if (end == std::string_view::npos) return LineEnds::Unknown;
    if (text[end] == '\n') return LineEnds::Lf;
    if (end + 1 == text.size()) return LineEnds::Unknown;
    return text[end + 1] == '\n' ? LineEnds::Lf : LineEnds::Cr;
}

// Calls `onLine` for each line of `text`.
template <class F>
void forEachLine(std::string_view text, F&& onLine) {
    LineEnds ends = lineEndsOf(text);
    if (ends == LineEnds::Unknown) ends = detail::findAnyEnd(text, 0) == std::string_view::npos ? LineEnds::Lf : LineEnds::Cr;
    detail::splitLines(text, ends, onLine);
}

// Turns blocks of bytes, as they arrive from a file or a pipe, into lines. A
// line cut by a block boundary is kept until its end arrives (up to kMaxLine
// bytes; a longer one is dropped as it arrives and skipped).
class LineAssembler {
public:
    template <class F>
    void push(std::string_view bytes, F&& onLine) {
        if (bytes.empty()) return;
        if (heldCr_) {
            // The first line end was a CR at the end of the last block: the
            // byte after it tells the convention.
            heldCr_ = false;
            ends_ = bytes[0] == '\n' ? LineEnds::Lf : LineEnds::Cr;
            endLine(onLine);
            if (bytes[0] == '\n') bytes.remove_prefix(1);
        } else if (ends_ == LineEnds::Unknown) {
            ends_ = lineEndsOf(bytes);
            if (ends_ == LineEnds::Unknown) {
                if (bytes.back() == '\r') {
                    heldCr_ = true;
                    bytes.remove_suffix(1);
                }
                keep(bytes);
                return;
            }
        } else if (afterCr_) {
            // A CR ended the last block: an LF right after it belongs to that line end.
            afterCr_ = false;
            if (bytes[0] == '\n') bytes.remove_prefix(1);
        }
        if (inLine_) {
            const std::size_t end = detail::findEnd(bytes, 0, ends_);
            if (end == std::string_view::npos) {
                keep(bytes);
                return;
            }
            keep(bytes.substr(0, end));
            endLine(onLine);
            std::size_t next = end + 1;
            if (bytes[end] == '\r') {
                if (next == bytes.size())
                    afterCr_ = true;
                else if (bytes[next] == '\n')
                    ++next;
            }
            bytes.remove_prefix(next);
        }
        if (bytes.empty()) return;
        const std::size_t last = detail::findLastEnd(bytes, ends_);
        if (last == std::string_view::npos) {
            keep(bytes);
            return;
        }
        detail::splitLines(bytes.substr(0, last + 1), ends_, onLine);
        if (bytes[last] == '\r' && last + 1 == bytes.size()) afterCr_ = true;
        keep(bytes.substr(last + 1));
    }
    // Reads the last line when the input did not end with a line end, and
    // tells whether it did not (a cut input: objdump ends every line).
    template <class F>
    bool finish(F&& onLine) {
        const bool cut = inLine_ && !heldCr_;
        if (inLine_ || heldCr_) {
            if (heldCr_) ends_ = LineEnds::Cr;
            endLine(onLine);
        }
        pending_ = std::vector<char>();
        ends_ = LineEnds::Unknown;
        heldCr_ = afterCr_ = false;
        return cut;
    }
    // For text that starts in the middle of a larger one: its line ends are
    // those the larger text showed (Lf or Cr), not guessed from the first.
    void assumeLineEnds(LineEnds ends) {
        if (ends_ == LineEnds::Unknown && !inLine_ && !heldCr_) ends_ = ends;
    }
    // Whether every byte pushed so far belongs to a line already handed out
    // and the line ends are LF (or CR LF): the next byte starts a line.
    bool atLfLineStart() const { return ends_ == LineEnds::Lf && !inLine_ && !heldCr_ && !afterCr_; }
    // Whether a line longer than kMaxLine has arrived (in pieces) so far.
    bool sawOverlong() const { return sawOverlong_; }
    // Bytes held for an unfinished line (bounded by kMaxLine).
    std::size_t heldBytes() const { return pending_.capacity(); }

private:
    void keep(std::string_view bytes) {
        if (bytes.empty()) return;
        inLine_ = true;
        if (overlong_) return;
        const std::size_t size = pending_.size() + bytes.size();
        if (size > kMaxLine) {
            overlong_ = true;
            sawOverlong_ = true;
            pending_ = std::vector<char>();
            return;
        }
        if (size > pending_.capacity()) pending_.reserve(std::min(kMaxLine, std::max(size, 2 * pending_.capacity())));
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    }
    // Hands out the line held in pending_ (its line end has arrived).
    template <class F>
    void endLine(F&& onLine) {
        std::string_view line(pending_.data(), pending_.size());
        if (ends_ == LineEnds::Lf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!overlong_) onLine(line);
        pending_.clear();
        inLine_ = false;
        overlong_ = false;
    }

    std::vector<char> pending_;  // grown by hand up to kMaxLine
    LineEnds ends_ = LineEnds::Unknown;
    bool inLine_ = false;    // bytes of an unfinished line have arrived
    bool overlong_ = false;  // that line is longer than kMaxLine: dropped
    bool heldCr_ = false;    // the first line end, a CR, ended the last block
    bool afterCr_ = false;   // a CR line end ended the last block (Cr convention)
    bool sawOverlong_ = false;
};

// Opens a file for binary reading or writing; the name is UTF-8 on every
// platform.
std::FILE* openForReading(const std::string& fileName);
std::FILE* openForWriting(const std::string& fileName);

// Reads the file in large blocks and calls `onBlock` for each, in order,
// until it returns false or the file ends. Returns false (with the system's reason in `error`) when the file
// cannot be opened or read.
bool readBlocks(const std::string& fileName, const std::function<bool(std::string_view)>& onBlock,
                std::string& error);
// readBlocks for the bytes [begin, end) of the file (up to its end when it is shorter).
bool readBlocks(const std::string& fileName, std::uint64_t begin, std::uint64_t end,
                const std::function<bool(std::string_view)>& onBlock, std::string& error);
// Moves the file position of `f` to byte `at`.
bool seekTo(std::FILE* f, std::uint64_t at);
// The size of the file in bytes; false when it cannot be opened or sized.
bool fileSize(const std::string& fileName, std::uint64_t& size);

}  // namespace kestrel::reader
