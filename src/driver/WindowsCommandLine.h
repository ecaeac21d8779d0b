// Windows only: the command line as UTF-8, the encoding of every path and
// text inside the program, and a console that shows UTF-8 output.
#pragma once

#ifdef _WIN32

#include <string>
#include <vector>

namespace kestrel::driver {

// The program's arguments, read in UTF-16 from the system and converted to
// UTF-8 (the narrow arguments of main are in the ANSI code page, which cannot
// hold every file name).
class Utf8Arguments {
public:
    // Falls back to `argc`/`argv` when the wide command line cannot be read.
    Utf8Arguments(int argc, char** argv);

    int argc() const { return static_cast<int>(pointers_.size()) - 1; }
    const char* const* argv() const { return pointers_.data(); }

private:
    std::vector<std::string> texts_;
    std::vector<const char*> pointers_;  // into texts_, ending with a null
};

// Lets the console show the UTF-8 output (file names with non-ASCII letters).
void useUtf8Console();

}  // namespace kestrel::driver

#endif
