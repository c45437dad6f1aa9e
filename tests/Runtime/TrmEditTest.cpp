#include "Runtime/TrmEdit.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string screen;

void Record(std::string_view bytes) {
    screen.append(bytes);
}

// Answers like the application: commands for the first word, a hint after "PULSE ".
void Complete(std::string_view line, std::uint16_t wCursor, TrmCompletion& completion) {
    std::size_t start = wCursor;
    while (start > 0 && line[start - 1] != ' ') {
        --start;
    }
    completion.wWordStart = static_cast<std::uint16_t>(start);
    if (start > 0) {
        completion.hint = "PULSE { B W }";
        return;
    }
    for (const char* name : {"PFNID", "PING", "PROTOCOL", "PULSE", "EXIT"}) {
        const std::string word(line.substr(0, wCursor));
        std::string upper;
        for (const char c : word) {
            upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (std::string(name).rfind(upper, 0) == 0) {
            completion.candidates.emplace_back(name);
        }
    }
}

class TrmEditTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TrmEditReset();
        TrmEditSetWriter(Record);
        TrmEditSetPrompt("P> ");
        screen.clear();
    }
    // Feeds the keys; returns the result of the last one.
    TrmEditResult Keys(const std::string& keys) {
        TrmEditResult result = TrmEditResult::None;
        for (const char c : keys) {
            result = TrmEditKey(static_cast<std::uint8_t>(c));
        }
        return result;
    }
    std::string Enter() {
        EXPECT_EQ(TrmEditResult::Line, Keys("\r"));
        TrmEditAddHistory(TrmEditDelivered());
        return std::string(TrmEditDelivered());
    }
};

TEST_F(TrmEditTest, TypingAtTheEndEchoesExactlyTheKeys) {
    Keys("AB\bZ");
    EXPECT_EQ("AB\b \bZ", screen);
    EXPECT_EQ("AZ", Enter());
    EXPECT_EQ("AB\b \bZ\r", screen);
}

TEST_F(TrmEditTest, EditingKeysWorkAnywhereInTheLine) {
    Keys("SETOUTPUT 3 1");
    Keys("\x1b[D\x1b[D\b4"); // Left x2, Backspace, insert
    EXPECT_EQ("SETOUTPUT 4 1", TrmEditLine());
    EXPECT_EQ(11, TrmEditCursor());
    Keys("\x01\x1b[3~\x1bOF"); // Ctrl-A, Delete, End (SS3 form)
    EXPECT_EQ("ETOUTPUT 4 1", TrmEditLine());
    EXPECT_EQ(12, TrmEditCursor());
    Keys("\x1b[1~\x06\x06\x0b"); // Home (VT form), Ctrl-F x2, Ctrl-K
    EXPECT_EQ("ET", TrmEditLine());
    Keys("\x05 AB CD\x17"); // Ctrl-E, text, Ctrl-W
    EXPECT_EQ("ET AB ", TrmEditLine());
    Keys("\x02\x02\x15"); // Ctrl-B x2, Ctrl-U
    EXPECT_EQ("B ", TrmEditLine());
    EXPECT_EQ(0, TrmEditCursor());
    Keys("\x04"); // Ctrl-D deletes under the cursor on a line with text
    EXPECT_EQ(" ", TrmEditLine());
    EXPECT_EQ(" ", Enter());
    // The screen ends with the whole line drawn after the prompt.
    EXPECT_NE(std::string::npos, screen.rfind("\r\x1b[JP> B "));
}

TEST_F(TrmEditTest, LoneEscapeAndUnknownSequencesAreNeverInserted) {
    Keys("A\x1b");
    EXPECT_TRUE(TrmEditInSequence());
    TrmEditKeyTimeout();
    Keys("B\x1b[5~C\x1b[99;99;99;99;99;99;99;99xD\x1bxE\x1b[Z");
    EXPECT_EQ("ABCDE", TrmEditLine());
    EXPECT_EQ("ABCDE", screen);
    // A control key inside a sequence counts on its own.
    Keys("\x1b\r");
    EXPECT_EQ("ABCDE", TrmEditDelivered());
}

TEST_F(TrmEditTest, HistoryWalksNewestFirstAndKeepsTheLineBeingTyped) {
    Keys("ONE");
    Enter();
    Keys("TWO");
    Enter();
    Keys("TWO");
    Enter(); // a repeat of the newest line is not stored
    Enter(); // nor an empty line
    ASSERT_EQ(2u, TrmEditHistory().size());
    Keys("TH");
    Keys("\x1b[A");
    EXPECT_EQ("TWO", TrmEditLine());
    Keys("\x1bOA\x1b[A"); // the oldest line stays
    EXPECT_EQ("ONE", TrmEditLine());
    Keys("X");
    Keys("\x1b[B\x1b[B");
    EXPECT_EQ("TH", TrmEditLine());
    Keys("\x10\x10");         // Ctrl-P x2
    Keys("\x1b[D\b");         // edit the recalled line
    EXPECT_EQ("OE", Enter()); // and run it
    EXPECT_EQ("OE", TrmEditHistory().back());
}

TEST_F(TrmEditTest, CtrlRSearchesTheHistoryBackwardsInAnyCase) {
    for (const char* line : {"SETOUTPUT 3 1", "GETTIME", "SETOUTPUT 4 0", "HELP"}) {
        TrmEditAddHistory(line);
    }
    Keys("ab\x12seto");
    EXPECT_EQ("SETOUTPUT 4 0", TrmEditLine());
    EXPECT_NE(std::string::npos, screen.rfind("(reverse-i-search)`seto': SETOUTPUT 4 0"));
    Keys("\x12"); // the next older match
    EXPECT_EQ("SETOUTPUT 3 1", TrmEditLine());
    Keys("\x07"); // Ctrl-G: back to the line typed before
    EXPECT_EQ("ab", TrmEditLine());
    EXPECT_NE(std::string::npos, screen.rfind("P> ab"));
    Keys("\x12gett\x1b[D"); // another key ends the search and acts on the line found
    EXPECT_EQ("GETTIME", TrmEditLine());
    EXPECT_EQ(0, TrmEditCursor());
    Keys("\x12help\r");
    EXPECT_EQ("HELP", TrmEditDelivered());
}

TEST_F(TrmEditTest, HistoryKeepsTheNewestThousandLines) {
    for (int i = 0; i < TRMC_HISTORY_MAX + 5; ++i) {
        std::string line("L"); // not "L" + text: GCC 12 -O3 warns (-Wrestrict) in its library
        TrmEditAddHistory(line.append(std::to_string(i)));
    }
    ASSERT_EQ(TRMC_HISTORY_MAX, TrmEditHistory().size());
    EXPECT_EQ("L5", TrmEditHistory().front());
}

TEST_F(TrmEditTest, LineStopsAtItsLimitWhereverTheCursorIs) {
    Keys(std::string(TRMC_EDIT_LINE_MAX + 3, 'x'));
    EXPECT_EQ(TRMC_EDIT_LINE_MAX, TrmEditLine().size());
    Keys("\x01y");
    EXPECT_EQ(std::string(TRMC_EDIT_LINE_MAX, 'x'), TrmEditLine());
}

TEST_F(TrmEditTest, TabCompletesListsOnSecondTabAndHints) {
    TrmEditSetCompleter(Complete);
    Keys("pu\t");
    EXPECT_EQ("PULSE ", TrmEditLine()); // one candidate: completed with a blank
    screen.clear();
    Keys("\t");
    EXPECT_EQ("PULSE ", TrmEditLine()); // the hint does not change the line
    EXPECT_EQ("\r\nPULSE { B W }\r\n\r\x1b[JP> PULSE ", screen);
    Keys("\x15p\t");
    EXPECT_EQ("p", TrmEditLine()); // several: no longer common prefix, nothing listed yet
    screen.clear();
    Keys("\t");
    EXPECT_NE(std::string::npos, screen.find("PFNID     PING      PROTOCOL  PULSE\r\n"));
    Keys("r\t");
    EXPECT_EQ("PROTOCOL ", TrmEditLine());
    Keys("\x15\t"); // an empty first word: every command, common prefix none
    EXPECT_EQ("", TrmEditLine());
}

TEST_F(TrmEditTest, OutputWipesAPartlyTypedLineAndTheLineComesBackAfterIt) {
    Keys("GETT");
    Keys("\x1b[D");
    screen.clear();
    TrmEditHide();
    EXPECT_EQ("\r\x1b[J", screen); // prompt and line are gone, the cursor at their start
    screen.clear();
    TrmEditHide(); // more output: nothing more to wipe
    EXPECT_EQ("", screen);
    TrmEditRefresh();
    EXPECT_EQ("\r\x1b[JP> GETT\x1b[1D", screen); // the cursor where it was
    Keys("IME\r");
    EXPECT_EQ("GETIMET", TrmEditDelivered());
}

TEST_F(TrmEditTest, OutputAfterAnEmptyPromptIsLeftAloneAndTheNextKeyDrawsThePrompt) {
    TrmEditHide();
    TrmEditRefresh();
    EXPECT_EQ("", screen);
    Keys("G");
    EXPECT_EQ("\r\x1b[JP> G", screen);
}

TEST_F(TrmEditTest, WrappedLineIsWipedFromItsFirstRow) {
    TrmEditSetColumns(10);
    Keys("ABCDEFGHIJKL");                  // 3 + 12 characters: two rows
    EXPECT_EQ("ABCDEFG\r\nHIJKL", screen); // the margin is passed at once
    screen.clear();
    TrmEditHide();
    EXPECT_EQ("\x1b[1A\r\x1b[J", screen);
    screen.clear();
    TrmEditRefresh();
    Keys("\x01");
    EXPECT_EQ("\r\x1b[JP> ABCDEFGHIJKL\x1b[1A\x1b[2D", screen); // the terminal wraps
}

TEST_F(TrmEditTest, CtrlDEndsOnlyAnEmptyLineAndCtrlCDiscardsTheLine) {
    EXPECT_EQ(TrmEditResult::EndOfInput, Keys("\x04"));
    Keys("AB");
    screen.clear();
    TrmEditDiscard();
    EXPECT_EQ("^C\r\n\r\x1b[JP> ", screen);
    EXPECT_EQ("", TrmEditLine());
}

TEST_F(TrmEditTest, CtrlLClearsTheScreenAndDrawsPromptAndLine) {
    Keys("AB\x0c");
    EXPECT_EQ("AB\x1b[H\x1b[2J\r\x1b[JP> AB", screen);
}

} // namespace
