// The link trace end to end: talvo_rc (-C) and talvo_sim (--capture) write captures of real runs
// over every link protocol, and Debian's tshark reads them with the project's Lua dissector. The
// tests skip, saying so, where tshark is not installed (tools/setup.sh installs it).
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/e2e/E2eSupport.h"

namespace {

const std::string kDefinitionFile = TALVO_SOURCE_DIR "/examples/FNID.DEF";
const std::string kDissector = TALVO_SOURCE_DIR "/tools/wireshark/talvo.lua";
const std::string kCalls = "GETVERSION\nSETOUTPUT 3 1\nREADLOG 5 2\n";
// The calls of kCalls: FnId as the dissector prints it, and the function name.
const std::vector<std::pair<std::string, std::string>> kCallIds = {
    {"0x0001", "GETVERSION"}, {"0x0010", "SETOUTPUT"}, {"0x0031", "READLOG"}};

using Row = std::vector<std::string>;

// A plain client connected to the simulator on the loopback; -1 when it cannot connect.
int ConnectLoopback(unsigned nPort) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(nPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || nPort == 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

bool HaveTshark() {
    static const bool bHave =
        RunProgram("/bin/sh", {"-c", "command -v tshark"}, "", 10000).iExitCode == 0;
    return bHave;
}

// Where TALVO_REQUIRE_TSHARK is set (CI), a missing tshark fails the test instead.
#define REQUIRE_TSHARK()                                                                           \
    if (!HaveTshark()) {                                                                           \
        if (std::getenv("TALVO_REQUIRE_TSHARK") != nullptr) {                                      \
            FAIL() << "tshark is not installed, and TALVO_REQUIRE_TSHARK asks for it";             \
        }                                                                                          \
        GTEST_SKIP() << "tshark is not installed (tools/setup.sh installs it)";                    \
    }

// Reads a capture with the dissector; one row per record of the fields asked for. Every Lua
// error fails the test. With bDefFile the definition file replaces the capture's own table.
std::vector<Row> Tshark(const std::string& capture, const std::vector<std::string>& fields,
                        const std::string& filter = "", bool bDefFile = true) {
    std::string command = "tshark -X lua_script:" + Quote(kDissector);
    if (bDefFile) {
        command += " -o " + Quote("talvo.deffile:" + kDefinitionFile);
    }
    command +=
        " -r " + Quote(capture) + " -T fields -E separator=/t -E occurrence=a -E aggregator='|'";
    for (const std::string& field : fields) {
        command += " -e " + field;
    }
    if (!filter.empty()) {
        command += " -Y " + Quote(filter);
    }
    const std::string errors = capture + ".err";
    const RunResult result =
        RunProgram("/bin/sh", {"-c", command + " 2>" + Quote(errors)}, "", 60000);
    EXPECT_EQ(0, result.iExitCode) << command << "\n" << ReadFile(errors);
    EXPECT_EQ(std::string::npos, result.output.find("Lua Error")) << result.output;
    EXPECT_EQ(std::string::npos, ReadFile(errors).find("Lua Error")) << ReadFile(errors);
    std::vector<Row> rows;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        Row row;
        std::size_t start = 0;
        for (;;) {
            const std::size_t tab = line.find('\t', start);
            row.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
            if (tab == std::string::npos) {
                break;
            }
            start = tab + 1;
        }
        rows.push_back(row);
    }
    return rows;
}

std::size_t CountRows(const std::vector<Row>& rows, const Row& wanted) {
    return static_cast<std::size_t>(std::count(rows.begin(), rows.end(), wanted));
}

// Every call of kCalls appears exactly once as a request one way and its answer the other way.
void ExpectEachCallOnce(const std::string& capture, const char* pszRequestDir,
                        const char* pszAnswerDir) {
    const std::vector<Row> rows =
        Tshark(capture, {"talvo.dir", "talvo.msg.type", "talvo.msg.fnid", "talvo.msg.func"},
               "talvo.msg.type");
    for (const auto& [fnid, name] : kCallIds) {
        EXPECT_EQ(1U, CountRows(rows, {pszRequestDir, "3", fnid, name})) << capture << " " << name;
        EXPECT_EQ(1U, CountRows(rows, {pszAnswerDir, "4", fnid, name})) << capture << " " << name;
    }
}

struct ToolRun {
    RunResult result;
    std::string responses;
    std::string capture;
};

ToolRun RunTool(const std::string& name, std::vector<std::string> args, const std::string& body,
                const std::vector<std::string>& env = {}, int iLimitMs = 60000) {
    ToolRun run;
    run.capture = TempPath(name + "_RC.pcap");
    WriteFile(TempPath(name + ".SCR"), "RESFILE " + name + ".RES\n" + body + "EXIT\n");
    args.push_back("-D" + kDefinitionFile);
    args.push_back("-C" + run.capture);
    args.push_back(name + ".SCR");
    run.result = RunProgram(TALVO_RC_BIN, args, "", iLimitMs, env, TempDirectory());
    run.responses = ReadFile(TempPath(name + ".RES"));
    return run;
}

// The field lines of the console's display of the answer to fnid, without their indentation:
// from the line after "Error   :" to the next empty line.
std::vector<std::string> DisplayedFields(const std::string& responses, const std::string& fnid) {
    std::vector<std::string> lines;
    const std::size_t at = responses.find("RFS_RESPONSE (4) Message");
    std::size_t pos = responses.find("FnId    : " + fnid, at);
    pos = responses.find("Error   :", pos);
    if (pos == std::string::npos) {
        return lines;
    }
    pos = responses.find('\n', pos) + 1;
    while (pos < responses.size()) {
        const std::size_t end = responses.find('\n', pos);
        const std::string line = responses.substr(pos, end - pos);
        if (line.empty() || end == std::string::npos) {
            break;
        }
        lines.push_back(line.substr(line.find_first_not_of(' ')));
        pos = end + 1;
    }
    return lines;
}

std::vector<std::string> Split(const std::string& text, char cSeparator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(cSeparator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? at : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

TEST(TraceTest, OipRunIsCapturedOnBothSidesAndDecodesLikeTheConsole) {
    REQUIRE_TSHARK();
    const std::string simCapture = TempPath("OIP_SIM.pcap");
    BackgroundProgram sim(TALVO_SIM_BIN, {"--tcp", "--port", "0", "--quiet", "--capture",
                                          simCapture, "-D", kDefinitionFile});
    const unsigned nPort = ListeningPort(sim);
    ASSERT_NE(0u, nPort) << sim.Output();
    const ToolRun run =
        RunTool("OIP", {"-I127.0.0.1:" + std::to_string(nPort)}, "PAUSE 1\n" + kCalls);
    EXPECT_EQ(0, run.result.iExitCode) << run.result.output;
    sim.Stop();

    ExpectEachCallOnce(run.capture, "1", "2");
    ExpectEachCallOnce(simCapture, "2", "1");

    // The answer's fields as the dissector shows them are the lines the console printed.
    const std::vector<Row> answer =
        Tshark(run.capture, {"talvo.field"}, "talvo.msg.type == 4 && talvo.msg.fnid == 0x0031");
    ASSERT_EQ(1U, answer.size());
    const std::vector<std::string> shown = DisplayedFields(run.responses, "0x0031");
    ASSERT_EQ(15U, shown.size()) << run.responses; // W, B, the group line and 4 x (D H W)
    EXPECT_EQ(shown, Split(answer[0][0], '|'));

    // Without the definition file the capture's own table names the functions.
    const std::vector<Row> own =
        Tshark(run.capture, {"talvo.msg.func"}, "talvo.msg.fnid == 0x0010", false);
    EXPECT_EQ((std::vector<Row>{{"SETOUTPUT"}, {"SETOUTPUT"}}), own);
    const std::vector<Row> table = Tshark(run.capture, {"talvo.table.count"}, "talvo.dir == 0");
    ASSERT_EQ(1U, table.size());
    EXPECT_NE("0", table[0][0]);
}

TEST(TraceTest, MultiPackagesAreCapturedByTheSimulator) {
    REQUIRE_TSHARK();
    const std::string capture = TempPath("MULTI_SIM.pcap");
    BackgroundProgram sim(TALVO_SIM_BIN, {"--tcp", "--protocol", "multi", "--quiet", "--capture",
                                          capture, "-D", kDefinitionFile, "--port", "0"});
    // talvo_rc speaks Oip only: a plain client sends SETOUTPUT 3 1 as a Multi message package.
    const int fd = ConnectLoopback(ListeningPort(sim));
    ASSERT_GE(fd, 0) << sim.Output();
    const std::uint8_t abyCall[] = {0xAA, 0x55, 0x01, 0x03, 0x04, 0x00, 0x10, 0x00, 0x03, 0x01};
    ASSERT_EQ(static_cast<ssize_t>(sizeof abyCall), write(fd, abyCall, sizeof abyCall));
    std::vector<std::uint8_t> received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    // Keep-alives keep the session up; the answer is 12 bytes among them.
    while (std::chrono::steady_clock::now() < deadline && received.size() < 64) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 50) == 1) {
            std::uint8_t abyBuffer[256];
            const ssize_t n = read(fd, abyBuffer, sizeof abyBuffer);
            if (n <= 0) {
                break;
            }
            received.insert(received.end(), abyBuffer, abyBuffer + n);
        }
        (void)!write(fd, "\xAA\x55\x02\x00\x00\x00", 6); // a keep-alive of our own
    }
    close(fd);
    sim.Stop();
    const std::vector<Row> rows = Tshark(
        capture, {"talvo.dir", "talvo.link", "talvo.msg.type", "talvo.msg.fnid", "talvo.msg.func"},
        "talvo.msg.type");
    EXPECT_EQ(1U, CountRows(rows, {"2", "5", "3", "0x0010", "SETOUTPUT"}));
    EXPECT_EQ(1U, CountRows(rows, {"1", "5", "4", "0x0010", "SETOUTPUT"}));
    const std::vector<Row> keepAlives =
        Tshark(capture, {"talvo.dir"}, "talvo.multi.pkgtype == 2 && talvo.dir == 1");
    EXPECT_FALSE(keepAlives.empty());
}

TEST(TraceTest, TcpTerminalLinesAreRecordsOfTheirOwn) {
    REQUIRE_TSHARK();
    const std::string capture = TempPath("TERM_SIM.pcap");
    BackgroundProgram sim(TALVO_SIM_BIN, {"--tcp", "--protocol", "terminal", "--quiet", "--capture",
                                          capture, "-D", kDefinitionFile, "--port", "0"});
    const int fd = ConnectLoopback(ListeningPort(sim));
    ASSERT_GE(fd, 0) << sim.Output();
    // Two lines in one write, the second one edited with a backspace.
    const std::string lines = "STATUS\rSTATX\bUS\r";
    ASSERT_EQ(static_cast<ssize_t>(lines.size()), write(fd, lines.data(), lines.size()));
    pollfd pfd{fd, POLLIN, 0};
    (void)poll(&pfd, 1, 3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    close(fd);
    sim.Stop();
    const std::vector<Row> received =
        Tshark(capture, {"talvo.link", "talvo.term.text"}, "talvo.dir == 2");
    EXPECT_EQ((std::vector<Row>{{"6", "STATUS."}, {"6", "STATX.US."}}), received);
    const std::vector<Row> sent = Tshark(capture, {"talvo.term.text"}, "talvo.dir == 1");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(0U, sent[0][0].rfind("talvo_sim: STATUS", 0)) << sent[0][0];
}

class TraceSerialTest : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(TraceSerialTest, EveryCallAndAnswerOnceEachWay) {
    REQUIRE_TSHARK();
    const auto [pszSimProtocol, pszToolOption] = GetParam();
    const std::string name = std::string("SER") + pszToolOption;
    const std::string simCapture = TempPath(name + "_SIM.pcap");
    BackgroundProgram sim(TALVO_SIM_BIN, {"--pty", "--quiet", "--protocol", pszSimProtocol,
                                          "--capture", simCapture, "-D", kDefinitionFile});
    const std::string path = sim.WaitForLine("pty: ", 5000);
    ASSERT_NE(path, "") << sim.Output();
    const ToolRun run = RunTool(name, {"-S2", std::string("-P") + pszToolOption}, kCalls,
                                {"TALVO_RC_COM2=" + path});
    EXPECT_EQ(0, run.result.iExitCode) << run.result.output;
    sim.Stop();
    ExpectEachCallOnce(run.capture, "1", "2");
    ExpectEachCallOnce(simCapture, "2", "1");
    // Without faults no frame is flagged.
    EXPECT_TRUE(
        Tshark(run.capture, {"talvo.dir"}, "talvo.checksum.status == 0 || talvo.noframe == 1")
            .empty());
}

INSTANTIATE_TEST_SUITE_P(AllFramings, TraceSerialTest,
                         ::testing::Values(std::make_pair("full", "F"),
                                           std::make_pair("simple", "S"),
                                           std::make_pair("terminal", "T")),
                         FramingName());

// Over a line that drops and corrupts the unit's frames, the tool's capture flags exactly the
// frames its receiver counted as bad, and still holds every call once and every answer.
TEST(TraceTest, FullCaptureFlagsEveryCorruptedFrame) {
    REQUIRE_TSHARK();
    BackgroundProgram sim(TALVO_SIM_BIN, {"--pty", "--quiet", "--drop", "10", "--corrupt", "20",
                                          "--faults-after", "1", "-D", kDefinitionFile});
    const std::string path = sim.WaitForLine("pty: ", 5000);
    ASSERT_NE(path, "") << sim.Output();
    constexpr int kCallCount = 30;
    std::string body = "PROTOCOL BOTHPARAMS 5 10 1\nGETVERSION\n";
    for (int i = 0; i < kCallCount; ++i) {
        body += "PULSEOUTPUT " + std::to_string(i % 16) + " " + std::to_string(i) + "\n";
    }
    body += "PROTOCOL STATISTICS\n";
    const ToolRun run = RunTool("LOSSY", {"-S2", "-PF"}, body, {"TALVO_RC_COM2=" + path}, 240000);
    ASSERT_FALSE(run.result.bTimedOut);
    sim.Stop();
    const std::string label = "Invalid checksums received   ";
    const std::size_t at = run.responses.find(label);
    ASSERT_NE(std::string::npos, at) << run.responses;
    const int nCounted = std::atoi(run.responses.c_str() + at + label.size());
    const std::vector<Row> flagged =
        Tshark(run.capture, {"talvo.full.kind"}, "talvo.dir == 2 && talvo.checksum.status == 0");
    EXPECT_GT(nCounted, 0);
    EXPECT_EQ(static_cast<std::size_t>(nCounted), flagged.size());

    // Each call went out in one data frame (retransmissions repeat its sequence number).
    const std::vector<Row> sent =
        Tshark(run.capture, {"talvo.full.seq", "talvo.msg.func"},
               "talvo.dir == 1 && talvo.full.kind == 0x24 && talvo.msg.type == 3");
    std::map<std::string, std::set<std::string>> sequencesOf;
    for (const Row& row : sent) {
        sequencesOf[row[1]].insert(row[0]);
    }
    EXPECT_EQ(1U, sequencesOf["GETVERSION"].size());
    EXPECT_EQ(static_cast<std::size_t>(kCallCount), sequencesOf["PULSEOUTPUT"].size());
    const std::vector<Row> answers =
        Tshark(run.capture, {"talvo.full.seq"},
               "talvo.dir == 2 && talvo.checksum.status == 1 && talvo.msg.type == 4 && "
               "talvo.msg.func == \"PULSEOUTPUT\"");
    EXPECT_GE(std::set<Row>(answers.begin(), answers.end()).size(),
              static_cast<std::size_t>(kCallCount));
}

TEST(TraceTest, UnwritableCaptureFileStopsBeforeTheLink) {
    const RunResult rc =
        RunProgram(TALVO_RC_BIN,
                   {"-I127.0.0.1", "-D" + kDefinitionFile, "-C/nonexistent/dir/x.pcap"}, "", 10000);
    EXPECT_NE(std::string::npos,
              rc.output.find("Cannot open capture file: /nonexistent/dir/x.pcap"))
        << rc.output;
    EXPECT_EQ(std::string::npos, rc.output.find("Using TCP/IP communication")) << rc.output;
    const RunResult sim = RunProgram(
        TALVO_SIM_BIN, {"--tcp", "--capture", "/nonexistent/dir/x.pcap", "-D", kDefinitionFile}, "",
        10000);
    EXPECT_EQ(1, sim.iExitCode);
    EXPECT_NE(std::string::npos, sim.output.find("cannot open the capture file")) << sim.output;
}

// ---- the dissector against random records ----

void PutLe(std::string& rOut, std::uint64_t qwValue, int nBytes) {
    for (int i = 0; i < nBytes; ++i) {
        rOut.push_back(static_cast<char>((qwValue >> (8 * i)) & 0xFF));
    }
}

void AddRecord(std::string& rFile, const std::string& record) {
    PutLe(rFile, 1, 4);
    PutLe(rFile, 0, 4);
    PutLe(rFile, static_cast<std::uint32_t>(record.size()), 4);
    PutLe(rFile, static_cast<std::uint32_t>(record.size()), 4);
    rFile += record;
}

// Random structure text: type codes, counts, groups (balanced or not), other characters.
std::string RandomStructure(std::mt19937& rng) {
    static const std::string kAlphabet = "CBXSIUPWHED()0123456789 -!ZQ(";
    std::string text;
    const int n = static_cast<int>(rng() % 24);
    for (int i = 0; i < n; ++i) {
        text.push_back(kAlphabet[rng() % kAlphabet.size()]);
    }
    return text;
}

// A file of random records: a function table (well formed or broken), then records whose
// headers and bytes are random, or well-formed frames of every link with random damage.
std::string RandomCapture(std::mt19937& rng, int nRecords) {
    std::string file;
    PutLe(file, 0xA1B2C3D4, 4);
    PutLe(file, 2, 2);
    PutLe(file, 4, 2);
    PutLe(file, 0, 8);
    PutLe(file, 262144, 4);
    PutLe(file, 147, 4);
    std::string table = "\x01\x08\x00\x00\x00\x00\x00\x00TALVO-FNTAB 1 fuzz\n";
    for (int i = 0; i < 8; ++i) {
        char szLine[32];
        std::snprintf(szLine, sizeof szLine, "0x%04X\t%u\tF%d\t", i + 1, i % 2 ? 5 : 3, i);
        table += szLine + RandomStructure(rng) + "\t" + RandomStructure(rng) + "\n";
    }
    if (rng() % 4 == 0) {
        table[8 + rng() % (table.size() - 8)] = static_cast<char>(rng());
    }
    AddRecord(file, table);
    for (int r = 0; r < nRecords; ++r) {
        std::string body;
        const std::uint8_t byLink = static_cast<std::uint8_t>(rng() % 8);
        const std::uint8_t byType = static_cast<std::uint8_t>(rng() % 6);
        std::string message;
        PutLe(message, 1 + rng() % 9, 2); // an FnId of the table
        if (byType == 4) {
            PutLe(message, rng() % 3, 2);
        }
        const int nData = static_cast<int>(rng() % 40);
        for (int i = 0; i < nData; ++i) {
            message.push_back(static_cast<char>(rng() % 4 == 0 ? 0xC8 : rng()));
        }
        const auto wLen = static_cast<std::uint32_t>(message.size());
        switch (byLink) {
        case 1: { // Full data frame, stuffed, with a checksum that may be right
            body = std::string("\xC8\x24", 2) + static_cast<char>(rng() % 128) +
                   static_cast<char>(byType);
            std::string stuffed;
            PutLe(stuffed, wLen, 2);
            stuffed += message;
            for (const char c : stuffed) {
                body.push_back(c);
                if (static_cast<std::uint8_t>(c) == 0xC8 && rng() % 8 != 0) {
                    body.push_back(c);
                }
            }
            body.push_back(rng() % 4 == 0 ? 1 : 0);
            std::uint8_t bySum = 0;
            for (const char c : body) {
                bySum = static_cast<std::uint8_t>(bySum + static_cast<std::uint8_t>(c));
            }
            body.push_back(static_cast<char>(~bySum));
            break;
        }
        case 2:
        case 3:
            body = std::string("\x1B$\r", 3) + static_cast<char>(byType);
            PutLe(body, wLen + rng() % 3, 2);
            body += message;
            body.push_back(static_cast<char>(rng()));
            break;
        case 4:
            PutLe(body, byType | 0x43000000u, 4);
            PutLe(body, rng() % 8 == 0 ? rng() : wLen + 16, 4);
            PutLe(body, 0, 8);
            body += message;
            break;
        case 5:
            PutLe(body, rng() % 8 == 0 ? rng() : 0x55AA, 2);
            body.push_back(static_cast<char>(rng() % 4));
            body.push_back(static_cast<char>(byType));
            PutLe(body, wLen + rng() % 2, 2);
            body += message;
            break;
        default:
            body = message;
            break;
        }
        // Damage: cut, overwrite, or replace it all by noise.
        if (!body.empty() && rng() % 3 == 0) {
            body.resize(rng() % body.size());
        }
        if (!body.empty() && rng() % 3 == 0) {
            body[rng() % body.size()] = static_cast<char>(rng());
        }
        std::string record;
        record.push_back(static_cast<char>(rng() % 10 == 0 ? rng() : 1));
        record.push_back(static_cast<char>(rng() % 10 == 0 ? rng() % 32 : 8));
        record.push_back(static_cast<char>(rng() % 3));
        record.push_back(static_cast<char>(rng() % 10 == 0 ? rng() : byLink));
        record.push_back(static_cast<char>(rng() % 5 == 0 ? 1 : 0));
        record.push_back(static_cast<char>(rng()));
        PutLe(record, rng(), 2);
        if (rng() % 12 == 0) {
            record.resize(rng() % record.size());
        }
        AddRecord(file, record + body);
    }
    return file;
}

// Random records through tshark for a bounded time (TALVO_TRACE_FUZZ_SECONDS, default 20): the
// dissector must never raise a Lua error, and every batch must finish.
TEST(TraceTest, DissectorSurvivesRandomRecords) {
    REQUIRE_TSHARK();
    const char* pszSeconds = std::getenv("TALVO_TRACE_FUZZ_SECONDS");
    const int nSeconds = pszSeconds != nullptr ? std::atoi(pszSeconds) : 20;
    std::mt19937 rng(static_cast<std::uint32_t>(std::random_device{}()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(nSeconds);
    int nBatches = 0;
    const std::string capture = TempPath("FUZZ.pcap");
    const std::string deffile = TempPath("FUZZ.DEF");
    do {
        WriteFile(capture, RandomCapture(rng, 400));
        // Every other batch with a damaged definition file in place of the capture's table.
        std::string definitions = ReadFile(kDefinitionFile);
        for (int i = 0; i < 20; ++i) {
            definitions[rng() % definitions.size()] = "{}()/*;#\n \t0xW"[rng() % 15];
        }
        WriteFile(deffile, definitions);
        std::string command =
            "tshark -X lua_script:" + Quote(kDissector) + " -r " + Quote(capture) + " -V";
        if (nBatches % 2 == 1) {
            command += " -o " + Quote("talvo.deffile:" + deffile);
        }
        const RunResult result = RunProgram("/bin/sh", {"-c", command + " 2>&1"}, "", 120000);
        ASSERT_FALSE(result.bTimedOut) << "batch " << nBatches;
        ASSERT_EQ(0, result.iExitCode) << result.output.substr(0, 4000);
        const std::size_t at = result.output.find("Lua Error");
        if (at != std::string::npos) {
            // Keep the input that raised it.
            WriteFile(TempPath("FUZZ_FAILED.pcap"), ReadFile(capture));
            FAIL() << result.output.substr(at, 500) << "\ninput kept in "
                   << TempPath("FUZZ_FAILED.pcap");
        }
        ++nBatches;
    } while (std::chrono::steady_clock::now() < deadline);
    std::printf("dissector fuzz: %d batches of 400 records\n", nBatches);
}

} // namespace
