// Message decoding: the function's structure text applied to the bytes of a message, field by
// field, groups repeated as their count says, as far as the message goes. Sizes of structures are
// summed without wrapping: huge counts saturate.
#include "Application/AppDecode.h"
#include "Application/AppFnTab.h"
#include "Application/AppStruct.h"
#include "Runtime/Mds.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

std::uint64_t SatAdd(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::uint64_t SatMul(std::uint64_t a, std::uint64_t b) {
    return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

// Decodes a structure text over the data into *pFields (nullptr: only the size is wanted);
// returns the bytes the structure describes, which may exceed qwAvailable (missing fields count at
// their full size).
std::uint64_t DecodeStructure(const char* pszText, std::size_t wTextLength,
                              const std::uint8_t* pbyData, std::uint64_t qwAvailable,
                              std::vector<MsgField>* pFields);

// Position of the ')' that closes the group opened at pszText[wOpen], or npos.
std::size_t MatchingClose(const char* pszText, std::size_t wLength, std::size_t wOpen) {
    int nDepth = 0;
    for (std::size_t w = wOpen; w < wLength; ++w) {
        if (pszText[w] == '(') {
            ++nDepth;
        } else if (pszText[w] == ')' && --nDepth == 0) {
            return w;
        }
    }
    return std::string::npos;
}

// Reads a value of byWidth bytes, least significant first; bytes beyond the message read as 0.
std::uint32_t ReadValue(const std::uint8_t* pbyData, std::uint64_t qwPresent,
                        std::uint8_t byWidth) {
    std::uint32_t dwValue = 0;
    for (std::uint8_t by = 0; by < byWidth && by < qwPresent; ++by) {
        dwValue |= static_cast<std::uint32_t>(pbyData[by]) << (8 * by);
    }
    return dwValue;
}

// Decodes the group opened at pszText[wOpen] into rField (when pbyData is not null); returns its
// size and sets *pwNext past it.
std::uint64_t DecodeGroup(const char* pszText, std::size_t wOpen, std::size_t wClose,
                          const std::uint8_t* pbyData, std::uint64_t qwAvailable, MsgField* pField,
                          std::size_t* pwNext) {
    std::size_t wDigits = 0;
    const std::uint32_t dwRepeat = StructReadCount(pszText + wClose + 1, &wDigits);
    *pwNext = wClose + 1 + wDigits;
    const char* pszInner = pszText + wOpen + 1;
    const std::size_t wInner = wClose - wOpen - 1;
    const std::uint64_t qwOneSize = DecodeStructure(pszInner, wInner, nullptr, 0, nullptr);
    if (qwAvailable == 0 || pField == nullptr) {
        return SatMul(qwOneSize, dwRepeat);
    }
    pField->dwCount = dwRepeat;
    pField->inner = std::string_view(pszInner, wInner);
    std::uint64_t qwUsed = 0;
    std::uint32_t dwDone = 0;
    // A repetition of size 0 would describe nothing, however often repeated.
    while (dwDone < dwRepeat && qwUsed < qwAvailable && qwOneSize > 0) {
        std::vector<MsgField>& repetition = pField->repetitions.emplace_back();
        qwUsed = SatAdd(qwUsed, DecodeStructure(pszInner, wInner, pbyData + qwUsed,
                                                qwAvailable - qwUsed, &repetition));
        ++dwDone;
    }
    return SatAdd(qwUsed, SatMul(qwOneSize, dwRepeat - dwDone));
}

std::uint64_t DecodeStructure(const char* pszText, std::size_t wTextLength,
                              const std::uint8_t* pbyData, std::uint64_t qwAvailable,
                              std::vector<MsgField>* pFields) {
    std::uint64_t qwUsed = 0;
    std::size_t w = 0;
    while (w < wTextLength) {
        const FieldType* ptType = StructFindFieldType(pszText[w]);
        if (ptType == nullptr) {
            ++w;
            continue;
        }
        const bool bPresent = pFields != nullptr && qwUsed < qwAvailable;
        if (ptType->tClass == FieldClass::Group) {
            const std::size_t wClose = MatchingClose(pszText, wTextLength, w);
            if (wClose == std::string::npos) {
                if (bPresent) {
                    MsgField& field = pFields->emplace_back();
                    field.ptType = ptType;
                    field.bUnclosed = true;
                }
                ++w; // the scan goes on inside the unclosed group
                continue;
            }
            MsgField* pField = nullptr;
            if (bPresent) {
                pField = &pFields->emplace_back();
                pField->ptType = ptType;
            }
            std::size_t wNext = 0;
            qwUsed = SatAdd(qwUsed,
                            DecodeGroup(pszText, w, wClose, bPresent ? pbyData + qwUsed : nullptr,
                                        bPresent ? qwAvailable - qwUsed : 0, pField, &wNext));
            w = wNext;
            continue;
        }
        std::size_t wDigits = 0;
        // The digits of a count end before the group's ')' or the text's end.
        const std::uint32_t dwCount = StructReadCount(pszText + w + 1, &wDigits);
        ++w;
        if (!bPresent) {
            qwUsed = SatAdd(qwUsed, SatMul(dwCount, ptType->byWidth));
            continue;
        }
        MsgField& field = pFields->emplace_back();
        field.ptType = ptType;
        field.dwCount = dwCount;
        if (ptType->tClass == FieldClass::String) {
            const std::uint64_t qwLimit = std::min<std::uint64_t>(qwAvailable - qwUsed, dwCount);
            const std::uint8_t* pbyText = pbyData + qwUsed;
            std::uint64_t qwText = 0;
            while (qwText < qwLimit && pbyText[qwText] != 0) {
                ++qwText;
            }
            field.text.assign(reinterpret_cast<const char*>(pbyText), qwText);
            qwUsed = SatAdd(qwUsed, dwCount);
        } else {
            std::uint32_t dw = 0;
            for (; dw < dwCount && qwUsed < qwAvailable; ++dw) {
                field.values.push_back(
                    ReadValue(pbyData + qwUsed, qwAvailable - qwUsed, ptType->byWidth) &
                    ptType->dwMask);
                qwUsed += ptType->byWidth;
            }
            // Values beyond the message are counted at their full size.
            qwUsed = SatAdd(qwUsed, SatMul(dwCount - dw, ptType->byWidth));
        }
    }
    return qwUsed;
}

} // namespace

MsgDecoded MsgDecode(const char* pszStructure, std::uint8_t byMsgType, std::uint16_t wLength,
                     const std::uint8_t* pbyData) {
    MsgDecoded decoded;
    decoded.byMsgType = byMsgType;
    decoded.wLength = wLength;
    std::size_t wRemaining = pbyData != nullptr ? wLength : 0;
    const std::uint8_t* p = pbyData;
    const char* pszUse = pszStructure;
    if (wRemaining >= 2) {
        decoded.bHasFnId = true;
        decoded.wFnId = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
        decoded.ptRecord = FnTabFindByFnId(decoded.wFnId);
        if (decoded.ptRecord != nullptr && pszUse == nullptr) {
            pszUse = byMsgType == MDSC_MSG_RFS_REQUEST ? decoded.ptRecord->request.c_str()
                                                       : decoded.ptRecord->response.c_str();
        }
        p += 2;
        wRemaining -= 2;
    }
    if (byMsgType == MDSC_MSG_RFS_RESPONSE && wRemaining >= 2) {
        decoded.bHasError = true;
        decoded.wError = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
        p += 2;
        wRemaining -= 2;
    }
    decoded.body = std::span<const std::uint8_t>(p, p != nullptr ? wRemaining : 0);
    decoded.pszStructure = pszUse;
    if (pszUse != nullptr) {
        const std::uint64_t qwDescribed =
            DecodeStructure(pszUse, std::strlen(pszUse), p, wRemaining, &decoded.fields);
        if (qwDescribed > wRemaining) {
            decoded.qwMissing = qwDescribed - wRemaining;
        }
        decoded.wDescribed =
            static_cast<std::size_t>(std::min<std::uint64_t>(qwDescribed, wRemaining));
    }
    return decoded;
}
