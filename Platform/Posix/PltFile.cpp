// Text files on POSIX: the C library's line buffering, path limits.
#include "Platform/PltFile.h"

#include <climits>
#include <sys/stat.h>

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
