// The capture's description record: the function table as text, and the opening of -C.
#include "Application/AppTrace.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "AppTestCapture.h"
#include "Application/AppFnTab.h"
#include "Application/AppStreams.h"
#include "Runtime/Trace.h"
#include "tests/support/TestOs.h"
#include "tests/support/TraceReader.h"

namespace {

// One file per test process: ctest runs the tests of this file in parallel processes.
const std::string kCapture =
    "talvo_app_trace_test_" + std::to_string(testos::ProcessId()) + ".pcap";

class AppTraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        AppResetStreamsForTest();
        AppSetConsole(console.File());
        FnTabRelease();
    }
    void TearDown() override {
        TraceClose();
        std::remove(kCapture.c_str());
        RemoveDefFiles();
        FnTabRelease();
        AppResetStreamsForTest();
    }
    CapturedStream console;
};

TEST_F(AppTraceTest, TableTextHasOneTabSeparatedLinePerFunction) {
    // A tab inside a structure would split its line: it is written as a blank.
    const std::string file = WriteDefFile("trace.def", "#define REQUEST\nPING 0x61 { - } { B\tW }\n"
                                                       "#define UPDATE\nALARM 0x1234 { X2 }\n");
    ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(file.c_str()));
    EXPECT_EQ("TALVO-FNTAB 1 talvo_rc\n"
              "0x1234\t5\tALARM\tX2 \tX2 \n"
              "0x0061\t3\tPING\t- \tB W \n",
              AppTraceTableText("talvo_rc"));
}

TEST_F(AppTraceTest, OpenWritesTheTableFirstOrSaysWhyNot) {
    const std::string file = WriteDefFile("trace.def", "PING 0x61 { - } { B }\n");
    ASSERT_EQ(APPC_LOAD_OK, FnTabLoad(file.c_str()));
    console.Take();
    ASSERT_EQ(0, AppTraceOpen(kCapture.c_str(), "talvo_sim"));
    const TraceReader::Capture capture = TraceReader::Read(kCapture);
    ASSERT_EQ(1u, capture.records.size());
    EXPECT_EQ(0, capture.records[0].byDir);
    const std::string text(capture.records[0].bytes.begin(), capture.records[0].bytes.end());
    EXPECT_EQ(AppTraceTableText("talvo_sim"), text);
    EXPECT_EQ("", console.Take());

    EXPECT_EQ(1, AppTraceOpen("no_such_directory/x.pcap", "talvo_rc"));
    EXPECT_EQ("Cannot open capture file: no_such_directory/x.pcap\n", console.Take());
    EXPECT_FALSE(TraceActive());
}

} // namespace
