// talvo_rc started as a user starts it: banner, usage, link selection messages and exit status.
#include <gtest/gtest.h>

#include "Application/AppVersion.h"
#include "tests/e2e/E2eSupport.h"

namespace {

const std::string kDefinitions = std::string("-D") + TALVO_SOURCE_DIR "/examples/FNID.DEF";
const std::string kBanner = std::string("Talvo RC version ") + APPC_VERSION + " \n";
const std::string kUsageStart = "Usage: talvo_rc [options] [-D<deffile>] [<scrfile>]\n";
// Serial ports that lead nowhere, so that no test touches a real device.
const std::vector<std::string> kNoDevices = {
    "TALVO_RC_COM1=/nonexistent/com1", "TALVO_RC_COM2=/nonexistent/com2",
    "TALVO_RC_COM3=/nonexistent/com3", "TALVO_RC_COM4=/nonexistent/com4"};

RunResult RunTool(const std::vector<std::string>& args, const std::string& input = "EXIT\n") {
    return RunProgram(TALVO_RC_BIN, args, input, 10000, kNoDevices);
}

TEST(StartupTest, UnknownOptionPrintsBannerAndUsageAndEndsWithoutLink) {
    const RunResult result = RunTool({"-X", kDefinitions});
    EXPECT_EQ(result.iExitCode, 1);
    EXPECT_EQ(result.output.rfind(kBanner + "Usage: talvo_rc [options] [-D<deffile>] [<scrfile>]\n"
                                            "\noptions: <-L>",
                                  0),
              0U)
        << result.output;
    EXPECT_EQ(result.output.find("Using "), std::string::npos);
}

// --help and --version answer alone, wherever they stand, even where no definition file is: no
// banner before the usage text, nothing after the banner line, status 0.
TEST(StartupTest, HelpAndVersionAnswerAloneAndEndWithStatus0) {
    const std::string emptyDir = TempDirectory();
    const RunResult version =
        RunProgram(TALVO_RC_BIN, {"--version"}, "", 10000, kNoDevices, emptyDir);
    EXPECT_EQ(version.iExitCode, 0);
    EXPECT_EQ(version.output, kBanner);

    const RunResult late =
        RunProgram(TALVO_RC_BIN, {"-S1", "x.scr", "--version"}, "", 10000, kNoDevices, emptyDir);
    EXPECT_EQ(late.iExitCode, 0);
    EXPECT_EQ(late.output, kBanner);

    const RunResult help =
        RunProgram(TALVO_RC_BIN, {"-L", "--help"}, "", 10000, kNoDevices, emptyDir);
    EXPECT_EQ(help.iExitCode, 0);
    EXPECT_EQ(help.output.rfind(kUsageStart, 0), 0U) << help.output;
    EXPECT_NE(help.output.find("\n  --help    : Show this text and exit\n"
                               "  --version : Show the version line and exit\n"),
              std::string::npos)
        << help.output;
    EXPECT_EQ(help.output.find("Talvo RC version"), std::string::npos) << help.output;
    EXPECT_EQ(help.output.find("Loading definition file"), std::string::npos) << help.output;
}

// Only the two whole words are recognised: a near miss is an unknown option like any other.
TEST(StartupTest, NearMissOfLongOptionIsUnknownOption) {
    const RunResult unknown = RunTool({"-X", kDefinitions});
    for (const char* pszArg : {"--versions", "--HELP", "-help"}) {
        const RunResult result = RunTool({pszArg, kDefinitions});
        EXPECT_EQ(result.iExitCode, unknown.iExitCode) << pszArg;
        EXPECT_EQ(result.output.rfind(kBanner + kUsageStart, 0), 0U) << pszArg << ":\n"
                                                                     << result.output;
        EXPECT_EQ(result.output.find("Using "), std::string::npos) << pszArg;
    }
}

TEST(StartupTest, DefaultLinkIsCom2At19200Full) {
    const RunResult result = RunTool({kDefinitions});
    EXPECT_EQ(result.iExitCode, 0);
    EXPECT_EQ(result.output.rfind(kBanner, 0), 0U) << result.output;
    EXPECT_NE(result.output.find("Using COM2: for serial communication\n"
                                 "   Baudrate = 19200, Protocol = Full\n"),
              std::string::npos)
        << result.output;
}

TEST(StartupTest, SerialOptionsReachTheLinkMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* pszExpected;
    };
    const Case cases[] = {
        {{"-S4:300"},
         "Using COM4: for serial communication\n   Baudrate = 9600, Protocol = Full\n"},
        {{"-S9"}, "Using COM2: for serial communication\n   Baudrate = 19200, Protocol = Full\n"},
        {{"/s3", "-S:57601"},
         "Using COM3: for serial communication\n   Baudrate = 57600, Protocol = Full\n"},
        {{"-PT"}, "Using COM2: for serial communication\n   Baudrate = 19200, Protocol = Simple\n"},
        {{"-I127.0.0.1", "-S1"},
         "Using COM1: for serial communication\n   Baudrate = 19200, Protocol = Full\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(kDefinitions);
        const RunResult result = RunTool(args);
        EXPECT_EQ(result.iExitCode, 0);
        EXPECT_NE(result.output.find(c.pszExpected), std::string::npos) << c.args.front() << ":\n"
                                                                        << result.output;
    }
}

TEST(StartupTest, MissingDefinitionFileEndsWithoutLink) {
    const RunResult result = RunTool({"-D/nonexistent/FNID.DEF"});
    EXPECT_EQ(result.iExitCode, 2); // a failed start is no success
    EXPECT_NE(result.output.find("Can't open defintion file: /nonexistent/FNID.DEF\n"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("Using "), std::string::npos);
}

TEST(StartupTest, HelpThenExitEndsWithStatus0) {
    const RunResult result = RunTool({kDefinitions}, "HELP\nEXIT\n");
    EXPECT_EQ(result.iExitCode, 0);
    EXPECT_FALSE(result.bTimedOut);
}

} // namespace

namespace {

TEST(StartupTest, FunctionNamedLikeACommandWasNotCallable) {
    // LOGFULL is a function of the bundled file; before, the LOG command took the line.
    const RunResult result = RunTool({kDefinitions}, "LOGFULL 5\nEXIT\n");
    EXPECT_NE(result.output.find("PC_NOTIFY (5) message\nFnId    : 0x0102"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("Logging is turned"), std::string::npos);
}

TEST(StartupTest, AbsoluteScriptPathWasTakenForAnOption) {
    // Longer than the 40 characters a start-up script name was once cut to.
    const std::string script = TempPath("a_start-up_script_with_a_rather_long_name.scr");
    WriteFile(script, "HELP\nEXIT\n");
    const RunResult result = RunTool({kDefinitions, script}, "");
    EXPECT_EQ(result.iExitCode, 0);
    EXPECT_NE(result.output.find("Commands present in the system:"), std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("Usage:"), std::string::npos);
}

} // namespace
