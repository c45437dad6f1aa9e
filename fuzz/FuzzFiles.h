// Files of the application fuzz targets: a private temporary directory (in /dev/shm when there is
// one), created once per process and removed when the process ends, into which fuzzed definition
// files and scripts are written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fuzz {

const std::string& WorkDir();                                   // created on first use
std::string WorkPath(const char* pszName);                      // WorkDir() + "/" + name
void WriteFile(const std::string& path, std::string_view text); // replaces the file
void RemoveAllBut(const char* pszKeep);                         // empties WorkDir() but one name

} // namespace fuzz
