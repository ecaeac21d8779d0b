#include "driver/Process.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrel::driver {

namespace {

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

namespace {

ProcessResult waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return ProcessResult::failed("can not wait for it: " + errorText(errno));
    }
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0) return ProcessResult{true, std::string()};
        return ProcessResult::failed("exit status " + std::to_string(WEXITSTATUS(status)));
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = ::strsignal(sig);
        return ProcessResult::failed("killed by signal " + std::to_string(sig) +
                      (name != nullptr ? std::string(" (") + name + ")" : std::string()));
    }
    return ProcessResult::failed("ended abnormally (wait status " + std::to_string(status) + ")");
}

std::vector<char*> argumentVector(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

ProcessResult runWithOutputPipe(const std::string& program, const std::vector<std::string>& arguments,
                                const std::function<bool(std::string_view)>& onOutput,
                                const std::string& stopReason) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return ProcessResult::failed("can not create a pipe: " + errorText(errno));
    SpawnResources res;
    res.fd = fds[1];
    int readEnd = fds[0];
    // Keep the write end off the standard descriptors: the child's dup2 onto
    // STDOUT_FILENO must not close it first.
    if (res.fd <= STDERR_FILENO) {
        const int moved = ::fcntl(res.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) {
            ::close(readEnd);
            return ProcessResult::failed("can not create a pipe: " + errorText(errno));
        }
        ::close(res.fd);
        res.fd = moved;
    }
#ifdef F_SETPIPE_SZ
    ::fcntl(readEnd, F_SETPIPE_SZ, 1 << 20);  // fewer switches between objdump and the reader
#endif
    int rc = posix_spawn_file_actions_init(&res.actions);
    if (rc != 0) {
        ::close(readEnd);
        return ProcessResult::failed("can not start: " + errorText(rc));
    }
    res.actionsReady = true;
    rc = posix_spawn_file_actions_adddup2(&res.actions, res.fd, STDOUT_FILENO);
    std::vector<char*> argv = argumentVector(program, arguments);
    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) environment.emplace_back(*entry);
    environment = withCLocale(std::move(environment), false);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (rc == 0) rc = posix_spawnp(&pid, program.c_str(), &res.actions, nullptr, argv.data(), envp.data());
    ::close(res.fd);
    res.fd = -1;
    if (rc != 0) {
        ::close(readEnd);
        return ProcessResult::failed("can not start: " + errorText(rc));
    }

    std::vector<char> buffer(1 << 20);
    bool stopped = false;
    std::string readError;
    for (;;) {
        const ssize_t got = ::read(readEnd, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            readError = errorText(errno);
            ::kill(pid, SIGTERM);
            break;
        }
        if (got == 0) break;
        if (!onOutput(std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
            stopped = true;
            ::kill(pid, SIGTERM);
            break;
        }
    }
    ::close(readEnd);
    ProcessResult result = waitFor(pid);
    if (stopped) return ProcessResult::failed(stopReason);
    if (!readError.empty()) return ProcessResult::failed("can not read its output: " + readError);
    return result;
}

}  // namespace kestrel::driver
