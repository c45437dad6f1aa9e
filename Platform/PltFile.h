// Platform text files: what the C library leaves to each platform.
#pragma once

#include <cstddef>
#include <cstdio>

// Makes every finished line written to the stream reach the file at once (a watcher of the file
// sees it, a crash loses none). Returns false when the stream's buffering cannot be changed.
bool PltFileLineBuffered(std::FILE* pFile);

// Characters of the longest file path the platform opens (without the terminating zero).
std::size_t PltPathMax();

// Whether a command-line argument that starts with '/' names a file rather than an option: on
// POSIX systems when it is an existing file, never on Windows, where '/' starts options.
bool PltSlashArgumentIsFile(const char* pszArgument);
