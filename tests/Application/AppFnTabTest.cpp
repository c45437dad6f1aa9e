#include "Application/AppFnTab.h"

#include <gtest/gtest.h>

#include <set>

#include "AppTestCapture.h"
#include "Application/AppStreams.h"

namespace {

class AppFnTabTest : public ::testing::Test {
  protected:
    void SetUp() override {
        AppResetStreamsForTest();
        AppSetConsole(console.File());
        FnTabRelease();
    }
    void TearDown() override {
        RemoveDefFiles();
        FnTabRelease();
        AppResetStreamsForTest();
    }

    std::uint16_t Load(const std::string& text) {
        file = WriteDefFile("fntab.def", text);
        return FnTabLoad(file.c_str());
    }

    CapturedStream console;
    std::string file;
};

std::string Entries(int count, int firstFnId, const char* prefix) {
    std::string text;
    for (int n = 0; n < count; ++n) {
        text += std::string(prefix) + std::to_string(n) + " " + std::to_string(firstFnId + n) +
                " { B } { W }\n";
    }
    return text;
}

TEST_F(AppFnTabTest, ExampleFileLoadsCleanlyWithEveryTypeCodeAndBothSections) {
    const std::string path = std::string(TALVO_SOURCE_DIR) + "/examples/FNID.DEF";
    ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(path.c_str()));
    const std::uint16_t count = FnTabCount();
    EXPECT_GE(count, 30);
    EXPECT_EQ("Loading definition file: " + path + " ...  " + std::to_string(count) +
                  " Functions present.\n",
              console.Take());
    std::set<char> codes;
    std::set<std::uint16_t> fnIds;
    int updates = 0;
    for (std::uint16_t w = 0; w < count; ++w) {
        const FunctionRecord* record = FnTabAt(w);
        ASSERT_NE(nullptr, record);
        for (char c : record->request + record->response) {
            codes.insert(c);
        }
        EXPECT_TRUE(fnIds.insert(record->wFnId).second) << "duplicate FnId of " << record->name;
        EXPECT_EQ(record, FnTabFindByFnId(record->wFnId));
        EXPECT_EQ(record, FnTabFindByName(record->name.c_str()));
        if (record->bySectionKind == APPC_SECTION_UPDATE) {
            ++updates;
            EXPECT_EQ(record->request, record->response);
        }
    }
    for (char c : std::string("CBXSIUPWHED()")) {
        EXPECT_TRUE(codes.count(c)) << "type code " << c << " unused";
    }
    EXPECT_GE(updates, 3);
    EXPECT_EQ(FnTabRequestBuffer().size(), APPC_REQUEST_BUFFER_SIZE);
}

TEST_F(AppFnTabTest, CommentsSectionsAndNumberNotations) {
    ASSERT_EQ(APPC_LOAD_OK, Load("; line comment { not a structure }\n"
                                 "// another one\n"
                                 "/* block over\n"
                                 "   two lines */ alpha 0x1A { B W } { W }\n"
                                 "Beta 032 /* inline */ { S8 } { - } ; trailing\n"
                                 "/* a ; hides the rest of its line */\n"
                                 " */ GAMMA 26 { B } { B }\n"
                                 "#define NOTHING\n"
                                 "DELTA 0x20 { B } { B }\n"
                                 "/* #define UPDATE\n"
                                 "*/ EPS 0x21 { W }\n"
                                 "#define REQUEST\n"
                                 "/*single*/ ZETA 0x22 { B } { B } */\n"
                                 "ETA 0x23 { C } { C }\n"));
    ASSERT_EQ(6, FnTabCount());
    const FunctionRecord* alpha = FnTabFindByName("ALPHA");
    ASSERT_NE(nullptr, alpha); // names are kept in upper case
    EXPECT_EQ(0x1A, alpha->wFnId);
    EXPECT_EQ("B W ", alpha->request);
    EXPECT_EQ(26, FnTabFindByName("BETA")->wFnId);
    EXPECT_EQ(26, FnTabFindByName("GAMMA")->wFnId);
    EXPECT_EQ(APPC_SECTION_REQUEST, FnTabFindByName("DELTA")->bySectionKind);
    const FunctionRecord* eps = FnTabFindByName("EPS");
    ASSERT_NE(nullptr, eps); // the section switched inside the comment
    EXPECT_EQ(APPC_SECTION_UPDATE, eps->bySectionKind);
    EXPECT_EQ("W ", eps->response);
    EXPECT_EQ(nullptr, FnTabFindByName("ZETA")); // a one-token comment runs to the next "*/"
    EXPECT_NE(nullptr, FnTabFindByName("ETA"));
    EXPECT_EQ(nullptr, FnTabFindByName("alpha"));
}

TEST_F(AppFnTabTest, FormatErrorsStopWithTheirLineAndKeepEarlierRecords) {
    EXPECT_EQ(APPC_LOAD_FORMAT, Load("A 1 { B } { B }\n\nB 0x10000 { B } { B }\n"));
    EXPECT_EQ(1, FnTabCount());
    EXPECT_EQ("Loading definition file: " + file + " ...No Token found in: " + file +
                  ", line:3\n  1 Functions present.\n",
              console.Take());

    EXPECT_EQ(APPC_LOAD_FORMAT, Load("A 1 { B } { B }\nB\n"));
    EXPECT_NE(std::string::npos, console.Take().find("No Token found in: " + file + ", line:2\n"));

    EXPECT_EQ(APPC_LOAD_FORMAT, Load("A 1 B } { B }\n"));
    EXPECT_NE(std::string::npos,
              console.Take().find("No REQ-Structure found in: " + file + ", line:1\n"));

    // The same entry is complete in an UPDATE section but needs a response in a REQUEST one.
    EXPECT_EQ(APPC_LOAD_OK, Load("#define UPDATE\nN 5 { B }\nM 6 { W }\n"));
    EXPECT_EQ(2, FnTabCount());
    EXPECT_EQ(APPC_LOAD_FORMAT, Load("N 5 { B }\nM 6 { W }\n"));
    EXPECT_NE(std::string::npos,
              console.Take().find("No RSP-Structure found in: " + file + ", line:2\n"));
    EXPECT_EQ(0, FnTabCount());
}

TEST_F(AppFnTabTest, StructureTextRules) {
    ASSERT_EQ(APPC_LOAD_OK, Load("A 1 {\n w  b } { b }\n"
                                 "B 2 { } { (B W)3 }\n"));
    EXPECT_EQ(" W  B ", FnTabFindByName("A")->request); // taken from the next line
    EXPECT_EQ("", FnTabFindByName("B")->request);
    EXPECT_EQ("(B W)3 ", FnTabFindByName("B")->response);
    // The line end ends the text: a '}' on the next line is an ordinary token.
    ASSERT_EQ(APPC_LOAD_OK, Load("#define UPDATE\nC 3 { B\n} 4 { X }\n"));
    EXPECT_EQ("B\n", FnTabFindByName("C")->request);
    EXPECT_EQ(4, FnTabFindByName("}")->wFnId);
    EXPECT_EQ(APPC_LOAD_FORMAT, Load("C 3 { B\n} { X }\n"));
    EXPECT_NE(std::string::npos, console.Take().find("No RSP-Structure found in: " + file));
}

TEST_F(AppFnTabTest, CarriageReturnLineEndsReadLikeNewlines) {
    ASSERT_EQ(APPC_LOAD_OK, Load("A 1 { B } { W }\r\n; note\r\nB 2 { W } { B }\r\n"));
    EXPECT_EQ(2, FnTabCount());
    EXPECT_EQ(2, FnTabFindByName("B")->wFnId);
}

TEST_F(AppFnTabTest, TypeCodeWrittenRightAfterBraceIsKept) {
    ASSERT_EQ(APPC_LOAD_OK, Load("A 1 {B W} {W}\n"));
    EXPECT_EQ("B W", FnTabFindByName("A")->request);
    EXPECT_EQ("W", FnTabFindByName("A")->response);
}

TEST_F(AppFnTabTest, ListWithExtendedFileAndMissingFiles) {
    const std::string main = WriteDefFile("main.def", "A 1 { B } { B }\n#define UPDATE\n");
    const std::string ext = WriteDefFile("ext.def", "B 2 { W }\nC 3 { D }\n");
    EXPECT_EQ(APPC_LOAD_OK, FnTabLoad((main + ";" + ext).c_str()));
    EXPECT_EQ("Loading definition file: " + main + " ...  1 Functions present.\n" +
                  "Loading extended definition file: " + ext + " ...  2 Functions present.\n",
              console.Take());
    // The extended file starts in the section in which the main file ended.
    EXPECT_EQ(APPC_SECTION_UPDATE, FnTabFindByName("B")->bySectionKind);

    EXPECT_EQ(APPC_LOAD_OK, FnTabLoad((main + ";/nonexistent/FNIDDev.DEF").c_str()));
    EXPECT_EQ("Loading definition file: " + main + " ...  1 Functions present.\n", console.Take());

    EXPECT_EQ(APPC_LOAD_NOT_FOUND, FnTabLoad(("/nonexistent/FNID.DEF;" + ext).c_str()));
    EXPECT_EQ("Loading definition file: /nonexistent/FNID.DEF ...Can't open defintion file: "
              "/nonexistent/FNID.DEF\n",
              console.Take());
    EXPECT_TRUE(FnTabRequestBuffer().empty());
}

TEST_F(AppFnTabTest, MainFileFormatErrorNotMaskedByCleanExtendedFile) {
    const std::string main = WriteDefFile("main.def", "A 1 { B } { B }\nBROKEN 0 { B } { B }\n");
    const std::string ext = WriteDefFile("ext.def", "B 2 { W } { W }\n");
    EXPECT_EQ(APPC_LOAD_FORMAT, FnTabLoad((main + ";" + ext).c_str()));
    EXPECT_EQ(2, FnTabCount()); // the extended file was still read
    EXPECT_FALSE(FnTabRequestBuffer().empty());
}

TEST_F(AppFnTabTest, The510thRecordReportsTooManyAndStays) {
    EXPECT_EQ(APPC_LOAD_FORMAT, Load(Entries(APPC_MAX_FUNCTIONS, 1, "F")));
    EXPECT_EQ(APPC_MAX_FUNCTIONS, FnTabCount());
    EXPECT_NE(std::string::npos, console.Take().find("Too Many Functions in: " + file +
                                                     "\n  510 Functions present.\n"));
    EXPECT_NE(nullptr, FnTabFindByFnId(APPC_MAX_FUNCTIONS));
}

TEST_F(AppFnTabTest, FullTableRefusesExtendedFileFunctions) {
    const std::string main = WriteDefFile("main.def", Entries(APPC_MAX_FUNCTIONS, 1, "F"));
    const std::string ext = WriteDefFile("ext.def", Entries(3, 1000, "X"));
    EXPECT_EQ(APPC_LOAD_FORMAT, FnTabLoad((main + ";" + ext).c_str()));
    EXPECT_EQ(APPC_MAX_FUNCTIONS, FnTabCount());
    EXPECT_EQ(nullptr, FnTabFindByName("X0"));
    EXPECT_NE(std::string::npos,
              console.Take().find("Too Many Functions in: " + ext + "\n  0 Functions present.\n"));
}

// "N" and a number; appended rather than "N" + text, for which GCC 12's optimiser warns
// (-Wrestrict) inside its own library.
std::string Name(int n) {
    std::string name("N");
    name.append(std::to_string((n * 7919) % 300));
    return name;
}

TEST_F(AppFnTabTest, LookupsFindEveryRecordOfALargeTable) {
    std::string text;
    for (int n = 0; n < 300; ++n) {
        // Names and FnIds in different orders, so that both sorts matter.
        text += Name(n) + " " + std::to_string(300 - n) + " { B } { B }\n";
    }
    ASSERT_EQ(APPC_LOAD_OK, Load(text));
    for (int n = 0; n < 300; ++n) {
        const FunctionRecord* byId = FnTabFindByFnId(static_cast<std::uint16_t>(300 - n));
        ASSERT_NE(nullptr, byId);
        EXPECT_EQ(Name(n), byId->name);
        EXPECT_EQ(byId, FnTabFindByName(byId->name.c_str()));
    }
    EXPECT_EQ(nullptr, FnTabFindByFnId(301));
    EXPECT_EQ(nullptr, FnTabFindByName("N"));
    EXPECT_EQ(nullptr, FnTabAt(300));
}

TEST_F(AppFnTabTest, LongLinesAreReadInPiecesAndBinaryBytesDoNotBreakTheReader) {
    const std::string longName(200, 'L');
    std::string text = longName + " 7 { B } { B }\n";
    text += std::string("Q 8 { B\0W } { B }\n", 18);
    text += "R 9 { B } { B }\n";
    EXPECT_EQ(APPC_LOAD_FORMAT, Load(text)); // the name's second piece is taken as its FnId
    EXPECT_EQ(0, FnTabCount());
    EXPECT_EQ(APPC_LOAD_FORMAT, Load(std::string("Q 8 { B\0W } { B }\nR 9 { B } { B }\n", 34)));
}

} // namespace
