// Writing one output file in one piece without losing the previous version:
// the text goes to a temporary file in the same folder, which replaces the
// target only when it was written and closed without error.
#pragma once

#include <string>
#include <string_view>

namespace Model {

// Writes `text` to `fileName` in binary mode. On failure prints
// "Can not create file: <name>" (the file could not be created or put in
// place) or "Can not write file: <name>" (writing or closing failed), leaves an
// existing file untouched and returns false.
bool writeWholeFile(const std::string& fileName, std::string_view text);

// The id of the running process (names the temporary files).
unsigned long currentProcessId();

}  // namespace Model
