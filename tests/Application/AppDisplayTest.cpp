#include "Application/AppDisplay.h"

#include <gtest/gtest.h>

#include <vector>

#include "AppTestCapture.h"
#include "Application/AppFnTab.h"
#include "Application/AppStreams.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class AppDisplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        AppResetStreamsForTest();
        AppSetConsole(console.File());
        AppSetResponseStream(response.File());
        SetPendingFnId(APPC_NO_FNID);
        const std::string file =
            WriteDefFile("display.def", "WW    0x0201 { B } { W W }\n"
                                        "BYTE  0x0202 { W } { B }\n"
                                        "INT   0x0203 { - } { I2 }\n"
                                        "NAME  0x0204 { - } { S8 B }\n"
                                        "LOG   0x0205 { - } { W (D B)3 }\n"
                                        "ALL   0x0206 { - } { C X H E D U P }\n");
        ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(file.c_str()));
    }
    void TearDown() override {
        RemoveDefFiles();
        FnTabRelease();
        AppResetStreamsForTest();
    }

    std::string Show(std::uint8_t type, const Bytes& data, const char* structure = nullptr) {
        MsgDisplay(structure, type, static_cast<std::uint16_t>(data.size()), data.data());
        return response.Take();
    }

    CapturedStream console;
    CapturedStream response;
};

TEST_F(AppDisplayTest, TypeNamesAndMessagesWithoutFnId) {
    EXPECT_STREQ("BROADCAST_INFO ", MsgTypeName(22));
    EXPECT_STREQ("TYPE", MsgTypeName(23));
    EXPECT_EQ("\nTYPE(13) Message, 0 bytes in length...\n", Show(13, {}));
    EXPECT_EQ("\nACK (1) Message, 1 bytes in length...\n"
              "Number of rest bytes: 1\n"
              "000:  41   A\n",
              Show(1, {0x41}));
}

TEST_F(AppDisplayTest, RequestAndResponseOfAKnownFunction) {
    EXPECT_EQ("\nRFS_REQUEST (3) Message, 4 bytes in length...\n"
              "FnId    : 0x0202,  BYTE,  InStruc={ W  }\n"
              " WORD     : 772 \n",
              Show(3, {0x02, 0x02, 0x04, 0x03}));
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 7 bytes in length...\n"
              "FnId    : 0x0201,  WW,  OutStruc={ W W  }\n"
              "Error   : 0x0012\n"
              " WORD     : 1 \n"
              " WORD     : 2 \n"
              "There are ==> 1 <== bytes missing in the message\n",
              Show(4, {0x01, 0x02, 0x12, 0x00, 0x01, 0x00, 0x02}));
}

TEST_F(AppDisplayTest, UnknownFnIdDumpsEverythingAfterItsErrorCode) {
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 6 bytes in length...\n"
              "FnId    : 0x7777\n"
              "Error   : 0x0001\n"
              "Number of rest bytes: 2\n"
              "000:  00 7F   ..\n",
              Show(4, {0x77, 0x77, 0x01, 0x00, 0x00, 0x7F}));
}

// String and character fields from the unit were written raw: escape sequences in them moved the
// cursor, retitled the window or worse. Control characters now show as '.', Latin-1 stays.
TEST_F(AppDisplayTest, EscapeSequencesInTextFieldsCannotDriveTheTerminal) {
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 13 bytes in length...\n"
              "FnId    : 0x0204,  NAME,  OutStruc={ S8 B  }\n"
              "Error   : 0x0000\n"
              " String   : .]2;X..\xE9\n"
              " BYTE     : 9 \n",
              Show(4, {0x04, 0x02, 0, 0, 0x1B, ']', '2', ';', 'X', 0x07, 0x7F, 0xE9, 9}));
    const std::string shown = Show(4, {0x06, 0x02, 0, 0, 0x9B, 0x1B}, "X C");
    EXPECT_EQ(" hexByte  : 9B \n Char     : .\n", shown.substr(shown.find(" hexByte")));
}

TEST_F(AppDisplayTest, RestBytesAreDumpedSixteenToALine) {
    Bytes data{0x02, 0x02, 0x05};
    for (int n = 0; n < 19; ++n) {
        data.push_back(static_cast<std::uint8_t>(0x30 + n));
    }
    EXPECT_EQ("\nPC_NOTIFY (5) Message, 22 bytes in length...\n"
              "FnId    : 0x0202,  BYTE,  OutStruc={ B  }\n"
              " BYTE     : 5 \n"
              "Number of rest bytes: 19\n"
              "001:  30 31 32 33 34 35 36 37 - 38 39 3A 3B 3C 3D 3E 3F   0123456789:;<=>?\n"
              "011:  40 41 42   @AB\n",
              Show(5, data));
}

TEST_F(AppDisplayTest, IntFieldPrintsTheMaskedWord) {
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 8 bytes in length...\n"
              "FnId    : 0x0203,  INT,  OutStruc={ I2  }\n"
              "Error   : 0x0000\n"
              " Int      : 65531 32767 \n",
              Show(4, {0x03, 0x02, 0, 0, 0xFB, 0xFF, 0xFF, 0x7F}));
}

TEST_F(AppDisplayTest, EveryFieldTypeAndAGivenStructure) {
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 18 bytes in length...\n"
              "FnId    : 0x0206,  ALL,  OutStruc={ C X H E D U P  }\n"
              "Error   : 0x0000\n"
              " Char     : Z\n"
              " hexByte  : 0A \n"
              " HexWord  : BEEF \n"
              " ErrorCode: 0102 \n"
              " DWORD    : 4294967295 \n"
              " UnitNr   : 7 \n"
              " DelId    : 8 \n",
              Show(4, {0x06, 0x02, 0, 0, 'Z', 0x0A, 0xEF, 0xBE, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
                       7, 0, 8, 0}));
    // A structure given by the caller replaces the table's.
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 7 bytes in length...\n"
              "FnId    : 0x0206,  ALL,  OutStruc={ C X H E D U P  }\n"
              "Error   : 0x0000\n"
              " BYTE     : 1 2 3 \n",
              Show(4, {0x06, 0x02, 0, 0, 1, 2, 3}, "B3"));
}

TEST_F(AppDisplayTest, StringsStopAtTheirZeroAndArePadded) {
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 13 bytes in length...\n"
              "FnId    : 0x0204,  NAME,  OutStruc={ S8 B  }\n"
              "Error   : 0x0000\n"
              " String   : AB      \n"
              " BYTE     : 9 \n",
              Show(4, {0x04, 0x02, 0, 0, 'A', 'B', 0, 'X', 'Y', 'Z', 'Z', 'Z', 9}));
}

TEST_F(AppDisplayTest, StringLongerThanTheMessageIsNotReadPastItsEnd) {
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 7 bytes in length...\n"
              "FnId    : 0x0204,  NAME,  OutStruc={ S8 B  }\n"
              "Error   : 0x0000\n"
              " String   : ABC     \n"
              "There are ==> 6 <== bytes missing in the message\n",
              Show(4, {0x04, 0x02, 0, 0, 'A', 'B', 'C'}));
}

TEST_F(AppDisplayTest, PartialValueIsZeroFilledNotReadPastTheData) {
    // The message is cut out of a larger buffer: the byte after it must not be shown.
    const Bytes buffer{0x01, 0x02, 0x00, 0x00, 0x05, 0x06, 0x07, 0xAA};
    MsgDisplay(nullptr, 4, 7, buffer.data());
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 7 bytes in length...\n"
              "FnId    : 0x0201,  WW,  OutStruc={ W W  }\n"
              "Error   : 0x0000\n"
              " WORD     : 1541 \n"
              " WORD     : 7 \n"
              "There are ==> 1 <== bytes missing in the message\n",
              response.Take());
}

TEST_F(AppDisplayTest, GroupsRepeatOverTheDataAndCountMissingRepetitions) {
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 16 bytes in length...\n"
              "FnId    : 0x0205,  LOG,  OutStruc={ W (D B)3  }\n"
              "Error   : 0x0000\n"
              " WORD     : 2 \n"
              " Structure ...  ( D B )\n"
              "    DWORD    : 1 \n"
              "    BYTE     : 5 \n"
              "    DWORD    : 2 \n"
              "    BYTE     : 6 \n"
              "\n"
              "There are ==> 5 <== bytes missing in the message\n",
              Show(4, {0x05, 0x02, 0, 0, 2, 0, 1, 0, 0, 0, 5, 2, 0, 0, 0, 6}));
}

TEST_F(AppDisplayTest, UntrustedCountsAndRepeatsStayBoundedByTheMessage) {
    // Huge repeats of an empty group and of a byte group: no hang, sizes saturate.
    const std::string out = Show(4, {0x06, 0x02, 0, 0, 1, 2, 3}, "(( )999999)999999 (B)999999");
    EXPECT_NE(std::string::npos, out.find("There are ==> 999996 <== bytes missing"));
    const std::string huge = Show(3, {0x01, 0x02, 1}, "((D999999)999999)999999 B");
    EXPECT_NE(std::string::npos, huge.find("There are ==> 2147483647 <== bytes missing"));
    // An unclosed group prints its label and the scan goes on inside it.
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 5 bytes in length...\n"
              "FnId    : 0x0206,  ALL,  OutStruc={ C X H E D U P  }\n"
              "Error   : 0x0000\n"
              " Structure ... BYTE     : 5 \n",
              Show(4, {0x06, 0x02, 0, 0, 5}, "(B"));
}

TEST_F(AppDisplayTest, AnyMessageWithThePendingFnIdReleasesTheScript) {
    SetPendingFnId(0x0201);
    Show(4, {0x02, 0x02});
    EXPECT_EQ(0x0201, GetPendingFnId());
    EXPECT_EQ(0, MsgGenericHandler(32, 20, 2, Bytes{0x01, 0x02}.data()));
    EXPECT_EQ(APPC_NO_FNID, GetPendingFnId());
    EXPECT_NE(std::string::npos, response.Take().find("EVENT_INFO (20) Message, 2 bytes"));
}

TEST_F(AppDisplayTest, DisplayIsFlushedToTheResponseStream) {
    static char buffer[65536]; // outlives the stream
    CapturedStream buffered;
    std::setvbuf(buffered.File(), buffer, _IOFBF, sizeof buffer);
    AppSetResponseStream(buffered.File());
    MsgDisplay(nullptr, 1, 0, nullptr);
    EXPECT_EQ("\nACK (1) Message, 0 bytes in length...\n", buffered.TakeUnflushed());
    AppSetResponseStream(response.File());
}

TEST_F(AppDisplayTest, AnswerOfTheExampleDefinitionFile) {
    FnTabRelease();
    ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(TALVO_SOURCE_DIR "/examples/FNID.DEF"));
    Bytes answer{0x01, 0x00, 0x00, 0x00};
    for (char c : std::string("TALVO RC 4.2")) {
        answer.push_back(static_cast<std::uint8_t>(c));
    }
    answer.resize(4 + 16);
    for (std::uint8_t by : {4, 0, 2, 0, 0x2C, 0x01}) {
        answer.push_back(by);
    }
    EXPECT_EQ("\nRFS_RESPONSE (4) Message, 26 bytes in length...\n"
              "FnId    : 0x0001,  GETVERSION,  OutStruc={ S16 W3  }\n"
              "Error   : 0x0000\n"
              " String   : TALVO RC 4.2    \n"
              " WORD     : 4 2 300 \n",
              Show(4, answer));
}

} // namespace
