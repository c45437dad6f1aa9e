// Function table: reads the definition files token by token into a fixed table of records, sorts
// it by name, indexes it by FnId and owns the request message buffer in which calls are built.
#include "Application/AppFnTab.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "Application/AppStreams.h"

namespace {

constexpr std::size_t APPC_PIECE_SIZE = 128; // one line piece: 127 characters and the zero
// Separators of names, numbers and '{'; a carriage return counts as one so that files written
// with CR LF line ends read the same on every platform.
constexpr const char* APPC_BLANKS = " \t\r\n";

std::array<FunctionRecord, APPC_MAX_FUNCTIONS> g_atFunctionTable;
std::uint16_t g_wCount = 0;
std::array<std::uint16_t, APPC_MAX_FUNCTIONS> g_awFunctionIndex{}; // table positions sorted by FnId
std::unique_ptr<std::uint8_t[]> g_pbyRequest;                      // request message buffer
std::uint8_t g_bySectionKind = APPC_SECTION_REQUEST;               // kept from one file to the next
FnTabReleaseHook g_pfReleaseHook = nullptr;

struct FileCloser {
    void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Result of one read of the tokenizer.
enum class TokenResult { Token, EndOfFile };

// Reads one definition file in pieces of at most 127 characters and hands out its tokens.
class DefReader {
  public:
    DefReader(std::FILE* pFile) : m_pFile(pFile) {}

    int Line() const { return m_nLine; }

    // Next token with blank, tab and newline as separators; comments and section switches are
    // handled here and never returned.
    TokenResult Next(std::string_view* pToken) {
        for (;;) {
            std::string_view token;
            if (Raw(&token) == TokenResult::EndOfFile) {
                return TokenResult::EndOfFile;
            }
            if (token.starts_with("/*")) {
                if (SkipComment() == TokenResult::EndOfFile) {
                    return TokenResult::EndOfFile;
                }
                continue;
            }
            *pToken = token;
            return TokenResult::Token;
        }
    }

    // Reads a structure after a token that begins with '{' (the last token handed out): the text
    // after the '{' and the one separator behind it, up to the next '}' or the end of the piece.
    // When nothing follows the '{' on its piece, the text comes from the next piece.
    TokenResult Structure(std::string_view* pText) {
        std::size_t wStart = m_wTokenStart + 1;
        if (wStart < m_wPieceLength && IsBlank(m_szPiece[wStart])) {
            ++wStart;
        }
        if (wStart >= m_wPieceLength) {
            if (!ReadPiece()) {
                return TokenResult::EndOfFile;
            }
            wStart = 0;
        }
        std::size_t wEnd = wStart;
        while (wEnd < m_wPieceLength && m_szPiece[wEnd] != '}') {
            ++wEnd;
        }
        *pText = std::string_view(m_szPiece.data() + wStart, wEnd - wStart);
        m_wPos = wEnd < m_wPieceLength ? wEnd + 1 : wEnd;
        return TokenResult::Token;
    }

  private:
    static bool IsBlank(char c) { return std::strchr(APPC_BLANKS, c) != nullptr && c != '\0'; }

    bool ReadPiece() {
        if (std::fgets(m_szPiece.data(), static_cast<int>(m_szPiece.size()), m_pFile) == nullptr) {
            m_wPieceLength = 0;
            m_wPos = 0;
            return false;
        }
        ++m_nLine;
        m_wPieceLength = std::strlen(m_szPiece.data());
        m_wPos = 0;
        return true;
    }

    // Next token of the current piece only; false when the piece has none left.
    bool TokenInPiece(std::string_view* pToken) {
        while (m_wPos < m_wPieceLength && IsBlank(m_szPiece[m_wPos])) {
            ++m_wPos;
        }
        if (m_wPos >= m_wPieceLength) {
            return false;
        }
        const std::size_t wStart = m_wPos;
        while (m_wPos < m_wPieceLength && !IsBlank(m_szPiece[m_wPos])) {
            ++m_wPos;
        }
        m_wTokenStart = wStart;
        *pToken = std::string_view(m_szPiece.data() + wStart, m_wPos - wStart);
        if (m_wPos < m_wPieceLength) {
            ++m_wPos; // the separator that ended the token
        }
        return true;
    }

    // Next token across pieces, with line comments and section switches handled.
    TokenResult Raw(std::string_view* pToken) {
        for (;;) {
            std::string_view token;
            if (!m_bHavePiece || !TokenInPiece(&token)) {
                m_bHavePiece = ReadPiece();
                if (!m_bHavePiece) {
                    return TokenResult::EndOfFile;
                }
                continue;
            }
            if (token.starts_with(";") || token.starts_with("//")) {
                m_wPos = m_wPieceLength; // the rest of the piece is a comment
                continue;
            }
            if (token == "#define") {
                std::string_view section;
                if (TokenInPiece(&section)) {
                    if (section == "REQUEST") {
                        g_bySectionKind = APPC_SECTION_REQUEST;
                    } else if (section == "UPDATE") {
                        g_bySectionKind = APPC_SECTION_UPDATE;
                    }
                }
                m_wPos = m_wPieceLength;
                continue;
            }
            *pToken = token;
            return TokenResult::Token;
        }
    }

    // Skips tokens up to and including the first one that begins with "*/".
    TokenResult SkipComment() {
        for (;;) {
            std::string_view token;
            if (Raw(&token) == TokenResult::EndOfFile) {
                return TokenResult::EndOfFile;
            }
            if (token.starts_with("*/")) {
                return TokenResult::Token;
            }
        }
    }

    std::FILE* m_pFile;
    std::array<char, APPC_PIECE_SIZE> m_szPiece{};
    std::size_t m_wPieceLength = 0;
    std::size_t m_wPos = 0;
    std::size_t m_wTokenStart = 0;
    bool m_bHavePiece = false;
    int m_nLine = 0;
};

void Print(const char* pszFormat, auto... args) {
    std::fprintf(AppConsole(), pszFormat, args...);
}

bool CopyUpper(std::string_view text, std::string* pTarget) {
    try {
        pTarget->assign(text);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (char& c : *pTarget) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return true;
}

// Reads a structure in braces into pTarget; false when there is none.
bool ReadStructure(DefReader* pReader, std::string* pTarget) {
    std::string_view token;
    if (pReader->Next(&token) == TokenResult::EndOfFile || !token.starts_with("{")) {
        return false;
    }
    std::string_view text;
    if (pReader->Structure(&text) == TokenResult::EndOfFile) {
        return false;
    }
    return CopyUpper(text, pTarget);
}

std::uint16_t ReadNumber16(std::string_view token) {
    std::array<char, APPC_PIECE_SIZE> szNumber{};
    const std::size_t wLength = std::min(token.size(), szNumber.size() - 1);
    std::memcpy(szNumber.data(), token.data(), wLength);
    return static_cast<std::uint16_t>(std::strtoul(szNumber.data(), nullptr, 0) & 0xFFFFu);
}

// Reads one definition file into the table from the next free record on.
std::uint16_t ReadFile(const char* pszFile) {
    FilePtr pFile(std::fopen(pszFile, "r"));
    if (!pFile) {
        // "defintion": the message as scripts and operators know it, kept on purpose.
        Print("Can't open defintion file: %s\n", pszFile);
        return APPC_LOAD_NOT_FOUND;
    }
    DefReader reader(pFile.get());
    for (;;) {
        std::string_view token;
        if (reader.Next(&token) == TokenResult::EndOfFile) {
            return APPC_LOAD_OK;
        }
        if (g_wCount >= APPC_MAX_FUNCTIONS) {
            // The table filled up in an earlier file: nothing more may be stored.
            Print("Too Many Functions in: %s\n", pszFile);
            return APPC_LOAD_FORMAT;
        }
        FunctionRecord& record = g_atFunctionTable[g_wCount];
        record = FunctionRecord{};
        record.bySectionKind = g_bySectionKind;
        if (!CopyUpper(token, &record.name)) {
            record = FunctionRecord{};
            Print("Allocation failure during read of: %s\n", pszFile);
            return APPC_LOAD_ALLOCATION;
        }
        std::string_view number;
        if (reader.Next(&number) == TokenResult::EndOfFile ||
            (record.wFnId = ReadNumber16(number)) == 0) {
            record = FunctionRecord{};
            Print("No Token found in: %s, line:%d\n", pszFile, reader.Line());
            return APPC_LOAD_FORMAT;
        }
        if (!ReadStructure(&reader, &record.request)) {
            record = FunctionRecord{};
            Print("No %s-Structure found in: %s, line:%d\n", "REQ", pszFile, reader.Line());
            return APPC_LOAD_FORMAT;
        }
        bool bResponse = true;
        if (record.bySectionKind == APPC_SECTION_REQUEST) {
            bResponse = ReadStructure(&reader, &record.response);
        } else {
            try {
                record.response = record.request;
            } catch (const std::bad_alloc&) {
                bResponse = false;
            }
        }
        if (!bResponse) {
            record = FunctionRecord{};
            Print("No %s-Structure found in: %s, line:%d\n", "RSP", pszFile, reader.Line());
            return APPC_LOAD_FORMAT;
        }
        ++g_wCount;
        if (g_wCount >= APPC_MAX_FUNCTIONS) {
            Print("Too Many Functions in: %s\n", pszFile);
            return APPC_LOAD_FORMAT;
        }
    }
}

bool FileExists(const char* pszFile) {
    FilePtr pFile(std::fopen(pszFile, "r"));
    return pFile != nullptr;
}

void BuildOrder() {
    std::sort(g_atFunctionTable.begin(), g_atFunctionTable.begin() + g_wCount,
              [](const FunctionRecord& a, const FunctionRecord& b) {
                  return std::strcmp(a.name.c_str(), b.name.c_str()) < 0;
              });
    for (std::uint16_t w = 0; w < g_wCount; ++w) {
        g_awFunctionIndex[w] = w;
    }
    std::sort(g_awFunctionIndex.begin(), g_awFunctionIndex.begin() + g_wCount,
              [](std::uint16_t a, std::uint16_t b) {
                  return g_atFunctionTable[a].wFnId < g_atFunctionTable[b].wFnId;
              });
}

// The call under construction refers to the table and the buffer: it lets go of them.
void ReleaseReferences() {
    if (g_pfReleaseHook != nullptr) {
        g_pfReleaseHook();
    }
}

} // namespace

void FnTabSetReleaseHook(FnTabReleaseHook pfHook) {
    g_pfReleaseHook = pfHook;
}

std::uint16_t FnTabLoad(const char* pszFileList) {
    FnTabRelease(); // a new load starts from an empty table in the REQUEST section
    if (pszFileList == nullptr) {
        return APPC_LOAD_FORMAT;
    }
    std::string mainFile;
    std::string extendedFile;
    bool bExtended = false;
    try {
        const std::string_view list(pszFileList);
        const std::size_t wSplit = list.find(';');
        mainFile.assign(list.substr(0, wSplit));
        if (wSplit != std::string_view::npos) {
            extendedFile.assign(list.substr(wSplit + 1));
            bExtended = true;
        }
    } catch (const std::bad_alloc&) {
        return APPC_LOAD_FORMAT;
    }

    Print("Loading definition file: %s ...", mainFile.c_str());
    std::uint16_t wResult = ReadFile(mainFile.c_str());
    if (wResult == APPC_LOAD_OK || wResult == APPC_LOAD_FORMAT) {
        Print("  %d Functions present.\n", static_cast<int>(g_wCount));
        if (bExtended && FileExists(extendedFile.c_str())) {
            const std::uint16_t wBefore = g_wCount;
            Print("Loading extended definition file: %s ...", extendedFile.c_str());
            const std::uint16_t wExtended = ReadFile(extendedFile.c_str());
            Print("  %d Functions present.\n", static_cast<int>(g_wCount - wBefore));
            // An error of the main file stays the result even when the extended file is clean.
            if (wResult == APPC_LOAD_OK) {
                wResult = wExtended;
            }
        }
    }
    if (wResult == APPC_LOAD_OK || wResult == APPC_LOAD_FORMAT) {
        BuildOrder();
        g_pbyRequest.reset(new (std::nothrow) std::uint8_t[APPC_REQUEST_BUFFER_SIZE]());
        if (!g_pbyRequest) {
            wResult = APPC_LOAD_ALLOCATION;
        }
    }
    ReleaseReferences();
    return wResult;
}

const FunctionRecord* FnTabFindByName(const char* pszName) {
    if (pszName == nullptr) {
        return nullptr;
    }
    const auto end = g_atFunctionTable.begin() + g_wCount;
    const auto it = std::lower_bound(g_atFunctionTable.begin(), end, pszName,
                                     [](const FunctionRecord& record, const char* pszKey) {
                                         return std::strcmp(record.name.c_str(), pszKey) < 0;
                                     });
    if (it == end || std::strcmp(it->name.c_str(), pszName) != 0) {
        return nullptr;
    }
    return &*it;
}

const FunctionRecord* FnTabFindByFnId(std::uint16_t wFnId) {
    const auto end = g_awFunctionIndex.begin() + g_wCount;
    const auto it = std::lower_bound(g_awFunctionIndex.begin(), end, wFnId,
                                     [](std::uint16_t wPosition, std::uint16_t wKey) {
                                         return g_atFunctionTable[wPosition].wFnId < wKey;
                                     });
    if (it == end || g_atFunctionTable[*it].wFnId != wFnId) {
        return nullptr;
    }
    return &g_atFunctionTable[*it];
}

std::uint16_t FnTabCount() {
    return g_wCount;
}

const FunctionRecord* FnTabAt(std::uint16_t wPosition) {
    return wPosition < g_wCount ? &g_atFunctionTable[wPosition] : nullptr;
}

std::span<std::uint8_t> FnTabRequestBuffer() {
    if (!g_pbyRequest) {
        return {};
    }
    return {g_pbyRequest.get(), APPC_REQUEST_BUFFER_SIZE};
}

void FnTabRelease() {
    ReleaseReferences();
    for (FunctionRecord& record : g_atFunctionTable) {
        record = FunctionRecord{};
    }
    g_wCount = 0;
    g_pbyRequest.reset();
    g_bySectionKind = APPC_SECTION_REQUEST;
}
