#include "Application/AppJson.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <vector>

#include "AppTestCapture.h"
#include "Application/AppDecode.h"
#include "Application/AppFnTab.h"
#include "Application/AppStreams.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

class AppJsonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        AppSetConsole(console.File()); // the loader's progress lines
        const std::string file = WriteDefFile("json.def", "#define REQUEST\n"
                                                          "MIXED 0x0301 { B } { S6 I C3 X2 E D }\n"
                                                          "LOG   0x0302 { - } { W (B I)3 }\n"
                                                          "SHORT 0x0303 { - } { W }\n");
        ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(file.c_str()));
    }
    void TearDown() override {
        RemoveDefFiles();
        FnTabRelease();
        AppResetStreamsForTest();
    }

    // The JSON line of a received message, parsed back; the parse fails the test on bad JSON.
    json Line(std::uint8_t type, const Bytes& data) {
        const MsgDecoded decoded =
            MsgDecode(nullptr, type, static_cast<std::uint16_t>(data.size()), data.data());
        const std::string line = JsonMessageLine("rx", decoded, true, 1796812267412);
        EXPECT_EQ(std::string::npos, line.find('\n'));
        return json::parse(line); // throws (and fails the test) on anything but valid UTF-8 JSON
    }

    CapturedStream console;
};

TEST_F(AppJsonTest, FieldsAreWrittenAsTheStructureDescribesThem) {
    const json line = Line(4, {0x01, 0x03, 0x00, 0x00,             // FnId, error 0
                               'A',  0xE9, '"',  '\\', 0x01, 0x00, // S6: Latin-1, quote, control
                               0xFB, 0xFF,                         // I: -5
                               'x',  0xFF, 'z',                    // C3
                               0x1F, 0xA0,                         // X2
                               0x34, 0x12,                         // E
                               0x78, 0x56, 0x34, 0x12,             // D
                               0xAB, 0xCD});                       // rest
    EXPECT_EQ("2026-12-09T10:31:07.412Z", line["t"]);
    EXPECT_EQ("rx", line["dir"]);
    EXPECT_EQ(4, line["type"]);
    EXPECT_EQ("RFS_RESPONSE", line["type_name"]);
    EXPECT_EQ(0x0301, line["fnid"]);
    EXPECT_EQ("MIXED", line["name"]);
    EXPECT_EQ(0, line["error"]);
    const json& fields = line["fields"];
    ASSERT_EQ(6u, fields.size());
    EXPECT_EQ("S", fields[0]["code"]);
    EXPECT_EQ("A\u00e9\"\\\u0001", fields[0]["value"]); // Latin-1 0xE9 is U+00E9
    EXPECT_EQ(-5, fields[1]["value"]);
    EXPECT_EQ("x\u00ffz", fields[2]["value"]);
    EXPECT_EQ(json::array({"1F", "A0"}), fields[3]["value"]);
    EXPECT_EQ(0x1234, fields[4]["value"]);
    EXPECT_EQ(0x12345678, fields[5]["value"]);
    EXPECT_EQ("ABCD", line["rest"]);
    EXPECT_FALSE(line.contains("raw"));
}

TEST_F(AppJsonTest, GroupsNestAndShortMessagesSayWhatIsMissing) {
    const json line = Line(4, {0x02, 0x03, 0x05, 0x00, 0x02, 0x00, 7, 0xFF, 0xFF, 8, 1});
    const json& group = line["fields"][1];
    EXPECT_EQ("(", group["code"]);
    EXPECT_EQ("B I", group["structure"]);
    ASSERT_EQ(2u, group["value"].size()); // the second repetition is cut short
    EXPECT_EQ(7, group["value"][0][0]["value"]);
    EXPECT_EQ(-1, group["value"][0][1]["value"]);
    EXPECT_EQ(1, group["value"][1][1]["value"]); // its missing high byte reads as 0
    EXPECT_EQ(4, line["missing"]);
}

TEST_F(AppJsonTest, UnknownFunctionsAndShortMessagesKeepTheirBytesRaw) {
    const json unknown = Line(4, {0x99, 0x09, 0x01, 0x00, 0x80, 0x00});
    EXPECT_EQ(0x0999, unknown["fnid"]);
    EXPECT_FALSE(unknown.contains("name"));
    EXPECT_EQ(1, unknown["error"]);
    EXPECT_EQ("8000", unknown["raw"]);
    EXPECT_FALSE(unknown.contains("fields"));
    const json tiny = Line(22, {0xFE});
    EXPECT_EQ("BROADCAST_INFO", tiny["type_name"]);
    EXPECT_FALSE(tiny.contains("fnid"));
    EXPECT_EQ("FE", tiny["raw"]);
    EXPECT_EQ("TYPE", Line(13, {})["type_name"]);
}

TEST_F(AppJsonTest, EveryByteFromTheUnitGivesValidUtf8) {
    Bytes message = {0x01, 0x03, 0x00, 0x00};
    for (int i = 1; i < 256; ++i) {
        Bytes one = message;
        one.insert(one.end(), {static_cast<std::uint8_t>(i), 0xC3, 0x28, 0xF0, 0x90, 0});
        EXPECT_NO_THROW(Line(4, one)) << i;
    }
}

TEST_F(AppJsonTest, FileGetsOneFlushedLinePerRecord) {
    const std::string path = WriteDefFile("lines.jsonl", "old text, emptied by the open\n");
    ASSERT_TRUE(JsonOpen(path.c_str()));
    const Bytes sent = {0x01, 0x03, 0x05};
    JsonWriteMessage("tx", MsgDecode(nullptr, 3, 3, sent.data()), false);
    JsonWriteEvent("connection_lost");
    JsonWriteNoAnswer(0x0301, 7);
    // Flushed per line: readable before the file is closed.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, file);
    std::vector<json> lines;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        lines.push_back(json::parse(buffer));
    }
    std::fclose(file);
    JsonClose();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("tx", lines[0]["dir"]);
    EXPECT_EQ(false, lines[0]["sent"]);
    EXPECT_EQ(json::parse(R"([{"code":"B","value":5}])"), lines[0]["fields"]);
    EXPECT_EQ("connection_lost", lines[1]["event"]);
    EXPECT_EQ("no_answer", lines[2]["event"]);
    EXPECT_EQ(0x0301, lines[2]["fnid"]);
    EXPECT_EQ("MIXED", lines[2]["name"]);
}

} // namespace
