// Serial devices, pipes and pseudo-terminals on POSIX: termios for the line settings,
// non-blocking descriptors with poll for bounded waits. Every system call goes through the
// replaceable table of PltSys.h.
#include "Platform/PltSerial.h"
#include "Platform/PltSerialNames.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Platform/PltClock.h"
#include "Platform/Posix/PltSys.h"

namespace {

constexpr int PLTC_POLL_SLICE_MS = 20; // longest single wait, so that stop requests are seen

struct BaudEntry {
    std::uint32_t dwRate;
    speed_t tSpeed;
};

constexpr std::array<BaudEntry, 18> PLTC_BAUD_TABLE = {{
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
}};

bool LookUpSpeed(std::uint32_t dwRate, speed_t* ptSpeed) {
    for (const auto& entry : PLTC_BAUD_TABLE) {
        if (entry.dwRate == dwRate) {
            *ptSpeed = entry.tSpeed;
            return true;
        }
    }
    return false;
}

// Milliseconds left until the deadline (0 when passed), read from the monotonic clock.
int RemainingMs(std::uint32_t dwStart, std::uint32_t dwTimeoutMs) {
    const std::uint32_t elapsed = PltGetTickCount() - dwStart;
    return elapsed >= dwTimeoutMs ? 0 : static_cast<int>(dwTimeoutMs - elapsed);
}

// Waits for room to write on iFd for at most iMs; repeated on interruption by the caller's loop.
void WaitWritable(int iFd, int iMs) {
    pollfd tPoll{iFd, POLLOUT, 0};
    (void)PltSysTable().pfPoll(&tPoll, 1, iMs);
}

bool SetNonBlocking(int iFd) {
    const int flags = PltSysTable().pfFcntl(iFd, F_GETFL, 0);
    return flags >= 0 && PltSysTable().pfFcntl(iFd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void MakeRaw(termios* ptSettings) {
    cfmakeraw(ptSettings);
    ptSettings->c_cc[VMIN] = 0;
    ptSettings->c_cc[VTIME] = 0;
}

} // namespace

int PltSerialFormatDeviceName(const char* pszName, char* pszDevice, std::size_t wSize) {
    return std::snprintf(pszDevice, wSize, "%s", pszName);
}

const char* PltSerialErrorText(int iError) {
    return std::strerror(iError);
}

void PltSerialDefaultDeviceName(std::uint8_t byPort, char* pszName, std::size_t wSize) {
    std::snprintf(pszName, wSize, "/dev/ttyS%u", static_cast<unsigned>(byPort));
}

PltHandle PltSerialOpen(const char* pszDevice, int* piError) {
    int fd = -1;
    do {
        fd = PltSysTable().pfOpen(pszDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (piError != nullptr) {
            *piError = errno;
        }
        return PLTC_INVALID_HANDLE;
    }
    // Exclusive use, like a COM port opened without sharing; a device that cannot do this
    // (not a terminal) is refused by the settings step anyway.
    (void)PltSysTable().pfIoctlInt(fd, TIOCEXCL, nullptr);
    return fd;
}

PltSerialConfig PltSerialConfigure(PltHandle hDevice, std::uint32_t dwBaudrate,
                                   std::uint8_t byByteSize, std::uint8_t byParity,
                                   std::uint8_t* pbyParityOn) {
    termios settings{};
    if (PltSysTable().pfTcgetattr(hDevice, &settings) != 0) {
        return PltSerialConfig::GetFailed;
    }
    MakeRaw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    switch (byByteSize) {
    case 5:
        settings.c_cflag |= CS5;
        break;
    case 6:
        settings.c_cflag |= CS6;
        break;
    case 7:
        settings.c_cflag |= CS7;
        break;
    default:
        settings.c_cflag |= CS8;
        break;
    }
    switch (byParity) {
    case 1:
        settings.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        settings.c_cflag |= PARENB;
        break;
    case 3:
        settings.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        settings.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    settings.c_cflag |= CRTSCTS | CREAD | CLOCAL | HUPCL;
    if (pbyParityOn != nullptr) {
        *pbyParityOn = (settings.c_cflag & PARENB) != 0 ? 1 : 0;
    }
    speed_t speed = B9600;
    if (!LookUpSpeed(dwBaudrate, &speed) || cfsetispeed(&settings, speed) != 0 ||
        cfsetospeed(&settings, speed) != 0) {
        return PltSerialConfig::SetFailed;
    }
    if (PltSysTable().pfTcsetattr(hDevice, TCSANOW, &settings) != 0) {
        return PltSerialConfig::SetFailed;
    }
    // DTR on. A pseudo-terminal has no modem lines: its refusal is not an error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)PltSysTable().pfIoctlInt(hDevice, TIOCMBIS, &lines);
    return PltSerialConfig::Ok;
}

bool PltSerialSetBaudrate(PltHandle hDevice, std::uint32_t dwBaudrate) {
    termios settings{};
    speed_t speed = B9600;
    if (PltSysTable().pfTcgetattr(hDevice, &settings) != 0 || !LookUpSpeed(dwBaudrate, &speed)) {
        return false;
    }
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) {
        return false;
    }
    return PltSysTable().pfTcsetattr(hDevice, TCSANOW, &settings) == 0;
}

long PltSerialRead(PltHandle hDevice, std::uint8_t* pbyBuffer, std::size_t wMax, int* piError) {
    if (wMax == 0) {
        return 0;
    }
    for (;;) {
        const ssize_t n = PltSysTable().pfRead(hDevice, pbyBuffer, wMax);
        if (n > 0) {
            return static_cast<long>(n);
        }
        if (n == 0) {
            // A raw line with no minimum count reads 0 when nothing arrived, and so does a line
            // that hung up; only the latter shows the hang-up (or an error) to poll.
            pollfd tPoll{hDevice, POLLIN, 0};
            if (PltSysTable().pfPoll(&tPoll, 1, 0) == 1 &&
                (tPoll.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                if (piError != nullptr) {
                    *piError = (tPoll.revents & POLLNVAL) != 0 ? EBADF : EIO;
                }
                return PLTC_SERIAL_HUNG_UP;
            }
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (piError != nullptr) {
            *piError = errno;
        }
        return errno == EIO || errno == ENXIO || errno == ENODEV ? PLTC_SERIAL_HUNG_UP : -1;
    }
}

long PltSerialWrite(PltHandle hDevice, const std::uint8_t* pbyData, std::size_t wCount,
                    std::uint32_t dwTimeoutMs, const std::atomic<std::uint8_t>* pbGoOn,
                    int* piError) {
    const std::uint32_t start = PltGetTickCount();
    std::size_t done = 0;
    while (done < wCount) {
        if (pbGoOn != nullptr && pbGoOn->load() == 0) {
            break;
        }
        const ssize_t n = PltSysTable().pfWrite(hDevice, pbyData + done, wCount - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (piError != nullptr) {
                *piError = errno;
            }
            return -1;
        }
        const int left = RemainingMs(start, dwTimeoutMs);
        if (left == 0) {
            break; // the rest is dropped
        }
        WaitWritable(hDevice, left < PLTC_POLL_SLICE_MS ? left : PLTC_POLL_SLICE_MS);
    }
    return static_cast<long>(done);
}

bool PltSerialPurge(PltHandle hDevice) {
    return PltSysTable().pfTcflush(hDevice, TCOFLUSH) == 0;
}

void PltSerialClose(PltHandle hDevice) {
    if (hDevice != PLTC_INVALID_HANDLE) {
        (void)PltSysTable().pfIoctlInt(hDevice, TIOCNXCL, nullptr);
        PltHandleClose(hDevice);
    }
}

void PltHandleClose(PltHandle hHandle) {
    if (hHandle != PLTC_INVALID_HANDLE) {
        (void)PltSysTable().pfClose(
            hHandle); // no retry on EINTR: the descriptor is gone either way
    }
}

bool PltPipeCreate(std::size_t wCapacity, PltHandle* phRead, PltHandle* phWrite) {
    std::array<int, 2> fds{-1, -1};
    if (PltSysTable().pfPipe(fds.data()) != 0) {
        return false;
    }
    (void)PltSysTable().pfFcntl(fds[0], F_SETFD, FD_CLOEXEC);
    (void)PltSysTable().pfFcntl(fds[1], F_SETFD, FD_CLOEXEC);
    // The kernel rounds the size up to whole pages; a refusal keeps its default, which is larger.
    (void)PltSysTable().pfFcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(wCapacity));
    if (!SetNonBlocking(fds[1])) {
        PltHandleClose(fds[0]);
        PltHandleClose(fds[1]);
        return false;
    }
    *phRead = fds[0];
    *phWrite = fds[1];
    return true;
}

long PltPipeRead(PltHandle hRead, std::uint8_t* pbyBuffer, std::size_t wMax) {
    for (;;) {
        const ssize_t n = PltSysTable().pfRead(hRead, pbyBuffer, wMax);
        if (n > 0) {
            return static_cast<long>(n);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return -1;
    }
}

bool PltPipeWrite(PltHandle hWrite, const std::uint8_t* pbyData, std::size_t wCount,
                  std::uint32_t dwTimeoutMs, const std::atomic<std::uint8_t>* pbReaderAlive) {
    const std::uint32_t start = PltGetTickCount();
    std::size_t done = 0;
    while (done < wCount) {
        const ssize_t n = PltSysTable().pfWrite(hWrite, pbyData + done, wCount - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // Full: only a living reader can make room.
        if (pbReaderAlive != nullptr && pbReaderAlive->load() == 0) {
            return false;
        }
        const int left = RemainingMs(start, dwTimeoutMs);
        if (left == 0) {
            return false;
        }
        WaitWritable(hWrite, left < PLTC_POLL_SLICE_MS ? left : PLTC_POLL_SLICE_MS);
    }
    return true;
}

long PltPipeWriteSome(PltHandle hWrite, const std::uint8_t* pbyData, std::size_t wCount) {
    std::size_t done = 0;
    while (done < wCount) {
        const ssize_t n = PltSysTable().pfWrite(hWrite, pbyData + done, wCount - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break; // full
        } else {
            return done > 0 ? static_cast<long>(done) : -1;
        }
    }
    return static_cast<long>(done);
}

bool PltPtyOpen(PltHandle* phMaster, PltHandle* phSlave, char* pszSlave, std::size_t wSize) {
    const int master = PltSysTable().pfOpenPt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        return false;
    }
    if (PltSysTable().pfGrantPt(master) != 0 || PltSysTable().pfUnlockPt(master) != 0 ||
        PltSysTable().pfPtsName(master, pszSlave, wSize) != 0 || !SetNonBlocking(master)) {
        PltHandleClose(master);
        return false;
    }
    int slave = -1;
    do {
        slave = PltSysTable().pfOpen(pszSlave, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (slave < 0 && errno == EINTR);
    if (slave < 0) {
        PltHandleClose(master);
        return false;
    }
    // Raw at once, so that nothing written before the port is configured is echoed or edited.
    termios settings{};
    if (PltSysTable().pfTcgetattr(slave, &settings) != 0) {
        PltHandleClose(slave);
        PltHandleClose(master);
        return false;
    }
    MakeRaw(&settings);
    if (PltSysTable().pfTcsetattr(slave, TCSANOW, &settings) != 0) {
        PltHandleClose(slave);
        PltHandleClose(master);
        return false;
    }
    *phMaster = master;
    if (phSlave != nullptr) {
        *phSlave = slave;
    } else {
        PltHandleClose(slave);
    }
    return true;
}
