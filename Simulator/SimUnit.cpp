// The simulated unit: answers every remote call by the function table, so that a tool session
// against it is repeatable, and injects the message-level faults chosen on the command line.
#include "Simulator/SimUnit.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Communication/Rsm/Rsm.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

namespace {

constexpr std::size_t kMaxElements = 2500; // elements of one flattened structure
constexpr int kMaxGroupDepth = 8;          // nesting of groups the unit follows
constexpr std::size_t kTerminalReplySize = 256;

struct Element {
    char cCode = 0;
    std::uint16_t wCount = 1; // string: bytes of the field; others: number of values
};

struct DelayedAnswer {
    bool bUsed = false;
    std::uint32_t dwDue = 0;
    std::uint8_t byChannel = 0;
    std::uint16_t wLength = 0;
    std::vector<std::uint8_t> data;
};

SimUnitConfig g_config;
SimCloseCallback g_pfClose = nullptr;
std::uint8_t g_byChannel = MDSC_INVALID_ID;
std::uint32_t g_dwAnswered = 0;
bool g_bSilent = false; // --silent-after reached: the unit sends nothing more
std::uint32_t g_dwNotifications = 0;
std::uint32_t g_dwRandom = 0x1234567U;
std::uint32_t g_dwNextNotify = 0;
std::uint16_t g_wTask = OSSC_NO_THREAD;
bool g_bStarted = false;
std::array<DelayedAnswer, SIMC_MAX_DELAYED> g_delayed;

std::uint16_t Width(char cCode) {
    switch (cCode) {
    case 'I':
    case 'U':
    case 'P':
    case 'W':
    case 'H':
    case 'E':
        return 2;
    case 'D':
        return 4;
    default:
        return 1;
    }
}

bool IsTypeCode(char cCode) {
    return std::strchr("CBXSIUPWHED", cCode) != nullptr && cCode != 0;
}

std::size_t ElementSize(const Element& element) {
    return element.cCode == 'S' ? element.wCount
                                : static_cast<std::size_t>(Width(element.cCode)) * element.wCount;
}

std::uint16_t ReadCount(const char*& rpszText) {
    std::uint32_t dwCount = 0;
    while (*rpszText >= '0' && *rpszText <= '9') {
        dwCount = dwCount * 10 + static_cast<std::uint32_t>(*rpszText - '0');
        if (dwCount > 0xFFFF) {
            dwCount = 0xFFFF;
        }
        ++rpszText;
    }
    return dwCount == 0 ? 1 : static_cast<std::uint16_t>(dwCount);
}

// Flattens a structure text (groups written out) into elements, stopping once the elements
// describe more than a message can hold. Returns false at an unbalanced group.
bool Flatten(const char*& rpszText, std::vector<Element>& rElements, std::size_t& rBytes,
             int iDepth, bool bInGroup) {
    while (*rpszText != '\0') {
        const char cCode = *rpszText++;
        if (cCode == ')') {
            return bInGroup;
        }
        if (cCode == '(') {
            if (iDepth >= kMaxGroupDepth) {
                return false;
            }
            std::vector<Element> group;
            std::size_t groupBytes = 0;
            if (!Flatten(rpszText, group, groupBytes, iDepth + 1, true)) {
                return false;
            }
            const std::uint16_t wRepeat = ReadCount(rpszText);
            for (std::uint16_t w = 0; w < wRepeat; ++w) {
                if (rBytes > SIMC_MESSAGE_SIZE || rElements.size() + group.size() > kMaxElements) {
                    return true;
                }
                rElements.insert(rElements.end(), group.begin(), group.end());
                rBytes += groupBytes;
            }
            continue;
        }
        if (!IsTypeCode(cCode)) {
            continue;
        }
        Element element{cCode, ReadCount(rpszText)};
        if (rElements.size() < kMaxElements && rBytes <= SIMC_MESSAGE_SIZE) {
            rElements.push_back(element);
            rBytes += ElementSize(element);
        }
    }
    return !bInGroup;
}

std::vector<Element> Elements(const std::string& structure) {
    std::vector<Element> elements;
    std::size_t bytes = 0;
    const char* pszText = structure.c_str();
    if (!Flatten(pszText, elements, bytes, 0, false)) {
        elements.clear();
    }
    return elements;
}

void PutValue(std::span<std::uint8_t> out, std::size_t& rPos, std::uint32_t dwValue,
              std::uint16_t wWidth) {
    for (std::uint16_t w = 0; w < wWidth && rPos < out.size(); ++w) {
        out[rPos++] = static_cast<std::uint8_t>(dwValue >> (8 * w));
    }
}

// Fills one element with counting values: number k of the message gets dwBase + k.
void Generate(const Element& element, std::span<std::uint8_t> out, std::size_t& rPos,
              std::uint32_t dwBase) {
    if (element.cCode == 'S') {
        std::array<char, 32> text{};
        std::snprintf(text.data(), text.size(), "SIM%u", static_cast<unsigned>(dwBase));
        for (std::uint16_t w = 0; w < element.wCount && rPos < out.size(); ++w) {
            const bool bLast = w + 1 == element.wCount;
            const char cChar = w < text.size() ? text[w] : '\0';
            out[rPos++] = bLast ? 0 : static_cast<std::uint8_t>(cChar);
        }
        return;
    }
    for (std::uint16_t w = 0; w < element.wCount; ++w) {
        const std::uint32_t dwValue = dwBase + w;
        if (element.cCode == 'C') {
            PutValue(out, rPos, 'A' + dwValue % 26, 1);
        } else if (element.cCode == 'E') {
            PutValue(out, rPos, 0, 2);
        } else {
            PutValue(out, rPos, dwValue, Width(element.cCode));
        }
    }
}

// Writes the body of a message by the response structure. Elements that stand at the same place
// in the request structure, with the same code and count, are echoed from the request.
std::size_t FillBody(const std::string& response, const std::string& request,
                     std::span<const std::uint8_t> requestBody, std::span<std::uint8_t> out,
                     std::uint32_t dwCallNumber) {
    const std::vector<Element> outElements = Elements(response);
    const std::vector<Element> inElements = Elements(request);
    std::size_t pos = 0;
    std::size_t inPos = 0;
    bool bEcho = true;
    for (std::size_t i = 0; i < outElements.size() && pos < out.size(); ++i) {
        const Element& element = outElements[i];
        const std::size_t size = ElementSize(element);
        bEcho = bEcho && i < inElements.size() && inElements[i].cCode == element.cCode &&
                inElements[i].wCount == element.wCount && inPos + size <= requestBody.size() &&
                pos + size <= out.size();
        if (bEcho) {
            std::memcpy(out.data() + pos, requestBody.data() + inPos, size);
            pos += size;
            inPos += size;
        } else {
            Generate(element, out, pos, dwCallNumber + static_cast<std::uint32_t>(i));
        }
    }
    return pos;
}

void Trace(const char* pszDirection, std::uint8_t byType, std::uint16_t wLength,
           const std::uint8_t* pbyData) {
    if (g_config.bQuiet) {
        return;
    }
    std::printf("%s %s(%u) %u bytes", pszDirection, MsgTypeName(byType), byType, wLength);
    if (wLength >= 2 && byType != MDSC_MSG_TERMINAL_REQUEST &&
        byType != MDSC_MSG_TERMINAL_RESPONSE) {
        const std::uint16_t wFnId = static_cast<std::uint16_t>(pbyData[0] | (pbyData[1] << 8));
        const FunctionRecord* pRecord = FnTabFindByFnId(wFnId);
        std::printf(", FnId 0x%04X %s", wFnId, pRecord != nullptr ? pRecord->name.c_str() : "?");
    }
    std::printf("\n");
    std::fflush(stdout);
}

std::uint16_t Send(std::uint8_t byChannel, std::uint8_t byType,
                   std::span<const std::uint8_t> data) {
    Trace("->", byType, static_cast<std::uint16_t>(data.size()), data.data());
    return MdsExecuteResponseHandler(byChannel, byType, static_cast<std::uint16_t>(data.size()),
                                     data.data());
}

void QueueDelayed(std::uint8_t byChannel, std::span<const std::uint8_t> answer) {
    for (DelayedAnswer& rSlot : g_delayed) {
        if (!rSlot.bUsed) {
            rSlot.bUsed = true;
            rSlot.dwDue = OssGetTime() + g_config.dwDelayMs;
            rSlot.byChannel = byChannel;
            rSlot.data.assign(answer.begin(), answer.end());
            return;
        }
    }
    // Every slot holds an answer: this one is sent at once rather than lost.
    Send(byChannel, MDSC_MSG_RFS_RESPONSE, answer);
}

// Notes where a message came from and shows it. False while the unit is silent.
bool Received(std::uint8_t byChannelId, std::uint8_t byMsgType, std::uint16_t wLength,
              const std::uint8_t* pbyData) {
    g_byChannel = byChannelId;
    Trace("<-", byMsgType, wLength, pbyData);
    return !SimUnitSilent();
}

std::uint16_t RequestHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                             std::uint16_t wLength, const std::uint8_t* pbyData) {
    if (!Received(byChannelId, byMsgType, wLength, pbyData)) {
        return 0;
    }
    std::array<std::uint8_t, SIMC_MESSAGE_SIZE> answer{};
    const std::size_t length =
        SimBuildAnswer(std::span<const std::uint8_t>(pbyData, wLength), answer, g_dwAnswered);
    if (length == 0) {
        return 0;
    }
    const bool bFaults = SimUnitFaultsActive();
    ++g_dwAnswered;
    const std::span<const std::uint8_t> message(answer.data(), length);
    if (bFaults && SimUnitDraw(g_config.wDropPercent)) {
        if (!g_config.bQuiet) {
            std::printf("   (answer dropped)\n");
            std::fflush(stdout);
        }
    } else if (g_config.dwDelayMs != 0 && bFaults) {
        QueueDelayed(byChannelId, message);
    } else {
        Send(byChannelId, MDSC_MSG_RFS_RESPONSE, message);
    }
    // The answer that reaches the count still goes out; silence starts after it.
    g_bSilent = g_config.dwSilentAfter != 0 && g_dwAnswered >= g_config.dwSilentAfter;
    if (g_config.dwCloseAfter != 0 && g_dwAnswered == g_config.dwCloseAfter && g_pfClose) {
        g_pfClose();
    }
    return 0;
}

std::uint16_t TerminalHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                              std::uint16_t wLength, const std::uint8_t* pbyData) {
    if (!Received(byChannelId, byMsgType, wLength, pbyData)) {
        return 0;
    }
    // On a terminal link the answer is a plain line of characters. On a framed link it is a
    // terminal line of its own (type 6, with its zero byte, as the tool's TERM sends one), which
    // the tool shows as text; a type 7 message would be decoded as a function's answer there.
    std::array<char, kTerminalReplySize> reply{};
    const int iLength = std::snprintf(
        reply.data(), reply.size(),
        g_config.bTextStream ? "talvo_sim: %.*s\r\n" : "talvo_sim: %.*s",
        static_cast<int>(wLength > 200 ? 200 : wLength), reinterpret_cast<const char*>(pbyData));
    std::size_t length =
        iLength < 0 ? 0 : std::min(static_cast<std::size_t>(iLength), reply.size() - 1);
    if (!g_config.bTextStream) {
        ++length; // the zero byte that snprintf wrote
    }
    Send(
        byChannelId, g_config.bTextStream ? MDSC_MSG_TERMINAL_RESPONSE : MDSC_MSG_TERMINAL_REQUEST,
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(reply.data()), length));
    return 0;
}

// The simulated unit's COMMUNICATION_PARAMS responder: it confirms parameters as they were
// asked, without limits (the packing byte too, from a request one byte short), and counts nothing.
std::uint16_t ConfirmAsAsked(RsmCommParams& rParams, void* pvRequest) {
    const auto& request = *static_cast<const std::span<const std::uint8_t>*>(pvRequest);
    rParams.byPacking = request.size() > 8 ? request[8] : 0;
    return 0;
}

RsmStatistics NoStatistics(void* /*pvOwner*/) {
    return RsmStatistics{};
}

std::uint16_t ParamsHandler(std::uint8_t byChannelId, std::uint8_t byMsgType, std::uint16_t wLength,
                            const std::uint8_t* pbyData) {
    g_byChannel = byChannelId;
    Trace("<-", byMsgType, wLength, pbyData);
    std::span<const std::uint8_t> request;
    if (pbyData != nullptr) {
        request = std::span<const std::uint8_t>(pbyData, wLength);
    }
    RsmComAnswer answer;
    // The simulated unit takes every request.
    static_cast<void>(RsmAnswerComRequest(
        pbyData, wLength, RsmComResponder{ConfirmAsAsked, NoStatistics, &request}, answer));
    if (answer.wLength == 0) {
        return 0;
    }
    return Send(byChannelId, byMsgType,
                std::span<const std::uint8_t>(answer.abyBytes.data(), answer.wLength));
}

std::uint16_t OtherHandler(std::uint8_t byChannelId, std::uint8_t byMsgType, std::uint16_t wLength,
                           const std::uint8_t* pbyData) {
    g_byChannel = byChannelId;
    Trace("<-", byMsgType, wLength, pbyData);
    return 0;
}

void SendNotifications() {
    if (g_byChannel == MDSC_INVALID_ID || SimUnitSilent()) {
        return;
    }
    std::array<std::uint8_t, SIMC_MESSAGE_SIZE> message{};
    for (std::uint16_t w = 0; w < FnTabCount(); ++w) {
        const FunctionRecord* pRecord = FnTabAt(w);
        if (pRecord == nullptr || pRecord->bySectionKind != APPC_SECTION_UPDATE) {
            continue;
        }
        const std::size_t length = SimBuildNotify(pRecord->wFnId, message, g_dwNotifications);
        Send(g_byChannel, MDSC_MSG_PC_NOTIFY,
             std::span<const std::uint8_t>(message.data(), length));
    }
    ++g_dwNotifications;
}

// Scheduler task: sends the delayed answers that are due and the notifications on their period.
void UnitTask() {
    const std::uint32_t dwNow = OssGetTime();
    for (DelayedAnswer& rSlot : g_delayed) {
        if (rSlot.bUsed && OssTimeReached(rSlot.dwDue)) {
            rSlot.bUsed = false;
            Send(rSlot.byChannel, MDSC_MSG_RFS_RESPONSE, rSlot.data);
        }
    }
    if (g_config.dwNotifySeconds != 0 && OssTimeReached(g_dwNextNotify)) {
        g_dwNextNotify = dwNow + g_config.dwNotifySeconds * 1000U;
        SendNotifications();
    }
    for (const DelayedAnswer& rSlot : g_delayed) {
        if (rSlot.bUsed) {
            OssDeclareDeadline(rSlot.dwDue);
        }
    }
    if (g_config.dwNotifySeconds != 0) {
        OssDeclareDeadline(g_dwNextNotify);
    }
}

} // namespace

std::size_t SimBuildAnswer(std::span<const std::uint8_t> request, std::span<std::uint8_t> rAnswer,
                           std::uint32_t dwCallNumber) {
    if (request.size() < 2 || rAnswer.size() < 4) {
        return 0;
    }
    const std::uint16_t wFnId = static_cast<std::uint16_t>(request[0] | (request[1] << 8));
    rAnswer[0] = request[0];
    rAnswer[1] = request[1];
    const FunctionRecord* pRecord = FnTabFindByFnId(wFnId);
    const std::uint16_t wError = pRecord == nullptr ? SIMC_ERROR_UNKNOWN_FNID : 0;
    rAnswer[2] = static_cast<std::uint8_t>(wError);
    rAnswer[3] = static_cast<std::uint8_t>(wError >> 8);
    if (pRecord == nullptr) {
        return 4;
    }
    return 4 + FillBody(pRecord->response, pRecord->request, request.subspan(2), rAnswer.subspan(4),
                        dwCallNumber);
}

std::size_t SimBuildNotify(std::uint16_t wFnId, std::span<std::uint8_t> rMessage,
                           std::uint32_t dwCallNumber) {
    if (rMessage.size() < 2) {
        return 0;
    }
    rMessage[0] = static_cast<std::uint8_t>(wFnId);
    rMessage[1] = static_cast<std::uint8_t>(wFnId >> 8);
    const FunctionRecord* pRecord = FnTabFindByFnId(wFnId);
    if (pRecord == nullptr) {
        return 2;
    }
    return 2 + FillBody(pRecord->response, std::string(), {}, rMessage.subspan(2), dwCallNumber);
}

std::uint16_t SimUnitStart(const SimUnitConfig& config, std::uint8_t byChannel,
                           SimCloseCallback pfClose) {
    g_config = config;
    g_pfClose = pfClose;
    g_byChannel = byChannel;
    // The first refusal is the result; the other registrations are still made.
    std::uint16_t wStatus = 0;
    auto reg = [&wStatus](std::uint8_t byType, MsgHandler pfHandler) {
        const std::uint16_t wResult = MdsRegisterMsgHandler(byType, pfHandler);
        wStatus = wStatus != 0 ? wStatus : wResult;
    };
    reg(MDSC_MSG_RFS_REQUEST, RequestHandler);
    reg(MDSC_MSG_TERMINAL_REQUEST, TerminalHandler);
    if (!config.bSerialFull) {
        reg(MDSC_MSG_COMMUNICATION_PARAMS, ParamsHandler);
    }
    for (std::uint8_t byType :
         {MDSC_MSG_RFS_RESPONSE, MDSC_MSG_PC_NOTIFY, MDSC_MSG_TERMINAL_RESPONSE}) {
        reg(byType, OtherHandler);
    }
    g_dwNextNotify = OssGetTime() + config.dwNotifySeconds * 1000U;
    g_wTask = OssCreateThread(UnitTask, OSSC_EVERY_PASS);
    g_bStarted = true;
    return g_wTask == OSSC_NO_THREAD ? 1 : wStatus;
}

void SimUnitSetChannel(std::uint8_t byChannel) {
    g_byChannel = byChannel;
}

void SimUnitStop() {
    if (!g_bStarted) {
        return;
    }
    g_bStarted = false;
    if (g_wTask != OSSC_NO_THREAD) {
        static_cast<void>(OssDeleteThread(g_wTask)); // the slot is the task's own
        g_wTask = OSSC_NO_THREAD;
    }
    // Types below 255: a deregistration cannot fail.
    for (std::uint8_t byType : {MDSC_MSG_RFS_REQUEST, MDSC_MSG_RFS_RESPONSE, MDSC_MSG_PC_NOTIFY,
                                MDSC_MSG_TERMINAL_REQUEST, MDSC_MSG_TERMINAL_RESPONSE}) {
        static_cast<void>(MdsDeregisterMsgHandler(byType));
    }
    if (!g_config.bSerialFull) {
        static_cast<void>(MdsDeregisterMsgHandler(MDSC_MSG_COMMUNICATION_PARAMS));
    }
    for (DelayedAnswer& rSlot : g_delayed) {
        rSlot.bUsed = false;
    }
}

std::uint32_t SimUnitAnswered() {
    return g_dwAnswered;
}

bool SimUnitSilent() {
    return g_bSilent;
}

bool SimUnitFaultsActive() {
    return g_dwAnswered >= g_config.dwFaultsAfter;
}

bool SimUnitDraw(std::uint16_t wPercent) {
    if (wPercent == 0) {
        return false;
    }
    // A fixed linear congruential generator: the same run gives the same faults.
    g_dwRandom = g_dwRandom * 1103515245U + 12345U;
    return ((g_dwRandom >> 16) % 100U) < wPercent;
}

void SimUnitResetForTest() {
    SimUnitStop();
    g_config = SimUnitConfig{};
    g_pfClose = nullptr;
    g_byChannel = MDSC_INVALID_ID;
    g_dwAnswered = 0;
    g_bSilent = false;
    g_dwNotifications = 0;
    g_dwRandom = 0x1234567U;
}
