#include "fuzz/FuzzFiles.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace fuzz {

namespace {

std::string workDir;

void RemoveWorkDir() {
    std::error_code error;
    std::filesystem::remove_all(workDir, error);
}

} // namespace

const std::string& WorkDir() {
    if (workDir.empty()) {
        // Memory-backed when the system has it: every run writes its files anew.
        char pattern[] = "/dev/shm/talvo_fuzz_XXXXXX";
        char fallback[] = "/tmp/talvo_fuzz_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            made = mkdtemp(fallback);
        }
        if (made == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        workDir = made;
        std::atexit(RemoveWorkDir);
    }
    return workDir;
}

std::string WorkPath(const char* pszName) {
    return WorkDir() + "/" + pszName;
}

void WriteFile(const std::string& path, std::string_view text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        std::abort();
    }
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

void RemoveAllBut(const char* pszKeep) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(WorkDir(), error)) {
        if (entry.path().filename() != pszKeep) {
            std::filesystem::remove_all(entry.path(), error);
        }
    }
}

} // namespace fuzz
