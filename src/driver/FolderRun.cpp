#include "driver/FolderRun.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "driver/Driver.h"

namespace kestrel {

namespace {

namespace fs = std::filesystem;

// Paths are UTF-8 inside the program; on Windows a path made from a plain
// string would be read in the ANSI code page, so both directions go through
// char8_t there.
fs::path pathOf(const std::string& text) {
#ifdef _WIN32
    return fs::path(std::u8string(text.begin(), text.end()));
#else
    return fs::path(text);
#endif
}

std::string textOf(const fs::path& path) {
#ifdef _WIN32
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
#else
    return path.string();
#endif
}

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// One image of the folder and, once it has run, its console block.
struct Image {
    std::string path;
    std::size_t sameFilesBefore = kNone;  // an earlier image that writes the same files
    std::string block;
    int status = 1;
    std::size_t signals = 0;
    bool done = false;
};

// The run of one image into its own block; a failure that escapes the run
// ends that image only.
void runOne(Image& image, std::string& block, int& status, std::size_t& signals) {
    std::ostringstream out;
    out << "Image: " << image.path << '\n';
    try {
        status = runImage(image.path, out, &signals);
    } catch (const std::exception& error) {
        out << "Error: " << error.what() << '\n';
        status = 1;
    }
    if (status != 0) signals = 0;
    block = std::move(out).str();
}

std::string counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + ' ' + (count == 1 ? one : many);
}

}  // namespace

bool isFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(pathOf(path), ec);
}

bool listElfImages(const std::string& folderPath, std::vector<std::string>& images) {
    images.clear();
    std::string prefix = folderPath;
    if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') prefix += kSeparator;

    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator entry(pathOf(folderPath), ec);
    for (; !ec && entry != fs::directory_iterator(); entry.increment(ec)) {
        std::error_code typeError;
        if (!entry->is_regular_file(typeError)) continue;
        std::string name = textOf(entry->path().filename());
        if (deriveRunFiles(prefix + name).elfInput) names.push_back(std::move(name));
    }
    if (ec) return false;
    std::sort(names.begin(), names.end());  // byte order: char_traits<char> compares as unsigned
    for (const std::string& name : names) images.push_back(prefix + name);
    return true;
}

int runFolder(const std::string& folderPath, std::ostream& out, unsigned imagesAtOnce) {
    std::vector<std::string> paths;
    if (!listElfImages(folderPath, paths)) {
        out << "Can not open directory: " << folderPath << std::endl;
        return 1;
    }
    if (paths.empty()) {
        out << "No ELF file found in directory: " << folderPath << std::endl;
        return 1;
    }

    // Two images whose names differ only in the extension (app.elf, app.ELF)
    // write the same files: the later one waits for the earlier, so that the
    // result is that of single runs in name order.
    std::vector<Image> images(paths.size());
    std::unordered_map<std::string, std::size_t> lastWithFiles;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        images[i].path = std::move(paths[i]);
        auto [seen, added] = lastWithFiles.try_emplace(deriveRunFiles(images[i].path).mapFile, i);
        if (!added) {
            images[i].sameFilesBefore = seen->second;
            seen->second = i;
        }
    }

    // Workers take the images in name order; each holds one model at a time.
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0;
    auto work = [&] {
        for (;;) {
            std::size_t i = 0;
            {
                std::unique_lock lock(mutex);
                if (next == images.size()) return;
                i = next++;
                const std::size_t before = images[i].sameFilesBefore;
                if (before != kNone) changed.wait(lock, [&] { return images[before].done; });
            }
            std::string block;
            int status = 1;
            std::size_t signals = 0;
            runOne(images[i], block, status, signals);
            {
                std::lock_guard lock(mutex);
                images[i].block = std::move(block);
                images[i].status = status;
                images[i].signals = signals;
                images[i].done = true;
            }
            changed.notify_all();
        }
    };

    unsigned workers = imagesAtOnce != 0 ? imagesAtOnce : std::max(1u, std::thread::hardware_concurrency());
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, images.size()));
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer workers; with none, this thread does the work
        }
    }
    if (threads.empty()) work();

    // The blocks in name order, each as soon as it and all before it are done.
    std::size_t failed = 0;
    std::size_t signals = 0;
    for (Image& image : images) {
        std::string block;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return image.done; });
            block = std::move(image.block);
        }
        out << block;
        out.flush();
        if (image.status != 0) ++failed;
        signals += image.signals;
    }
    for (std::thread& thread : threads) thread.join();

    out << "Folder finished: " << counted(images.size(), "image", "images") << " processed, " << failed
        << " failed, " << counted(signals, "signal", "signals") << " written" << std::endl;
    return failed == 0 ? 0 : 1;
}

}  // namespace kestrel
