// The PROTOCOL command (statistics and retransmission parameters of the serial link, here and on
// the unit) and the application's COMMUNICATION_PARAMS message handler.
#include "Application/AppProtocol.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "Application/AppCmdArgs.h"
#include "Application/AppStamp.h"
#include "Application/AppStreams.h"
#include "Communication/Rsm/Rsm.h"
#include "Runtime/Mds.h"

namespace {

constexpr std::size_t APPC_PROTOCOL_NUMBERS = 5; // numbers read after the sub-command

using Numbers = std::array<std::uint16_t, APPC_PROTOCOL_NUMBERS>;
using SubCommand = std::uint16_t (*)(const Numbers& numbers, std::uint8_t byChannel);

struct ProtocolEntry {
    const char* pszName; // nullptr: the help entry at the end
    SubCommand pfAction;
};

std::uint8_t ProtocolPort = 0;

void ShowParams(const char* pszTitle, const RsmCommParams& tParams) {
    std::FILE* pOut = AppResponseStream();
    std::fprintf(pOut,
                 "\n\n%s%s:\n  HeartbeatTime = %u sec\n  NrRetries     = %u\n  RetryTime     = %u "
                 "sec\n\n",
                 StampText(), pszTitle, static_cast<unsigned>(tParams.HeartbeatTime),
                 static_cast<unsigned>(tParams.NrRetries),
                 static_cast<unsigned>(tParams.RetryTime));
    AppFlushResponseStream();
}

void ShowStatistics(const char* pszTitle, const RsmStatistics& tStatistics) {
    std::FILE* pOut = AppResponseStream();
    std::fprintf(
        pOut,
        "\n\n%s%s:\n  Nack received                %d\n  Invalid framelength received %d\n  "
        "50ms timeout detected        %d\n  Invalid checksums received   %d\n  "
        "Communication losts          %d\n  Retries                      %d\n  Messages "
        "losts               %d\n\n",
        StampText(), pszTitle, static_cast<int>(tStatistics.wNackReceived),
        static_cast<int>(tStatistics.wInvalidFrameLength), static_cast<int>(tStatistics.wTimeouts),
        static_cast<int>(tStatistics.wInvalidChecksums), static_cast<int>(tStatistics.wCommLosts),
        static_cast<int>(tStatistics.wRetries), static_cast<int>(tStatistics.wMsgLosts));
    AppFlushResponseStream();
}

bool IsTcpLink(std::uint8_t byChannel) {
    return byChannel >= MDSC_TCPIP_SESSION_BASE;
}

RsmCommParams ParamsOf(const Numbers& numbers) {
    RsmCommParams tParams;
    tParams.HeartbeatTime = numbers[0];
    tParams.NrRetries = numbers[1];
    tParams.RetryTime = numbers[2];
    tParams.byPacking = 0; // not given on the command line: the default
    return tParams;
}

std::uint16_t Failed(std::uint16_t wStatus) {
    return wStatus == 0 ? APPC_CMD_DONE : APPC_CMD_ERROR;
}

std::uint16_t LocalParams(const Numbers& numbers, std::uint8_t byChannel) {
    if (IsTcpLink(byChannel)) {
        return APPC_CMD_ERROR;
    }
    RsmCommParams tParams = ParamsOf(numbers);
    const std::uint16_t wStatus = RsmSetCommunicationParams(ProtocolPort, &tParams);
    if (wStatus != 0) {
        return APPC_CMD_ERROR;
    }
    ShowParams("Local params", tParams);
    return APPC_CMD_DONE;
}

std::uint16_t RemoteParams(const Numbers& numbers, std::uint8_t byChannel) {
    std::uint8_t byPortChannel = 0;
    if (IsTcpLink(byChannel) || RsmGetChannelId(ProtocolPort, &byPortChannel) != 0) {
        return APPC_CMD_ERROR;
    }
    std::array<std::uint8_t, RSMC_PARAM_MSG_LENGTH> abyRequest{};
    RsmPackCommParams(RSMC_CODE_PARAM_REQUEST, ParamsOf(numbers), 0, abyRequest);
    return Failed(MdsExecuteResponseHandler(byPortChannel, MDSC_MSG_COMMUNICATION_PARAMS,
                                            abyRequest.size(), abyRequest.data()));
}

std::uint16_t BothParams(const Numbers& numbers, std::uint8_t byChannel) {
    if (LocalParams(numbers, byChannel) != APPC_CMD_DONE) {
        return APPC_CMD_ERROR;
    }
    return RemoteParams(numbers, byChannel);
}

std::uint16_t RemoteStatistics(const Numbers& /*numbers*/, std::uint8_t byChannel) {
    std::uint8_t byPortChannel = 0;
    if (IsTcpLink(byChannel) || RsmGetChannelId(ProtocolPort, &byPortChannel) != 0) {
        return APPC_CMD_ERROR;
    }
    const std::array<std::uint8_t, RSMC_STAT_REQUEST_LENGTH> abyRequest = {
        static_cast<std::uint8_t>(RSMC_CODE_STAT_REQUEST & 0xFF),
        static_cast<std::uint8_t>(RSMC_CODE_STAT_REQUEST >> 8)};
    return Failed(MdsExecuteResponseHandler(byPortChannel, MDSC_MSG_COMMUNICATION_PARAMS,
                                            abyRequest.size(), abyRequest.data()));
}

std::uint16_t LocalStatistics(const Numbers& /*numbers*/, std::uint8_t byChannel) {
    if (IsTcpLink(byChannel)) {
        return APPC_CMD_ERROR;
    }
    RsmStatistics tStatistics{};
    if (RsmGetStatistics(ProtocolPort, &tStatistics) != 0) {
        return APPC_CMD_ERROR;
    }
    ShowStatistics("Local statistics", tStatistics);
    return APPC_CMD_DONE;
}

std::uint16_t Help(const Numbers& /*numbers*/, std::uint8_t /*byChannel*/) {
    std::fputs(APPC_PROTOCOL_HELP, AppConsole());
    std::fflush(AppConsole());
    return APPC_CMD_DONE;
}

constexpr std::array<ProtocolEntry, 6> ProtocolCommandTable = {{
    {"BOTHPARAMS", BothParams},
    {"LOCALPARAMS", LocalParams},
    {"REMOTEPARAMS", RemoteParams},
    {"REMSTAT", RemoteStatistics},
    {"STATISTICS", LocalStatistics},
    {nullptr, Help},
}};

// The application's COMMUNICATION_PARAMS responder: the parameters of the protocol port, shown
// once set, and its counters (zero for a port not open).
std::uint16_t SetRemotelyAskedParams(RsmCommParams& rParams, void* /*pvOwner*/) {
    const std::uint16_t wStatus = RsmSetCommunicationParams(ProtocolPort, &rParams);
    if (wStatus == 0) {
        ShowParams("Params remotely set to", rParams);
    }
    return wStatus;
}

RsmStatistics PortStatistics(void* /*pvOwner*/) {
    RsmStatistics tStatistics{};
    // A port not open is reported by the manager and answered with zero counters.
    static_cast<void>(RsmGetStatistics(ProtocolPort, &tStatistics));
    return tStatistics;
}

} // namespace

const char* ProtocolSubCommandName(std::size_t wIndex) {
    if (wIndex >= ProtocolCommandTable.size()) {
        return nullptr;
    }
    const char* pszName = ProtocolCommandTable[wIndex].pszName;
    return pszName != nullptr ? pszName : "HELP"; // the last entry takes every other word
}

void ProtocolSetPort(std::uint8_t byPort) {
    ProtocolPort = byPort;
}

std::uint16_t ProtocolCommand(char* pszLine, std::uint8_t byChannel) {
    if (pszLine == nullptr) {
        return Help(Numbers{}, byChannel);
    }
    // The line stays as it came: the tokens are read from a copy.
    const std::size_t wLength = std::strlen(pszLine);
    std::unique_ptr<char[]> pszCopy(new (std::nothrow) char[wLength + 1]);
    if (!pszCopy) {
        return APPC_CMD_ERROR;
    }
    std::memcpy(pszCopy.get(), pszLine, wLength + 1);
    char* pszSave = nullptr;
    (void)strtok_r(pszCopy.get(), APPC_SEPARATORS, &pszSave); // the command word
    char* pszWord = strtok_r(nullptr, APPC_SEPARATORS, &pszSave);
    if (pszWord == nullptr) {
        return Help(Numbers{}, byChannel);
    }
    for (char* p = pszWord; *p != '\0'; ++p) {
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
    Numbers numbers{};
    for (auto& wNumber : numbers) {
        const char* pszNumber = strtok_r(nullptr, APPC_SEPARATORS, &pszSave);
        if (pszNumber == nullptr) {
            break;
        }
        wNumber = static_cast<std::uint16_t>(std::strtoul(pszNumber, nullptr, 0));
    }
    for (const auto& tEntry : ProtocolCommandTable) {
        if (tEntry.pszName == nullptr || std::strcmp(tEntry.pszName, pszWord) == 0) {
            return tEntry.pfAction(numbers, byChannel);
        }
    }
    return APPC_CMD_DONE;
}

std::uint16_t ProtocolComParamsHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                       std::uint16_t wLength, const std::uint8_t* pbyData) {
    if (pbyData == nullptr) {
        return 0;
    }
    switch (RsmReadWord(pbyData, wLength, 0)) {
    case RSMC_CODE_PARAM_RESPONSE:
        ShowParams("Remote params Responce", RsmUnpackCommParams(pbyData, wLength));
        return 0;
    case RSMC_CODE_STAT_RESPONSE:
        ShowStatistics("Remote statistics", RsmUnpackStatistics(pbyData, wLength));
        return 0;
    default:
        break;
    }
    RsmComAnswer tAnswer;
    const std::uint16_t wStatus = RsmAnswerComRequest(
        pbyData, wLength, RsmComResponder{SetRemotelyAskedParams, PortStatistics, nullptr},
        tAnswer);
    if (wStatus != 0 || tAnswer.wLength == 0) {
        return wStatus;
    }
    return MdsExecuteResponseHandler(byChannelId, byMsgType, tAnswer.wLength,
                                     tAnswer.abyBytes.data());
}
