#include "tests/e2e/E2eSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

// Starts the program with stdout+stderr on a pipe; stdin from inFd (or /dev/null when -1).
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, int inFd, int& rOutFd,
            const std::vector<std::string>& env, const std::string& cwd = "") {
    int outPipe[2];
    if (pipe(outPipe) != 0) {
        return -1;
    }
    // A program that ends before reading its input must not kill the test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<char*> argv = Argv(program, args);
    const pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGPIPE, SIG_DFL);
        const int nullFd = open("/dev/null", O_RDONLY);
        dup2(inFd >= 0 ? inFd : nullFd, STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(outPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(outPipe[1]);
        for (const std::string& entry : env) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        setpgid(0, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        return -1;
    }
    rOutFd = outPipe[0];
    fcntl(rOutFd, F_SETFL, fcntl(rOutFd, F_GETFL) | O_NONBLOCK);
    return pid;
}

bool ReadAvailable(int fd, std::string& rOutput, int iWaitMs) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, iWaitMs) <= 0) {
        return true;
    }
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        rOutput.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

int ExitStatus(int iStatus) {
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
}

} // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input, int iTimeoutMs, const std::vector<std::string>& env,
                     const std::string& cwd) {
    RunResult result;
    int inPipe[2];
    if (pipe(inPipe) != 0) {
        return result;
    }
    int outFd = -1;
    const pid_t pid = Spawn(program, args, inPipe[0], outFd, env, cwd);
    close(inPipe[0]);
    if (pid < 0) {
        close(inPipe[1]);
        return result;
    }
    // The input is small; writing it before reading cannot fill the pipe.
    const char* pData = input.data();
    std::size_t left = input.size();
    while (left > 0) {
        const ssize_t n = write(inPipe[1], pData, left);
        if (n <= 0) {
            break;
        }
        pData += n;
        left -= static_cast<std::size_t>(n);
    }
    close(inPipe[1]);

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    int iStatus = 0;
    bool bExited = false;
    while (!bExited) {
        const bool bOpen = ReadAvailable(outFd, result.output, 20);
        if (waitpid(pid, &iStatus, WNOHANG) == pid) {
            bExited = true;
        } else if (MillisecondsLeft(deadline) == 0) {
            result.bTimedOut = true;
            kill(-pid, SIGKILL);
            waitpid(pid, &iStatus, 0);
            break;
        } else if (!bOpen) {
            usleep(1000);
        }
    }
    // Whatever the program wrote before it ended is still in the pipe.
    const Clock::time_point drainEnd = Clock::now() + std::chrono::milliseconds(500);
    while (MillisecondsLeft(drainEnd) > 0) {
        const std::size_t before = result.output.size();
        if (!ReadAvailable(outFd, result.output, 10) || result.output.size() == before) {
            break;
        }
    }
    close(outFd);
    result.iExitCode = result.bTimedOut ? -1 : ExitStatus(iStatus);
    return result;
}

BackgroundProgram::BackgroundProgram(const std::string& program,
                                     const std::vector<std::string>& args,
                                     const std::vector<std::string>& env, bool bInput) {
    int inPipe[2] = {-1, -1};
    if (bInput && pipe(inPipe) != 0) {
        return;
    }
    m_pid = Spawn(program, args, inPipe[0], m_fd, env);
    if (bInput) {
        close(inPipe[0]);
        m_inFd = inPipe[1];
    }
}

bool BackgroundProgram::Send(const std::string& text) {
    return m_inFd >= 0 &&
           write(m_inFd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void BackgroundProgram::Mark() {
    Collect(0);
    m_markPos = m_output.size();
    m_countPos = m_markPos;
    m_counted = 0;
}

bool BackgroundProgram::WaitForCount(const std::string& text, std::size_t count, int iTimeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    for (;;) {
        for (std::size_t pos = m_output.find(text, m_countPos); pos != std::string::npos;
             pos = m_output.find(text, m_countPos)) {
            ++m_counted;
            m_countPos = pos + text.size();
        }
        if (m_output.size() > m_countPos + text.size()) {
            m_countPos = m_output.size() - text.size();
        }
        if (m_counted >= count) {
            return true;
        }
        if (MillisecondsLeft(deadline) == 0) {
            return false;
        }
        Collect(20);
    }
}

BackgroundProgram::~BackgroundProgram() {
    Stop();
}

void BackgroundProgram::Collect(int iWaitMs) {
    if (m_fd >= 0) {
        ReadAvailable(m_fd, m_output, iWaitMs);
    }
}

std::string BackgroundProgram::WaitFor(const std::string& text, int iTimeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    while (m_output.find(text) == std::string::npos) {
        if (MillisecondsLeft(deadline) == 0) {
            return "";
        }
        Collect(20);
    }
    return m_output;
}

std::string BackgroundProgram::WaitForLine(const std::string& prefix, int iTimeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    for (;;) {
        const std::size_t start = ("\n" + m_output).find("\n" + prefix);
        const std::size_t end =
            start == std::string::npos ? std::string::npos : m_output.find('\n', start);
        if (end != std::string::npos) {
            return m_output.substr(start + prefix.size(), end - start - prefix.size());
        }
        if (MillisecondsLeft(deadline) == 0) {
            return "";
        }
        Collect(20);
    }
}

std::string BackgroundProgram::Output() {
    Collect(0);
    return m_output;
}

int BackgroundProgram::Stop() {
    if (m_pid <= 0) {
        return -1;
    }
    kill(m_pid, SIGTERM);
    int iStatus = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(2000);
    bool bExited = false;
    while (!bExited && MillisecondsLeft(deadline) > 0) {
        Collect(10);
        bExited = waitpid(m_pid, &iStatus, WNOHANG) == m_pid;
    }
    if (!bExited) {
        kill(-m_pid, SIGKILL);
        waitpid(m_pid, &iStatus, 0);
    }
    Collect(0);
    close(m_fd);
    if (m_inFd >= 0) {
        close(m_inFd);
        m_inFd = -1;
    }
    m_fd = -1;
    m_pid = -1;
    return bExited ? ExitStatus(iStatus) : -1;
}

std::string TempDirectory() {
    static std::string directory;
    if (directory.empty()) {
        char templ[] = "/tmp/talvo_e2e_XXXXXX";
        const char* pszDir = mkdtemp(templ);
        directory = pszDir != nullptr ? pszDir : "/tmp";
    }
    return directory;
}

std::string TempPath(const std::string& name) {
    return TempDirectory() + "/" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
}

std::size_t CountOf(const std::string& haystack, const std::string& text) {
    std::size_t count = 0;
    for (std::size_t pos = haystack.find(text); pos != std::string::npos;
         pos = haystack.find(text, pos + text.size())) {
        ++count;
    }
    return count;
}

std::string FramingName::operator()(
    const ::testing::TestParamInfo<std::pair<const char*, const char*>>& info) const {
    std::string name = info.param.first;
    if (!name.empty() && name[0] >= 'a' && name[0] <= 'z') {
        name[0] = static_cast<char>(name[0] - 'a' + 'A');
    }
    return name;
}

unsigned ListeningPort(BackgroundProgram& rSim, int iTimeoutMs) {
    const std::string port = rSim.WaitForLine("listening on TCP port ", iTimeoutMs);
    return port.empty() ? 0u : static_cast<unsigned>(std::stoul(port));
}
