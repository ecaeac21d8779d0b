#include <cstdio>

#include <sys/resource.h>
#include <unistd.h>

#ifdef __linux__
#include <fcntl.h>
#endif

#include "writers/FileOutput.h"

namespace kestrel::writers {

bool reserveFileSpace(std::FILE* file, std::uint64_t offset, std::uint64_t length) {
#ifdef __linux__
    // Blocks allocated up front are not delayed allocations: a file written
    // into them needs no forced flush when it replaces another by rename.
    // Never beyond a file size limit: reaching it raises a signal.
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
    if (limit.rlim_cur != RLIM_INFINITY && offset + length > limit.rlim_cur) return false;
    const int fd = ::fileno(file);
    return fd >= 0 && ::fallocate(fd, 0, static_cast<off_t>(offset), static_cast<off_t>(length)) == 0;
#else
    (void)file;
    (void)offset;
    (void)length;
    return false;
#endif
}

bool truncateFile(std::FILE* file, std::uint64_t length) {
    const int fd = ::fileno(file);
    return fd >= 0 && ::ftruncate(fd, static_cast<off_t>(length)) == 0;
}

}  // namespace kestrel::writers
