// Script runner and response file: SCRIPT, REPEAT and RESFILE, and the script task that hands one
// script line per run to the interpreter and waits for the answer of each remote call.
#include "Application/AppScript.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "Application/AppCmdArgs.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppLink.h"
#include "Application/AppStreams.h"
#include "Platform/PltClock.h"
#include "Platform/PltFile.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

namespace {

constexpr std::uint16_t APPC_SCRIPT_TASK_TYPE =
    OSSC_EVERY_FOURTH_PASS;                // the script task runs every fourth pass
constexpr std::size_t APPC_DATE_SIZE = 16; // "mm/dd/yy" and room to spare
// Longest PAUSE: the service clock's differences stay correct below half its wrap (24 days).
constexpr std::uint32_t APPC_PAUSE_MAX_MS = 0x7FFFFFFFu;

enum class LineRead { Line, TooLong, Error };

struct FileCloser {
    void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

FileHandle scriptFile;
FileHandle responseFile;
std::uint16_t scriptTask = OSSC_NO_THREAD;
bool repeatOn = false;
bool pauseOn = false;
std::uint32_t pauseStart = 0; // service clock (ms) when the PAUSE line was read
std::uint32_t pauseLength = 0;
std::uint32_t lineNumber = 0; // of the line last read from the script
std::array<char, APPC_SCRIPT_LINE_SIZE> lineBuffer{};
std::uint32_t (*calendarSeconds)() = PltCalendarSeconds;

std::FILE* Con() {
    return AppConsole();
}

// Second token of a line (the first is the command word), in the case the user typed it.
std::string TypedArgument(const char* pszLine) {
    const char* cursor = pszLine;
    CmdNextToken(cursor);
    const std::string_view argument = CmdNextToken(cursor);
    if (argument.empty()) {
        return {};
    }
    return std::string(CmdTypedText(argument.data()), argument.size());
}

std::string UpperCase(const char* pszText) {
    std::string upper(pszText);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

// The script waits for the answer of the function the line calls, if it names one.
void SetPendingFnIdFromLine(const char* pszLine) {
    const char* cursor = pszLine;
    const std::string name(CmdNextToken(cursor));
    const FunctionRecord* record = name.empty() ? nullptr : FnTabFindByName(name.c_str());
    if (record != nullptr) {
        SetPendingFnId(record->wFnId);
    }
}

// Opens a script for reading; a file that opens but cannot be read (a directory) is refused too.
FileHandle OpenScript(const std::string& name) {
    FileHandle file(std::fopen(name.c_str(), "r"));
    if (!file) {
        return file;
    }
    const int first = std::fgetc(file.get());
    if (first == EOF) {
        if (std::ferror(file.get()) != 0) {
            return FileHandle{};
        }
        std::clearerr(file.get()); // an empty script still gives its one empty line
    } else {
        std::ungetc(first, file.get());
    }
    return file;
}

// Reads the next line into lineBuffer the way a text-mode read on Windows gives it, so that a
// script sends the same bytes on every platform: a CR LF line end becomes LF. A line that does not
// fit the buffer (with its line end) is read to its end and reported, never split into pieces
// that would each run as a line of their own. At the end of the file the buffer is empty.
LineRead ReadScriptLine(std::FILE* file) {
    std::size_t length = 0;
    bool tooLong = false;
    int c = 0;
    while ((c = std::getc(file)) != EOF) {
        if (c == '\r') {
            const int next = std::getc(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
        }
        if (length < lineBuffer.size() - 1) {
            lineBuffer[length++] = static_cast<char>(c);
        } else {
            tooLong = true;
        }
        if (c == '\n') {
            break;
        }
    }
    lineBuffer[length] = '\0';
    if (c == EOF && std::ferror(file) != 0) {
        return LineRead::Error;
    }
    if (length > 0) {
        ++lineNumber;
    }
    return tooLong ? LineRead::TooLong : LineRead::Line;
}

void HandleScriptLine() {
    const std::string upper = UpperCase(lineBuffer.data());
    if (upper.compare(0, 5, "PAUSE") == 0) {
        const char* cursor = upper.c_str();
        CmdNextToken(cursor);
        const std::string_view seconds = CmdNextToken(cursor);
        if (!seconds.empty()) {
            // Measured on the service clock, so that PAUSE N holds the next line for N full
            // seconds whatever the calendar second stands at.
            const std::uint64_t milliseconds =
                static_cast<std::uint64_t>(CmdParseUnsigned(seconds)) * 1000u;
            pauseOn = true;
            pauseStart = OssGetTime();
            pauseLength = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(milliseconds, APPC_PAUSE_MAX_MS));
        }
    } else if (upper[0] == ';' || upper.compare(0, 2, "//") == 0) {
        // comment line
    } else {
        SetPendingFnIdFromLine(upper.c_str());
        // Delivered as written: the interpreter upper-cases its own copy, file names keep their
        // case.
        CmdDeliverLine(lineBuffer.data());
    }
}

} // namespace

std::uint16_t ScriptCommand(char* pszLine, std::uint8_t /*byChannel*/) {
    const std::string name = TypedArgument(pszLine);
    if (name.empty()) {
        std::fprintf(Con(), "Current Script '%s' closed ...\n", AppStartupLine());
        ScriptStop();
        return APPC_CMD_DONE;
    }
    // A name that does not fit is refused rather than cut to another file's name. A running
    // script goes on with its own file and name when the new one cannot be used.
    FileHandle file = name.size() <= PltPathMax() ? OpenScript(name) : FileHandle{};
    if (!file) {
        std::fprintf(Con(), "Can't open scriptfile : %s\n", name.c_str());
        return APPC_CMD_ERROR;
    }
    ScriptStop();
    std::snprintf(AppStartupLine(), APPC_STARTUP_LINE_SIZE, "%s", name.c_str());
    scriptFile = std::move(file);
    // A new script does not inherit the wait or the pause of the one it replaces.
    SetPendingFnId(APPC_NO_FNID);
    pauseOn = false;
    lineNumber = 0;
    scriptTask = OssCreateThread(ScriptProcess, APPC_SCRIPT_TASK_TYPE);
    if (scriptTask == OSSC_NO_THREAD) {
        std::fputs("OssThread for proccessing ScriptFile not started !!\n\n", Con());
        scriptFile.reset();
    }
    return APPC_CMD_DONE;
}

void ScriptProcess() {
    if (!scriptFile || GetPendingFnId() != APPC_NO_FNID || AppLinkWaiting()) {
        return; // no script, waiting for the answer of the last call, or for the link
    }
    std::FILE* file = scriptFile.get();
    if (std::feof(file) != 0) {
        OssDeclareWorkPending(); // a repeat starts over on the next run
        if (!repeatOn) {
            ScriptStop();
        } else if (std::fseek(file, 0, SEEK_SET) != 0) {
            std::fprintf(Con(), "Script seek error %d during repeat", errno);
        } else {
            lineNumber = 0;
        }
        return;
    }
    if (pauseOn) {
        if (OssTimeSince(pauseStart) < pauseLength) {
            OssDeclareDeadline(pauseStart + pauseLength);
            return;
        }
        pauseOn = false;
    }
    OssDeclareWorkPending(); // the next line, the end or the pause it starts
    switch (ReadScriptLine(file)) {
    case LineRead::Error:
        // A read error sets no end-of-file mark: without this stop the script would deliver
        // empty lines for ever.
        std::fprintf(Con(), "Can't read scriptfile : %s\n", AppStartupLine());
        ScriptStop();
        return;
    case LineRead::TooLong:
        std::fprintf(Con(), "Script line longer than %zu characters skipped: %s, line %u\n",
                     lineBuffer.size() - 1, AppStartupLine(), static_cast<unsigned>(lineNumber));
        break;
    case LineRead::Line:
        HandleScriptLine();
        break;
    }
    lineBuffer[0] = '\0';
}

std::uint16_t RepeatCommand(char* pszLine, std::uint8_t /*byChannel*/) {
    const char* cursor = pszLine;
    CmdNextToken(cursor);
    const std::string_view argument = CmdNextToken(cursor);
    if (argument.empty()) {
        std::fprintf(Con(), "Repeat state = %s\n", repeatOn ? "ON" : "OFF");
    } else if (argument == "ON") {
        repeatOn = true;
    } else if (argument == "OFF") {
        repeatOn = false;
    } else {
        return APPC_CMD_ERROR;
    }
    return APPC_CMD_DONE;
}

std::uint16_t ResfileCommand(char* pszLine, std::uint8_t /*byChannel*/) {
    const std::string name = TypedArgument(pszLine);
    if (name.empty()) {
        ScriptCloseResfile();
        return APPC_CMD_DONE;
    }
    FileHandle file(std::fopen(name.c_str(), "w"));
    if (!file) {
        // Displays keep going where they went before.
        std::fprintf(Con(), "Can't open response file : %s\n", name.c_str());
        return APPC_CMD_ERROR;
    }
    // Line buffered: every finished display line reaches the file at once (tail -f).
    (void)PltFileLineBuffered(file.get());
    ScriptCloseResfile();
    responseFile = std::move(file);
    AppSetResponseStream(responseFile.get());

    const std::time_t now = static_cast<std::time_t>(calendarSeconds());
    std::tm local{};
    std::array<char, APPC_DATE_SIZE> date{};
    if (!PltLocalTime(now, &local) ||
        std::strftime(date.data(), date.size(), "%m/%d/%y", &local) == 0) {
        date[0] = '\0';
    }
    std::fprintf(responseFile.get(), "TALVO_RC Response file\t\tDate : %s\n\n", date.data());
    std::fflush(responseFile.get());
    return APPC_CMD_DONE;
}

void ScriptStop() {
    if (scriptTask != OSSC_NO_THREAD) {
        if (OssDeleteThread(scriptTask) != 0) {
            std::fputs("OssThread for processing ScriptFile not deleted !!\n\n", Con());
        }
        scriptTask = OSSC_NO_THREAD;
    }
    scriptFile.reset();
}

void ScriptCloseResfile() {
    if (responseFile) {
        AppSetResponseStream(nullptr); // pushes what is buffered out, and reports a failed write
        // The close itself may still fail (a file system that writes late): said, not lost.
        if (std::fclose(responseFile.release()) != 0) {
            std::fprintf(Con(), "Can't write response file : %s\n", std::strerror(errno));
        }
    }
}

bool ScriptIsRunning() {
    return scriptFile != nullptr && scriptTask != OSSC_NO_THREAD;
}

void ScriptSetClockForTest(std::uint32_t (*pfSeconds)()) {
    calendarSeconds = pfSeconds != nullptr ? pfSeconds : PltCalendarSeconds;
}

void ScriptResetForTest() {
    scriptTask = OSSC_NO_THREAD; // the scheduler is reset by the test itself
    scriptFile.reset();
    ScriptCloseResfile();
    repeatOn = false;
    pauseOn = false;
    lineNumber = 0;
    lineBuffer.fill('\0');
    calendarSeconds = PltCalendarSeconds;
}
