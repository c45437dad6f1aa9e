// Links as they are in the field: a unit on another port and on IPv6, a serial device by path,
// a unit that drops the connection and comes back, a device that disappears and reappears, calls
// without a link, and a connect that completes late.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/e2e/E2eSupport.h"

namespace {

const std::string kDefinitionFile = TALVO_SOURCE_DIR "/examples/FNID.DEF";
constexpr int kRunLimitMs = 60000;
const std::string kVersionAnswer = "FnId    : 0x0001,  GETVERSION,  OutStruc={ S16 W3  }\n"
                                   "Error   : 0x0000\n"
                                   " String   : SIM";
const std::string kIdentityAnswer = "GETIDENTITY,  OutStruc";

struct Session {
    RunResult result;
    std::string responses; // the response file
};

// Runs talvo_rc with a script that writes its response file, then EXIT.
Session RunScript(const std::string& name, const std::vector<std::string>& linkArgs,
                  const std::string& body, int iLimitMs = kRunLimitMs) {
    WriteFile(TempPath(name + ".SCR"), "RESFILE " + name + ".RES\n" + body + "EXIT\n");
    std::vector<std::string> args = linkArgs;
    args.push_back("-D" + kDefinitionFile);
    args.push_back(name + ".SCR");
    Session session;
    session.result = RunProgram(TALVO_RC_BIN, args, "", iLimitMs, {}, TempDirectory());
    session.responses = ReadFile(TempPath(name + ".RES"));
    return session;
}

// Starts talvo_sim on TCP with the extra arguments; the port it listens on, 0 when it did not.
std::uint16_t StartSim(std::unique_ptr<BackgroundProgram>& rSim,
                       const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--tcp", "-D", kDefinitionFile};
    args.insert(args.end(), extra.begin(), extra.end());
    rSim = std::make_unique<BackgroundProgram>(TALVO_SIM_BIN, args);
    return static_cast<std::uint16_t>(ListeningPort(*rSim));
}

bool HasIpv6Loopback() {
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bOk = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bOk;
}

TEST(LinkTest, UnitOnAnotherPortThroughHostColonPort) {
    std::unique_ptr<BackgroundProgram> sim;
    const std::uint16_t wPort = StartSim(sim, {"--port", "0"});
    ASSERT_NE(0, wPort);
    const std::string host = "-I127.0.0.1:" + std::to_string(wPort);
    const Session session = RunScript("OTHERPORT", {host}, "GETVERSION\n");
    EXPECT_EQ(0, session.result.iExitCode) << session.result.output;
    EXPECT_NE(std::string::npos,
              session.result.output.find("   Host = 127.0.0.1:" + std::to_string(wPort) + "\n"))
        << session.result.output;
    EXPECT_EQ(1u, CountOf(session.responses, kVersionAnswer)) << session.responses;
}

TEST(LinkTest, UnitOnIpv6Loopback) {
    if (!HasIpv6Loopback()) {
        GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    }
    std::unique_ptr<BackgroundProgram> sim;
    const std::uint16_t wPort = StartSim(sim, {"--port", "0", "--listen", "::1"});
    ASSERT_NE(0, wPort) << sim->Output();
    const std::string host = "[::1]:" + std::to_string(wPort);
    const Session session = RunScript("IPV6", {"-I" + host}, "GETVERSION\n");
    EXPECT_EQ(0, session.result.iExitCode) << session.result.output;
    EXPECT_NE(std::string::npos, session.result.output.find("   Host = " + host + "\n"));
    EXPECT_EQ(1u, CountOf(session.responses, kVersionAnswer)) << session.responses;
}

TEST(LinkTest, SerialDeviceByPath) {
    BackgroundProgram sim(TALVO_SIM_BIN, {"--pty", "-D", kDefinitionFile});
    const std::string path = sim.WaitForLine("pty: ", 5000);
    ASSERT_NE("", path);
    const Session session = RunScript("DEVPATH", {"-S" + path + ":19200"}, "GETVERSION\n");
    EXPECT_EQ(0, session.result.iExitCode) << session.result.output;
    EXPECT_NE(std::string::npos,
              session.result.output.find("Using " + path + ": for serial communication\n"))
        << session.result.output;
    EXPECT_EQ(1u, CountOf(session.responses, kVersionAnswer)) << session.responses;
}

TEST(LinkTest, LinkThatCannotBeOpenedSaysSoOnce) {
    const std::string missing = TempPath("no-such-device");
    const Session serial = RunScript("NODEVICE", {"-S" + missing}, "PAUSE 1\nGETVERSION\n");
    EXPECT_EQ(0, serial.result.iExitCode) << serial.result.output;
    EXPECT_EQ(1u, CountOf(serial.result.output,
                          "Can't open " + missing + ": No such file or directory\n"))
        << serial.result.output;
    EXPECT_EQ(1u, CountOf(serial.result.output, "No link: call not sent\n"));

    // Nothing listens on the port: one line, however many retries follow.
    std::unique_ptr<BackgroundProgram> sim;
    const std::uint16_t wPort = StartSim(sim, {"--port", "0"});
    ASSERT_NE(0, wPort);
    sim.reset(); // the port is free again
    const std::string host = "127.0.0.1:" + std::to_string(wPort);
    const Session tcp = RunScript("REFUSED", {"-I" + host}, "PAUSE 5\nGETVERSION\n");
    EXPECT_EQ(0, tcp.result.iExitCode) << tcp.result.output;
    EXPECT_EQ(1u, CountOf(tcp.result.output, "Can't connect to " + host +
                                                 ": Connection refused, retrying every 2 s\n"))
        << tcp.result.output;
    EXPECT_EQ(1u, CountOf(tcp.result.output, "No link: call not sent\n"));
}

TEST(LinkTest, NameThatDoesNotResolveIsOneLine) {
    const Session session =
        RunScript("NONAME", {"-Ino-such-unit.invalid:9452"}, "PAUSE 3\nGETVERSION\n");
    EXPECT_EQ(0, session.result.iExitCode) << session.result.output;
    EXPECT_EQ(1u, CountOf(session.result.output, "Can't connect to no-such-unit.invalid:9452: "))
        << session.result.output;
}

TEST(LinkTest, CallAfterALossWithoutReconnectSaysNoLink) {
    std::unique_ptr<BackgroundProgram> sim;
    const std::uint16_t wPort = StartSim(sim, {"--port", "0", "--close-after", "1"});
    ASSERT_NE(0, wPort);
    const Session session = RunScript("NOLINK", {"-I127.0.0.1:" + std::to_string(wPort)},
                                      "GETVERSION\nPAUSE 2\nGETTIME\n", 20000);
    EXPECT_FALSE(session.result.bTimedOut) << session.result.output;
    EXPECT_EQ(0, session.result.iExitCode);
    // The request display, then the line; in the response file too.
    EXPECT_NE(std::string::npos,
              session.result.output.find(
                  "FnId    : 0x0005,  StructToSend={ -  }\nNo link: call not sent\n"))
        << session.result.output;
    EXPECT_EQ(1u, CountOf(session.responses, "No link: call not sent\n")) << session.responses;
}

TEST(LinkTest, ReconnectBringsTheUnitBackAfterItRestarts) {
    std::unique_ptr<BackgroundProgram> sim;
    const std::uint16_t wPort = StartSim(sim, {"--port", "0", "--close-after", "1"});
    ASSERT_NE(0, wPort);
    const std::string port = std::to_string(wPort);
    std::atomic<bool> bRestarted{false};
    // The unit goes away after its first answer and comes back 3 s later on the same port.
    std::thread restarter([&] {
        sim->WaitFor("closing", 20000);
        sim.reset();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        StartSim(sim, {"--port", port});
        bRestarted = true;
    });
    const Session session = RunScript("RECONNECT", {"-R", "-I127.0.0.1:" + port},
                                      "GETVERSION\nPAUSE 1\nGETIDENTITY\nLOG VIEW\n", 30000);
    restarter.join();
    EXPECT_TRUE(bRestarted);
    EXPECT_FALSE(session.result.bTimedOut) << session.result.output;
    EXPECT_EQ(0, session.result.iExitCode);
    // The tool may reach the first unit once more before it is stopped: a loss more then.
    const std::size_t wLosses = CountOf(session.responses, "Link lost: reconnecting every 2 s\n");
    EXPECT_GE(wLosses, 1u) << session.responses;
    // The first established line comes before the script opens its response file.
    EXPECT_EQ(wLosses + 1,
              CountOf(session.result.output + session.responses, "TCP/IP Connection Established"))
        << session.responses;
    EXPECT_EQ(1u, CountOf(session.responses, kIdentityAnswer)) << session.responses;
    EXPECT_EQ(0u, CountOf(session.result.output, "No link: call not sent"));
    // The tries are counted in the event log.
    EXPECT_NE(std::string::npos, session.result.output.find("AppLink : 0x0001;Reconnect try 1: "))
        << session.result.output;
    EXPECT_NE(std::string::npos, session.result.output.find("Link back after "));
}

// A USB serial adapter unplugged and plugged back: the device path (a symbolic link here, as
// udev makes them) points at a new pseudo-terminal once the unit is back.
void UnplugAndPlugBack(const std::string& protocol, const std::string& toolOption) {
    const std::string link = TempPath("ttyUNIT");
    const std::vector<std::string> simArgs = {"--pty", "--protocol", protocol, "-D",
                                              kDefinitionFile};
    auto sim = std::make_unique<BackgroundProgram>(TALVO_SIM_BIN, simArgs);
    const std::string first = sim->WaitForLine("pty: ", 5000);
    ASSERT_NE("", first);
    std::remove(link.c_str());
    ASSERT_EQ(0, symlink(first.c_str(), link.c_str()));
    std::atomic<bool> bBack{false};
    std::thread unplug([&] {
        sim->WaitFor("-> RFS_RESPONSE", 10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the answer is through
        sim.reset(); // unplugged: the pseudo-terminal is gone
        std::remove(link.c_str());
        std::this_thread::sleep_for(std::chrono::seconds(3));
        sim = std::make_unique<BackgroundProgram>(TALVO_SIM_BIN, simArgs);
        const std::string second = sim->WaitForLine("pty: ", 5000);
        bBack = !second.empty() && symlink(second.c_str(), link.c_str()) == 0;
    });
    // The calls after the unplug wait for the device to come back.
    const Session session = RunScript("SERIALBACK", {"-R", "-S" + link, toolOption},
                                      "GETVERSION\nPAUSE 2\nGETTIME\nGETIDENTITY\n", 40000);
    unplug.join();
    std::remove(link.c_str());
    EXPECT_TRUE(bBack);
    EXPECT_FALSE(session.result.bTimedOut) << session.result.output << session.responses;
    EXPECT_EQ(0, session.result.iExitCode);
    EXPECT_EQ(1u, CountOf(session.responses, kVersionAnswer)) << session.responses;
    EXPECT_EQ(1u, CountOf(session.responses, "Link lost: reconnecting every 2 s\n"))
        << session.responses;
    EXPECT_EQ(1u, CountOf(session.responses, kIdentityAnswer)) << session.responses;
}

TEST(LinkTest, ReconnectReopensASerialDeviceThatCameBackFull) {
    UnplugAndPlugBack("full", "-PF");
}

// The Simple framing has no link events: the device that went away is noticed by the link task.
TEST(LinkTest, ReconnectReopensASerialDeviceThatCameBackSimple) {
    UnplugAndPlugBack("simple", "-PS");
}

// A listening socket on 127.0.0.1 with an accept queue of one; *pwPort gets its port.
int ListenWithShortQueue(std::uint16_t* pwPort) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    *pwPort = ntohs(address.sin_port);
    return fd;
}

int ConnectLoopback(std::uint16_t wPort, bool bBlocking) {
    const int fd = socket(AF_INET, SOCK_STREAM | (bBlocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && bBlocking) {
        close(fd);
        return -1;
    }
    return fd;
}

// Copies bytes both ways between two sockets until one side closes.
void Relay(int fdA, int fdB) {
    std::uint8_t buffer[4096];
    for (;;) {
        pollfd fds[2] = {{fdA, POLLIN, 0}, {fdB, POLLIN, 0}};
        if (poll(fds, 2, 20000) <= 0) {
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0 || write(fds[1 - i].fd, buffer, static_cast<std::size_t>(n)) != n) {
                return;
            }
        }
    }
}

// The start-up script's first call went to a socket whose connect had not completed and was lost;
// the script then waited for its answer for ever. The unit's accept queue is full when the tool
// connects, so its connect completes only on the SYN retransmission, about 1 s later.
TEST(LinkTest, FirstScriptCallWaitedForASlowConnect) {
    std::unique_ptr<BackgroundProgram> sim;
    const std::uint16_t wSimPort = StartSim(sim, {"--port", "0"});
    ASSERT_NE(0, wSimPort);
    std::uint16_t wPort = 0;
    const int listener = ListenWithShortQueue(&wPort);
    ASSERT_GE(listener, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(ConnectLoopback(wPort, false));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the queue is full now
    std::thread unit([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // Room in the queue: the tool's retransmitted SYN gets in. The fillers are taken out.
        // Never blocks: a tool that does not connect leaves the loop at its deadline.
        auto acceptWithin = [listener](int iMs) {
            pollfd pfd{listener, POLLIN, 0};
            return poll(&pfd, 1, iMs) == 1 ? accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)
                                           : -1;
        };
        for (std::size_t i = 0; i < fillers.size(); ++i) {
            const int fd = acceptWithin(100);
            if (fd >= 0) {
                close(fd);
            }
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int tool = -1;
        while (tool < 0 && std::chrono::steady_clock::now() < deadline) {
            const int fd = acceptWithin(100);
            if (fd < 0) {
                continue;
            }
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len);
            bool bFiller = false;
            for (const int filler : fillers) {
                sockaddr_in local{};
                socklen_t localLen = sizeof local;
                getsockname(filler, reinterpret_cast<sockaddr*>(&local), &localLen);
                bFiller = bFiller || local.sin_port == peer.sin_port;
            }
            if (bFiller) {
                close(fd);
            } else {
                tool = fd;
            }
        }
        const int toSim = ConnectLoopback(wSimPort, true);
        if (tool >= 0 && toSim >= 0) {
            Relay(tool, toSim);
        }
        close(tool);
        close(toSim);
    });
    const auto start = std::chrono::steady_clock::now();
    const Session session =
        RunScript("SLOWCONNECT", {"-I127.0.0.1:" + std::to_string(wPort)}, "GETVERSION\n", 20000);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    unit.join();
    for (const int filler : fillers) {
        close(filler);
    }
    close(listener);
    EXPECT_FALSE(session.result.bTimedOut) << session.result.output;
    EXPECT_EQ(0, session.result.iExitCode);
    EXPECT_EQ(1u, CountOf(session.responses, kVersionAnswer)) << session.result.output;
    EXPECT_GE(elapsed, std::chrono::milliseconds(700)); // the connect really was late
}

} // namespace
