#include "Application/AppComplete.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "AppTestFixture.h"

namespace {

class AppCompleteTest : public apptest::AppTest {
  protected:
    TrmCompletion Complete(const std::string& line) {
        TrmCompletion completion;
        AppComplete(line, static_cast<std::uint16_t>(line.size()), completion);
        std::sort(completion.candidates.begin(), completion.candidates.end());
        return completion;
    }
};

using Words = std::vector<std::string>;

TEST_F(AppCompleteTest, FirstWordFromCommandsAndFunctionsInAnyCase) {
    EXPECT_EQ((Words{"LOADDB", "LOADDBS", "LOG", "LOGGER"}), Complete("lo").candidates);
    EXPECT_EQ((Words{"PFNID", "PING", "PROTOCOL"}), Complete("  p").candidates);
    EXPECT_EQ(2, Complete("  p").wWordStart);
    EXPECT_EQ((Words{"SETVAL"}), Complete("setv").candidates);
    EXPECT_TRUE(Complete("XYZ").candidates.empty());
}

TEST_F(AppCompleteTest, ProtocolSubCommandsAndTheRequestStructureAsHint) {
    EXPECT_EQ((Words{"REMOTEPARAMS", "REMSTAT"}), Complete("PROTOCOL rem").candidates);
    const TrmCompletion hint = Complete("setval 1 ");
    EXPECT_TRUE(hint.candidates.empty());
    EXPECT_EQ("SETVAL { B W }", hint.hint);
    EXPECT_EQ("", Complete("HELP x").hint);
}

TEST_F(AppCompleteTest, FileNamesAfterScriptAndResfileKeepTheirCase) {
    apptest::WriteWholeFile(Path("Calls.scr"), "");
    apptest::WriteWholeFile(Path("calls2.scr"), "");
    std::filesystem::create_directory(Path("Sub"));
    TrmCompletion files = Complete("SCRIPT " + dir + "/cal");
    EXPECT_EQ((Words{dir + "/Calls.scr", dir + "/calls2.scr"}), files.candidates);
    files = Complete("resfile " + dir + "/s");
    EXPECT_EQ((Words{dir + "/Sub/"}), files.candidates);
    EXPECT_FALSE(files.bAppendBlank); // a directory goes on with its entries
    EXPECT_TRUE(Complete("SCRIPT /nonexistent/dir/x").candidates.empty());
}

#ifndef _WIN32
TEST_F(AppCompleteTest, HistoryFileFromTheVariableElseInTheHomeDirectory) {
    setenv("TALVO_RC_HISTORY", "/tmp/h", 1);
    EXPECT_EQ("/tmp/h", AppHistoryPath());
    setenv("TALVO_RC_HISTORY", "", 1);
    EXPECT_EQ("", AppHistoryPath()); // set and empty: no file
    unsetenv("TALVO_RC_HISTORY");
    const char* home = std::getenv("HOME");
    const std::string saved = home != nullptr ? home : "";
    setenv("HOME", "/home/op/", 1);
    EXPECT_EQ("/home/op/.talvo_rc_history", AppHistoryPath());
    setenv("HOME", saved.c_str(), 1);
}
#endif

} // namespace
