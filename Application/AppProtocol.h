// AppProtocol: the PROTOCOL command (serial link statistics and retransmission parameters, here
// and on the unit) and the application's COMMUNICATION_PARAMS message handler.
#pragma once

#include <cstddef>
#include <cstdint>

// The help text of PROTOCOL HELP and of an unknown sub-command. "disturbtion" and "Ststistics"
// are the text as operators know it, kept on purpose.
constexpr const char* APPC_PROTOCOL_HELP =
    "PROTOCOL disturbtion items:\n"
    " REMSTAT                : Ststistics of remote RS232 manager.\n"
    " STATISTICS             : Statistics of local RS232 manager.\n"
    " LOCALPARAMS  <t><n><t> : Set local communication params.\n"
    " REMOTEPARAMS <t><n><t> : Set remote communication params.\n"
    " BOTHPARAMS   <t><n><t> : Set both communication params.\n"
    "                          Heartbeat-time<t>, Retries<n>, Retrytime<t>\n";

[[nodiscard]] std::uint16_t ProtocolCommand(char* pszLine, std::uint8_t byChannel);
std::uint16_t ProtocolComParamsHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                       std::uint16_t wLength, const std::uint8_t* pbyData);
// Name of the PROTOCOL sub-command at this place of its table; nullptr past its end.
const char* ProtocolSubCommandName(std::size_t wIndex);
void ProtocolSetPort(std::uint8_t byPort); // serial port index the commands address
