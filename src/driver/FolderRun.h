// A folder given as the input path: every ELF file directly in it is run as
// if it had been given alone, several at a time, with one block of console
// lines per image and a summary line.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kestrel::driver {

// True when `path` names an existing folder (a trailing '/' or '\' allowed).
bool isFolder(const std::string& path);

// The paths of the regular files directly in `folderPath` that a single run
// would take as ELF files, each formed as `folderPath` + separator (unless it
// ends in one) + file name, in byte order of the names. False when the folder
// cannot be read.
bool listElfImages(const std::string& folderPath, std::vector<std::string>& images);

// Runs every ELF file of the folder, `imagesAtOnce` at a time (0: as many as
// the machine has cores). Each image's lines are written as one block headed
// by "Image: <path>", in name order, each as soon as the blocks before it are
// written; then "Folder finished: N images processed, F failed, S signals
// written". Returns 0 when every image succeeded, 1 otherwise, and 1 with
// "No ELF file found in directory: <path>" or "Can not open directory:
// <path>" when there is nothing to run.
int runFolder(const std::string& folderPath, std::ostream& out, unsigned imagesAtOnce = 0);

}  // namespace kestrel::driver
