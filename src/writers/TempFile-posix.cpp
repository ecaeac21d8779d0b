#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "writers/FileOutput.h"

namespace kestrel::writers {

bool unpredictableBytes(void* data, std::size_t size) {
    // getentropy gives up to 256 bytes in one call and does not block once the
    // system has started.
    return size <= 256 && ::getentropy(data, size) == 0;
}

CreateResult createExclusive(const std::string& name, std::FILE*& file) {
    file = nullptr;
    // O_EXCL: fails on anything of that name, a link (even a dangling one) included.
    int fd;
    do {
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == EEXIST ? CreateResult::exists : CreateResult::failed;
    file = ::fdopen(fd, "wb");
    if (file != nullptr) return CreateResult::created;
    ::close(fd);
    ::unlink(name.c_str());
    return CreateResult::failed;
}

bool replaceFile(const std::string& source, const std::string& target) {
    return ::rename(source.c_str(), target.c_str()) == 0;
}

}  // namespace kestrel::writers
