// JSON Lines writer: builds each object with nlohmann::json (which escapes every string) from the
// decoder's fields, so the file shows exactly what the text display shows.
#include "Application/AppJson.h"

#include <array>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "Application/AppDecode.h"
#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppStamp.h"
#include "Application/AppStruct.h"

namespace {

using Json = nlohmann::ordered_json; // keys in the order written: "t" first

struct FileCloser {
    void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};

std::unique_ptr<std::FILE, FileCloser> g_jsonFile;

constexpr std::size_t APPC_UTC_SIZE = 32;

std::string UtcText(std::uint64_t qwMs) {
    std::array<char, APPC_UTC_SIZE> szText{};
    StampUtcText(qwMs, szText.data(), szText.size());
    return szText.data();
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    static constexpr char APPC_HEX_DIGITS[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t by : bytes) {
        text.push_back(APPC_HEX_DIGITS[by >> 4]);
        text.push_back(APPC_HEX_DIGITS[by & 0x0F]);
    }
    return text;
}

// Type name without the display's trailing blank.
std::string TypeName(std::uint8_t byMsgType) {
    std::string name = MsgTypeName(byMsgType);
    while (!name.empty() && name.back() == ' ') {
        name.pop_back();
    }
    return name;
}

Json FieldsArray(const std::vector<MsgField>& fields);

// One value as the JSON file shows it: numbers as numbers (I signed), X as its two hex digits.
Json ValueOf(const FieldType& type, std::uint32_t dwValue) {
    switch (type.tClass) {
    case FieldClass::SignedWord:
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(dwValue));
    case FieldClass::Byte:
        if (type.cCode == 'X') {
            std::array<char, 4> szHex{};
            std::snprintf(szHex.data(), szHex.size(), "%02X", static_cast<unsigned>(dwValue));
            return szHex.data();
        }
        return dwValue;
    default:
        return dwValue;
    }
}

Json FieldObject(const MsgField& field) {
    Json object = Json::object();
    object["code"] = std::string(1, field.ptType->cCode);
    switch (field.ptType->tClass) {
    case FieldClass::Group: {
        object["structure"] = JsonLatin1ToUtf8(field.inner);
        Json repetitions = Json::array();
        for (const std::vector<MsgField>& repetition : field.repetitions) {
            repetitions.push_back(FieldsArray(repetition));
        }
        object["value"] = std::move(repetitions);
        break;
    }
    case FieldClass::String:
        object["value"] = JsonLatin1ToUtf8(field.text);
        break;
    case FieldClass::Character: {
        // The characters side by side, as the display shows them.
        std::string text;
        for (const std::uint32_t dwValue : field.values) {
            text.push_back(static_cast<char>(dwValue));
        }
        object["value"] = JsonLatin1ToUtf8(text);
        break;
    }
    default:
        if (field.dwCount == 1 && field.values.size() == 1) {
            object["value"] = ValueOf(*field.ptType, field.values.front());
        } else {
            Json values = Json::array();
            for (const std::uint32_t dwValue : field.values) {
                values.push_back(ValueOf(*field.ptType, dwValue));
            }
            object["value"] = std::move(values);
        }
        break;
    }
    return object;
}

Json FieldsArray(const std::vector<MsgField>& fields) {
    Json array = Json::array();
    for (const MsgField& field : fields) {
        if (!field.bUnclosed) { // an unclosed '(' describes nothing of its own
            array.push_back(FieldObject(field));
        }
    }
    return array;
}

// One line to the file, flushed at once (a watcher of the file sees it, a crash loses none).
void WriteLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), g_jsonFile.get());
    std::fputc('\n', g_jsonFile.get());
    std::fflush(g_jsonFile.get());
}

Json EventObject(const char* pszEvent) {
    Json object = Json::object();
    object["t"] = UtcText(StampNowMs());
    object["event"] = pszEvent;
    return object;
}

} // namespace

std::string JsonLatin1ToUtf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto by = static_cast<unsigned char>(c);
        if (by < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (by >> 6)));
            text.push_back(static_cast<char>(0x80 | (by & 0x3F)));
        }
    }
    return text;
}

std::string JsonMessageLine(const char* pszDirection, const MsgDecoded& decoded, bool bSent,
                            std::uint64_t qwMs) {
    Json object = Json::object();
    object["t"] = UtcText(qwMs);
    object["dir"] = pszDirection;
    if (!bSent) {
        object["sent"] = false;
    }
    object["type"] = decoded.byMsgType;
    object["type_name"] = TypeName(decoded.byMsgType);
    if (decoded.bHasFnId) {
        object["fnid"] = decoded.wFnId;
        if (decoded.ptRecord != nullptr) {
            object["name"] = JsonLatin1ToUtf8(decoded.ptRecord->name);
        }
    }
    if (decoded.bHasError) {
        object["error"] = decoded.wError;
    }
    if (decoded.pszStructure != nullptr) {
        object["fields"] = FieldsArray(decoded.fields);
        if (decoded.qwMissing > 0) {
            object["missing"] = decoded.qwMissing;
        }
        if (!decoded.Rest().empty()) {
            object["rest"] = Hex(decoded.Rest());
        }
    } else {
        object["raw"] = Hex(decoded.body);
    }
    // Every string is valid UTF-8 already; replace only guards against a throw.
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool JsonOpen(const char* pszPath) {
    // Binary: every line ends in a line feed alone, on every system.
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(pszPath, "wb"));
    if (!file) {
        return false;
    }
    g_jsonFile = std::move(file);
    return true;
}

void JsonClose() {
    g_jsonFile.reset();
}

bool JsonIsOpen() {
    return g_jsonFile != nullptr;
}

void JsonWriteMessage(const char* pszDirection, const MsgDecoded& decoded, bool bSent) {
    if (!g_jsonFile) {
        return;
    }
    try {
        WriteLine(JsonMessageLine(pszDirection, decoded, bSent, StampNowMs()));
    } catch (const std::exception&) {
        // No memory for the line: it is left out rather than the program stopped.
    }
}

void JsonWriteEvent(const char* pszEvent) {
    if (!g_jsonFile) {
        return;
    }
    try {
        WriteLine(EventObject(pszEvent).dump());
    } catch (const std::exception&) {
        // No memory for the line: it is left out rather than the program stopped.
    }
}

void JsonWriteNoAnswer(std::uint16_t wFnId, std::uint32_t dwSeconds) {
    if (!g_jsonFile) {
        return;
    }
    try {
        Json object = EventObject("no_answer");
        object["fnid"] = wFnId;
        const FunctionRecord* ptRecord = FnTabFindByFnId(wFnId);
        if (ptRecord != nullptr) {
            object["name"] = JsonLatin1ToUtf8(ptRecord->name);
        }
        object["seconds"] = dwSeconds;
        WriteLine(object.dump(-1, ' ', false, Json::error_handler_t::replace));
    } catch (const std::exception&) {
        // No memory for the line: it is left out rather than the program stopped.
    }
}
