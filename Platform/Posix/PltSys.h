// The system calls of the POSIX backend, in the style of SQLite's os_unix.c: every call the
// backend makes goes through this one table, so that tests can replace an entry to inject short
// reads, interrupted calls and failures, and PltSysReset puts the real calls back.
#pragma once

#include <cstddef>
#include <poll.h>
#include <sys/types.h>
#include <termios.h>

struct sockaddr;
struct addrinfo;
struct timespec;

struct PltSys {
    // Files, devices, pipes and pseudo-terminals.
    int (*pfOpen)(const char* pszPath, int iFlags);
    int (*pfClose)(int iFd);
    ssize_t (*pfRead)(int iFd, void* pvBuffer, size_t wCount);
    ssize_t (*pfWrite)(int iFd, const void* pvData, size_t wCount);
    int (*pfPoll)(pollfd* ptFds, nfds_t wCount, int iTimeoutMs);
    int (*pfFcntl)(int iFd, int iCommand, int iArgument);
    int (*pfPipe)(int* piFds);
    int (*pfIoctlInt)(int iFd, unsigned long dwRequest, int* piValue); // ioctl with an int argument
    // Terminals.
    int (*pfIsatty)(int iFd);
    int (*pfTcgetattr)(int iFd, termios* ptSettings);
    int (*pfTcsetattr)(int iFd, int iWhen, const termios* ptSettings);
    int (*pfTcflush)(int iFd, int iQueue);
    int (*pfOpenPt)(int iFlags);
    int (*pfGrantPt)(int iFd);
    int (*pfUnlockPt)(int iFd);
    int (*pfPtsName)(int iFd, char* pszName, size_t wSize);
    // Sockets and names; lengths as unsigned, so that callers need no socklen_t.
    int (*pfSocket)(int iDomain, int iType, int iProtocol);
    int (*pfSetSockOpt)(int iFd, int iLevel, int iName, const void* pvValue, unsigned wLength);
    int (*pfGetSockOpt)(int iFd, int iLevel, int iName, void* pvValue, unsigned* pwLength);
    int (*pfConnect)(int iFd, const sockaddr* ptAddress, unsigned wLength);
    int (*pfBind)(int iFd, const sockaddr* ptAddress, unsigned wLength);
    int (*pfListen)(int iFd, int iBacklog);
    int (*pfAccept)(int iFd, sockaddr* ptAddress, unsigned* pwLength);
    int (*pfPpoll)(pollfd* ptFds, unsigned long wCount, const timespec* ptTimeout);
    long (*pfSend)(int iFd, const void* pvData, std::size_t wLength, int iFlags);
    long (*pfRecv)(int iFd, void* pvBuffer, std::size_t wLength, int iFlags);
    int (*pfGetSockName)(int iFd, sockaddr* ptAddress, unsigned* pwLength);
    int (*pfGetAddrInfo)(const char* pszName, const char* pszService, const addrinfo* ptHints,
                         addrinfo** pptResult);
    void (*pfFreeAddrInfo)(addrinfo* ptResult);
    int (*pfGetHostName)(char* pszName, std::size_t wLength);
};

PltSys& PltSysTable(); // the table in use; tests replace entries
void PltSysReset();    // puts the real system calls back
