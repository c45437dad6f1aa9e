// Text files on Windows. The run-time library treats line buffering as full buffering, so the
// stream is left unbuffered: every write, and with it every finished line, reaches the file.
#include "Platform/PltFile.h"

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
