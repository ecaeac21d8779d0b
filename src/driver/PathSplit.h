// Splitting the input path into directory, name and extension, and the ELF
// extension test. Hand-written matchers; see PathSplit.cpp for the exact rules.
#pragma once

#include <string>
#include <string_view>

namespace kestrel::driver {

struct PathParts {
    std::string directory;  // with its trailing '/' or '\'
    std::string name;
    std::string extension;  // with its leading '.'
    bool matched = false;   // false: all three parts are empty
};

// Splits `path` into directory, name and extension:
//  1. directory = the longest prefix ending in '/' or '\' such that the next
//     component holds a '.' with at least one character before it; name = the
//     longest slash-free run after it that is followed by a '.'; extension =
//     the rest (which may contain further slashes);
//  2. otherwise name = everything before the last '.', extension = the rest;
//  3. otherwise (no usable dot) all parts are empty.
// A carriage return or line feed may appear neither in the directory nor in
// the extension; with one in front of the last dot rule 2 does not apply.
PathParts splitPath(std::string_view path);

// True for an extension made of a dot followed by one or more of the letters
// e, l, f in either case (".elf", ".ELF", ".eLf", ".ffe").
bool isElfExtension(std::string_view extension);

}  // namespace kestrel::driver
