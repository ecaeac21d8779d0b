// Helpers that several test files share.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

// KESTREL_TEST_ASAN: built with AddressSanitizer (GCC or clang), where an
// address-space limit cannot work.
#if defined(__SANITIZE_ADDRESS__)
#define KESTREL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTREL_TEST_ASAN 1
#endif
#endif

namespace kestrel::test {

// The whole file, as bytes; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// A fresh folder of its own under the temporary folder, removed with its
// contents at the end.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kestrel_test_") {
        std::random_device random;
        for (;;) {
            path = std::filesystem::temp_directory_path() / (prefix + std::to_string(random()));
            if (std::filesystem::create_directories(path)) break;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return (path / name).string(); }

    std::filesystem::path path;
};

}  // namespace kestrel::test
