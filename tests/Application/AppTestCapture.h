// Test helpers of the application modules: an output stream whose text can be taken back, and
// definition files written to the temporary directory.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/TestOs.h"

// A temporary file standing in for the console or the response stream.
class CapturedStream {
  public:
    CapturedStream() : m_pFile(std::tmpfile()) {}
    ~CapturedStream() { std::fclose(m_pFile); }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    std::FILE* File() const { return m_pFile; }

    // Everything written since the last take, the stream flushed first.
    std::string Take() {
        std::fflush(m_pFile);
        return TakeUnflushed();
    }

    // Everything written since the last take, read through the file descriptor so that text
    // still held in the stream's buffer is not seen.
    std::string TakeUnflushed() {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = testos::ReadAt(m_pFile, buffer, sizeof buffer, m_lOffset)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            m_lOffset += n;
        }
        return text;
    }

    // Everything written since the stream was made, the stream flushed first; takes nothing.
    std::string All() const {
        std::fflush(m_pFile);
        std::string text;
        char buffer[4096];
        ssize_t n;
        for (off_t lOffset = 0; (n = testos::ReadAt(m_pFile, buffer, sizeof buffer, lOffset)) > 0;
             lOffset += n) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

  private:
    std::FILE* m_pFile;
    off_t m_lOffset = 0;
};

// Paths of the definition files written by the running test.
inline std::vector<std::string>& WrittenDefFiles() {
    static std::vector<std::string> paths;
    return paths;
}

// Writes a definition file with the given text into the temporary directory; returns its path.
inline std::string WriteDefFile(const std::string& name, const std::string& text) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("talvo_" + std::to_string(testos::ProcessId()) + "_" + name);
    std::ofstream(path, std::ios::binary) << text;
    WrittenDefFiles().push_back(path.string());
    return path.string();
}

// Removes every definition file written so far (test tear-down).
inline void RemoveDefFiles() {
    for (const std::string& path : WrittenDefFiles()) {
        std::filesystem::remove(path);
    }
    WrittenDefFiles().clear();
}
