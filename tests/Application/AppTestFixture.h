// Shared set-up of the application tests: the runtime and the application reset, a function
// table loaded from a small definition file, the console captured in a temporary file, the
// interpreter registered for TERMINAL_REQUEST and a recorder standing in for the link.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Application/AppCmd.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppRfc.h"
#include "Application/AppScript.h"
#include "Application/AppStreams.h"
#include "Application/AppTfc.h"
#include "Runtime/GpsTmr.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"
#include "tests/support/TestOs.h"

namespace apptest {

// A message handed to the link's channel.
struct SentMessage {
    std::uint8_t byChannel;
    std::uint8_t byType;
    std::vector<std::uint8_t> data;
};

inline std::vector<SentMessage>& Sent() {
    static std::vector<SentMessage> sent;
    return sent;
}

inline std::uint16_t RecordLink(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                std::uint16_t wLength, const std::uint8_t* pbyData) {
    Sent().push_back(
        {byChannelId, byMsgType, std::vector<std::uint8_t>(pbyData, pbyData + wLength)});
    return 0;
}

inline std::string ReadWholeFile(const std::string& path) {
    std::string text;
    // Text mode: the platform's line ends (CR LF on Windows) read as "\n".
    if (std::FILE* file = std::fopen(path.c_str(), "r")) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            text.append(chunk, got);
        }
        std::fclose(file);
    }
    return text;
}

inline void WriteWholeFile(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, file) << path;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

constexpr std::uint16_t FNID_PING = 0x0101;   // request: one byte
constexpr std::uint16_t FNID_SETVAL = 0x0102; // request: a byte and a word
constexpr std::uint16_t FNID_LOGGER = 0x0103; // its name begins with the LOG command

constexpr const char* DEFINITION_TEXT = "#define REQUEST\n"
                                        "PING 0x0101 { B } { B }\n"
                                        "SETVAL 0x0102 { B W } { B }\n"
                                        "LOGGER 0x0103 { B } { B }\n";

// A new, empty directory under the system's temporary directory; "" when none could be made.
inline std::string MakeTempDirectory() {
    static unsigned serial = 0;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path path =
            base / ("talvo_app_test_" + std::to_string(testos::ProcessId()) + "_" +
                    std::to_string(++serial));
        std::error_code error;
        if (std::filesystem::create_directory(path, error)) {
            return path.generic_string();
        }
    }
    return "";
}

class AppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = MakeTempDirectory();
        ASSERT_NE("", dir);

        static_cast<void>(OssTerminate());
        static_cast<void>(OssInit());
        OssFreezeTime(1);
        MdsResetForTest();
        GpsTmrResetForTest();
        static_cast<void>(LogTerminate());
        static_cast<void>(LogInit());
        LogResetForTest();
        AppResetStreamsForTest();
        CmdResetForTest();
        ScriptResetForTest();
        TfcResetForTest();
        RfcSetRequestMode(APPC_REQUEST_MODE_REQ);
        SetPendingFnId(APPC_NO_FNID);
        Sent().clear();

        console = std::tmpfile();
        ASSERT_NE(nullptr, console);
        AppSetConsole(console);
        AppSetResponseStream(console);

        WriteWholeFile(Path("FNID.DEF"), DEFINITION_TEXT);
        ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(Path("FNID.DEF").c_str()));
        RfcReset();
        static_cast<void>(MdsRegisterMsgHandler(MDSC_MSG_TERMINAL_REQUEST, CmdLineHandler));
        static_cast<void>(MdsRegisterMsgHandler(MDSC_MSG_RFS_RESPONSE, MsgGenericHandler));
        static_cast<void>(MdsRegisterResponseHandler(AppLinkChannel(), RecordLink));
        Console(); // the loader's progress lines are not part of any test
    }

    void TearDown() override {
        ScriptStop();
        ScriptResetForTest();
        TfcResetForTest();
        FnTabRelease();
        AppResetStreamsForTest();
        MdsResetForTest();
        GpsTmrResetForTest();
        OssFreezeTime(0);
        static_cast<void>(OssTerminate());
        static_cast<void>(OssInit());
        std::fclose(console);
        std::error_code error;
        std::filesystem::remove_all(dir, error);
        EXPECT_FALSE(error) << error.message();
    }

    std::string Path(const std::string& name) const { return dir + "/" + name; }

    // Delivers a line as the keyboard does.
    void Type(const std::string& line) {
        static_cast<void>(MdsExecuteMsgHandler(MDSC_TERMINAL_CHANNEL, MDSC_MSG_TERMINAL_REQUEST,
                                               static_cast<std::uint16_t>(line.size()),
                                               reinterpret_cast<const std::uint8_t*>(line.data())));
    }

    // Console output since the last call.
    std::string Console() {
        std::fflush(console);
        const long end = std::ftell(console);
        std::string text(static_cast<std::size_t>(end - consumed), '\0');
        std::fseek(console, consumed, SEEK_SET);
        const std::size_t got = std::fread(text.data(), 1, text.size(), console);
        text.resize(got);
        consumed = end;
        std::fseek(console, end, SEEK_SET);
        return text;
    }

    // The unit answers the function: an RFS_RESPONSE with its FnId and one byte.
    void Answer(std::uint16_t wFnId) {
        const std::uint8_t message[] = {static_cast<std::uint8_t>(wFnId & 0xFF),
                                        static_cast<std::uint8_t>(wFnId >> 8), 0};
        static_cast<void>(
            MdsExecuteMsgHandler(AppLinkChannel(), MDSC_MSG_RFS_RESPONSE, sizeof message, message));
    }

    std::string dir;
    std::FILE* console = nullptr;
    long consumed = 0;
};

inline const std::string PROMPT = "\nFunction ==> ";
inline const std::string ERROR_LINE = "Error in last function . . . . . . .";

} // namespace apptest
