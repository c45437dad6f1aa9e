// Fuzz target of the TCP/IP stream decoders: one session with the protocol chosen at build time
// (FUZZ_IPM_PROTOCOL) connects through the socket layer, whose system calls are replaced by an
// in-memory peer; the peer's fuzzed byte stream arrives cut into reads at fuzzed points, the
// clock moving between session passes. The application may answer each message, may close the
// session when a message arrives, and closes it when the connection is reported lost.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>

#include "Communication/Ipm/IpmIni.h"
#include "Communication/Ipm/IpmPriv.h"
#include "Communication/Ips/Ips.h"
#include "Platform/PltSocket.h"
#include "Platform/Posix/PltSys.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "fuzz/FuzzSupport.h"

#ifndef FUZZ_IPM_PROTOCOL
#define FUZZ_IPM_PROTOCOL IPMC_PROTOCOL_OIP
#endif

namespace {

constexpr int FUZZ_SOCKET = 900; // the one descriptor the fake system hands out
constexpr std::uint16_t FUZZ_PORT = 9451;
constexpr int FUZZ_TRAILING_PASSES = 8; // session passes after the last byte, for the time-outs

// The in-memory peer behind the replaced system calls.
struct FuzzPeer {
    const std::uint8_t* pbyPending = nullptr;
    std::size_t wPending = 0;
    bool bStreamDone = false; // every byte of the stream has been offered
    bool bHangup = false;     // the peer closes after its last byte
    bool bFailSends = false;
};
FuzzPeer peer;
std::uint8_t bySession = IPMC_NO_SESSION;

sockaddr_in loopback{};
addrinfo loopbackInfo{};

int Socket(int, int, int) {
    return FUZZ_SOCKET;
}
int SetSockOpt(int, int, int, const void*, unsigned) {
    return 0;
}
int GetSockOpt(int, int, int, void* value, unsigned* len) {
    std::memset(value, 0, *len); // SO_ERROR: none
    return 0;
}
int Fcntl(int, int, int) {
    return 0;
}
int Connect(int, const sockaddr*, unsigned) {
    errno = EINPROGRESS;
    return -1;
}
int Poll(pollfd* fds, unsigned long count, const timespec*) {
    int ready = 0;
    for (unsigned long i = 0; i < count; ++i) {
        fds[i].revents = 0;
        if ((fds[i].events & POLLOUT) != 0) {
            fds[i].revents |= POLLOUT;
        }
        if ((fds[i].events & POLLIN) != 0 &&
            (peer.wPending > 0 || (peer.bStreamDone && peer.bHangup))) {
            fds[i].revents |= POLLIN;
        }
        ready += fds[i].revents != 0 ? 1 : 0;
    }
    return ready;
}
long Send(int, const void* data, std::size_t len, int) {
    if (peer.bFailSends) {
        errno = EPIPE;
        return -1;
    }
    const auto* pbyData = static_cast<const std::uint8_t*>(data);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < len; ++i) {
        sum += pbyData[i];
    }
    return sum == 0xFFFFFFFFu ? 0 : static_cast<long>(len);
}
long Recv(int, void* buffer, std::size_t len, int) {
    if (peer.wPending > 0) {
        const std::size_t n = std::min(len, peer.wPending);
        std::memcpy(buffer, peer.pbyPending, n);
        peer.pbyPending += n;
        peer.wPending -= n;
        return static_cast<long>(n);
    }
    if (peer.bStreamDone && peer.bHangup) {
        return 0;
    }
    errno = EAGAIN;
    return -1;
}
int Close(int) {
    return 0;
}
int GetAddrInfo(const char*, const char*, const addrinfo*, addrinfo** result) {
    *result = &loopbackInfo;
    return 0;
}
void FreeAddrInfo(addrinfo*) {}
int GetHostName(char* name, std::size_t len) {
    std::snprintf(name, len, "fuzz");
    return 0;
}

void InstallFakeSystem() {
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    loopbackInfo.ai_family = AF_INET;
    loopbackInfo.ai_socktype = SOCK_STREAM;
    loopbackInfo.ai_addr = reinterpret_cast<sockaddr*>(&loopback);
    loopbackInfo.ai_addrlen = sizeof loopback;
    PltSys& calls = PltSysTable();
    calls.pfSocket = Socket;
    calls.pfSetSockOpt = SetSockOpt;
    calls.pfGetSockOpt = GetSockOpt;
    calls.pfFcntl = Fcntl;
    calls.pfConnect = Connect;
    calls.pfPpoll = Poll;
    calls.pfSend = Send;
    calls.pfRecv = Recv;
    calls.pfClose = Close;
    calls.pfGetAddrInfo = GetAddrInfo;
    calls.pfFreeAddrInfo = FreeAddrInfo;
    calls.pfGetHostName = GetHostName;
}

// The application's connection events: a lost connection is closed, as the application does.
void Event(std::uint16_t wEvent, std::uint8_t bySessionId) {
    if (wEvent == IPMC_EVENT_CONNECTION_LOST && bySessionId == bySession) {
        static_cast<void>(IpmClose(bySessionId)); // the harness only needs the slot free
        bySession = IPMC_NO_SESSION;
    }
}

// The application closes the session from inside its handler.
void CloseOnDelivery(const fuzz::Delivered&) {
    if (bySession != IPMC_NO_SESSION) {
        static_cast<void>(IpmClose(bySession)); // the harness only needs the slot free
        bySession = IPMC_NO_SESSION;
    }
}

// What the application sends after a pass: an answer (and a notification) per message.
void Answer(std::uint8_t byFlags) {
    auto& messages = fuzz::DeliveredMessages();
    for (const fuzz::Delivered& message : messages) {
        if (bySession == IPMC_NO_SESSION || message.data.empty()) {
            break;
        }
        const std::uint16_t wLength =
            static_cast<std::uint16_t>(std::min<std::size_t>(message.data.size(), 0xFFFF));
        if ((byFlags & fuzz::FUZZ_FLAG_NOTIFY) != 0) {
            static_cast<void>(
                MdsExecuteResponseHandler(message.byChannel, 5, wLength, message.data.data()));
        }
        if ((byFlags & fuzz::FUZZ_FLAG_ANSWER) != 0) {
            static_cast<void>(
                MdsExecuteResponseHandler(message.byChannel, 4, wLength, message.data.data()));
        }
    }
    messages.clear();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitProcess();
    InstallFakeSystem();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyInput, std::size_t wSize) {
    fuzz::StreamPlan plan({pbyInput, wSize});
    fuzz::ResetRuntime(plan.StartClock());
    IpmResetForTest();
    IpsResetForTest();
    if (IpsInit() != IPSC_OK || IpmInit() != IPMC_OK) {
        return 0;
    }
    if ((plan.Flags() & fuzz::FUZZ_FLAG_APPLICATION) != 0) {
        fuzz::RegisterApplication(MDSC_TCPIP_SESSION_BASE, false);
    } else {
        fuzz::RegisterRecorder(MDSC_INVALID_ID);
        if ((plan.Flags() & fuzz::FUZZ_FLAG_CLOSE_IN) != 0) {
            fuzz::SetDeliverHook(CloseOnDelivery);
        }
    }
    peer = FuzzPeer{};
    peer.bHangup = (plan.Flags() & fuzz::FUZZ_FLAG_HANGUP) != 0;
    peer.bFailSends = (plan.Flags() & fuzz::FUZZ_FLAG_FAIL_IO) != 0;
    bySession = IpmOpen(FUZZ_PORT, "127.0.0.1", FUZZ_IPM_PROTOCOL, Event);
    if (bySession == IPMC_NO_SESSION) {
        return 0;
    }
    IpmProcessConnections(); // the connect completes at once

    const auto stream = plan.Stream();
    std::size_t wDone = 0;
    int nTrailing = FUZZ_TRAILING_PASSES;
    // A module that stops reading leaves bytes unread: the passes are bounded all the same.
    std::size_t wPassesLeft = 2 * stream.size() + 64;
    while (bySession != IPMC_NO_SESSION && wPassesLeft-- > 0 &&
           (wDone < stream.size() || peer.wPending > 0 || nTrailing-- > 0)) {
        if (peer.wPending == 0 && wDone < stream.size()) {
            const std::size_t wChunk = std::min(plan.NextChunk(), stream.size() - wDone);
            peer.pbyPending = stream.data() + wDone;
            peer.wPending = wChunk;
            wDone += wChunk;
        }
        peer.bStreamDone = wDone == stream.size() && peer.wPending == 0;
        IpmProcessSessions();
        peer.bStreamDone = wDone == stream.size() && peer.wPending == 0;
        Answer(plan.Flags());
        OssAdvanceTime(plan.StepMs());
    }
    peer = FuzzPeer{};
    IpmResetForTest();
    IpsResetForTest();
    fuzz::DeliveredMessages().clear();
    return 0;
}
