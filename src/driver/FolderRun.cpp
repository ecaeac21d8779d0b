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
#include "writers/FileOutput.h"

namespace kestrel::driver {

namespace {

namespace fs = std::filesystem;

// Paths are UTF-8 inside the program; on Windows a path's text goes through
// char8_t (see writers::filePath for the other direction).
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
    ConsoleReporter console(out);
    console.message("Image: " + image.path);
    try {
        status = runImage(image.path, out, &signals);
    } catch (const std::exception& error) {
        console.message(std::string("Error: ") + error.what());
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
    return fs::is_directory(writers::filePath(path), ec);
}

bool listElfImages(const std::string& folderPath, std::vector<std::string>& images) {
    images.clear();
    std::string prefix = folderPath;
    if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') prefix += kSeparator;

    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator entry(writers::filePath(folderPath), ec);
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

namespace {

// Two images whose names differ only in the extension (app.elf, app.ELF)
// write the same files: the later one waits for the earlier, so that the
// result is that of single runs in name order.
std::vector<Image> imagesOf(std::vector<std::string>& paths) {
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
    return images;
}

// The images of a folder shared by the workers, which take them in name
// order; each worker holds one model at a time.
class ImageQueue {
public:
    explicit ImageQueue(std::vector<Image> images) : images_(std::move(images)) {}

    std::size_t size() const { return images_.size(); }

    // A worker's loop: runs images until none is left.
    void work() {
        for (;;) {
            std::size_t i = 0;
            {
                std::unique_lock lock(mutex_);
                if (next_ == images_.size()) return;
                i = next_++;
                const std::size_t before = images_[i].sameFilesBefore;
                if (before != kNone) changed_.wait(lock, [&] { return images_[before].done; });
            }
            std::string block;
            int status = 1;
            std::size_t signals = 0;
            runOne(images_[i], block, status, signals);
            {
                std::lock_guard lock(mutex_);
                images_[i].block = std::move(block);
                images_[i].status = status;
                images_[i].signals = signals;
                images_[i].done = true;
            }
            changed_.notify_all();
        }
    }

    // Waits for image `i` and takes its results.
    Image take(std::size_t i) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return images_[i].done; });
        return std::move(images_[i]);
    }

private:
    std::vector<Image> images_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;
};

}  // namespace

int runFolder(const std::string& folderPath, std::ostream& out, unsigned imagesAtOnce) {
    ConsoleReporter console(out);
    std::vector<std::string> paths;
    if (!listElfImages(folderPath, paths)) {
        console.message("Can not open directory: " + folderPath);
        return 1;
    }
    if (paths.empty()) {
        console.message("No ELF file found in directory: " + folderPath);
        return 1;
    }
    ImageQueue queue(imagesOf(paths));

    unsigned workers = imagesAtOnce != 0 ? imagesAtOnce : std::max(1u, std::thread::hardware_concurrency());
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, queue.size()));
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        try {
            threads.emplace_back([&queue] { queue.work(); });
        } catch (const std::system_error&) {
            break;  // fewer workers; with none, this thread does the work
        }
    }
    if (threads.empty()) queue.work();

    // The blocks in name order, each as soon as it and all before it are done.
    std::size_t failed = 0;
    std::size_t signals = 0;
    for (std::size_t i = 0; i < queue.size(); ++i) {
        const Image image = queue.take(i);
        out << image.block;
        out.flush();
        if (image.status != 0) ++failed;
        signals += image.signals;
    }
    for (std::thread& thread : threads) thread.join();

    console.message("Folder finished: " + counted(queue.size(), "image", "images") + " processed, " +
                    std::to_string(failed) + " failed, " + counted(signals, "signal", "signals") + " written");
    return failed == 0 ? 0 : 1;
}

}  // namespace kestrel::driver
