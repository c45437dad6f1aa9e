// Runs the built programs as a user would: with arguments, environment, standard input from a
// text, output captured, and a time limit after which the program is killed.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

struct RunResult {
    int iExitCode = -1;     // exit status, or -1 when killed or not started
    bool bTimedOut = false; // the time limit ran out
    std::string output;     // standard output and standard error, interleaved
};

// Runs a program to its end (or the time limit). Each entry of env is "NAME=value"; the program
// starts in directory cwd when it is not empty.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input, int iTimeoutMs,
                     const std::vector<std::string>& env = {}, const std::string& cwd = "");
// The directory that TempPath names files in.
std::string TempDirectory();

// A program running in the background with its output collected on demand.
class BackgroundProgram {
  public:
    // With bInput the program reads its standard input from a pipe that Send() writes to (and
    // that stays open, like a keyboard nobody touches); else from /dev/null.
    BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}, bool bInput = false);
    ~BackgroundProgram(); // SIGTERM, then SIGKILL after a second
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    bool Send(const std::string& text); // writes to the program's standard input
    // Waits until text has occurred count times in the output since the last call to Mark().
    bool WaitForCount(const std::string& text, std::size_t count, int iTimeoutMs);
    void Mark(); // the next WaitForCount counts from here
    // Waits until the collected output contains text; returns the output so far or "" on time-out.
    std::string WaitFor(const std::string& text, int iTimeoutMs);
    // Waits for a whole output line that starts with prefix; returns the rest of it, or "".
    std::string WaitForLine(const std::string& prefix, int iTimeoutMs);
    std::string Output(); // everything collected so far
    int Stop();           // SIGTERM and wait; the exit status, or -1

  private:
    void Collect(int iWaitMs);
    pid_t m_pid = -1;
    int m_fd = -1;
    int m_inFd = -1;
    std::size_t m_markPos = 0;  // where counting starts
    std::size_t m_countPos = 0; // output already counted
    std::size_t m_counted = 0;  // occurrences found since the mark
    std::string m_output;
};

// The TCP port a talvo_sim started with --tcp listens on, from its "listening on TCP port N"
// line (start it with --port 0 for a free port); 0 when the line did not come in time.
unsigned ListeningPort(BackgroundProgram& rSim, int iTimeoutMs = 5000);

// A file in a temporary directory made once per test program run.
std::string TempPath(const std::string& name);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// Number of times text occurs in haystack.
std::size_t CountOf(const std::string& haystack, const std::string& text);

// Name of a framing case of a parameterised test ({"full", "F"} gives "Full"), so that ctest runs
// each case by a readable name.
struct FramingName {
    std::string
    operator()(const ::testing::TestParamInfo<std::pair<const char*, const char*>>& info) const;
};
