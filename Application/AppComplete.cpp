// Completion and hints of the console line, the console's Ctrl-C and Ctrl-D, the history file.
#include "Application/AppComplete.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "Application/AppCmd.h"
#include "Application/AppFnTab.h"
#include "Application/AppProtocol.h"
#include "Platform/PltFile.h"
#include "Runtime/Trm.h"

namespace {

constexpr const char* APPC_HISTORY_VARIABLE = "TALVO_RC_HISTORY";
constexpr const char* APPC_HISTORY_FILE = ".talvo_rc_history";

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

bool StartsWith(std::string_view text, std::string_view upperPrefix) {
    return text.size() >= upperPrefix.size() &&
           Upper(text.substr(0, upperPrefix.size())) == upperPrefix;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

void AddIfMatching(std::vector<std::string>& candidates, std::string_view name,
                   std::string_view upperPrefix) {
    if (StartsWith(name, upperPrefix) &&
        std::find(candidates.begin(), candidates.end(), name) == candidates.end()) {
        candidates.emplace_back(name);
    }
}

// File names for the word: its directory part stays, the name is matched in any case.
void CompleteFileName(std::string_view word, TrmCompletion& completion) {
    const std::size_t slash = word.find_last_of("/\\");
    const std::string directory(slash == std::string_view::npos ? "" : word.substr(0, slash + 1));
    const std::string prefix = Upper(word.substr(directory.size()));
    std::vector<PltDirEntry> entries;
    if (!PltListDirectory(directory, entries)) {
        return;
    }
    bool bDirectory = false;
    for (const PltDirEntry& entry : entries) {
        if (StartsWith(entry.name, prefix) && (entry.name[0] != '.' || !prefix.empty())) {
            completion.candidates.push_back(directory + entry.name + (entry.bDirectory ? "/" : ""));
            bDirectory = entry.bDirectory;
        }
    }
    completion.bAppendBlank = !(completion.candidates.size() == 1 && bDirectory);
}

bool OnControl(TrmControl tControl) {
    if (tControl == TrmControl::Interrupt) {
        return CmdCancel();
    }
    CmdEndOfInput();
    return true;
}

} // namespace

void AppComplete(std::string_view line, std::uint16_t wCursor, TrmCompletion& completion) {
    const std::string_view before = line.substr(0, std::min<std::size_t>(wCursor, line.size()));
    std::size_t start = before.size();
    while (start > 0 && !IsBlank(before[start - 1])) {
        --start;
    }
    completion.wWordStart = static_cast<std::uint16_t>(start);
    const std::string_view word = before.substr(start);
    const std::string prefix = Upper(word);

    // The words before the one being completed.
    std::vector<std::string> words;
    for (std::size_t i = 0; i < start;) {
        while (i < start && IsBlank(before[i])) {
            ++i;
        }
        const std::size_t begin = i;
        while (i < start && !IsBlank(before[i])) {
            ++i;
        }
        if (i > begin) {
            words.push_back(Upper(before.substr(begin, i - begin)));
        }
    }

    if (words.empty()) {
        for (std::size_t i = 0; CmdCommandName(i) != nullptr; ++i) {
            AddIfMatching(completion.candidates, CmdCommandName(i), prefix);
        }
        for (std::uint16_t i = 0; i < FnTabCount(); ++i) {
            AddIfMatching(completion.candidates, FnTabAt(i)->name, prefix);
        }
        return;
    }
    const std::string& first = words.front();
    if (words.size() == 1 && first == "PROTOCOL") {
        for (std::size_t i = 0; ProtocolSubCommandName(i) != nullptr; ++i) {
            AddIfMatching(completion.candidates, ProtocolSubCommandName(i), prefix);
        }
        return;
    }
    if (words.size() == 1 && (first == "SCRIPT" || first == "RESFILE")) {
        CompleteFileName(word, completion);
        return;
    }
    const FunctionRecord* ptRecord = FnTabFindByName(first.c_str());
    if (ptRecord != nullptr) {
        std::string request = ptRecord->request;
        while (!request.empty() && IsBlank(request.back())) {
            request.pop_back();
        }
        completion.hint = ptRecord->name + " { " + request + " }";
    }
}

std::string AppHistoryPath() {
    std::string path;
    if (PltGetEnvironment(APPC_HISTORY_VARIABLE, path)) {
        return path;
    }
    const std::string home = PltHomeDirectory();
    if (home.empty()) {
        return "";
    }
    const char last = home.back();
    return home + (last == '/' || last == '\\' ? "" : "/") + APPC_HISTORY_FILE;
}

void AppConsoleSetUp() {
    if (!TrmEditing()) {
        return; // no terminal: lines run as they come, without history
    }
    TrmEditSetCompleter(AppComplete);
    TrmSetControlHandler(OnControl);
    TrmUseHistoryFile(AppHistoryPath());
}
