// The part of the platform's file layer that is the same on every platform: the C library's
// environment.
#include "Platform/PltFile.h"

#include <cstdlib>

bool PltGetEnvironment(const char* pszName, std::string& value) {
    const char* pszValue = std::getenv(pszName);
    if (pszValue == nullptr) {
        return false;
    }
    value = pszValue;
    return true;
}
