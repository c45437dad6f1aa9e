// IpmMulti: the Multi package protocol.
#include "Communication/Ipm/IpmMulti.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "Runtime/Log.h"
#include "Runtime/Oss.h"

namespace {

enum class IpmMultiState : std::int32_t {
    Header = 0, // waiting for a package header
    Data = 1,   // reading message data
};

// Private state of a Multi session.
struct IpmMultiData {
    IpmMultiState tState = IpmMultiState::Header;
    IpmMultiHeader tHeader;
    std::array<std::uint8_t, IPMC_MULTI_BUFFER_SIZE> abyMessage{};
    std::uint16_t wReceived = 0;
    std::uint32_t dwLastReceiveTime = 0;
    std::uint32_t dwLastSendTime = 0;
    // Header bytes gathered so far: a header may arrive over several reads.
    std::array<std::uint8_t, IPMC_MULTI_HEADER_SIZE> abyHeader{};
    std::uint16_t wHeaderCount = 0;
};

// Internal step result: a message handler closed the session; nothing may touch it any more.
constexpr std::uint16_t IPMC_MULTI_CLOSED = 1;

IpmMultiData* Data(IpmSessionData* ptSessionData) {
    return static_cast<IpmMultiData*>(ptSessionData->pvProtocolData);
}

std::uint16_t ReadStatus(std::uint16_t wRead) {
    return wRead == IPSC_TRANSFER_ERROR ? IPMC_SESSION_LOST : IPMC_ERROR;
}

// Delivers the message in the buffer; the state goes back to waiting for a header first.
std::uint16_t Deliver(IpmSessionData* ptSessionData, IpmMultiData* ptData) {
    ptData->tState = IpmMultiState::Header;
    std::uint16_t wStatus = 0;
    const std::uint8_t byChannel = ptSessionData->byChannelId;
    if (!IpmDeliver(ptSessionData, ptData->tHeader.byMsgType, ptData->tHeader.wLength,
                    ptData->abyMessage.data(), &wStatus)) {
        return IPMC_MULTI_CLOSED;
    }
    if (wStatus != 0) {
        LogError("IpmMultiReadMessageData", wStatus, "MdsExecuteMsgHandler for channel %u failed",
                 static_cast<unsigned>(byChannel));
        return IPMC_ERROR;
    }
    return IPMC_OK;
}

} // namespace

std::uint16_t IpmMultiBuildHeader(const IpmMultiHeader* ptHeader, std::uint8_t* pbyBuffer) {
    const bool bHeader = LOG_CHECK(ptHeader != NULL);
    if (!LOG_CHECK(pbyBuffer != NULL) || !bHeader) {
        return 0;
    }
    pbyBuffer[0] = static_cast<std::uint8_t>(ptHeader->wPreamble & 0xFFu);
    pbyBuffer[1] = static_cast<std::uint8_t>(ptHeader->wPreamble >> 8);
    pbyBuffer[2] = ptHeader->byPackageType;
    pbyBuffer[3] = ptHeader->byMsgType;
    pbyBuffer[4] = static_cast<std::uint8_t>(ptHeader->wLength & 0xFFu);
    pbyBuffer[5] = static_cast<std::uint8_t>(ptHeader->wLength >> 8);
    return IPMC_MULTI_HEADER_SIZE;
}

void IpmMultiParseHeader(const std::uint8_t* pbyBuffer, IpmMultiHeader* ptHeader) {
    const bool bHeader = LOG_CHECK(ptHeader != NULL);
    if (!LOG_CHECK(pbyBuffer != NULL) || !bHeader) {
        return;
    }
    ptHeader->wPreamble = static_cast<std::uint16_t>(pbyBuffer[0] | pbyBuffer[1] << 8);
    ptHeader->byPackageType = pbyBuffer[2];
    ptHeader->byMsgType = pbyBuffer[3];
    ptHeader->wLength = static_cast<std::uint16_t>(pbyBuffer[4] | pbyBuffer[5] << 8);
}

std::uint16_t IpmMultiInit(IpmSessionData* ptSessionData) {
    if (!LOG_CHECK(ptSessionData != NULL)) {
        return IPMC_ERROR;
    }
    auto* ptData = new (std::nothrow) IpmMultiData;
    ptSessionData->pvProtocolData = ptData;
    if (ptData == nullptr) {
        return IPMC_ERROR;
    }
    ptData->dwLastReceiveTime = OssGetTime();
    ptData->dwLastSendTime = ptData->dwLastReceiveTime;
    return IPMC_OK;
}

void IpmMultiClose(IpmSessionData* ptSessionData) {
    if (LOG_CHECK(ptSessionData != NULL)) {
        IpmReleaseProtocolData<IpmMultiData>(*ptSessionData);
    }
}

std::uint16_t IpmMultiProcessHeader(IpmSessionData* ptSessionData) {
    IpmMultiData* ptData = Data(ptSessionData);
    std::uint32_t dwCount = 0;
    const std::uint16_t wRead =
        IpmSessionRead(ptSessionData, ptSessionData->abyReceiveBuffer.data(),
                       IPMC_MULTI_HEADER_SIZE - ptData->wHeaderCount, &dwCount);
    if (wRead != IPSC_OK) {
        return ReadStatus(wRead);
    }
    // Bytes of a short read are kept; the header is taken once all six are there.
    std::memcpy(ptData->abyHeader.data() + ptData->wHeaderCount,
                ptSessionData->abyReceiveBuffer.data(), dwCount);
    ptData->wHeaderCount = static_cast<std::uint16_t>(ptData->wHeaderCount + dwCount);
    if (ptData->wHeaderCount < IPMC_MULTI_HEADER_SIZE) {
        return IPMC_OK;
    }
    ptData->wHeaderCount = 0;
    IpmMultiParseHeader(ptData->abyHeader.data(), &ptData->tHeader);
    if (ptData->tHeader.wPreamble != IPMC_MULTI_PREAMBLE) {
        LogWarning("IpmMultiProcessHeader", 0, "Preamble incorrect");
        return IPMC_OK;
    }
    switch (ptData->tHeader.byPackageType) {
    case IPMC_MULTI_PACKAGE_MESSAGE:
        ptData->tState = IpmMultiState::Data;
        break;
    case IPMC_MULTI_PACKAGE_KEEPALIVE:
        break;
    default:
        if (ptData->tHeader.wLength == 0) {
            LogError("IpmMultiProcessHeader", 0, "Unknown package type; assume it's a keep-alive");
        } else {
            LogError("IpmMultiProcessHeader", 0, "Unknown package type; assume it's a message");
            ptData->tState = IpmMultiState::Data;
        }
        break;
    }
    ptData->wReceived = 0;
    ptData->dwLastReceiveTime = OssGetTime();
    if (ptData->tState == IpmMultiState::Data && ptData->tHeader.wLength > IPMC_MULTI_BUFFER_SIZE) {
        // The stream cannot be followed past a package the buffer cannot hold.
        LogError("IpmMultiProcessHeader", IPMC_SESSION_LOST,
                 "Package length %u exceeds the message buffer",
                 static_cast<unsigned>(ptData->tHeader.wLength));
        ptData->tState = IpmMultiState::Header;
        return IPMC_SESSION_LOST;
    }
    return IPMC_OK;
}

std::uint16_t IpmMultiReadMessageData(IpmSessionData* ptSessionData) {
    IpmMultiData* ptData = Data(ptSessionData);
    if (ptData->tHeader.wLength == 0) {
        return Deliver(ptSessionData, ptData); // an empty message is complete at once
    }
    const std::uint32_t dwWanted = std::min<std::uint32_t>(
        ptData->tHeader.wLength - ptData->wReceived, IPMC_RECEIVE_BUFFER_SIZE);
    std::uint32_t dwCount = 0;
    const std::uint16_t wRead = IpmSessionRead(
        ptSessionData, ptData->abyMessage.data() + ptData->wReceived, dwWanted, &dwCount);
    if (wRead != IPSC_OK) {
        return ReadStatus(wRead);
    }
    if (dwCount > 0) {
        // Message bytes show the peer alive just as a header does.
        ptData->dwLastReceiveTime = OssGetTime();
    }
    ptData->wReceived = static_cast<std::uint16_t>(ptData->wReceived + dwCount);
    if (ptData->wReceived < ptData->tHeader.wLength) {
        return IPMC_OK;
    }
    return Deliver(ptSessionData, ptData);
}

std::uint16_t IpmMultiProcessKeepAlive(IpmSessionData* ptSessionData) {
    IpmMultiData* ptData = Data(ptSessionData);
    const std::uint32_t dwNow = OssGetTime();
    if (OssTimeDiff(dwNow, ptData->dwLastReceiveTime) > IPMC_MULTI_TIMEOUT_MS) {
        LogWarning("IpmMultiProcessKeepAlive", IPMC_SESSION_LOST, "Timeout on session %u",
                   static_cast<unsigned>(ptSessionData->bySessionId));
        return IPMC_SESSION_LOST;
    }
    if (OssTimeDiff(dwNow, ptData->dwLastSendTime) > IPMC_MULTI_KEEPALIVE_MS) {
        // Fails only without memory for the package: the next pass sends it.
        static_cast<void>(
            IpmMultiSendPackage(ptSessionData, IPMC_MULTI_PACKAGE_KEEPALIVE, 0, 0, nullptr));
    }
    OssDeclareDeadline(ptData->dwLastReceiveTime + IPMC_MULTI_TIMEOUT_MS + 1);
    OssDeclareDeadline(ptData->dwLastSendTime + IPMC_MULTI_KEEPALIVE_MS + 1);
    return IPMC_OK;
}

void IpmMultiProcess(IpmSessionData* ptSessionData) {
    const bool bSession = LOG_CHECK(ptSessionData != NULL);
    if (!bSession || !LOG_CHECK(ptSessionData->pvProtocolData != NULL)) {
        return;
    }
    IpmMultiData* ptData = Data(ptSessionData);
    std::uint16_t wStatus = IPMC_OK;
    if (ptData->tState == IpmMultiState::Header) {
        wStatus = IpmMultiProcessHeader(ptSessionData);
    }
    if (wStatus == IPMC_OK && ptData->tState == IpmMultiState::Data) {
        wStatus = IpmMultiReadMessageData(ptSessionData);
        if (wStatus == IPMC_MULTI_CLOSED) {
            return;
        }
    }
    if (wStatus == IPMC_OK) {
        wStatus = IpmMultiProcessKeepAlive(ptSessionData);
    }
    if (wStatus == IPMC_SESSION_LOST) {
        IpmNotify(ptSessionData, IPMC_EVENT_CONNECTION_LOST); // last action: may close the session
    }
}

std::uint16_t IpmMultiSendPackage(IpmSessionData* ptSessionData, std::uint8_t byPackageType,
                                  std::uint8_t byMsgType, std::uint16_t wLength,
                                  const std::uint8_t* pbyMsg) {
    IpmMultiHeader tHeader;
    tHeader.wPreamble = IPMC_MULTI_PREAMBLE;
    tHeader.byPackageType = byPackageType;
    if (byPackageType == IPMC_MULTI_PACKAGE_MESSAGE) {
        tHeader.byMsgType = byMsgType;
        tHeader.wLength = wLength;
    } else if (byPackageType != IPMC_MULTI_PACKAGE_KEEPALIVE) {
        LogError("IpmMultiSendPackage", IPMC_ERROR, "Unknown package type");
        return IPMC_ERROR;
    }
    const std::uint32_t dwSize =
        static_cast<std::uint32_t>(tHeader.wLength) + IPMC_MULTI_HEADER_SIZE;
    std::unique_ptr<std::uint8_t[]> pbyPackage(new (std::nothrow) std::uint8_t[dwSize]);
    if (!pbyPackage) {
        return IPMC_ERROR;
    }
    IpmMultiBuildHeader(&tHeader, pbyPackage.get());
    if (tHeader.wLength > 0 && pbyMsg != nullptr) {
        std::memcpy(pbyPackage.get() + IPMC_MULTI_HEADER_SIZE, pbyMsg, tHeader.wLength);
    }
    const std::uint16_t wWrite = IpmSessionWrite(ptSessionData, pbyPackage.get(), dwSize);
    if (wWrite != IPSC_OK) {
        LogError("IpmMultiSendPackage", wWrite, "IpsWrite failed");
    }
    Data(ptSessionData)->dwLastSendTime = OssGetTime();
    return IPMC_OK;
}

std::uint16_t IpmMultiSend(IpmSessionData* ptSessionData, std::uint8_t byMsgType,
                           std::uint16_t wMsgLen, const std::uint8_t* pvMsg) {
    const bool bSession = LOG_CHECK(ptSessionData != NULL);
    const bool bLength = LOG_CHECK(wMsgLen > 0);
    if (!LOG_CHECK(pvMsg != NULL) || !bSession || !bLength ||
        ptSessionData->pvProtocolData == nullptr) {
        return IPMC_ERROR;
    }
    return IpmMultiSendPackage(ptSessionData, IPMC_MULTI_PACKAGE_MESSAGE, byMsgType, wMsgLen,
                               pvMsg);
}
