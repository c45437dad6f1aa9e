// The system calls of the POSIX serial backend, reached through one replaceable table so that
// tests can inject short reads, interrupted calls and failures.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

struct PltPosixSys {
    int (*pfOpen)(const char* pszPath, int iFlags);
    int (*pfClose)(int iFd);
    ssize_t (*pfRead)(int iFd, void* pvBuffer, size_t wCount);
    ssize_t (*pfWrite)(int iFd, const void* pvData, size_t wCount);
    int (*pfPoll)(pollfd* ptFds, nfds_t wCount, int iTimeoutMs);
    int (*pfTcgetattr)(int iFd, termios* ptSettings);
    int (*pfTcsetattr)(int iFd, int iWhen, const termios* ptSettings);
    int (*pfTcflush)(int iFd, int iQueue);
    int (*pfIoctlInt)(int iFd, unsigned long dwRequest, int* piValue); // ioctl with an int argument
    int (*pfPipe)(int* piFds);
    int (*pfFcntl)(int iFd, int iCommand, int iArgument);
    int (*pfOpenPt)(int iFlags);
    int (*pfGrantPt)(int iFd);
    int (*pfUnlockPt)(int iFd);
    int (*pfPtsName)(int iFd, char* pszName, size_t wSize);
};

PltPosixSys& PltPosixSysTable(); // the table in use; tests replace entries
void PltPosixSysReset();         // puts the real system calls back
