#include "Application/AppCmd.h"

#include "AppTestFixture.h"
#include "Application/AppCmdArgs.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppRfc.h"
#include "Runtime/Mds.h"

namespace {

using apptest::ERROR_LINE;
using apptest::PROMPT;
using apptest::Sent;

class AppCmdTest : public apptest::AppTest {
  protected:
    std::string Help() {
        Type("HELP");
        return Console();
    }
};

TEST_F(AppCmdTest, HelpMatchesByPrefixInAnyCase) {
    const std::string help = Help();
    EXPECT_EQ(
        0u, help.find("\nCommands present in the system:\n   EXIT              : Leave program\n"));
    EXPECT_NE(std::string::npos, help.find(" the definition file.\n" + PROMPT));
    Type("help");
    EXPECT_EQ(help, Console());
    Type("  HelpMe");
    EXPECT_EQ(help, Console());
    EXPECT_TRUE(Sent().empty());
}

TEST_F(AppCmdTest, EmptyLinePrintsOnlyThePrompt) {
    Type("");
    EXPECT_EQ(PROMPT, Console());
}

TEST_F(AppCmdTest, LineFromLinkChannelIsShownPaddedAndNotExecuted) {
    const std::uint8_t line[] = {'H', 'E', 'L', 'P', 0, 'X', 'X'};
    static_cast<void>(
        MdsExecuteMsgHandler(MDSC_SERIAL_CHANNEL_0, MDSC_MSG_TERMINAL_REQUEST, sizeof line, line));
    EXPECT_EQ("HELP   \n", Console());
    // A terminal line from the unit cannot drive the user's terminal.
    const std::uint8_t hostile[] = {0x1B, '[', '2', 'J', 0x9B, 'A', '\r', 0};
    static_cast<void>(MdsExecuteMsgHandler(MDSC_SERIAL_CHANNEL_0, MDSC_MSG_TERMINAL_REQUEST,
                                           sizeof hostile, hostile));
    EXPECT_EQ(".[2J\x9B"
              "A. \n",
              Console());
}

TEST_F(AppCmdTest, OtherLinesAreRemoteCallsOnTheLinkChannel) {
    Type("ping 5");
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(MDSC_SERIAL_CHANNEL_0, Sent()[0].byChannel);
    EXPECT_EQ(MDSC_MSG_RFS_REQUEST, Sent()[0].byType);
    EXPECT_EQ((std::vector<std::uint8_t>{0x01, 0x01, 0x05}), Sent()[0].data);
    EXPECT_NE(std::string::npos, Console().find(PROMPT));
}

TEST_F(AppCmdTest, CallWaitingForArgumentsTakesTheNextLineWhole) {
    Type("SETVAL 1");
    const std::string waiting = Console();
    EXPECT_NE(std::string::npos, waiting.find("\nExpecting more"));
    EXPECT_EQ(std::string::npos, waiting.find(PROMPT));
    Type("2"); // not matched against the commands
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ((std::vector<std::uint8_t>{0x02, 0x01, 0x01, 0x02, 0x00}), Sent()[0].data);
    EXPECT_NE(std::string::npos, Console().find(PROMPT));
}

TEST_F(AppCmdTest, EmptyLineDropsTheOpenCall) {
    Type("SETVAL 1");
    Type("");
    Type("HELP");
    EXPECT_TRUE(Sent().empty());
    EXPECT_NE(std::string::npos, Console().find("Commands present in the system:"));
}

TEST_F(AppCmdTest, FunctionNamedLikeACommandWasHiddenByIt) {
    Type("logger 1"); // the exact name of a function: the call, not the LOG command
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ((std::vector<std::uint8_t>{0x03, 0x01, 0x01}), Sent()[0].data);
    EXPECT_EQ(std::string::npos, Console().find("Logging is turned"));
    Type("LOGG 1"); // no function has this name: the command still matches by its first letters
    EXPECT_EQ(1u, Sent().size());
    EXPECT_EQ("\nLogging is turned OFF\n" + PROMPT, Console());
}

TEST_F(AppCmdTest, ExitStopsWithCodeZeroAndNoPrompt) {
    OssExit(9);
    Type("exit");
    EXPECT_EQ(0, OssGetExitCode());
    EXPECT_EQ("\n", Console());
    OssRun(); // returns at once: the stop flag is set
}

TEST_F(AppCmdTest, LogSwitchesAndViewsTheEventLog) {
    Type("LOG");
    EXPECT_EQ("\n" + ERROR_LINE + PROMPT, Console());
    Type("LOG ON");
    EXPECT_EQ("\nLogging is turned ON\n" + PROMPT, Console());
    char filter[LOGC_FILTER_SIZE] = {};
    EXPECT_EQ(LOGC_FILTER_ON, LogGetFilter(filter));
    Type("LOG MAYBE");
    EXPECT_EQ("\nLogging is turned OFF\n" + PROMPT, Console());
    EXPECT_EQ(LOGC_FILTER_OFF, LogGetFilter(filter));

    LogError("FirstOp", 0x11, "one");
    LogError("SecondOp", 0x22, "two");
    Type("LOG VIEW");
    const std::string view = Console();
    const auto first = view.find("FirstOp : 0x0011;one\n");
    const auto second = view.find("SecondOp : 0x0022;two\n");
    ASSERT_NE(std::string::npos, first);
    ASSERT_NE(std::string::npos, second);
    EXPECT_LT(first, second);
}

TEST_F(AppCmdTest, TermTypeReadsNumberNotationsAndKeepsTheLowByte) {
    Type("TERMTYPE 0x107");
    EXPECT_EQ("\nTerminal type set to value: 7\n" + PROMPT, Console());
    EXPECT_EQ(7, CmdGetTerminalType());
    Type("termtype 010");
    EXPECT_EQ(8, CmdGetTerminalType());
    Console();
    Type("termtype");
    EXPECT_EQ("\nUsage: TERMTYPE <Type number>\n" + ERROR_LINE + PROMPT, Console());
    EXPECT_EQ(8, CmdGetTerminalType());
}

TEST_F(AppCmdTest, TermSendsTheStringWithItsZeroByteAsTheTerminalType) {
    Type("TERMTYPE 9");
    Type("term  hello  world");
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(9, Sent()[0].byType);
    const std::string expected("HELLO  WORLD\0", 13);
    EXPECT_EQ(std::vector<std::uint8_t>(expected.begin(), expected.end()), Sent()[0].data);
}

TEST_F(AppCmdTest, TermWithoutTextPromptsAndSendsTheNextLine) {
    Type("TERM   ");
    EXPECT_EQ("\nTerminal Command: ", Console());
    Type("HELP me"); // taken whole, not as a command
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(MDSC_MSG_TERMINAL_REQUEST, Sent()[0].byType);
    const std::string expected("HELP ME\0", 8);
    EXPECT_EQ(std::vector<std::uint8_t>(expected.begin(), expected.end()), Sent()[0].data);
    EXPECT_EQ("\n" + PROMPT, Console());
}

TEST_F(AppCmdTest, EmptyLineEndsTheTermPromptWithoutSending) {
    Type("TERM");
    Type("");
    Type("HELP");
    EXPECT_TRUE(Sent().empty());
    EXPECT_NE(std::string::npos, Console().find("Commands present in the system:"));
}

TEST_F(AppCmdTest, TermSendsTheWholeTypedLine) {
    const std::string text(194, 'q'); // what fits a keyboard line after "TERM "
    Type("TERM " + text);
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(std::string(194, 'Q') + '\0',
              std::string(Sent()[0].data.begin(), Sent()[0].data.end()));
}

TEST_F(AppCmdTest, TermTextOverranItsBound) {
    Type("TERM " + std::string(APPC_TERM_STRING_MAX + 1, 'A'));
    EXPECT_TRUE(Sent().empty());
    EXPECT_NE(std::string::npos, Console().find(ERROR_LINE + PROMPT));
    Type("TERM " + std::string(APPC_TERM_STRING_MAX, 'A'));
    ASSERT_EQ(1u, Sent().size());
    EXPECT_EQ(APPC_TERM_STRING_MAX + 1, Sent()[0].data.size());
}

TEST_F(AppCmdTest, MsgTypeSetsTheRequestModeOrFails) {
    Type("MSGTYPE RSP");
    EXPECT_EQ(APPC_REQUEST_MODE_RSP, RfcGetRequestMode());
    EXPECT_EQ("\n" + PROMPT, Console());
    Type("MSGTYPE");
    EXPECT_EQ("\n" + ERROR_LINE + PROMPT, Console());
    Type("MSGTYPE REQUEST");
    EXPECT_EQ("\n" + ERROR_LINE + PROMPT, Console());
    EXPECT_EQ(APPC_REQUEST_MODE_RSP, RfcGetRequestMode());
    Type("msgtype req");
    EXPECT_EQ(APPC_REQUEST_MODE_REQ, RfcGetRequestMode());
}

TEST_F(AppCmdTest, PfnidShowsThePendingFunction) {
    SetPendingFnId(apptest::FNID_PING);
    Type("PFNID");
    EXPECT_EQ("\nCurrent Pending Fnid = 0x0101,  PING\n" + PROMPT, Console());
    SetPendingFnId(APPC_NO_FNID);
    Type("PFNID");
    EXPECT_EQ("\nCurrent Pending Fnid = 0xFFFF\n" + PROMPT, Console());
}

TEST_F(AppCmdTest, LoadDbCommandsDoNothing) {
    Type("LOADDB x.def");
    Type("LOADDBS ping 1");
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ("\n" + PROMPT + "\n" + PROMPT, Console());
}

TEST_F(AppCmdTest, ProtocolLineIsACommandNotACall) {
    Type("PROTOCOL HELP");
    EXPECT_EQ(std::string::npos, Console().find("not present in the definition file"));
}

TEST_F(AppCmdTest, CallerLineUpperCasedInPlace) {
    // The data of a message belong to the caller: the interpreter works on a copy.
    std::uint8_t line[] = {'p', 'i', 'n', 'g', ' ', '1'};
    static_cast<void>(
        MdsExecuteMsgHandler(MDSC_TERMINAL_CHANNEL, MDSC_MSG_TERMINAL_REQUEST, sizeof line, line));
    EXPECT_EQ(0, std::memcmp(line, "ping 1", sizeof line));
    EXPECT_EQ(1u, Sent().size());
}

TEST_F(AppCmdTest, LineWithoutTerminatingZeroIsReadOnlyToItsLength) {
    const std::string buffer = "HELPXXXX";
    static_cast<void>(MdsExecuteMsgHandler(MDSC_TERMINAL_CHANNEL, MDSC_MSG_TERMINAL_REQUEST, 3,
                                           reinterpret_cast<const std::uint8_t*>(buffer.data())));
    EXPECT_NE(std::string::npos, Console().find("Remote Function 'HEL' not present"));
}

TEST(AppCmdHelpers, NumbersInAllNotations) {
    EXPECT_EQ(263u, CmdParseUnsigned("0x107"));
    EXPECT_EQ(263u, CmdParseUnsigned("0X107"));
    EXPECT_EQ(8u, CmdParseUnsigned("010"));
    EXPECT_EQ(12u, CmdParseUnsigned("12AB"));
    EXPECT_EQ(0u, CmdParseUnsigned("ABC"));
    EXPECT_EQ(0u, CmdParseUnsigned("089")); // octal stops at 8
    EXPECT_EQ(UINT32_MAX, CmdParseUnsigned("99999999999999999999"));
}

} // namespace

namespace {

class KeepCaseTest : public apptest::AppTest {
  protected:
    void TearDown() override {
        RfcSetKeepCase(false);
        apptest::AppTest::TearDown();
    }
    void LoadNameFunction() {
        FnTabRelease();
        apptest::WriteWholeFile(Path("K.DEF"), "#define REQUEST\nUSER 0x0110 { S4 C2 B } { B }\n");
        ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(Path("K.DEF").c_str()));
        Console();
    }
};

TEST_F(KeepCaseTest, StringAndCharacterArgumentsKeepTheirCaseOnlyWhenAsked) {
    LoadNameFunction();
    Type("user \"aBc\" xY 0x1f");
    ASSERT_EQ(1u, Sent().size()) << Console();
    EXPECT_EQ((std::vector<std::uint8_t>{0x10, 0x01, 'A', 'B', 'C', 0, 'X', 'Y', 0x1F}),
              Sent()[0].data);
    RfcSetKeepCase(true);
    Type("user \"aBc\" xY 0x1f");
    // Continued over two lines: the second line keeps its case too.
    Type("User \"pw\"");
    Type("zq 7");
    ASSERT_EQ(3u, Sent().size());
    EXPECT_EQ((std::vector<std::uint8_t>{0x10, 0x01, 'a', 'B', 'c', 0, 'x', 'Y', 0x1F}),
              Sent()[1].data);
    EXPECT_EQ((std::vector<std::uint8_t>{0x10, 0x01, 'p', 'w', 0, 0, 'z', 'q', 7}), Sent()[2].data);
}

} // namespace
