// Text files on POSIX: the C library's line buffering.
#include "Platform/PltFile.h"

bool PltFileLineBuffered(std::FILE* pFile) {
    return pFile != nullptr && std::setvbuf(pFile, nullptr, _IOLBF, BUFSIZ) == 0;
}
