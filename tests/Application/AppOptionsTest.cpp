#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "AppTestCapture.h"
#include "Application/AppFnTab.h"
#include "Application/AppMain.h"
#include "Application/AppOptions.h"
#include "Application/AppStreams.h"
#include "Communication/Rsm/Rsm.h"
#include "Platform/PltFile.h"
#include "Platform/PltSerial.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Trace.h"
#include "tests/support/TestOs.h"

namespace {

const std::string kDefinitionOption = std::string("-D") + TALVO_SOURCE_DIR "/examples/FNID.DEF";

class AppOptionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        AppResetForTest();
        MdsResetForTest();
        LogResetForTest();
        AppSetConsole(m_tConsole.File());
    }
    void TearDown() override {
        FnTabRelease();
        AppResetForTest();
        MdsResetForTest();
    }

    std::uint16_t Parse(std::vector<std::string> args) {
        args.insert(args.begin(), "talvo_rc");
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        return AppParseOptions(static_cast<int>(argv.size()), argv.data());
    }

    // A fresh start within a test; the console stays captured.
    void Reset() {
        AppResetForTest();
        AppSetConsole(m_tConsole.File());
    }

    std::string Console() const { return m_tConsole.All(); }

    CapturedStream m_tConsole;
};

TEST_F(AppOptionsTest, BaudRatesRoundDownToTheTable) {
    EXPECT_EQ(AppRoundBaudrate(20000), 19200U);
    EXPECT_EQ(AppRoundBaudrate(200000), 115200U);
    EXPECT_EQ(AppRoundBaudrate(57601), 57600U);
    EXPECT_EQ(AppRoundBaudrate(38400), 38400U);
    EXPECT_EQ(AppRoundBaudrate(300), 9600U);
    EXPECT_EQ(AppRoundBaudrate(0), 9600U);
}

TEST_F(AppOptionsTest, DefaultsAreCom2At19200WithFullProtocol) {
    ASSERT_EQ(Parse({kDefinitionOption}), 0);
    EXPECT_EQ(AppLinkChannel(), MDSC_SERIAL_CHANNEL_0);
    EXPECT_EQ(AppSerialPort(), 1);
    EXPECT_EQ(AppBaudrate(), 19200U);
    EXPECT_EQ(AppSerialProtocol(), RSMC_PROTOCOL_FULL);
    EXPECT_STREQ(AppStartupLine(), "");
    EXPECT_EQ(Console().rfind(std::string("Talvo RC version ") + APPC_VERSION + " \n", 0), 0U);
}

TEST_F(AppOptionsTest, SerialPortAndBaudRateOptions) {
    ASSERT_EQ(Parse({kDefinitionOption, "-S4:300"}), 0);
    EXPECT_EQ(AppSerialPort(), 3);
    EXPECT_EQ(AppBaudrate(), 9600U);
    Reset();
    ASSERT_EQ(Parse({kDefinitionOption, "-S9"}), 0);
    EXPECT_EQ(AppSerialPort(), 1);
    Reset();
    ASSERT_EQ(Parse({kDefinitionOption, "-S3", "-S:57601"}), 0);
    EXPECT_EQ(AppSerialPort(), 2); // no digit: the port stays
    EXPECT_EQ(AppBaudrate(), 57600U);
    Reset();
    ASSERT_EQ(Parse({kDefinitionOption, "/s1:0x1C200"}), 0);
    EXPECT_EQ(AppSerialPort(), 0);
    EXPECT_EQ(AppBaudrate(), 115200U);
}

TEST_F(AppOptionsTest, ProtocolLetters) {
    ASSERT_EQ(Parse({kDefinitionOption, "-PT"}), 0);
    EXPECT_EQ(AppSerialProtocol(), RSMC_PROTOCOL_TERMINAL);
    ASSERT_EQ(Parse({kDefinitionOption, "-ps"}), 0);
    EXPECT_EQ(AppSerialProtocol(), RSMC_PROTOCOL_SIMPLE);
    ASSERT_EQ(Parse({kDefinitionOption, "-P"}), 0);
    EXPECT_EQ(AppSerialProtocol(), RSMC_PROTOCOL_FULL);
}

TEST_F(AppOptionsTest, TheLaterLinkOptionWins) {
    ASSERT_EQ(Parse({kDefinitionOption, "-I127.0.0.1", "-S1"}), 0);
    EXPECT_EQ(AppLinkChannel(), MDSC_SERIAL_CHANNEL_0);
    EXPECT_EQ(AppSerialPort(), 0);
    ASSERT_EQ(Parse({kDefinitionOption, "-S1", "-i127.0.0.1"}), 0);
    EXPECT_EQ(AppLinkChannel(), MDSC_TCPIP_SESSION_BASE);
    EXPECT_STREQ(AppHost(), "127.0.0.1");
}

TEST_F(AppOptionsTest, StartupScriptPathWasCutOrTakenForAnOption) {
    const std::string longName = "run/" + std::string(200, 'a') + ".scr";
    ASSERT_EQ(Parse({"first.scr", kDefinitionOption, longName}), 0);
    EXPECT_EQ(std::string(AppStartupLine()), "SCRIPT " + longName); // the last one, whole
#ifndef _WIN32
    // An absolute path names the script when the file exists; otherwise '/' starts an option.
    const std::string absolute = TALVO_SOURCE_DIR "/examples/DEMO.SCR";
    ASSERT_EQ(Parse({kDefinitionOption, absolute}), 0);
    EXPECT_EQ(std::string(AppStartupLine()), "SCRIPT " + absolute);
    EXPECT_EQ(Parse({kDefinitionOption, "/nonexistent/x.scr"}), APPC_EXIT_USAGE);
#endif
}

TEST_F(AppOptionsTest, ScriptPathLongerThanThePlatformTakesIsRefused) {
    Reset();
    const std::string tooLong(PltPathMax() + 1, 'b');
    ASSERT_EQ(Parse({kDefinitionOption, tooLong}), 0);
    EXPECT_STREQ(AppStartupLine(), "");
    EXPECT_NE(Console().find("Can't open scriptfile : " + tooLong + "\n"), std::string::npos);
}

TEST_F(AppOptionsTest, DefinitionFileFailuresGiveTheirExitStatus) {
    EXPECT_EQ(Parse({"-D/nonexistent/FNID.DEF"}), APPC_EXIT_DEFINITIONS);
    Reset();
    const std::string bad = testing::TempDir() + "/talvo_bad.def";
    std::FILE* file = std::fopen(bad.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("#define REQUEST\nBROKEN\n", file);
    std::fclose(file);
    EXPECT_EQ(Parse({"-D" + bad}), APPC_EXIT_DEFINITIONS);
    std::remove(bad.c_str());
}

TEST_F(AppOptionsTest, UnknownLetterPrintsUsageAndStops) {
    EXPECT_EQ(Parse({"-X", kDefinitionOption}), 1);
    const std::string text = Console();
    EXPECT_NE(text.find("Usage: talvo_rc [options] [-D<deffile>] [<scrfile>]\n"),
              std::string::npos);
    EXPECT_EQ(FnTabCount(), 0); // stopped before loading
}

TEST_F(AppOptionsTest, HostLongerThanTheSettingIsRefusedNotCut) {
    EXPECT_EQ(Parse({kDefinitionOption, "-I" + std::string(APPC_HOST_MAX + 1, 'h')}), 1);
    EXPECT_EQ(AppLinkChannel(), MDSC_SERIAL_CHANNEL_0);
    const std::string text = Console();
    EXPECT_NE(text.find("Host name longer than 252 characters"), std::string::npos);
    EXPECT_NE(text.find("Usage: talvo_rc"), std::string::npos);
    Reset();
    EXPECT_EQ(Parse({kDefinitionOption, "-I" + std::string(APPC_HOST_MAX, 'h')}), 0);
    EXPECT_EQ(std::string(AppHost()).size(), APPC_HOST_MAX);
}

TEST_F(AppOptionsTest, CaptureOptionNeedsAFileAndOpensItOnceTheTableIsLoaded) {
    EXPECT_EQ(Parse({"-C", kDefinitionOption}), 1);
    EXPECT_NE(Console().find("  -C<file> : Capture every frame"), std::string::npos);
    EXPECT_FALSE(TraceActive());
    Reset();
    EXPECT_EQ(Parse({kDefinitionOption}), 0);
    EXPECT_FALSE(TraceActive()); // no capture unless asked for
    FnTabRelease();
    Reset();
    const std::string path = "talvo_options_test_" + std::to_string(testos::ProcessId()) + ".pcap";
    EXPECT_EQ(Parse({"-c" + path, kDefinitionOption}), 0);
    EXPECT_TRUE(TraceActive());
    TraceClose();
    std::remove(path.c_str());
}

TEST_F(AppOptionsTest, HostWithPortAndIpv6InBrackets) {
    const struct {
        const char* pszArg;
        const char* pszHost;
        std::uint16_t wPort;
    } cases[] = {
        {"-I127.0.0.1", "127.0.0.1", 9451},
        {"-I127.0.0.1:9452", "127.0.0.1", 9452},
        {"-Iunit.example:65535", "unit.example", 65535},
        {"-I[::1]", "::1", 9451},
        {"-I[::1]:9452", "::1", 9452},
        {"-I::1", "::1", 9451},
        {"-I[fe80::1%eth0]:1", "fe80::1%eth0", 1},
    };
    for (const auto& c : cases) {
        Reset();
        AppSetConsole(m_tConsole.File());
        ASSERT_EQ(Parse({kDefinitionOption, c.pszArg}), 0) << c.pszArg;
        EXPECT_EQ(AppLinkChannel(), MDSC_TCPIP_SESSION_BASE);
        EXPECT_STREQ(AppHostName(), c.pszHost) << c.pszArg;
        EXPECT_EQ(AppTcpPort(), c.wPort) << c.pszArg;
        EXPECT_STREQ(AppHost(), c.pszArg + 2); // the link message shows what was asked
    }
}

TEST_F(AppOptionsTest, BadPortsAreRefusedWithTheUsage) {
    for (const char* pszArg : {"-I127.0.0.1:0", "-I127.0.0.1:65536", "-I[::1]:0", "-Ihost:",
                               "-Ihost:12x", "-I[::1", "-I[::1]x", "-Ihost:99999999999999999999"}) {
        Reset();
        CapturedStream console;
        AppSetConsole(console.File());
        EXPECT_EQ(Parse({kDefinitionOption, pszArg}), APPC_EXIT_USAGE) << pszArg;
        EXPECT_EQ(AppLinkChannel(), MDSC_SERIAL_CHANNEL_0) << pszArg;
        const std::string text = console.All();
        EXPECT_NE(text.find("Invalid host or port (1 to 65535)"), std::string::npos) << pszArg;
        EXPECT_NE(text.find("Usage: talvo_rc"), std::string::npos) << pszArg;
        AppSetConsole(m_tConsole.File()); // before the local stream is closed
    }
}

TEST_F(AppOptionsTest, SerialDevicePathWithOrWithoutBaudRate) {
    ASSERT_EQ(Parse({kDefinitionOption, "-S/dev/ttyUSB0:115200"}), 0);
    EXPECT_EQ(AppLinkChannel(), MDSC_SERIAL_CHANNEL_0);
    EXPECT_STREQ(AppSerialDevice(), "/dev/ttyUSB0");
    EXPECT_EQ(AppBaudrate(), 115200U);
    Reset();
    ASSERT_EQ(Parse({kDefinitionOption, "-S\\\\.\\COM12"}), 0);
    EXPECT_STREQ(AppSerialDevice(), "\\\\.\\COM12");
    EXPECT_EQ(AppBaudrate(), 19200U);
    Reset();
    // A colon not followed by a number belongs to the name.
    ASSERT_EQ(Parse({kDefinitionOption, "-S/dev/serial/by-path/pci-0:1.2"}), 0);
    EXPECT_STREQ(AppSerialDevice(), "/dev/serial/by-path/pci-0:1.2");
    Reset();
    ASSERT_EQ(Parse({kDefinitionOption, "-S/dev/ttyUSB0", "-S3:38400"}), 0);
    EXPECT_STREQ(AppSerialDevice(), ""); // -S<digit> as ever
    EXPECT_EQ(AppSerialPort(), 2);
    Reset();
    EXPECT_EQ(Parse({kDefinitionOption, "-S/" + std::string(PLTC_DEVICE_NAME_SIZE, 'd')}),
              APPC_EXIT_USAGE);
    EXPECT_NE(Console().find("Device name longer than 127 characters"), std::string::npos);
}

TEST_F(AppOptionsTest, ReconnectOption) {
    ASSERT_EQ(Parse({kDefinitionOption, "-I127.0.0.1"}), 0);
    EXPECT_FALSE(AppReconnect());
    ASSERT_EQ(Parse({kDefinitionOption, "-R"}), 0);
    EXPECT_TRUE(AppReconnect());
}

TEST_F(AppOptionsTest, MissingDefinitionFileStopsWithItsResult) {
    EXPECT_EQ(Parse({"-D/nonexistent/FNID.DEF"}), APPC_LOAD_NOT_FOUND);
}

TEST_F(AppOptionsTest, GenericHandlerCoversTypes0To254) {
    ASSERT_EQ(Parse({kDefinitionOption}), 0);
    AppSetResponseStream(m_tConsole.File());
    EXPECT_EQ(MdsExecuteMsgHandler(MDSC_SERIAL_CHANNEL_0, 0, 0, nullptr), 0);
    EXPECT_EQ(MdsExecuteMsgHandler(MDSC_SERIAL_CHANNEL_0, 254, 0, nullptr), 0);
    EXPECT_EQ(MdsExecuteMsgHandler(MDSC_SERIAL_CHANNEL_0, 255, 0, nullptr), MDSC_ERROR);
    EXPECT_NE(Console().find("TYPE(254) Message, 0 bytes in length...\n"), std::string::npos);
}

} // namespace
