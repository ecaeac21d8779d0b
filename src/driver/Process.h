// Running a helper program directly (no command processor) with its standard
// output going into a file.
#pragma once

#include <functional>
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
ProcessResult runWithOutputPipe(const std::string& program, const std::vector<std::string>& arguments,
                                const std::function<bool(std::string_view)>& onOutput,
                                const std::string& stopReason);

}  // namespace kestrel::driver
