// Running a helper program directly (no command processor) with its standard
// output going into a file.
#pragma once

#include <cstddef>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel::driver {

struct ProcessResult {
    bool ok = false;       // started, and ended normally with status 0
    std::string failure;   // why not, e.g. "exit status 1" or "can not start: ..."

    static ProcessResult failed(std::string reason) {
        ProcessResult result;
        result.failure = std::move(reason);
        return result;
    }
};

// Starts `program` (looked up on the search path) with `arguments`, each
// passed on unchanged as one argument (no command processor). Its standard
// output arrives through a pipe: `onOutput` receives every block as soon as it
// is read, while the program still runs; the call returns when it has ended. When `onOutput` returns false the
// program is stopped and the run counts as failed with `stopReason`.
//
// The program runs in the caller's environment with LC_ALL=C (see
// withCLocale), so that an objdump built with translations still writes the
// English texts the reader knows.
ProcessResult runWithOutputPipe(const std::string& program, const std::vector<std::string>& arguments,
                                const std::function<bool(std::string_view)>& onOutput,
                                const std::string& stopReason);

// An environment ("NAME=value" entries) with every LC_ALL entry replaced by
// one LC_ALL=C, which is placed before the first entry whose name sorts
// after it (Windows wants its environment blocks sorted; elsewhere the place
// does not matter). Names compare without regard to case where `ignoreCase`
// (Windows). An entry that starts with '=' (Windows' drive entries) has no
// name of that kind and stays where it is.
template <class Char>
std::vector<std::basic_string<Char>> withCLocale(std::vector<std::basic_string<Char>> entries, bool ignoreCase) {
    const Char key[] = {'L', 'C', '_', 'A', 'L', 'L'};
    auto fold = [ignoreCase](Char c) {
        return ignoreCase && c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - 'a' + 'A') : c;
    };
    // <0, 0 or >0 as the entry's name sorts before, equal to or after LC_ALL.
    auto compare = [&](const std::basic_string<Char>& entry) {
        const std::size_t end = entry.find(Char('='), 1);
        const std::size_t length = end == std::basic_string<Char>::npos ? entry.size() : end;
        for (std::size_t k = 0; k < length && k < std::size(key); ++k) {
            const Char c = fold(entry[k]);
            if (c != key[k]) return c < key[k] ? -1 : 1;
        }
        return length < std::size(key) ? -1 : length > std::size(key) ? 1 : 0;
    };
    std::vector<std::basic_string<Char>> result;
    result.reserve(entries.size() + 1);
    bool placed = false;
    for (auto& entry : entries) {
        const int order = compare(entry);
        if (order == 0) continue;
        if (order > 0 && !placed) {
            result.push_back({'L', 'C', '_', 'A', 'L', 'L', '=', 'C'});
            placed = true;
        }
        result.push_back(std::move(entry));
    }
    if (!placed) result.push_back({'L', 'C', '_', 'A', 'L', 'L', '=', 'C'});
    return result;
}

}  // namespace kestrel::driver
