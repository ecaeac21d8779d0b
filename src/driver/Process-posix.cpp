#include "driver/Process.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrel {

namespace {

ProcessResult failed(std::string reason) {
    ProcessResult result;
    result.failure = std::move(reason);
    return result;
}

std::string errorText(int error) { return std::strerror(error); }

// Closes a descriptor and owns a spawn file-actions object for one scope.
struct SpawnResources {
    int fd = -1;
    bool actionsReady = false;
    posix_spawn_file_actions_t actions{};
    ~SpawnResources() {
        if (actionsReady) posix_spawn_file_actions_destroy(&actions);
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

ProcessResult runWithOutputFile(const std::string& program,
                                const std::vector<std::string>& arguments,
                                const std::string& outputFile) {
    SpawnResources res;
    res.fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (res.fd < 0) return failed("can not create " + outputFile + ": " + errorText(errno));
    // Keep the file off the standard descriptors, so that the dup2 below
    // always installs a fresh descriptor 1 without close-on-exec.
    if (res.fd <= STDERR_FILENO) {
        const int moved = ::fcntl(res.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) return failed("can not create " + outputFile + ": " + errorText(errno));
        ::close(res.fd);
        res.fd = moved;
    }

    int rc = posix_spawn_file_actions_init(&res.actions);
    if (rc != 0) return failed("can not start: " + errorText(rc));
    res.actionsReady = true;
    rc = posix_spawn_file_actions_adddup2(&res.actions, res.fd, STDOUT_FILENO);
    if (rc != 0) return failed("can not start: " + errorText(rc));

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    rc = posix_spawnp(&pid, program.c_str(), &res.actions, nullptr, argv.data(), environ);
    if (rc != 0) return failed("can not start: " + errorText(rc));

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return failed("can not wait for it: " + errorText(errno));
    }
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0) return ProcessResult{true, std::string()};
        return failed("exit status " + std::to_string(WEXITSTATUS(status)));
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = ::strsignal(sig);
        return failed("killed by signal " + std::to_string(sig) +
                      (name != nullptr ? std::string(" (") + name + ")" : std::string()));
    }
    return failed("ended abnormally (wait status " + std::to_string(status) + ")");
}

}  // namespace kestrel
