// talvo_rc at a real terminal (a pseudo-terminal): raw keyboard input while it runs, and the
// terminal restored on every way out.
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/e2e/E2eSupport.h"

namespace {

const std::string kDefinitions = std::string("-D") + TALVO_SOURCE_DIR "/examples/FNID.DEF";

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
    // Starts talvo_rc at a pseudo-terminal with the console's history in historyFile.
    void Start(const std::string& historyFile = "", const std::string& com2 = "/nonexistent/com2",
               const std::vector<std::string>& extraArgs = {}) {
        m_output.clear();
        winsize size{};
        size.ws_col = 100;
        size.ws_row = 40;
        m_pid = forkpty(&m_master, nullptr, nullptr, &size);
        ASSERT_GE(m_pid, 0);
        if (m_pid == 0) {
            setenv("TALVO_RC_COM2", com2.c_str(), 1);
            setenv("TALVO_RC_HISTORY", historyFile.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(TALVO_RC_BIN),
                                    const_cast<char*>(kDefinitions.c_str())};
            for (const std::string& arg : extraArgs) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            execv(TALVO_RC_BIN, argv.data());
            _exit(127);
        }
        ASSERT_TRUE(WaitForOutput("Function ==> ", 10000)) << m_output;
    }
    void TearDown() override { Kill(); }
    void Kill() {
        if (m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
        if (m_master >= 0) {
            close(m_master);
            m_master = -1;
        }
    }
    // Output from here on only.
    void Forget() { m_output.clear(); }
    bool WaitForOutput(const std::string& text, int iTimeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
        while (m_output.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            pollfd pfd{m_master, POLLIN, 0};
            if (poll(&pfd, 1, 20) == 1) {
                char buffer[1024];
                const ssize_t n = read(m_master, buffer, sizeof buffer);
                if (n <= 0) {
                    return false;
                }
                m_output.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return true;
    }
    termios Modes() {
        termios modes{};
        tcgetattr(m_master, &modes);
        return modes;
    }
    // The exit status, or -1 when the program was killed or did not end in time.
    int WaitForExit() {
        for (int i = 0; i < 1000; ++i) {
            int iStatus = 0;
            // Keep the terminal drained; once the program has closed it, reads fail at once, so
            // the loop sleeps on its own.
            WaitForOutput("\x01", 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (waitpid(m_pid, &iStatus, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
            }
        }
        return -1;
    }
    void Type(const std::string& keys) { (void)!write(m_master, keys.data(), keys.size()); }

    pid_t m_pid = -1;
    int m_master = -1;
    std::string m_output;
};

TEST_F(ConsoleTest, KeysAreRawWhileRunningAndTheTerminalIsRestoredAfterExit) {
    Start();
    const termios running = Modes();
    EXPECT_EQ(0u, running.c_lflag & ECHO);
    EXPECT_EQ(0u, running.c_lflag & ICANON);
    EXPECT_NE(0u, running.c_lflag & ISIG); // Ctrl-C still signals
    // Typed characters come back once, from the program's own echo; backspace edits the line.
    Type("HELPX\x7f\r");
    ASSERT_TRUE(WaitForOutput("Commands present in the system:", 5000)) << m_output;
    Type("EXIT\r");
    EXPECT_EQ(0, WaitForExit());
    const termios after = Modes();
    EXPECT_NE(0u, after.c_lflag & ECHO);
    EXPECT_NE(0u, after.c_lflag & ICANON);
}

TEST_F(ConsoleTest, CtrlCEndsThroughTheNormalShutDown) {
    Start();
    Type("\x03"); // the terminal turns it into SIGINT
    EXPECT_EQ(0, WaitForExit());
    EXPECT_NE(0u, Modes().c_lflag & ECHO);
}

TEST_F(ConsoleTest, CtrlBackslashEndsThroughTheNormalShutDown) {
    Start();
    Type("\x1c"); // the terminal turns it into SIGQUIT, which used to leave the terminal raw
    EXPECT_EQ(0, WaitForExit());
    EXPECT_NE(0u, Modes().c_lflag & ECHO);
    EXPECT_NE(0u, Modes().c_lflag & ICANON);
}

TEST_F(ConsoleTest, SigtermEndsThroughTheNormalShutDown) {
    Start();
    kill(m_pid, SIGTERM);
    EXPECT_EQ(0, WaitForExit());
    EXPECT_NE(0u, Modes().c_lflag & ICANON);
}

TEST_F(ConsoleTest, RecalledAndEditedLinesRunAndTheHistorySurvivesARestart) {
    const std::string history = TempPath("console.history");
    std::remove(history.c_str());
    Start(history);
    Type("TERMTYPE 5\r");
    ASSERT_TRUE(WaitForOutput("Terminal type set to value: 5", 5000)) << m_output;
    Type("\x1b[A\x1b[D7\r"); // Up, edit in the middle of the line, run
    ASSERT_TRUE(WaitForOutput("Terminal type set to value: 75", 5000)) << m_output;
    Type("EXIT\r");
    EXPECT_EQ(0, WaitForExit());
    EXPECT_EQ("TERMTYPE 5\nTERMTYPE 75\nEXIT\n", ReadFile(history));
    struct stat tStat {};
    ASSERT_EQ(0, stat(history.c_str(), &tStat));
    EXPECT_EQ(0600u, tStat.st_mode & 0777u); // what was typed is the user's own
    Kill();

    Start(history);
    Type("\x1b[A\x1b[A\r");
    EXPECT_TRUE(WaitForOutput("Terminal type set to value: 75", 5000)) << m_output;
}

TEST_F(ConsoleTest, LongHistoryFileIsCutBackToTheKeptLines) {
    const std::string history = TempPath("long.history");
    std::string lines;
    for (int i = 0; i < 2500; ++i) {
        lines += "TERMTYPE " + std::to_string(i) + "\n";
    }
    WriteFile(history, lines);
    Start(history);
    const std::string kept = ReadFile(history);
    EXPECT_EQ(1000u, CountOf(kept, "\n"));
    EXPECT_EQ(0u, kept.find("TERMTYPE 1500\n"));
    Type("\x1b[A\r"); // TERMTYPE 2499: its low byte
    EXPECT_TRUE(WaitForOutput("Terminal type set to value: 195", 5000)) << m_output;
}

TEST_F(ConsoleTest, UnwritableHistoryFileIsReportedOnceAndTheConsoleGoesOn) {
    Start("/nonexistent/dir/history");
    Type("TERMTYPE 1\r");
    ASSERT_TRUE(WaitForOutput("Terminal type set to value: 1", 5000)) << m_output;
    Type("TERMTYPE 2\r");
    ASSERT_TRUE(WaitForOutput("Terminal type set to value: 2", 5000)) << m_output;
    EXPECT_EQ(1u, CountOf(m_output, "History file /nonexistent/dir/history cannot be written"));
    Forget();
    Type("\x1b[A\r"); // the history of this run still works
    EXPECT_TRUE(WaitForOutput("Terminal type set to value: 2\r\n\r\nFunction", 5000)) << m_output;
}

TEST_F(ConsoleTest, TabCompletesCommandsAndFunctionsListsThemAndHints) {
    Start();
    Type("termt\t");
    ASSERT_TRUE(WaitForOutput("Function ==> TERMTYPE ", 5000)) << m_output;
    Type("\x15getv\t");
    ASSERT_TRUE(WaitForOutput("Function ==> GETVERSION ", 5000)) << m_output;
    Type("\x15seto\t");
    ASSERT_TRUE(WaitForOutput("Function ==> SETOUTPUT", 5000)) << m_output;
    Forget();
    Type("\t");
    ASSERT_TRUE(WaitForOutput("SETOUTPUT   SETOUTPUTS\r", 5000)) << m_output;
    Type(" \t");
    ASSERT_TRUE(WaitForOutput("SETOUTPUT { B B", 5000)) << m_output;
    Type("\x15protocol st\t");
    EXPECT_TRUE(WaitForOutput("Function ==> protocol STATISTICS ", 5000)) << m_output;
}

TEST_F(ConsoleTest, CtrlCCancelsACallWaitingForArgumentsAndCtrlDExits) {
    Start();
    Type("SETOUTPUT\r");
    ASSERT_TRUE(WaitForOutput("Expecting more", 5000)) << m_output;
    Type("\x03");
    ASSERT_TRUE(WaitForOutput("Cancelled, nothing sent\r\nFunction ==> ", 5000)) << m_output;
    Type("ECHO ab");
    ASSERT_TRUE(WaitForOutput("ECHO ab", 5000)) << m_output;
    Type("\x03"); // a partly typed line is emptied
    ASSERT_TRUE(WaitForOutput("^C\r", 5000)) << m_output;
    Type("TERMTYPE 3\r");
    ASSERT_TRUE(WaitForOutput("Terminal type set to value: 3", 5000)) << m_output;
    Type("\x04");
    EXPECT_EQ(0, WaitForExit());
}

TEST_F(ConsoleTest, PartlyTypedLineIsDrawnAgainAfterCtrlZAndFg) {
    Start();
    Type("ECHO ab");
    ASSERT_TRUE(WaitForOutput("ECHO ab", 5000)) << m_output;
    Forget();
    kill(m_pid, SIGTSTP);
    kill(m_pid, SIGCONT);
    ASSERT_TRUE(WaitForOutput("\r\x1b[JFunction ==> ECHO ab", 5000)) << m_output;
    Type("\x15TERMTYPE 4\r"); // the visible line is the line that runs
    EXPECT_TRUE(WaitForOutput("Terminal type set to value: 4", 5000)) << m_output;
}

TEST_F(ConsoleTest, NotificationWhileALineIsHalfTypedIsPrintedAboveTheRedrawnLine) {
    BackgroundProgram sim(TALVO_SIM_BIN,
                          {"--pty", "--notify", "1", "-D", TALVO_SOURCE_DIR "/examples/FNID.DEF"});
    const std::string pty = sim.WaitForLine("pty: ", 5000);
    ASSERT_NE("", pty) << sim.Output();
    Start("", pty);
    Type("SETOUT");
    ASSERT_TRUE(WaitForOutput("SETOUT", 5000)) << m_output;
    Forget();
    ASSERT_TRUE(WaitForOutput("PC_NOTIFY", 10000)) << m_output;
    // The line is drawn again after the display.
    ASSERT_TRUE(WaitForOutput("\r\n\r\x1b[JFunction ==> SETOUT", 5000)) << m_output;
    Type("PUT 3 1\r");
    EXPECT_TRUE(WaitForOutput("FnId    : 0x0010,  SETOUTPUT,  OutStruc", 10000)) << m_output;
}

// Standard output piped into "head -1": once head has gone, the next write used to kill the
// program with SIGPIPE and leave the terminal raw. The failed write now ends it normally.
TEST(ConsolePipeTest, ClosedOutputPipeEndsThroughTheNormalShutDown) {
    std::signal(SIGPIPE, SIG_IGN);
    int master = -1;
    int slave = -1;
    ASSERT_EQ(0, openpty(&master, &slave, nullptr, nullptr, nullptr));
    int out[2] = {-1, -1};
    ASSERT_EQ(0, pipe(out));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setsid();
        dup2(slave, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(master);
        close(out[0]);
        setenv("TALVO_RC_COM2", "/nonexistent/com2", 1);
        execl(TALVO_RC_BIN, TALVO_RC_BIN, kDefinitions.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // The first line, as head -1 reads it; then the reader goes away.
    std::string first;
    char c = 0;
    while (first.find('\n') == std::string::npos && read(out[0], &c, 1) == 1) {
        first += c;
    }
    EXPECT_EQ(0u, first.rfind("Talvo RC version", 0)) << first;
    termios running{};
    for (int i = 0; i < 500 && tcgetattr(slave, &running) == 0 && (running.c_lflag & ICANON) != 0;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(0u, running.c_lflag & ICANON); // raw input while it runs
    close(out[0]);
    (void)!write(master, "HELP\r", 5); // its output goes to the closed pipe
    int status = 0;
    bool exited = false;
    for (int i = 0; i < 500 && !exited; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        exited = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(exited);
    EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    termios after{};
    tcgetattr(slave, &after);
    EXPECT_NE(0u, after.c_lflag & ECHO);
    EXPECT_NE(0u, after.c_lflag & ICANON);
    close(master);
    close(slave);
}

} // namespace
