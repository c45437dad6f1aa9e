// The system calls of the POSIX console backend, replaceable so that tests can inject failures.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

struct PltConsoleSys {
    ssize_t (*pfRead)(int iFd, void* pvBuffer, size_t wCount);
    int (*pfPoll)(pollfd* ptFds, nfds_t wCount, int iTimeoutMs);
    int (*pfIsatty)(int iFd);
    int (*pfTcgetattr)(int iFd, termios* ptSettings);
    int (*pfTcsetattr)(int iFd, int iWhen, const termios* ptSettings);
};
PltConsoleSys& PltConsoleSysTable(); // the table in use; tests replace entries
