// The COMMUNICATION_PARAMS exchange of the RS232 managers: the one responder every answering side
// uses, and the parameter and statistics payloads built and read byte by byte, low byte first.
#include "Communication/Rsm/Rsm.h"

#include <algorithm>

namespace {

void PutWord(std::uint8_t* pbyOut, std::uint16_t wValue) {
    pbyOut[0] = static_cast<std::uint8_t>(wValue & 0xFF);
    pbyOut[1] = static_cast<std::uint8_t>(wValue >> 8);
}

} // namespace

std::uint16_t RsmAnswerComRequest(const std::uint8_t* pbyData, std::uint16_t wLength,
                                  const RsmComResponder& tResponder, RsmComAnswer& rAnswer) {
    rAnswer = RsmComAnswer{};
    if (pbyData == nullptr) {
        return 0;
    }
    switch (RsmReadWord(pbyData, wLength, 0)) {
    case RSMC_CODE_PARAM_REQUEST: {
        RsmCommParams tParams = RsmUnpackCommParams(pbyData, wLength);
        if (tResponder.pfSetParams != nullptr) {
            const std::uint16_t wStatus = tResponder.pfSetParams(tParams, tResponder.pvOwner);
            if (wStatus != 0) {
                return wStatus; // nothing was set, so nothing is confirmed
            }
        }
        const std::uint8_t bySpare =
            wLength >= RSMC_PARAM_MSG_LENGTH ? pbyData[RSMC_PARAM_MSG_LENGTH - 1] : 0;
        std::array<std::uint8_t, RSMC_PARAM_MSG_LENGTH> abyParams{};
        RsmPackCommParams(RSMC_CODE_PARAM_RESPONSE, tParams, bySpare, abyParams);
        std::copy(abyParams.begin(), abyParams.end(), rAnswer.abyBytes.begin());
        rAnswer.wLength = RSMC_PARAM_MSG_LENGTH;
        return 0;
    }
    case RSMC_CODE_STAT_REQUEST:
        RsmPackStatistics(tResponder.pfStatistics != nullptr
                              ? tResponder.pfStatistics(tResponder.pvOwner)
                              : RsmStatistics{},
                          rAnswer.abyBytes);
        rAnswer.wLength = RSMC_STAT_MSG_LENGTH;
        return 0;
    default:
        return 0;
    }
}

std::uint16_t RsmReadWord(const std::uint8_t* pbyData, std::uint16_t wLength,
                          std::uint16_t wOffset) {
    if (pbyData == nullptr) {
        return 0;
    }
    const std::uint16_t wLow = wOffset < wLength ? pbyData[wOffset] : 0;
    const std::uint16_t wHigh = wOffset + 1u < wLength ? pbyData[wOffset + 1u] : 0;
    return static_cast<std::uint16_t>(wLow | (wHigh << 8));
}

void RsmPackCommParams(std::uint16_t wCode, const RsmCommParams& tParams, std::uint8_t bySpare,
                       std::array<std::uint8_t, RSMC_PARAM_MSG_LENGTH>& abyOut) {
    PutWord(&abyOut[0], wCode);
    PutWord(&abyOut[2], tParams.HeartbeatTime);
    PutWord(&abyOut[4], tParams.NrRetries);
    PutWord(&abyOut[6], tParams.RetryTime);
    abyOut[8] = tParams.byPacking;
    abyOut[9] = bySpare;
}

RsmCommParams RsmUnpackCommParams(const std::uint8_t* pbyData, std::uint16_t wLength) {
    RsmCommParams tParams;
    tParams.HeartbeatTime = RsmReadWord(pbyData, wLength, 2);
    tParams.NrRetries = RsmReadWord(pbyData, wLength, 4);
    tParams.RetryTime = RsmReadWord(pbyData, wLength, 6);
    // The packing flag counts only in a message of the full length.
    tParams.byPacking = (pbyData != nullptr && wLength >= RSMC_PARAM_MSG_LENGTH) ? pbyData[8] : 0;
    return tParams;
}

void RsmPackStatistics(const RsmStatistics& tStatistics,
                       std::array<std::uint8_t, RSMC_STAT_MSG_LENGTH>& abyOut) {
    PutWord(&abyOut[0], RSMC_CODE_STAT_RESPONSE);
    PutWord(&abyOut[2], tStatistics.wNackReceived);
    PutWord(&abyOut[4], tStatistics.wInvalidFrameLength);
    PutWord(&abyOut[6], tStatistics.wTimeouts);
    PutWord(&abyOut[8], tStatistics.wInvalidChecksums);
    PutWord(&abyOut[10], tStatistics.wCommLosts);
    PutWord(&abyOut[12], tStatistics.wRetries);
    PutWord(&abyOut[14], tStatistics.wMsgLosts);
}

RsmStatistics RsmUnpackStatistics(const std::uint8_t* pbyData, std::uint16_t wLength) {
    RsmStatistics tStatistics;
    tStatistics.wNackReceived = RsmReadWord(pbyData, wLength, 2);
    tStatistics.wInvalidFrameLength = RsmReadWord(pbyData, wLength, 4);
    tStatistics.wTimeouts = RsmReadWord(pbyData, wLength, 6);
    tStatistics.wInvalidChecksums = RsmReadWord(pbyData, wLength, 8);
    tStatistics.wCommLosts = RsmReadWord(pbyData, wLength, 10);
    tStatistics.wRetries = RsmReadWord(pbyData, wLength, 12);
    tStatistics.wMsgLosts = RsmReadWord(pbyData, wLength, 14);
    return tStatistics;
}
