// Platform text files: what the C library leaves to each platform.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// Makes every finished line written to the stream reach the file at once (a watcher of the file
// sees it, a crash loses none). Returns false when the stream's buffering cannot be changed.
[[nodiscard]] bool PltFileLineBuffered(std::FILE* pFile);

// Characters of the longest file path the platform opens (without the terminating zero).
std::size_t PltPathMax();

// Whether a command-line argument that starts with '/' names a file rather than an option: on
// POSIX systems when it is an existing file, never on Windows, where '/' starts options.
bool PltSlashArgumentIsFile(const char* pszArgument);

// Opens a text file for writing, appended to (bAppend) or emptied, made readable by its owner only
// when it is created (it may hold what an operator typed). nullptr with errno set on failure.
[[nodiscard]] std::FILE* PltFileOpenPrivate(const char* pszPath, bool bAppend);

// Opens the platform's null device for writing: what is written to it is discarded.
// nullptr with errno set on failure.
[[nodiscard]] std::FILE* PltFileOpenNull();

// The value of an environment variable; false when it is not set.
bool PltGetEnvironment(const char* pszName, std::string& value);
// The user's home directory (HOME, %USERPROFILE% on Windows), or an empty text when unknown.
std::string PltHomeDirectory();

struct PltDirEntry {
    std::string name;
    bool bDirectory = false;
};
// The entries of a directory ("" is the current one), without "." and "..". False when it
// cannot be read.
bool PltListDirectory(const std::string& directory, std::vector<PltDirEntry>& entries);
