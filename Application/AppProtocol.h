// AppProtocol: the PROTOCOL command (serial link statistics and retransmission parameters, here
// and on the unit) and the application's COMMUNICATION_PARAMS message handler.
#pragma once

#include <cstdint>

std::uint16_t ProtocolCommand(char* pszLine, std::uint8_t byChannel);
std::uint16_t ProtocolComParamsHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                       std::uint16_t wLength, const std::uint8_t* pbyData);
void ProtocolSetPort(std::uint8_t byPort); // serial port index the commands address
