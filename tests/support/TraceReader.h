// Reads a link trace back for the tests: the pcap file header and every record, split into the
// record header's fields and the bytes behind it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace TraceReader {

struct Record {
    std::uint32_t dwSeconds = 0;
    std::uint32_t dwMicroseconds = 0;
    std::uint8_t byVersion = 0;
    std::uint8_t byHeaderLength = 0;
    std::uint8_t byDir = 0;
    std::uint8_t byLink = 0;
    std::uint8_t byFlags = 0;
    std::uint8_t byChannel = 0;
    std::uint16_t wEndpoint = 0;
    std::vector<std::uint8_t> bytes;
};

struct Capture {
    std::vector<std::uint8_t> header; // the 24 bytes of the pcap file header
    std::vector<Record> records;
    bool bWellFormed = false; // every record complete and at least 8 bytes long
};

inline std::uint32_t Le(const std::vector<std::uint8_t>& data, std::size_t w, int nBytes) {
    std::uint32_t dwValue = 0;
    for (int i = nBytes - 1; i >= 0; --i) {
        dwValue = dwValue << 8 | data[w + static_cast<std::size_t>(i)];
    }
    return dwValue;
}

inline Capture Read(const std::string& path) {
    Capture capture;
    std::vector<std::uint8_t> data;
    if (std::FILE* pFile = std::fopen(path.c_str(), "rb"); pFile != nullptr) {
        int c = 0;
        while ((c = std::fgetc(pFile)) != EOF) {
            data.push_back(static_cast<std::uint8_t>(c));
        }
        std::fclose(pFile);
    }
    if (data.size() < 24) {
        return capture;
    }
    capture.header.assign(data.begin(), data.begin() + 24);
    std::size_t w = 24;
    capture.bWellFormed = true;
    while (w + 16 <= data.size()) {
        const std::uint32_t dwLength = Le(data, w + 8, 4);
        if (dwLength < 8 || w + 16 + dwLength > data.size() || Le(data, w + 12, 4) != dwLength) {
            capture.bWellFormed = false;
            return capture;
        }
        Record r;
        r.dwSeconds = Le(data, w, 4);
        r.dwMicroseconds = Le(data, w + 4, 4);
        const std::size_t p = w + 16;
        r.byVersion = data[p];
        r.byHeaderLength = data[p + 1];
        r.byDir = data[p + 2];
        r.byLink = data[p + 3];
        r.byFlags = data[p + 4];
        r.byChannel = data[p + 5];
        r.wEndpoint = static_cast<std::uint16_t>(Le(data, p + 6, 2));
        r.bytes.assign(data.begin() + static_cast<std::ptrdiff_t>(p + 8),
                       data.begin() + static_cast<std::ptrdiff_t>(p + dwLength));
        capture.records.push_back(r);
        w = p + dwLength;
    }
    capture.bWellFormed = capture.bWellFormed && w == data.size();
    return capture;
}

} // namespace TraceReader
