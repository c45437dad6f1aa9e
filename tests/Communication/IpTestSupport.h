// Shared helpers of the TCP/IP link tests: runtime set-up, a raw loopback peer, scheduler pumping,
// captured messages, events and event-log records.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Communication/Ipm/IpmIni.h"
#include "Communication/Ipm/IpmPriv.h"
#include "Communication/Ips/Ips.h"
#include "Platform/PltSocket.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "tests/support/TestOs.h"

namespace iptest {

using Bytes = std::vector<std::uint8_t>;

struct Message {
    std::uint8_t byChannel;
    std::uint8_t byType;
    Bytes data;
};

struct Event {
    std::uint16_t wEvent;
    std::uint8_t bySession;
};

inline std::vector<Message> messages;
inline std::vector<Event> events;
inline std::function<void(std::uint16_t, std::uint8_t)> onEvent;

inline std::uint16_t Capture(std::uint8_t byChannel, std::uint8_t byType, std::uint16_t wLength,
                             const std::uint8_t* pbyData) {
    messages.push_back({byChannel, byType, Bytes(pbyData, pbyData + wLength)});
    return 0;
}

inline void Callback(std::uint16_t wEvent, std::uint8_t bySession) {
    events.push_back({wEvent, bySession});
    if (onEvent) {
        onEvent(wEvent, bySession);
    }
}

inline int CountEvents(std::uint16_t wEvent) {
    int n = 0;
    for (const Event& e : events) {
        n += e.wEvent == wEvent ? 1 : 0;
    }
    return n;
}

inline std::vector<std::string> KeptRecords() {
    std::vector<std::string> records;
    char text[LOGC_RECORD_SIZE];
    for (std::uint16_t mode = LOGC_READ_FIRST; LogReadEntry(mode, text) == 0;
         mode = LOGC_READ_NEXT) {
        records.emplace_back(text);
    }
    return records;
}

// True when a kept record contains the text.
inline bool Logged(const std::string& text) {
    for (const std::string& record : KeptRecords()) {
        if (record.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Lines printed through the event log's output route (failed checks among them) once
// RouteChecks() has set it.
inline std::vector<std::string> printed;
inline int PrintLine(const char* pszText) {
    printed.emplace_back(pszText);
    return 0;
}
inline void RouteChecks() {
    printed.clear();
    static_cast<void>(LogSetRoute(MDSC_TERMINAL_CHANNEL, PrintLine));
}

// Runs scheduler passes until the condition holds or two seconds went by.
inline bool Pump(const std::function<bool()>& done, int nWallMs = 2000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nWallMs);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) {
            return true;
        }
        OssSchedule();
    }
    return done();
}

// Runs a number of scheduler passes.
inline void Passes(int n) {
    for (int i = 0; i < n; ++i) {
        OssSchedule();
    }
}

inline void Advance(std::uint32_t ms) {
    while (ms > 0) {
        const std::uint16_t step = static_cast<std::uint16_t>(ms > 60000 ? 60000 : ms);
        OssAdvanceTime(step);
        ms -= step;
    }
}

// Blocking connect of a raw peer to 127.0.0.1:port; -1 on failure.
inline int PeerConnect(std::uint16_t wPort) {
    const int fd = testos::RawTcpSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        testos::RawClose(fd);
        return -1;
    }
    return fd;
}

// A raw listening socket on 127.0.0.1 (port 0: any); *pwPort receives the port.
inline int PeerListen(std::uint16_t* pwPort) {
    const int fd = testos::RawTcpSocket();
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(*pwPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
        testos::RawClose(fd);
        return -1;
    }
    testos::RawAddressLength len = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    *pwPort = ntohs(address.sin_port);
    return fd;
}

// A port on which nothing listens. It lies below the system's range of ephemeral ports, so a
// connect to it can never meet itself (a socket whose local port equals the target port).
inline std::uint16_t ClosedPort() {
    for (std::uint16_t wPort = 23000; wPort < 24000; ++wPort) {
        std::uint16_t wTry = wPort;
        const int fd = PeerListen(&wTry);
        if (fd >= 0) {
            testos::RawClose(fd);
            return wPort;
        }
    }
    return 0;
}

inline void PeerSend(int fd, const Bytes& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const long n = testos::RawSend(fd, data.data() + sent, data.size() - sent);
        ASSERT_GT(n, 0);
        sent += static_cast<std::size_t>(n);
    }
}

// Reads exactly n bytes, running scheduler passes while waiting (the other side may need them).
inline Bytes PeerReceive(int fd, std::size_t n, int nWallMs = 2000) {
    Bytes data;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nWallMs);
    while (data.size() < n && std::chrono::steady_clock::now() < end) {
        if (testos::RawReadable(fd, 0)) {
            std::uint8_t buffer[4096];
            const std::size_t want = std::min(sizeof buffer, n - data.size());
            const long got = testos::RawRecv(fd, buffer, want);
            if (got <= 0) {
                break;
            }
            data.insert(data.end(), buffer, buffer + got);
        } else {
            OssSchedule();
        }
    }
    return data;
}

// Bytes waiting at the peer after some scheduler passes (none expected usually).
inline std::size_t PeerPending(int fd, int nPasses = 50) {
    Passes(nPasses);
    std::size_t total = 0;
    while (testos::RawReadable(fd, 20)) {
        std::uint8_t buffer[4096];
        const long got = testos::RawRecv(fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return total;
}

// Waits until the session's socket has data to read, so that one pass sees all of it.
inline bool SessionReadable(std::uint8_t bySession, int nWallMs = 1000) {
    return testos::RawReadable(static_cast<int>(IpmSessionForTest(bySession)->tSocket.socketDescr),
                               nWallMs);
}

// Runtime, dispatch, event log, socket layer and session manager ready; clock frozen.
class IpFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        static_cast<void>(OssTerminate());
        static_cast<void>(OssInit());
        OssFreezeTime(1);
        static_cast<void>(LogTerminate());
        static_cast<void>(LogInit());
        LogResetForTest();
        MdsResetForTest();
        static_cast<void>(MdsInit());
        PltSocketRestoreCalls();
        IpsResetForTest();
        ASSERT_EQ(IPSC_OK, IpsInit());
        IpmResetForTest();
        ASSERT_EQ(IPMC_OK, IpmInit());
        messages.clear();
        events.clear();
        onEvent = nullptr;
        for (std::uint8_t type = 0; type <= 22; ++type) {
            static_cast<void>(MdsRegisterMsgHandler(type, Capture));
        }
    }
    void TearDown() override {
        onEvent = nullptr;
        PltSocketRestoreCalls();
        // The real shut-down, so that the guard sees what it leaves (a test that shut down
        // already gets a failed check, printed nowhere).
        static_cast<void>(IpmTerminate());
        IpmResetForTest();
        IpsResetForTest();
        MdsResetForTest();
        LogResetForTest();
        OssFreezeTime(0);
        for (int fd : peerFds) {
            testos::RawClose(fd);
        }
        peerFds.clear();
    }
    int Track(int fd) {
        peerFds.push_back(fd);
        return fd;
    }
    // Opens a listening session on an ephemeral port; *pwPort receives the port.
    std::uint8_t OpenListener(std::int32_t tProtocol, std::uint16_t* pwPort) {
        const std::uint8_t bySession = IpmOpen(0, nullptr, tProtocol, Callback);
        *pwPort =
            bySession == IPMC_NO_SESSION ? 0 : IpsLocalPort(&IpmSessionForTest(bySession)->tSocket);
        return bySession;
    }
    // A raw peer connected to a new listening session; *pbyAccepted receives the accepted
    // session's id.
    int ConnectPeer(std::int32_t tProtocol, std::uint8_t* pbyAccepted) {
        std::uint16_t wPort = 0;
        const std::uint8_t byListen = OpenListener(tProtocol, &wPort);
        EXPECT_NE(IPMC_NO_SESSION, byListen);
        const int fd = Track(PeerConnect(wPort));
        EXPECT_GE(fd, 0);
        EXPECT_TRUE(Pump([] { return CountEvents(IPMC_EVENT_CONNECTED) > 0; }));
        *pbyAccepted = events.empty() ? IPMC_NO_SESSION : events.back().bySession;
        events.clear();
        return fd;
    }
    static std::uint8_t Channel(std::uint8_t bySession) {
        std::uint8_t byChannel = 0;
        EXPECT_EQ(IPMC_OK, IpmGetChannelId(bySession, &byChannel));
        return byChannel;
    }

  private:
    std::vector<int> peerFds;
};

} // namespace iptest
