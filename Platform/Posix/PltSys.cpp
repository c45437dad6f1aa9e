// The real system calls behind the POSIX backend's table.
#include "Platform/Posix/PltSys.h"

#include <cstdlib>
#include <fcntl.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The calls whose C signature differs from the table's (variadic, socklen_t, ssize_t).
int SysOpen(const char* pszPath, int iFlags) {
    return ::open(pszPath, iFlags);
}
int SysFcntl(int iFd, int iCommand, int iArgument) {
    return ::fcntl(iFd, iCommand, iArgument);
}
int SysPipe(int* piFds) {
    return ::pipe(piFds);
}
int SysIoctlInt(int iFd, unsigned long dwRequest, int* piValue) {
    return ::ioctl(iFd, dwRequest, piValue);
}
int SysPtsName(int iFd, char* pszName, size_t wSize) {
    return ::ptsname_r(iFd, pszName, wSize);
}
int SysSetSockOpt(int iFd, int iLevel, int iName, const void* pvValue, unsigned wLength) {
    return ::setsockopt(iFd, iLevel, iName, pvValue, static_cast<socklen_t>(wLength));
}
int SysGetSockOpt(int iFd, int iLevel, int iName, void* pvValue, unsigned* pwLength) {
    auto tSize = static_cast<socklen_t>(*pwLength);
    const int iResult = ::getsockopt(iFd, iLevel, iName, pvValue, &tSize);
    *pwLength = static_cast<unsigned>(tSize);
    return iResult;
}
int SysConnect(int iFd, const sockaddr* ptAddress, unsigned wLength) {
    return ::connect(iFd, ptAddress, static_cast<socklen_t>(wLength));
}
int SysBind(int iFd, const sockaddr* ptAddress, unsigned wLength) {
    return ::bind(iFd, ptAddress, static_cast<socklen_t>(wLength));
}
int SysAccept(int iFd, sockaddr* ptAddress, unsigned* pwLength) {
    auto tSize = static_cast<socklen_t>(*pwLength);
    const int iResult = ::accept(iFd, ptAddress, &tSize);
    *pwLength = static_cast<unsigned>(tSize);
    return iResult;
}
int SysPpoll(pollfd* ptFds, unsigned long wCount, const timespec* ptTimeout) {
    return ::ppoll(ptFds, static_cast<nfds_t>(wCount), ptTimeout, nullptr);
}
long SysSend(int iFd, const void* pvData, std::size_t wLength, int iFlags) {
    return static_cast<long>(::send(iFd, pvData, wLength, iFlags));
}
long SysRecv(int iFd, void* pvBuffer, std::size_t wLength, int iFlags) {
    return static_cast<long>(::recv(iFd, pvBuffer, wLength, iFlags));
}
int SysGetSockName(int iFd, sockaddr* ptAddress, unsigned* pwLength) {
    auto tSize = static_cast<socklen_t>(*pwLength);
    const int iResult = ::getsockname(iFd, ptAddress, &tSize);
    *pwLength = static_cast<unsigned>(tSize);
    return iResult;
}

constexpr PltSys PLTC_REAL_SYS = {
    SysOpen,        ::close,     ::read,         ::write,       ::poll,         SysFcntl,
    SysPipe,        SysIoctlInt, ::isatty,       ::tcgetattr,   ::tcsetattr,    ::tcflush,
    ::posix_openpt, ::grantpt,   ::unlockpt,     SysPtsName,    ::socket,       SysSetSockOpt,
    SysGetSockOpt,  SysConnect,  SysBind,        ::listen,      SysAccept,      SysPpoll,
    SysSend,        SysRecv,     SysGetSockName, ::getaddrinfo, ::freeaddrinfo, ::gethostname,
};

PltSys sys = PLTC_REAL_SYS;

} // namespace

PltSys& PltSysTable() {
    return sys;
}

void PltSysReset() {
    sys = PLTC_REAL_SYS;
}
