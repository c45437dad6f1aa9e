// The system calls of the POSIX socket backend, replaceable so that tests can inject EINTR,
// short transfers and failures.
#pragma once

#include <cstddef>

struct pollfd;
struct sockaddr;
struct addrinfo;
struct timespec;

struct PltSocketSysCalls {
    int (*pfSocket)(int domain, int type, int protocol);
    int (*pfSetSockOpt)(int fd, int level, int name, const void* value, unsigned len);
    int (*pfGetSockOpt)(int fd, int level, int name, void* value, unsigned* len);
    int (*pfFcntl)(int fd, int cmd, int arg);
    int (*pfConnect)(int fd, const sockaddr* address, unsigned len);
    int (*pfBind)(int fd, const sockaddr* address, unsigned len);
    int (*pfListen)(int fd, int backlog);
    int (*pfAccept)(int fd, sockaddr* address, unsigned* len);
    int (*pfPoll)(pollfd* fds, unsigned long count, const timespec* timeout);
    long (*pfSend)(int fd, const void* data, std::size_t len, int flags);
    long (*pfRecv)(int fd, void* buffer, std::size_t len, int flags);
    int (*pfClose)(int fd);
    int (*pfGetSockName)(int fd, sockaddr* address, unsigned* len);
    int (*pfGetAddrInfo)(const char* name, const char* service, const addrinfo* hints,
                         addrinfo** result);
    void (*pfFreeAddrInfo)(addrinfo* result);
    int (*pfGetHostName)(char* name, std::size_t len);
};

PltSocketSysCalls& PltSocketCalls(); // the table in use; PltSocketRestoreCalls() resets it
