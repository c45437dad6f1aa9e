// AppProtocol: the PROTOCOL command (serial link statistics and retransmission parameters, here
// and on the unit) and the application's COMMUNICATION_PARAMS message handler.
#pragma once

#include <cstddef>
#include <cstdint>

[[nodiscard]] std::uint16_t ProtocolCommand(char* pszLine, std::uint8_t byChannel);
std::uint16_t ProtocolComParamsHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                       std::uint16_t wLength, const std::uint8_t* pbyData);
// Name of the PROTOCOL sub-command at this place of its table; nullptr past its end.
const char* ProtocolSubCommandName(std::size_t wIndex);
void ProtocolSetPort(std::uint8_t byPort); // serial port index the commands address
