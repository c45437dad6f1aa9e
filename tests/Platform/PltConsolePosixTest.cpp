#include "Platform/PltConsole.h"
#include "Platform/Posix/PltSys.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class PltConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override { PltConsoleResetForTest(); }
    void TearDown() override {
        PltConsoleResetForTest();
        PltConsoleUseInputForTest(-1);
        for (int fd : fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    // Input from a pipe holding the text, its write end closed when bEnd is set.
    void PipeInput(const std::string& text, bool bEnd) {
        ASSERT_EQ(0, pipe(fds));
        ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fds[1], text.data(), text.size()));
        if (bEnd) {
            close(fds[1]);
            fds[1] = -1;
        }
        PltConsoleUseInputForTest(fds[0]);
    }

    // All keys that can be read now.
    static std::string Keys() {
        std::string keys;
        while (PltConsoleKeyWaiting()) {
            keys.push_back(static_cast<char>(PltConsoleReadKey()));
        }
        return keys;
    }

    int fds[2] = {-1, -1};
};

TEST_F(PltConsoleTest, PipeLineEndsEachGiveOneEnter) {
    PipeInput("A\r\nB\nC\rD", true);
    EXPECT_EQ("A\rB\rC\rD\r", Keys()); // the last line gets its Enter at the end of the input
    EXPECT_TRUE(PltConsoleAtEnd());
    EXPECT_EQ(-1, PltConsoleInputFd());
    EXPECT_EQ(PLTC_KEY_NONE, PltConsoleReadKey());
}

TEST_F(PltConsoleTest, OpenPipeWithoutDataHasNoKeyAndIsNotAtEnd) {
    PipeInput("", false);
    EXPECT_FALSE(PltConsoleKeyWaiting());
    EXPECT_FALSE(PltConsoleAtEnd());
    EXPECT_EQ(fds[0], PltConsoleInputFd());
}

TEST_F(PltConsoleTest, EmptyInputEndsWithoutKeys) {
    PipeInput("", true);
    EXPECT_EQ("", Keys());
    EXPECT_TRUE(PltConsoleAtEnd());
}

ssize_t InterruptedRead(int, void*, size_t) {
    errno = EINTR;
    return -1;
}
ssize_t FailingRead(int, void*, size_t) {
    errno = EIO;
    return -1;
}

TEST_F(PltConsoleTest, InterruptedReadLosesNoKey) {
    PipeInput("K", false);
    PltSysTable().pfRead = InterruptedRead;
    EXPECT_FALSE(PltConsoleKeyWaiting());
    EXPECT_FALSE(PltConsoleAtEnd());
    PltSysTable().pfRead = ::read;
    EXPECT_EQ("K", Keys());
}

TEST_F(PltConsoleTest, ReadErrorEndsTheInput) {
    PipeInput("K", false);
    PltSysTable().pfRead = FailingRead;
    EXPECT_FALSE(PltConsoleKeyWaiting());
    EXPECT_TRUE(PltConsoleAtEnd());
}

TEST_F(PltConsoleTest, PipeInputIsNotSwitchedToRaw) {
    PipeInput("", false);
    ASSERT_EQ(0, PltConsoleOpen());
    EXPECT_FALSE(PltConsoleIsRaw());
    PltConsoleClose();
}

class PltConsoleTerminalTest : public PltConsoleTest {
  protected:
    void SetUp() override {
        PltConsoleTest::SetUp();
        ASSERT_EQ(0, openpty(&master, &slave, nullptr, nullptr, nullptr));
        ASSERT_EQ(0, tcgetattr(slave, &before));
        PltConsoleUseInputForTest(slave);
    }
    void TearDown() override {
        PltConsoleTest::TearDown();
        close(master);
        close(slave);
    }
    int master = -1;
    int slave = -1;
    termios before{};
};

TEST_F(PltConsoleTerminalTest, TerminalIsRawWhileOpenAndRestoredAfter) {
    ASSERT_EQ(0, PltConsoleOpen());
    EXPECT_TRUE(PltConsoleIsRaw());
    termios raw{};
    ASSERT_EQ(0, tcgetattr(slave, &raw));
    EXPECT_EQ(0u, raw.c_lflag & (ECHO | ICANON));
    EXPECT_EQ(0u, raw.c_iflag & ICRNL);
    EXPECT_NE(0u, raw.c_lflag & ISIG);  // Ctrl-C still signals
    EXPECT_NE(0u, raw.c_oflag & OPOST); // "\n" still starts a new line on the screen

    ASSERT_EQ(3, write(master, "ab\r", 3));
    usleep(20000);
    EXPECT_EQ("ab\r", Keys()); // available at once, without waiting for a line
    pollfd echo{master, POLLIN, 0};
    EXPECT_EQ(0, poll(&echo, 1, 0)); // the terminal echoed nothing

    PltConsoleClose();
    EXPECT_FALSE(PltConsoleIsRaw());
    termios after{};
    ASSERT_EQ(0, tcgetattr(slave, &after));
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
}

int FailingSetattr(int, int, const termios*) {
    errno = EIO;
    return -1;
}

TEST_F(PltConsoleTerminalTest, RefusedRawModeLeavesTheTerminalAsItWas) {
    PltSysTable().pfTcsetattr = FailingSetattr;
    ASSERT_EQ(0, PltConsoleOpen());
    EXPECT_FALSE(PltConsoleIsRaw());
    PltConsoleClose();
    termios after{};
    ASSERT_EQ(0, tcgetattr(slave, &after));
    EXPECT_EQ(before.c_lflag, after.c_lflag);
}

// Local modes of the terminal, polled until they have the wanted echo bit or time runs out.
tcflag_t WaitForEcho(int iFd, tcflag_t wanted) {
    termios modes{};
    for (int tries = 0; tries < 200; ++tries) {
        tcgetattr(iFd, &modes);
        if ((modes.c_lflag & ECHO) == wanted) {
            break;
        }
        usleep(5000);
    }
    return modes.c_lflag & ECHO;
}

TEST_F(PltConsoleTerminalTest, CtrlZHandsTheShellItsModesAndFgTakesRawInputBack) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setpgid(0, 0); // its own process group, so that the stop is not discarded
        ASSERT_EQ(0, PltConsoleOpen());
        std::raise(SIGTSTP);
        for (;;) {
            pause();
        }
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, WUNTRACED));
    EXPECT_TRUE(WIFSTOPPED(status));
    EXPECT_EQ(before.c_lflag & ECHO, WaitForEcho(slave, before.c_lflag & ECHO));
    kill(child, SIGCONT);
    EXPECT_EQ(0u, WaitForEcho(slave, 0));
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
}

// In a shell without job control the stop of Ctrl-Z is discarded (the process group is orphaned)
// and no SIGCONT follows: the terminal used to stay cooked while the program read raw keys, so
// that every line echoed twice.
TEST_F(PltConsoleTerminalTest, CtrlZWithoutJobControlKeepsRawInput) {
    int ready[2] = {-1, -1};
    ASSERT_EQ(0, pipe(ready));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setsid(); // a session of its own: nobody can continue a stopped process group
        ASSERT_EQ(0, PltConsoleOpen());
        std::raise(SIGTSTP);
        (void)!write(ready[1], "x", 1);
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    pollfd done{ready[0], POLLIN, 0};
    EXPECT_EQ(1, poll(&done, 1, 5000)); // the program goes on at once
    EXPECT_EQ(0u, WaitForEcho(slave, 0));
    int status = 0;
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    close(ready[0]);
}

TEST_F(PltConsoleTest, FailedConsoleOutputIsAStopRequest) {
    PipeInput("", false);
    int sink[2] = {-1, -1};
    ASSERT_EQ(0, pipe(sink));
    std::FILE* pOut = fdopen(sink[1], "w");
    ASSERT_NE(nullptr, pOut);
    PltConsoleUseOutputForTest(pOut);
    ASSERT_EQ(0, PltConsoleOpen());
    close(sink[0]); // the reader is gone, as after "| head -1"
    PltConsoleWriteChar('x');
    PltConsoleFlush(); // would end the test program with SIGPIPE, were it not ignored
    EXPECT_EQ(SIGPIPE, PltConsoleStopSignal());
    PltConsoleClose();
    PltConsoleUseOutputForTest(nullptr);
    std::fclose(pOut);
}

TEST_F(PltConsoleTest, StopSignalIsRecordedAndHandlersRestoredAtClose) {
    PipeInput("", false);
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGINT, nullptr, &previous));
    ASSERT_EQ(0, PltConsoleOpen());
    ASSERT_EQ(0, std::raise(SIGINT)); // would end the test program without the handler
    EXPECT_EQ(SIGINT, PltConsoleStopSignal());
    PltConsoleClose();
    struct sigaction current {};
    ASSERT_EQ(0, sigaction(SIGINT, nullptr, &current));
    EXPECT_EQ(previous.sa_handler, current.sa_handler);
}

} // namespace
