#pragma once

// POSIX calls that tests shared with the Linux build use, for the Windows build, where the C
// library lacks them. Included ahead of those tests' sources by their CMake hook on WIN32.

#ifdef _WIN32

#include <direct.h>
#include <stdlib.h>
#include <string.h>

// Replaces the trailing XXXXXX of `pattern` and creates that directory; the pattern on success,
// a null pointer on failure (errno set), as POSIX has it.
inline char* mkdtemp(char* pattern) {
    if (_mktemp_s(pattern, strlen(pattern) + 1) != 0) return nullptr;
    if (_mkdir(pattern) != 0) return nullptr;
    return pattern;
}

#endif
