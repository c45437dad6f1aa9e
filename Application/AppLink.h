// AppLink: the application's one link to the unit. Opens it as the options say, says once why it
// cannot be opened, holds the calls made while a connection is being set up (a bounded queue)
// and sends them once it stands, tells of every call that cannot go out, and with -R opens the
// link again after a loss, every APPC_LINK_RETRY_MS until it is back.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t APPC_LINK_RETRY_MS = 2000; // pause between two opens of a lost link
constexpr std::size_t APPC_LINK_QUEUE_SIZE = 16;   // calls held while a connection is set up
constexpr const char* APPC_NO_LINK_TEXT = "No link: call not sent";

enum class AppLinkState : std::uint8_t {
    Unmanaged, // AppLinkOpen was not called: calls go straight to the channel (module tests)
    Opening,   // a connection is being set up: calls wait in the queue
    Up,        // calls go out at once
    Down,      // no link: calls are reported as not sent
};

// Opens the link chosen by the options and prints its "Using ..." message. 0, or 1 when the
// options name no link.
[[nodiscard]] std::uint16_t AppLinkOpen();
void AppLinkClose(); // closes the link, drops the queue, stops the retries
AppLinkState AppLinkGetState();
// True while a running script should hold its next line: a connection is being set up, or -R is
// bringing a lost link back.
bool AppLinkWaiting();

// Sends a message of the application on the link's channel, queues it while the connection is
// set up, or prints why it does not go out. Returns 0 when it went out or waits in the queue.
[[nodiscard]] std::uint16_t AppLinkSend(std::uint8_t byChannel, std::uint8_t byMsgType,
                                        std::uint16_t wLength, const std::uint8_t* pbyData);

// The link managers' events, passed on by the application's callbacks (AppMain).
void AppLinkSerialEvent(std::uint16_t wEvent);
void AppLinkTcpEvent(std::uint16_t wEvent, std::uint8_t bySession);
// The callbacks the link managers are given. They show the event and pass it on to
// AppLinkSerialEvent / AppLinkTcpEvent; nullptr (the start-up value): the event goes there
// directly.
using AppLinkSerialCallback = void (*)(std::uint16_t wEvent, std::uint8_t byChannelId);
using AppLinkTcpCallback = void (*)(std::uint16_t wEvent, std::uint8_t bySession);
void AppLinkSetEventCallbacks(AppLinkSerialCallback pfSerial, AppLinkTcpCallback pfTcp);

std::uint32_t AppLinkReconnectTries(); // opens tried since the last loss (-R)
void AppLinkResetForTest();
