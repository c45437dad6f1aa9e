// Line editor of the console: the line, its cursor and the history, the keys of a terminal, and
// the screen bytes (ANSI/VT100 cursor sequences) that keep the prompt and the line on the screen.
//
// The screen is tracked as one position counted from the first character of the prompt: position
// p stands in row p / columns, column p % columns. When a drawn line ends exactly at the right
// margin the cursor is moved to the next row at once, so that this holds for every position.
#include "Runtime/TrmEdit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::uint8_t kCtrlA = 1;
constexpr std::uint8_t kCtrlB = 2;
constexpr std::uint8_t kCtrlD = 4;
constexpr std::uint8_t kCtrlE = 5;
constexpr std::uint8_t kCtrlF = 6;
constexpr std::uint8_t kBackspace = 8;
constexpr std::uint8_t kTab = 9;
constexpr std::uint8_t kLineFeed = 10;
constexpr std::uint8_t kCtrlK = 11;
constexpr std::uint8_t kCtrlL = 12;
constexpr std::uint8_t kEnter = 13;
constexpr std::uint8_t kCtrlN = 14;
constexpr std::uint8_t kCtrlP = 16;
constexpr std::uint8_t kCtrlG = 7;
constexpr std::uint8_t kCtrlR = 18;
constexpr std::size_t kQueryMax = 60; // characters of a history search
constexpr std::uint8_t kCtrlU = 21;
constexpr std::uint8_t kCtrlW = 23;
constexpr std::uint8_t kDelete = 127;
constexpr std::size_t kSequenceMax = 16; // parameter bytes of one escape sequence

enum class Sequence : std::uint8_t { None, Escape, Csi, Ss3 };

struct Editor {
    std::string line;
    std::uint16_t cursor = 0;
    std::string prompt;
    bool shown = true;         // prompt and line stand on the screen around the cursor
    std::size_t screenPos = 0; // where the screen cursor stands, counted from the prompt
    std::uint16_t columns = TRMC_EDIT_DEFAULT_COLS;
    Sequence sequence = Sequence::None;
    std::string parameters; // bytes between CSI and the final byte
    std::vector<std::string> history;
    std::size_t historyPos = 0; // history.size(): the line being typed
    std::string typedLine;      // the line being typed while earlier ones are shown
    bool lastWasTab = false;
    std::string delivered;     // the line of the last Enter
    bool searching = false;    // Ctrl-R: the keys make a search of the history
    std::string query;         // what is searched for
    std::size_t searchPos = 0; // history line found last (history.size(): none yet)
    std::string promptBeforeSearch;
    std::string lineBeforeSearch;
    TrmEditWriter writer = nullptr;
    TrmCompleter completer = nullptr;
};

Editor ed;

void Write(std::string_view bytes) {
    if (ed.writer != nullptr && !bytes.empty()) {
        ed.writer(bytes);
    }
}

void WriteMove(unsigned count, char direction) {
    if (count > 0) {
        char text[16];
        std::snprintf(text, sizeof text, "\x1b[%u%c", count, direction);
        Write(text);
    }
}

std::size_t EndPos() {
    return ed.prompt.size() + ed.line.size();
}

std::size_t CursorPos() {
    return ed.prompt.size() + ed.cursor;
}

// Moves the screen cursor to position pos of the shown prompt and line.
void MoveTo(std::size_t pos) {
    const std::size_t fromRow = ed.screenPos / ed.columns;
    const std::size_t fromCol = ed.screenPos % ed.columns;
    const std::size_t toRow = pos / ed.columns;
    const std::size_t toCol = pos % ed.columns;
    if (toRow < fromRow) {
        WriteMove(static_cast<unsigned>(fromRow - toRow), 'A');
    } else if (toRow > fromRow) {
        WriteMove(static_cast<unsigned>(toRow - fromRow), 'B');
    }
    if (toCol == 0 && fromCol != 0) {
        Write("\r");
    } else if (toCol < fromCol) {
        WriteMove(static_cast<unsigned>(fromCol - toCol), 'D');
    } else if (toCol > fromCol) {
        WriteMove(static_cast<unsigned>(toCol - fromCol), 'C');
    }
    ed.screenPos = pos;
}

// Writes text that ends at position end (the screen cursor follows it).
void WriteShown(std::string_view text, std::size_t end) {
    Write(text);
    ed.screenPos = end;
    if (end > 0 && end % ed.columns == 0) {
        Write("\r\n"); // past the right margin: the cursor goes to the next row now
    }
}

// Writes the prompt and the line from the start of the cursor's screen row (after an erase) and
// puts the cursor in place.
void DrawHere() {
    Write("\r\x1b[J");
    ed.screenPos = 0;
    WriteShown(ed.prompt + ed.line, EndPos());
    MoveTo(CursorPos());
    ed.shown = true;
}

// Draws the prompt and the line again where they stand (or on the cursor's row when hidden).
void Refresh() {
    if (ed.shown) {
        MoveTo(0);
    }
    DrawHere();
}

// Writes lines below the line being edited, then the prompt and the line again under them.
void ShowBelow(const std::vector<std::string>& lines) {
    if (ed.shown) {
        MoveTo(EndPos());
        Write("\r\n");
    }
    for (const std::string& text : lines) {
        Write(text);
        Write("\r\n");
    }
    ed.shown = false;
    DrawHere();
}

void SetLine(std::string text, std::size_t cursor) {
    if (text.size() > TRMC_EDIT_LINE_MAX) {
        text.resize(TRMC_EDIT_LINE_MAX);
    }
    ed.line = std::move(text);
    ed.cursor = static_cast<std::uint16_t>(std::min(cursor, ed.line.size()));
    Refresh();
}

void Insert(char c) {
    if (ed.line.size() >= TRMC_EDIT_LINE_MAX) {
        return;
    }
    if (ed.cursor == ed.line.size() && ed.shown) {
        ed.line.push_back(c);
        ++ed.cursor;
        WriteShown(std::string_view(&c, 1), CursorPos()); // the plain echo of a typed character
        return;
    }
    std::string text = ed.line;
    text.insert(text.begin() + ed.cursor, c);
    SetLine(std::move(text), ed.cursor + 1u);
}

void Backspace() {
    if (ed.cursor == 0) {
        return;
    }
    if (ed.cursor == ed.line.size() && ed.shown && ed.screenPos % ed.columns != 0) {
        ed.line.pop_back();
        --ed.cursor;
        Write("\b \b");
        --ed.screenPos;
        return;
    }
    std::string text = ed.line;
    text.erase(ed.cursor - 1u, 1);
    SetLine(std::move(text), ed.cursor - 1u);
}

void DeleteAtCursor() {
    if (ed.cursor < ed.line.size()) {
        std::string text = ed.line;
        text.erase(ed.cursor, 1);
        SetLine(std::move(text), ed.cursor);
    }
}

void MoveCursor(std::size_t cursor) {
    ed.cursor = static_cast<std::uint16_t>(std::min(cursor, ed.line.size()));
    MoveTo(CursorPos());
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Ctrl-W: the blanks before the cursor and the word before them.
void EraseWordBefore() {
    std::size_t start = ed.cursor;
    while (start > 0 && IsBlank(ed.line[start - 1])) {
        --start;
    }
    while (start > 0 && !IsBlank(ed.line[start - 1])) {
        --start;
    }
    std::string text = ed.line;
    text.erase(start, ed.cursor - start);
    SetLine(std::move(text), start);
}

void ShowHistory(std::size_t pos) {
    if (ed.historyPos == ed.history.size()) {
        ed.typedLine = ed.line;
    }
    ed.historyPos = pos;
    const std::string& text = pos == ed.history.size() ? ed.typedLine : ed.history[pos];
    SetLine(text, text.size());
}

void HistoryUp() {
    if (ed.historyPos > 0) {
        ShowHistory(ed.historyPos - 1);
    }
}

void HistoryDown() {
    if (ed.historyPos < ed.history.size()) {
        ShowHistory(ed.historyPos + 1);
    }
}

bool SameIgnoringCase(char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) ==
           std::toupper(static_cast<unsigned char>(b));
}

// Candidates in columns, filled top to bottom like a shell's list.
std::vector<std::string> Columns(std::vector<std::string> words) {
    std::sort(words.begin(), words.end());
    std::size_t width = 0;
    for (const std::string& word : words) {
        width = std::max(width, word.size() + 2);
    }
    const std::size_t perRow = std::max<std::size_t>(1, ed.columns / width);
    const std::size_t rows = (words.size() + perRow - 1) / perRow;
    std::vector<std::string> lines(rows);
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string& text = lines[i % rows];
        if (i / rows + 1 < perRow && i + rows < words.size()) {
            text += words[i] + std::string(width - words[i].size(), ' ');
        } else {
            text += words[i];
        }
    }
    return lines;
}

void Complete(bool secondTab) {
    if (ed.completer == nullptr) {
        return;
    }
    TrmCompletion completion;
    completion.wWordStart = ed.cursor;
    ed.completer(ed.line, ed.cursor, completion);
    const std::size_t start = std::min<std::size_t>(completion.wWordStart, ed.cursor);
    const auto& candidates = completion.candidates;
    if (candidates.empty()) {
        if (!completion.hint.empty()) {
            ShowBelow({completion.hint});
        }
        return;
    }
    std::string replacement = candidates.front();
    if (candidates.size() == 1) {
        if (completion.bAppendBlank) {
            replacement += ' ';
        }
    } else {
        for (const std::string& other : candidates) {
            std::size_t common = 0;
            while (common < replacement.size() && common < other.size() &&
                   SameIgnoringCase(replacement[common], other[common])) {
                ++common;
            }
            replacement.resize(common);
        }
        if (replacement.size() <= ed.cursor - start) {
            if (secondTab) {
                ShowBelow(Columns(candidates));
            }
            return;
        }
    }
    std::string text = ed.line.substr(0, start) + replacement + ed.line.substr(ed.cursor);
    if (text.size() <= TRMC_EDIT_LINE_MAX) {
        SetLine(std::move(text), start + replacement.size());
    }
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

void ShowSearch() {
    ed.prompt = "(reverse-i-search)`" + ed.query + "': ";
    Refresh();
}

// The newest history line before position from that holds the query, in any case: it becomes
// the line, with the cursor on the match.
bool FindBackwards(std::size_t from) {
    const std::string query = Upper(ed.query);
    for (std::size_t i = std::min(from, ed.history.size()); i-- > 0;) {
        const std::size_t at = Upper(ed.history[i]).find(query);
        if (at != std::string::npos) {
            ed.searchPos = i;
            ed.line = ed.history[i];
            ed.cursor = static_cast<std::uint16_t>(at);
            return true;
        }
    }
    return false;
}

void StartSearch() {
    ed.searching = true;
    ed.query.clear();
    ed.searchPos = ed.history.size();
    ed.promptBeforeSearch = ed.prompt;
    ed.lineBeforeSearch = ed.line;
    ShowSearch();
}

void EndSearch(bool bKeepLine) {
    ed.searching = false;
    if (!bKeepLine) {
        ed.line = ed.lineBeforeSearch;
        ed.cursor = static_cast<std::uint16_t>(ed.line.size());
    }
    ed.prompt = ed.promptBeforeSearch;
    Refresh();
}

// A key during a history search; false when the search ends and the key still acts on the line.
bool SearchKey(std::uint8_t byKey) {
    if (byKey == kCtrlR) {
        if (!ed.query.empty()) {
            FindBackwards(ed.searchPos); // the next older match
        }
        ShowSearch();
        return true;
    }
    if (byKey == kCtrlG) {
        EndSearch(false);
        return true;
    }
    if (byKey == kBackspace || byKey == kDelete) {
        if (!ed.query.empty()) {
            ed.query.pop_back();
        }
        FindBackwards(ed.history.size());
        ShowSearch();
        return true;
    }
    if (byKey >= 0x20 && byKey < kDelete) {
        if (ed.query.size() < kQueryMax) {
            ed.query.push_back(static_cast<char>(byKey));
            FindBackwards(ed.searchPos + 1); // the line found so far may still match
        }
        ShowSearch();
        return true;
    }
    EndSearch(true);
    return false;
}

void EndSequence() {
    ed.sequence = Sequence::None;
    ed.parameters.clear();
}

// The final byte of an ESC [ or ESC O sequence.
void SequenceKey(char final) {
    const int number = ed.parameters.empty() ? 0 : std::atoi(ed.parameters.c_str());
    const bool tilde = final == '~';
    EndSequence();
    if (!ed.shown) {
        DrawHere();
    }
    if (final == 'A') {
        HistoryUp();
    } else if (final == 'B') {
        HistoryDown();
    } else if (final == 'C') {
        MoveCursor(ed.cursor + 1u);
    } else if (final == 'D') {
        MoveCursor(ed.cursor > 0 ? ed.cursor - 1u : 0u);
    } else if (final == 'H' || (tilde && (number == 1 || number == 7))) {
        MoveCursor(0);
    } else if (final == 'F' || (tilde && (number == 4 || number == 8))) {
        MoveCursor(ed.line.size());
    } else if (tilde && number == 3) {
        DeleteAtCursor();
    }
}

// Takes a byte while a sequence is open; false when the byte ends it without belonging to it.
bool SequenceByte(std::uint8_t byKey) {
    if (byKey < 0x20 || byKey == kDelete) {
        EndSequence(); // a control key is no part of a sequence: it counts on its own
        return false;
    }
    switch (ed.sequence) {
    case Sequence::Escape:
        if (byKey == '[') {
            ed.sequence = Sequence::Csi;
        } else if (byKey == 'O') {
            ed.sequence = Sequence::Ss3;
        } else {
            EndSequence(); // Alt and a key: not bound
        }
        return true;
    case Sequence::Ss3:
        SequenceKey(static_cast<char>(byKey));
        return true;
    case Sequence::Csi:
        if (byKey >= 0x40 && byKey <= 0x7E) {
            if (ed.parameters.size() > kSequenceMax) {
                EndSequence(); // too long for any key this editor knows
            } else {
                SequenceKey(static_cast<char>(byKey));
            }
        } else if (ed.parameters.size() <= kSequenceMax) {
            ed.parameters.push_back(static_cast<char>(byKey));
        }
        return true;
    case Sequence::None:
        break;
    }
    return false;
}

} // namespace

void TrmEditReset() {
    ed = Editor{};
}

void TrmEditSetWriter(TrmEditWriter pfWriter) {
    ed.writer = pfWriter;
}

void TrmEditSetCompleter(TrmCompleter pfCompleter) {
    ed.completer = pfCompleter;
}

void TrmEditSetColumns(std::uint16_t wColumns) {
    if (wColumns != 0 && wColumns != ed.columns) {
        // Rows computed with the old width no longer match: the position counts from the row.
        ed.screenPos = ed.screenPos % ed.columns;
        ed.columns = wColumns;
        ed.screenPos = std::min<std::size_t>(ed.screenPos, wColumns - 1u);
    }
}

void TrmEditSetPrompt(std::string_view prompt) {
    ed.searching = false; // a new prompt ends a search with the line found
    ed.prompt = std::string(prompt.substr(0, TRMC_EDIT_PROMPT_MAX));
    ed.screenPos = ed.prompt.size();
    ed.shown = ed.line.empty(); // a partly typed line is drawn after it by TrmEditRefresh
}

namespace {

// Enter: hands the line over and leaves the cursor after it.
void DeliverLine() {
    if (ed.shown) {
        MoveTo(EndPos());
    }
    Write("\r");
    ed.delivered = ed.line;
    ed.line.clear();
    ed.cursor = 0;
    ed.historyPos = ed.history.size();
    ed.typedLine.clear();
    // Until the interpreter's next prompt the line stands where its output left the cursor.
    ed.prompt.clear();
    ed.screenPos = 0;
    ed.shown = true;
}

// The editing keys and the printable characters.
void EditKey(std::uint8_t byKey, bool secondTab) {
    switch (byKey) {
    case kCtrlA:
        MoveCursor(0);
        break;
    case kCtrlB:
        MoveCursor(ed.cursor > 0 ? ed.cursor - 1u : 0u);
        break;
    case kCtrlD:
        DeleteAtCursor();
        break;
    case kCtrlE:
        MoveCursor(ed.line.size());
        break;
    case kCtrlF:
        MoveCursor(ed.cursor + 1u);
        break;
    case kBackspace:
    case kDelete:
        Backspace();
        break;
    case kTab:
        Complete(secondTab);
        break;
    case kCtrlK:
        SetLine(ed.line.substr(0, ed.cursor), ed.cursor);
        break;
    case kCtrlL:
        Write("\x1b[H\x1b[2J");
        ed.shown = false;
        DrawHere();
        break;
    case kCtrlN:
        HistoryDown();
        break;
    case kCtrlP:
        HistoryUp();
        break;
    case kCtrlU:
        SetLine(ed.line.substr(ed.cursor), 0);
        break;
    case kCtrlW:
        EraseWordBefore();
        break;
    case kCtrlR:
        StartSearch();
        break;
    default:
        if (byKey >= 0x20) {
            Insert(static_cast<char>(byKey));
        }
        break; // other control keys are not bound
    }
}

} // namespace

TrmEditResult TrmEditKey(std::uint8_t byKey) {
    if (ed.sequence != Sequence::None && SequenceByte(byKey)) {
        ed.lastWasTab = false;
        return TrmEditResult::None;
    }
    const bool secondTab = ed.lastWasTab;
    ed.lastWasTab = byKey == kTab;
    if (ed.searching && SearchKey(byKey)) {
        return TrmEditResult::None;
    }
    if (byKey == TRMC_EDIT_KEY_ESCAPE) {
        ed.sequence = Sequence::Escape;
        return TrmEditResult::None;
    }
    if (byKey == kEnter || byKey == kLineFeed) {
        DeliverLine();
        return TrmEditResult::Line;
    }
    if (byKey == kCtrlD && ed.line.empty()) {
        return TrmEditResult::EndOfInput;
    }
    if (!ed.shown) {
        DrawHere(); // output came after the prompt: prompt and line go below it first
    }
    EditKey(byKey, secondTab);
    return TrmEditResult::None;
}

bool TrmEditInSequence() {
    return ed.sequence != Sequence::None;
}

void TrmEditKeyTimeout() {
    EndSequence();
}

std::string_view TrmEditLine() {
    return ed.line;
}

std::string_view TrmEditDelivered() {
    return ed.delivered;
}

std::uint16_t TrmEditCursor() {
    return ed.cursor;
}

void TrmEditHide() {
    if (!ed.shown) {
        return;
    }
    if (!ed.line.empty()) {
        MoveTo(0);
        Write("\x1b[J");
    }
    ed.shown = false;
}

void TrmEditRefresh() {
    if (!ed.shown && !ed.line.empty()) {
        DrawHere();
    }
}

void TrmEditRedraw() {
    ed.shown = false;
    DrawHere();
}

void TrmEditDiscard() {
    if (ed.shown) {
        MoveTo(EndPos());
    } else {
        DrawHere();
        MoveTo(EndPos());
    }
    Write("^C\r\n");
    ed.line.clear();
    ed.cursor = 0;
    ed.historyPos = ed.history.size();
    ed.typedLine.clear();
    ed.shown = false;
    DrawHere();
}

bool TrmEditAddHistory(std::string_view line) {
    if (line.empty() || (!ed.history.empty() && ed.history.back() == line)) {
        return false;
    }
    ed.history.emplace_back(line);
    if (ed.history.size() > TRMC_HISTORY_MAX) {
        ed.history.erase(ed.history.begin(),
                         ed.history.begin() +
                             static_cast<std::ptrdiff_t>(ed.history.size() - TRMC_HISTORY_MAX));
    }
    ed.historyPos = ed.history.size();
    return true;
}

const std::vector<std::string>& TrmEditHistory() {
    return ed.history;
}
