#include "driver/PathSplit.h"

#include <cstddef>

namespace kestrel::driver {

namespace {

constexpr std::size_t npos = std::string_view::npos;

bool isSlash(char c) { return c == '/' || c == '\\'; }
bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

}  // namespace

PathParts splitPath(std::string_view path) {
    PathParts parts;
    const std::size_t n = path.size();

    // Positions of the first and the last line break; "any character" in the
    // directory and the extension excludes them.
    std::size_t firstBreak = npos;
    std::size_t lastBreak = npos;
    for (std::size_t i = 0; i < n; ++i) {
        if (isLineBreak(path[i])) {
            if (firstBreak == npos) firstBreak = i;
            lastBreak = i;
        }
    }
    // A dot at `k` may start the extension when nothing after it is a line break.
    auto extensionCanStartAt = [&](std::size_t k) { return lastBreak == npos || k > lastBreak; };

    // Rule 1: try the slashes from the last one backwards; the first slash `s`
    // whose following component (up to the next slash) holds a usable dot at
    // s + 2 or later wins, with the last such dot of that component.
    std::size_t componentEnd = n;  // position of the slash after the component
    for (std::size_t s = n; s-- > 0;) {
        if (!isSlash(path[s])) continue;
        const bool prefixClean = firstBreak == npos || s < firstBreak;
        if (prefixClean) {
            for (std::size_t k = componentEnd; k-- > s + 2;) {
                if (path[k] == '.' && extensionCanStartAt(k)) {
                    parts.directory.assign(path.substr(0, s + 1));
                    parts.name.assign(path.substr(s + 1, k - s - 1));
                    parts.extension.assign(path.substr(k));
                    parts.matched = true;
                    return parts;
                }
            }
        }
        componentEnd = s;
    }

    // Rule 2: no line break anywhere; split at the last dot.
    if (firstBreak == npos) {
        const std::size_t dot = path.rfind('.');
        if (dot != npos) {
            parts.name.assign(path.substr(0, dot));
            parts.extension.assign(path.substr(dot));
            parts.matched = true;
        }
    }
    return parts;
}

bool isElfExtension(std::string_view extension) {
    if (extension.size() < 2 || extension[0] != '.') return false;
    for (std::size_t i = 1; i < extension.size(); ++i) {
        switch (extension[i]) {
            case 'e': case 'l': case 'f': case 'E': case 'L': case 'F': break;
            default: return false;
        }
    }
    return true;
}

}  // namespace kestrel::driver
