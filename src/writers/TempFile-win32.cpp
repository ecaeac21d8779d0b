#include <cstdio>
#define _CRT_RAND_S
#include <stdlib.h>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "writers/FileOutput.h"

namespace kestrel::writers {

bool unpredictableBytes(void* data, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(data);
    while (size > 0) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) return false;
        for (int k = 0; k < 4 && size > 0; ++k, --size) {
            *bytes++ = static_cast<unsigned char>(value);
            value >>= 8;
        }
    }
    return true;
}

CreateResult createExclusive(const std::string& name, std::FILE*& file) {
    file = nullptr;
    const std::filesystem::path path = filePath(name);
    // CREATE_NEW fails on anything of that name, a link included. Others may
    // delete the file while it is open: the console handler removes it so.
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? CreateResult::exists
                                                                           : CreateResult::failed;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileW(path.c_str());
        return CreateResult::failed;
    }
    file = _fdopen(fd, "wb");
    if (file != nullptr) return CreateResult::created;
    _close(fd);
    DeleteFileW(path.c_str());
    return CreateResult::failed;
}

bool replaceFile(const std::string& source, const std::string& target) {
    return MoveFileExW(filePath(source).c_str(), filePath(target).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace kestrel::writers
