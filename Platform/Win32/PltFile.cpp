// Text files, the environment and directories on Windows. The run-time library treats line
// buffering as full buffering, so the stream is left unbuffered: every write, and with it every
// finished line, reaches the file.
#include "Platform/PltFile.h"

#include <cstdlib>

#include <windows.h>

bool PltFileLineBuffered(std::FILE* pFile) {
    return pFile != nullptr && std::setvbuf(pFile, nullptr, _IONBF, 0) == 0;
}

std::size_t PltPathMax() {
    return MAX_PATH - 1;
}

bool PltSlashArgumentIsFile(const char* /*pszArgument*/) {
    return false;
}

std::FILE* PltFileOpenPrivate(const char* pszPath, bool bAppend) {
    // A file in the user's profile is private to the user already.
    return std::fopen(pszPath, bAppend ? "a" : "w");
}

std::FILE* PltFileOpenNull() {
    return std::fopen("NUL", "w");
}

std::string PltHomeDirectory() {
    std::string home;
    if (PltGetEnvironment("USERPROFILE", home) && !home.empty()) {
        return home;
    }
    std::string drive;
    std::string path;
    if (PltGetEnvironment("HOMEDRIVE", drive) && PltGetEnvironment("HOMEPATH", path)) {
        return drive + path;
    }
    return "";
}

bool PltListDirectory(const std::string& directory, std::vector<PltDirEntry>& entries) {
    std::string pattern = directory.empty() ? "." : directory;
    pattern += "\\*";
    WIN32_FIND_DATAA tData{};
    const HANDLE hFind = FindFirstFileA(pattern.c_str(), &tData);
    if (hFind == INVALID_HANDLE_VALUE) {
        return false;
    }
    do {
        const std::string name = tData.cFileName;
        if (name != "." && name != "..") {
            entries.push_back({name, (tData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        }
    } while (FindNextFileA(hFind, &tData));
    FindClose(hFind);
    return true;
}
