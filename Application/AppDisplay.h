// AppDisplay: message type names and the readable dump of every received message, written to
// the response stream; releases a script waiting for the message's FnId.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct MsgDecoded; // Application/AppDecode.h

// A byte of text from the link as it is displayed: control characters (below 0x20, and 0x7F) as
// '.', so that nothing received can move the cursor or send the terminal commands; bytes from
// 0x80 up as they are (units send Latin-1 text).
char DisplayChar(std::uint8_t byValue);
// Writes wLength bytes of text from the link, each as DisplayChar gives it.
void DisplayText(std::FILE* pOut, const std::uint8_t* pbyText, std::size_t wLength);

// Printed name of a message type, with its trailing blank ("TYPE" for unnamed types).
const char* MsgTypeName(std::uint8_t byMsgType);
// Dumps a message; pszStructure overrides the structure from the function table when not null.
void MsgDisplay(const char* pszStructure, std::uint8_t byMsgType, std::uint16_t wLength,
                const std::uint8_t* pbyData);
// Writes the readable dump of a decoded message to pOut (the text MsgDisplay shows).
void MsgWriteText(std::FILE* pOut, const MsgDecoded& decoded);
// Generic handler registered for every message type: MsgDisplay without a given structure, then
// the receive observer.
std::uint16_t MsgGenericHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                std::uint16_t wLength, const std::uint8_t* pbyData);
// Called with every message the generic handler received, after its display and before it
// releases a waiting script; nullptr: none.
using MsgReceiveObserver = void (*)(const MsgDecoded& decoded);
void MsgSetReceiveObserver(MsgReceiveObserver pfObserver);

std::uint16_t GetPendingFnId(); // FnId a script waits for, APPC_NO_FNID when none
void SetPendingFnId(std::uint16_t wFnId);
// Service clock time (OssGetTime) at which the pending FnId was last set.
std::uint32_t GetPendingSince();
