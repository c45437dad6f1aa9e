#include "Application/AppRfc.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "AppTestCapture.h"
#include "Application/AppCmdArgs.h"
#include "Application/AppFnTab.h"
#include "Application/AppStreams.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"

namespace {

constexpr std::uint8_t kChannel = MDSC_TCPIP_SESSION_BASE;

struct Sent {
    std::uint8_t byChannel;
    std::uint8_t byType;
    std::vector<std::uint8_t> data;
};
std::vector<Sent> sent;
std::uint16_t sendStatus = 0;

std::uint16_t CaptureSend(std::uint8_t byChannel, std::uint8_t byType, std::uint16_t wLength,
                          const std::uint8_t* pbyData) {
    sent.push_back({byChannel, byType, std::vector<std::uint8_t>(pbyData, pbyData + wLength)});
    return sendStatus;
}

const char* kDefinitions = "BW      0x0102 { B W }        { W W }\n"
                           "W3      0x0103 { W3 B }       { B }\n"
                           "STR     0x0104 { S8 B }       { B }\n"
                           "STR3    0x0105 { S3 B }       { B }\n"
                           "GROUP   0x0106 { (B W)3 }     { B }\n"
                           "OPEN    0x0107 { (B W }       { B }\n"
                           "NESTED  0x0108 { ((B)2)2 }    { B }\n"
                           "HEX     0x0109 { H D I }      { B }\n"
                           "CHARS   0x010A { C4 }         { B }\n"
                           "NOARGS  0x010B { - }          { - }\n"
                           "HUGE    0x010C { S4000 S1000 } { B }\n"
                           "FULL    0x010D { S4998 }      { B }\n"
                           "WIDE    0x010E { (BW)2000 }   { B }\n"
                           "LEAD0   0x010F { (B)03 W }    { B }\n"
                           "#define UPDATE\n"
                           "NOTE    0x0200 { B W }\n";

class AppRfcTest : public ::testing::Test {
  protected:
    void SetUp() override {
        AppResetStreamsForTest();
        AppSetConsole(console.File());
        AppSetLinkChannel(kChannel);
        static_cast<void>(MdsInit());
        MdsResetForTest();
        static_cast<void>(MdsRegisterResponseHandler(kChannel, CaptureSend));
        static_cast<void>(LogInit());
        LogResetForTest();
        RfcSetRequestMode(APPC_REQUEST_MODE_REQ);
        sent.clear();
        sendStatus = 0;
        const std::string file = WriteDefFile("rfc.def", kDefinitions);
        ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(file.c_str()));
        console.Take();
    }
    void TearDown() override {
        RemoveDefFiles();
        FnTabRelease();
        MdsResetForTest();
        RfcSetRequestMode(APPC_REQUEST_MODE_REQ);
        AppResetStreamsForTest();
    }

    std::uint16_t Call(std::string line) { return TriggerRFC(line.data(), AppLinkChannel()); }

    std::vector<std::uint8_t> OnlySent() {
        EXPECT_EQ(1u, sent.size());
        return sent.empty() ? std::vector<std::uint8_t>{} : sent.back().data;
    }

    CapturedStream console;
};

using Bytes = std::vector<std::uint8_t>;

TEST_F(AppRfcTest, CallInOneLineSendsFnIdAndFields) {
    EXPECT_EQ(APPC_CMD_DONE, Call("BW 1 2"));
    EXPECT_EQ((Bytes{0x02, 0x01, 0x01, 0x02, 0x00}), OnlySent());
    EXPECT_EQ(kChannel, sent[0].byChannel);
    EXPECT_EQ(MDSC_MSG_RFS_REQUEST, sent[0].byType);
    EXPECT_EQ("RFS_REQUEST (3) message\nFnId    : 0x0102,  StructToSend={ B W  }\n",
              console.Take());
}

TEST_F(AppRfcTest, MissingArgumentsAreAskedForAndTakenFromTheNextLine) {
    EXPECT_EQ(APPC_CMD_MORE, Call("BW 1"));
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ("RFS_REQUEST (3) message\nFnId    : 0x0102,  StructToSend={ B W  }\n"
              "\nExpecting more2;(1x) WORD     : ",
              console.Take());
    EXPECT_EQ(APPC_CMD_DONE, Call("2"));
    EXPECT_EQ((Bytes{0x02, 0x01, 0x01, 0x02, 0x00}), OnlySent());

    // A name alone opens the call at its first element.
    EXPECT_EQ(APPC_CMD_MORE, Call("BW"));
    EXPECT_NE(std::string::npos, console.Take().find("\nExpecting more0;(1x) BYTE     : "));
    RfcReset();
    EXPECT_EQ(1u, sent.size());
}

TEST_F(AppRfcTest, ExclamationMarkSendsWhatIsThere) {
    EXPECT_EQ(APPC_CMD_DONE, Call("BW 1 !"));
    EXPECT_EQ((Bytes{0x02, 0x01, 0x01}), OnlySent());
    sent.clear();
    EXPECT_EQ(APPC_CMD_DONE, Call("W3 1 ! 7"));
    EXPECT_EQ((Bytes{0x03, 0x01, 0x01, 0x00}), OnlySent());
    sent.clear();
    EXPECT_EQ(APPC_CMD_DONE, Call("NOARGS"));
    EXPECT_EQ((Bytes{0x0B, 0x01}), OnlySent());
}

TEST_F(AppRfcTest, TrailingBlankInsideCountedElementDoesNotSendExtraZero) {
    EXPECT_EQ(APPC_CMD_MORE, Call("W3 1 2 "));
    EXPECT_NE(std::string::npos, console.Take().find("\nExpecting more0;(1x) WORD     : "));
    EXPECT_EQ(APPC_CMD_DONE, Call("3 4"));
    EXPECT_EQ((Bytes{0x03, 0x01, 1, 0, 2, 0, 3, 0, 4}), OnlySent());
    // A trailing blank after a finished element is skipped too.
    sent.clear();
    EXPECT_EQ(APPC_CMD_MORE, Call("BW 1 "));
    EXPECT_NE(std::string::npos, console.Take().find("\nExpecting more2;(1x) WORD     : "));
}

TEST_F(AppRfcTest, NumbersInEveryNotationAndWidth) {
    EXPECT_EQ(APPC_CMD_DONE, Call("HEX 10 0x12345678 -5"));
    EXPECT_EQ((Bytes{0x09, 0x01, 0x0A, 0x00, 0x78, 0x56, 0x34, 0x12, 0xFB, 0xFF}), OnlySent());
    sent.clear();
    EXPECT_EQ(APPC_CMD_DONE, Call("HEX 0x10 010 0x12345"));
    EXPECT_EQ((Bytes{0x09, 0x01, 0x10, 0x00, 0x08, 0x00, 0x00, 0x00, 0x45, 0x23}), OnlySent());
    sent.clear();
    EXPECT_EQ(APPC_CMD_DONE, Call("BW X 3")); // no number: 0, and nothing is consumed
    EXPECT_EQ((Bytes{0x02, 0x01, 0x00, 0x00, 0x00}), OnlySent());
    sent.clear();
    EXPECT_EQ(APPC_CMD_DONE, Call("CHARS A BC D"));
    EXPECT_EQ((Bytes{0x0A, 0x01, 'A', 'B', 'C', 'D'}), OnlySent());
}

TEST_F(AppRfcTest, StringFieldsQuotedUnquotedAndContinued) {
    EXPECT_EQ(APPC_CMD_DONE, Call("STR \"ABC\" 9"));
    EXPECT_EQ((Bytes{0x04, 0x01, 'A', 'B', 'C', 0, 0, 0, 0, 0, 9}), OnlySent());
    sent.clear();
    EXPECT_EQ(APPC_CMD_MORE, Call("STR ABC DEF"));
    EXPECT_EQ(APPC_CMD_DONE, Call("9"));
    EXPECT_EQ((Bytes{0x04, 0x01, 'A', 'B', 'C', ' ', 'D', 'E', 'F', 0, 9}), OnlySent());
    sent.clear();
    EXPECT_EQ(APPC_CMD_MORE, Call("STR ABCDEFGHIJK"));
    EXPECT_EQ(APPC_CMD_DONE, Call("9"));
    EXPECT_EQ((Bytes{0x04, 0x01, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 0, 9}), OnlySent());
    sent.clear();
    EXPECT_EQ(APPC_CMD_MORE, Call("STR \"AB\"\\ ignored"));
    EXPECT_NE(std::string::npos, console.Take().find("\nExpecting more0;(6x) String   : "));
    EXPECT_EQ(APPC_CMD_DONE, Call("\"CD\" 9"));
    EXPECT_EQ((Bytes{0x04, 0x01, 'A', 'B', 'C', 'D', 0, 0, 0, 0, 9}), OnlySent());
}

TEST_F(AppRfcTest, QuotedStringFillingWholeFieldIsHandledWithoutOverflow) {
    EXPECT_EQ(APPC_CMD_DONE, Call("STR3 \"ABC\" 7"));
    EXPECT_EQ((Bytes{0x05, 0x01, 'A', 'B', 'C', 7}), OnlySent());
    sent.clear();
    // A field that ends exactly at the end of the request message buffer.
    EXPECT_EQ(APPC_CMD_DONE, Call("FULL \"" + std::string(4998, 'Q') + "\""));
    const Bytes message = OnlySent();
    ASSERT_EQ(APPC_REQUEST_BUFFER_SIZE, message.size());
    EXPECT_EQ('Q', message.back());
    sent.clear();
    // A longer string goes on into the next element.
    EXPECT_EQ(APPC_CMD_DONE, Call("STR3 \"ABC7\""));
    EXPECT_EQ((Bytes{0x05, 0x01, 'A', 'B', 'C', 7}), OnlySent());
}

TEST_F(AppRfcTest, GroupsExpandAndBrokenGroupsFail) {
    EXPECT_EQ(APPC_CMD_DONE, Call("GROUP 1 2 3 4 5 6"));
    EXPECT_EQ((Bytes{0x06, 0x01, 1, 2, 0, 3, 4, 0, 5, 6, 0}), OnlySent());
    console.Take();
    EXPECT_EQ(APPC_CMD_ERROR, Call("OPEN 1 2"));
    EXPECT_NE(std::string::npos,
              console.Take().find("}\nError during unwrapping of parameter string"));
    EXPECT_EQ(APPC_CMD_ERROR, Call("NESTED 1 2"));
    EXPECT_EQ(1u, sent.size());
    // The call ended: the next line is a new call.
    EXPECT_EQ(APPC_CMD_DONE, Call("BW 1 2"));
    EXPECT_EQ(2u, sent.size());
}

TEST_F(AppRfcTest, RepeatCountWithLeadingZeroIsReadWhole) {
    EXPECT_EQ(APPC_CMD_DONE, Call("LEAD0 1 2 3 4"));
    EXPECT_EQ((Bytes{0x0F, 0x01, 1, 2, 3, 4, 0}), OnlySent());
}

TEST_F(AppRfcTest, ResponseModeSendsErrorCodeFirst) {
    RfcSetRequestMode(APPC_REQUEST_MODE_RSP);
    EXPECT_EQ(APPC_CMD_DONE, Call("BW 0x1234 5 6"));
    EXPECT_EQ(MDSC_MSG_RFS_RESPONSE, sent.at(0).byType);
    EXPECT_EQ((Bytes{0x02, 0x01, 0x34, 0x12, 5, 0, 6, 0}), OnlySent());
    EXPECT_EQ("RFS_RESPONSE (4) message\nFnId    : 0x0102,  StructToSend={ E W W  }\n",
              console.Take());
    // Notifications keep their own message type.
    sent.clear();
    EXPECT_EQ(APPC_CMD_DONE, Call("NOTE 1 2"));
    EXPECT_EQ(MDSC_MSG_PC_NOTIFY, sent.at(0).byType);
    EXPECT_EQ((Bytes{0x00, 0x02, 1, 2, 0}), OnlySent());
}

TEST_F(AppRfcTest, UnknownNameAndEmptyLineSendNothing) {
    EXPECT_EQ(APPC_CMD_DONE, Call("NOSUCH 1 2"));
    EXPECT_EQ("Remote Function 'NOSUCH' not present in the definition file\n", console.Take());
    EXPECT_EQ(APPC_CMD_DONE, Call("   "));
    EXPECT_EQ(APPC_CMD_DONE, Call(std::string(300, 'N')));
    EXPECT_TRUE(sent.empty());
}

TEST_F(AppRfcTest, RefusedSendIsLoggedAndTheCallDropped) {
    sendStatus = MDSC_ERROR;
    EXPECT_EQ(APPC_CMD_DONE, Call("BW 1 2"));
    std::array<char, LOGC_RECORD_SIZE> record{};
    ASSERT_EQ(0, LogReadEntry(LOGC_READ_FIRST, record.data()));
    EXPECT_NE(nullptr, std::strstr(record.data(), "TriggerRFC : 0x2e7d;Execution error"));
    sendStatus = 0;
    EXPECT_EQ(APPC_CMD_DONE, Call("BW 3 4")); // a new call, not more parameters
    EXPECT_EQ(2u, sent.size());
}

TEST_F(AppRfcTest, RequestTooLongIsRefusedWithoutWritingOutsideTheBuffer) {
    EXPECT_EQ(APPC_CMD_ERROR, Call("HUGE \"A\" \"B\""));
    EXPECT_TRUE(sent.empty());
    EXPECT_NE(std::string::npos, console.Take().find("Request message too long, call not sent\n"));
    EXPECT_EQ(APPC_CMD_DONE, Call("BW 1 2")); // the call was dropped
    EXPECT_EQ(1u, sent.size());
}

TEST_F(AppRfcTest, StructureTooLongToExpandIsRefused) {
    EXPECT_EQ(APPC_CMD_ERROR, Call("WIDE 1 2"));
    EXPECT_TRUE(sent.empty());
    EXPECT_NE(std::string::npos,
              console.Take().find("Structure too long to expand, call not sent\n"));
}

TEST_F(AppRfcTest, FnTabReleaseEndsCallUnderConstruction) {
    EXPECT_EQ(APPC_CMD_MORE, Call("STR \"AB\"\\"));
    FnTabRelease();
    console.Take();
    EXPECT_EQ(APPC_CMD_DONE, Call("\"CD\" 9"));
    EXPECT_EQ("Remote Function '\"CD\"' not present in the definition file\n", console.Take());
    EXPECT_TRUE(sent.empty());
}

TEST_F(AppRfcTest, CallsOfTheExampleDefinitionFile) {
    FnTabRelease();
    ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(TALVO_SOURCE_DIR "/examples/FNID.DEF"));
    EXPECT_EQ(APPC_CMD_DONE, Call("GETVERSION"));
    EXPECT_EQ(APPC_CMD_DONE, Call("SETOUTPUTS 1 1 2 0 3 1 4 0"));
    EXPECT_EQ(APPC_CMD_DONE, Call("SENDTEXT 2 \"PUMP 3 ON\""));
    EXPECT_EQ(APPC_CMD_DONE, Call("ALARM 0x8001 4 1700000000"));
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ((Bytes{0x01, 0x00}), sent[0].data);
    EXPECT_EQ((Bytes{0x12, 0x00, 1, 1, 2, 0, 3, 1, 4, 0}), sent[1].data);
    ASSERT_EQ(2u + 1u + 40u, sent[2].data.size());
    EXPECT_EQ(0, std::memcmp(sent[2].data.data() + 3, "PUMP 3 ON", 10));
    EXPECT_EQ(MDSC_MSG_PC_NOTIFY, sent[3].byType);
    EXPECT_EQ((Bytes{0x01, 0x01, 0x01, 0x80, 4, 0x00, 0xF1, 0x53, 0x65}), sent[3].data);
}

} // namespace

namespace {

TEST_F(AppRfcTest, NumberThatDoesNotFitOrIsNoNumberIsSentAsBeforeWithOneWarningEach) {
    EXPECT_EQ(APPC_CMD_DONE, Call("BW 300 70000"));
    EXPECT_EQ((Bytes{0x02, 0x01, 44, 0x70, 0x11}), OnlySent());
    std::string text = console.Take();
    EXPECT_NE(std::string::npos, text.find("}\nWarning: 300 does not fit BYTE, 44 sent\n"));
    EXPECT_NE(std::string::npos, text.find("\nWarning: 70000 does not fit WORD, 4464 sent\n"));
    sent.clear();
    EXPECT_EQ(APPC_CMD_DONE, Call("BW ABC 3"));
    EXPECT_EQ((Bytes{0x02, 0x01, 0, 0, 0}), OnlySent());
    text = console.Take();
    EXPECT_NE(std::string::npos, text.find("Warning: ABC is no number for BYTE, 0 sent\n"));
    EXPECT_NE(std::string::npos, text.find("Warning: ABC is no number for WORD, 0 sent\n"));
    sent.clear();
    // Numbers that fit, negative ones in two's complement included, give no warning.
    EXPECT_EQ(APPC_CMD_DONE, Call("HEX 0xFFFF 0xFFFFFFFF -32768"));
    EXPECT_EQ(APPC_CMD_DONE, Call("BW -128 65535"));
    EXPECT_EQ(std::string::npos, console.Take().find("Warning"));
    EXPECT_EQ(APPC_CMD_DONE, Call("BW -129 99999999999999999999999"));
    text = console.Take();
    EXPECT_NE(std::string::npos, text.find("Warning: -129 does not fit BYTE, 127 sent\n"));
    EXPECT_NE(std::string::npos,
              text.find("Warning: 99999999999999999999999 does not fit WORD, 65535 sent\n"));
}

} // namespace
