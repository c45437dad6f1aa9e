// Text files, path limits, the environment and directories on POSIX.
#include "Platform/PltFile.h"

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

bool PltFileLineBuffered(std::FILE* pFile) {
    return pFile != nullptr && std::setvbuf(pFile, nullptr, _IOLBF, BUFSIZ) == 0;
}

std::size_t PltPathMax() {
    return PATH_MAX - 1;
}

bool PltSlashArgumentIsFile(const char* pszArgument) {
    struct stat info {};
    return pszArgument != nullptr && pszArgument[0] == '/' && ::stat(pszArgument, &info) == 0 &&
           !S_ISDIR(info.st_mode);
}

std::FILE* PltFileOpenPrivate(const char* pszPath, bool bAppend) {
    const int iFlags = O_WRONLY | O_CREAT | O_CLOEXEC | (bAppend ? O_APPEND : O_TRUNC);
    const int iFd = ::open(pszPath, iFlags, 0600);
    if (iFd < 0) {
        return nullptr;
    }
    std::FILE* pFile = ::fdopen(iFd, bAppend ? "a" : "w");
    if (pFile == nullptr) {
        ::close(iFd);
    }
    return pFile;
}

std::FILE* PltFileOpenNull() {
    return std::fopen("/dev/null", "w");
}

std::string PltHomeDirectory() {
    std::string home;
    if (PltGetEnvironment("HOME", home) && !home.empty()) {
        return home;
    }
    const passwd* ptUser = ::getpwuid(::getuid());
    return ptUser != nullptr && ptUser->pw_dir != nullptr ? ptUser->pw_dir : "";
}

bool PltListDirectory(const std::string& directory, std::vector<PltDirEntry>& entries) {
    const std::string path = directory.empty() ? "." : directory;
    DIR* ptDir = ::opendir(path.c_str());
    if (ptDir == nullptr) {
        return false;
    }
    while (const dirent* ptEntry = ::readdir(ptDir)) {
        const std::string name = ptEntry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat tStat {};
        const std::string full = path + "/" + name;
        const bool bDirectory = ::stat(full.c_str(), &tStat) == 0 && S_ISDIR(tStat.st_mode);
        entries.push_back({name, bDirectory});
    }
    ::closedir(ptDir);
    return true;
}
