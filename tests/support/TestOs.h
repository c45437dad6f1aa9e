// The few operating-system calls the tests make themselves (environment, pipes, file offsets and
// a raw loopback TCP peer), one definition per platform, so that the tests read the same on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace testos {

#ifdef _WIN32

inline void SetEnv(const char* pszName, const char* pszValue) {
    _putenv_s(pszName, pszValue);
}
inline void UnsetEnv(const char* pszName) {
    _putenv_s(pszName, "");
}
inline int Pipe(int* piFds) {
    return _pipe(piFds, 4096, _O_BINARY);
}
inline long Write(int iFd, const void* pvData, std::size_t wCount) {
    return _write(iFd, pvData, static_cast<unsigned>(wCount));
}
inline int Close(int iFd) {
    return _close(iFd);
}
inline int Truncate(std::FILE* pFile) {
    return _chsize(_fileno(pFile), 0);
}
// Reads at an offset without moving the stream's own position.
inline long ReadAt(std::FILE* pFile, void* pvBuffer, std::size_t wCount, long lOffset) {
    const int iFd = _fileno(pFile);
    const long lKept = _lseek(iFd, 0, SEEK_CUR);
    _lseek(iFd, lOffset, SEEK_SET);
    const long n = _read(iFd, pvBuffer, static_cast<unsigned>(wCount));
    _lseek(iFd, lKept, SEEK_SET);
    return n;
}
inline int ProcessId() {
    return _getpid();
}

using RawSocket = int;
inline RawSocket RawTcpSocket() {
    static const bool bStarted = [] {
        WSADATA data{};
        return WSAStartup(0x0101, &data) == 0;
    }();
    (void)bStarted;
    const SOCKET hSocket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return hSocket == INVALID_SOCKET ? -1 : static_cast<RawSocket>(hSocket);
}
inline int RawClose(RawSocket iSocket) {
    return ::closesocket(static_cast<SOCKET>(iSocket));
}
inline long RawSend(RawSocket iSocket, const std::uint8_t* pbyData, std::size_t wCount) {
    return ::send(static_cast<SOCKET>(iSocket), reinterpret_cast<const char*>(pbyData),
                  static_cast<int>(wCount), 0);
}
inline long RawRecv(RawSocket iSocket, std::uint8_t* pbyBuffer, std::size_t wCount) {
    return ::recv(static_cast<SOCKET>(iSocket), reinterpret_cast<char*>(pbyBuffer),
                  static_cast<int>(wCount), 0);
}
// True when the socket has data (or its peer closed) within nWaitMs.
inline bool RawReadable(RawSocket iSocket, int nWaitMs) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(static_cast<SOCKET>(iSocket), &readSet);
    timeval timeout{nWaitMs / 1000, (nWaitMs % 1000) * 1000};
    return ::select(0, &readSet, nullptr, nullptr, &timeout) == 1;
}
inline int RawShutdown(RawSocket iSocket) {
    return ::shutdown(static_cast<SOCKET>(iSocket), SD_BOTH);
}
using RawAddressLength = int;

#else

inline void SetEnv(const char* pszName, const char* pszValue) {
    setenv(pszName, pszValue, 1);
}
inline void UnsetEnv(const char* pszName) {
    unsetenv(pszName);
}
inline int Pipe(int* piFds) {
    return pipe(piFds);
}
inline long Write(int iFd, const void* pvData, std::size_t wCount) {
    return static_cast<long>(write(iFd, pvData, wCount));
}
inline int Close(int iFd) {
    return close(iFd);
}
inline int Truncate(std::FILE* pFile) {
    return ftruncate(fileno(pFile), 0);
}
// Reads at an offset without moving the stream's own position.
inline long ReadAt(std::FILE* pFile, void* pvBuffer, std::size_t wCount, long lOffset) {
    return static_cast<long>(pread(fileno(pFile), pvBuffer, wCount, lOffset));
}
inline int ProcessId() {
    return static_cast<int>(getpid());
}

using RawSocket = int;
inline RawSocket RawTcpSocket() {
    return ::socket(AF_INET, SOCK_STREAM, 0);
}
inline int RawClose(RawSocket iSocket) {
    return ::close(iSocket);
}
inline long RawSend(RawSocket iSocket, const std::uint8_t* pbyData, std::size_t wCount) {
    return static_cast<long>(::send(iSocket, pbyData, wCount, MSG_NOSIGNAL));
}
inline long RawRecv(RawSocket iSocket, std::uint8_t* pbyBuffer, std::size_t wCount) {
    return static_cast<long>(::recv(iSocket, pbyBuffer, wCount, 0));
}
// True when the socket has data (or its peer closed) within nWaitMs.
inline bool RawReadable(RawSocket iSocket, int nWaitMs) {
    pollfd entry{iSocket, POLLIN, 0};
    return ::poll(&entry, 1, nWaitMs) == 1;
}
inline int RawShutdown(RawSocket iSocket) {
    return ::shutdown(iSocket, SHUT_RDWR);
}
using RawAddressLength = socklen_t;

#endif

} // namespace testos
