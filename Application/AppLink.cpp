// AppLink: opening the link, its state, the queue of calls made while it is set up, the reports
// of calls that do not go out, and the reconnect of -R (a scheduler task of its own).
#include "Application/AppLink.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Application/AppDisplay.h"
#include "Application/AppFnTab.h"
#include "Application/AppOptions.h"
#include "Application/AppProtocol.h"
#include "Application/AppSteps.h"
#include "Application/AppStreams.h"
#include "Communication/Ipm/IpmIni.h"
#include "Communication/Ips/Ips.h"
#include "Communication/Rsm/Rsm.h"
#include "Driver/Uas/Uas.h"
#include "Platform/PltSerial.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

namespace {

constexpr std::uint8_t kNoSession = IPMC_NO_SESSION;
constexpr std::uint16_t kLinkTaskType =
    OSSC_EVERY_FOURTH_PASS;           // the link task runs every fourth pass
constexpr std::uint16_t kNotSent = 1; // AppLinkSend: the message did not go out

// A call held while the connection is set up.
struct HeldCall {
    std::uint8_t byMsgType = 0;
    std::vector<std::uint8_t> data;
};

AppLinkState g_tState = AppLinkState::Unmanaged;
std::uint8_t g_bySession = kNoSession; // TCP/IP session of the link
bool g_bSerial = false;
bool g_bSerialOpen = false; // the serial port is open in the RS232 manager (its device may be gone)
bool g_bFailureShown = false; // the open failure has been told since the link last stood
bool g_bReconnecting = false; // -R is bringing a lost link back
bool g_bReopenDue = false;    // the link task opens the link at g_dwNextTry
std::uint32_t g_dwNextTry = 0;
std::uint32_t g_dwTries = 0;
std::uint16_t g_wTask = OSSC_NO_THREAD;
std::vector<HeldCall> g_queue;
AppLinkSerialCallback g_pfSerialCallback = nullptr;
AppLinkTcpCallback g_pfTcpCallback = nullptr;

// The callbacks given to the link managers.
void SerialEvent(std::uint16_t wEvent, std::uint8_t byChannelId) {
    if (g_pfSerialCallback != nullptr) {
        g_pfSerialCallback(wEvent, byChannelId);
    } else {
        AppLinkSerialEvent(wEvent);
    }
}

void TcpEvent(std::uint16_t wEvent, std::uint8_t bySession) {
    if (g_pfTcpCallback != nullptr) {
        g_pfTcpCallback(wEvent, bySession);
    } else {
        AppLinkTcpEvent(wEvent, bySession);
    }
}

// A line about a call goes to the console, and to the response file when one is active.
void TellCall(const char* pszText) {
    std::fprintf(AppConsole(), "%s\n", pszText);
    std::fflush(AppConsole());
    std::FILE* pResponses = AppResponseStream();
    if (pResponses != stdout && pResponses != AppConsole()) {
        std::fprintf(pResponses, "%s\n", pszText);
        std::fflush(pResponses);
    }
}

// A call that did not go out: said so, and a script no longer waits for its answer.
void NotSent(const std::uint8_t* pbyData, std::uint16_t wLength, const char* pszText) {
    TellCall(pszText);
    if (wLength >= 2 &&
        GetPendingFnId() == static_cast<std::uint16_t>(pbyData[0] | pbyData[1] << 8)) {
        SetPendingFnId(APPC_NO_FNID);
    }
}

void DropQueue() {
    std::vector<HeldCall> queue;
    queue.swap(g_queue);
    for (const HeldCall& tCall : queue) {
        NotSent(tCall.data.data(), static_cast<std::uint16_t>(tCall.data.size()),
                APPC_NO_LINK_TEXT);
    }
}

// Why a send failed, in words.
const char* SendFailure() {
    return g_bSerial ? "write error" : IpsLastErrorText();
}

std::uint16_t SendNow(std::uint8_t byChannel, std::uint8_t byMsgType, std::uint16_t wLength,
                      const std::uint8_t* pbyData) {
    const std::uint16_t wStatus = MdsExecuteResponseHandler(byChannel, byMsgType, wLength, pbyData);
    if (wStatus != 0 && g_tState != AppLinkState::Unmanaged) {
        std::array<char, 160> szText{};
        std::snprintf(szText.data(), szText.size(), "Call not sent: %s", SendFailure());
        NotSent(pbyData, wLength, szText.data());
    }
    return wStatus;
}

void LinkUp() {
    g_tState = AppLinkState::Up;
    g_bFailureShown = false;
    if (g_bReconnecting) {
        LogWarning("AppLink", static_cast<std::uint16_t>(g_dwTries), "Link back after %u tries",
                   static_cast<unsigned>(g_dwTries));
    }
    g_bReconnecting = false;
    g_bReopenDue = false;
    std::vector<HeldCall> queue;
    queue.swap(g_queue);
    for (const HeldCall& tCall : queue) {
        (void)SendNow(AppLinkChannel(), tCall.byMsgType,
                      static_cast<std::uint16_t>(tCall.data.size()), tCall.data.data());
    }
}

// "COM2 (/dev/ttyS1)" for a numbered port, the device itself for -S<device>.
void SerialName(char* pszName, std::size_t wSize) {
    std::array<char, PLTC_DEVICE_NAME_SIZE> szDevice{};
    PltSerialDeviceName(AppSerialPort(), szDevice.data(), szDevice.size());
    if (AppSerialDevice()[0] != '\0') {
        std::snprintf(pszName, wSize, "%s", szDevice.data());
    } else {
        std::snprintf(pszName, wSize, "COM%d (%s)", AppSerialPort() + 1, szDevice.data());
    }
}

// "127.0.0.1:9451", "[::1]:9452", "unit.example:9451".
void TcpName(char* pszName, std::size_t wSize) {
    const bool bV6 = std::strchr(AppHostName(), ':') != nullptr;
    std::snprintf(pszName, wSize, bV6 ? "[%s]:%u" : "%s:%u", AppHostName(),
                  static_cast<unsigned>(AppTcpPort()));
}

// Closes the port in the RS232 manager, also when its device has gone away.
void CloseSerial() {
    if (g_bSerialOpen) {
        g_bSerialOpen = false;
        // A refused close is logged by the manager; the port counts as closed either way.
        static_cast<void>(RsmClose(AppSerialPort()));
    }
}

bool OpenSerial() {
    if (RsmOpen(AppSerialPort(), AppBaudrate(), AppSerialProtocol(), SerialEvent) != 0) {
        return false;
    }
    g_bSerialOpen = true;
    std::uint8_t byLink = MDSC_SERIAL_CHANNEL_0;
    if (RsmGetChannelId(AppSerialPort(), &byLink) == 0) {
        AppSetLinkChannel(byLink);
    }
    return true;
}

void SerialOpenFailed() {
    if (g_bReconnecting || g_bFailureShown) {
        return;
    }
    g_bFailureShown = true;
    std::array<char, PLTC_DEVICE_NAME_SIZE + 16> szName{};
    SerialName(szName.data(), szName.size());
    const int iError = UasLastOpenError();
    std::fprintf(AppConsole(), "Can't open %s: %s%s\n", szName.data(),
                 iError != 0 ? PltSerialErrorText(iError) : "the port does not start",
                 AppReconnect() ? ", retrying every 2 s" : "");
    std::fflush(AppConsole());
}

void OpenTcp() {
    g_tState = AppLinkState::Opening;
    g_bySession = IpmOpen(AppTcpPort(), AppHostName(), IPMC_PROTOCOL_OIP, TcpEvent);
    std::uint8_t byLink = MDSC_TCPIP_SESSION_BASE;
    if (g_bySession != kNoSession && IpmGetChannelId(g_bySession, &byLink) == 0) {
        AppSetLinkChannel(byLink);
    } else if (g_bySession == kNoSession) {
        g_tState = AppLinkState::Down;
    }
}

// Counts one more open of -R in the event log.
void CountTry(const char* pszReason) {
    ++g_dwTries;
    LogWarning("AppLink", static_cast<std::uint16_t>(g_dwTries), "Reconnect try %u: %s",
               static_cast<unsigned>(g_dwTries), pszReason);
}

// The link task: notices a serial device that went away under a framing that has no events of
// its own, and opens the link again once it is due.
void LinkTask() {
    if (g_bSerial && g_tState == AppLinkState::Up && g_bSerialOpen &&
        AppSerialProtocol() != RSMC_PROTOCOL_FULL && RsmIsPortOpen(AppSerialPort()) == 0) {
        SerialEvent(RSMC_EVENT_LOST, AppLinkChannel()); // the usual lost line, then LinkLost
        return;
    }
    if (!g_bReopenDue) {
        return;
    }
    if (!OssTimeReached(g_dwNextTry)) {
        OssDeclareDeadline(g_dwNextTry); // the idle step wakes for the next try
        return;
    }
    if (!g_bSerial) {
        g_bReopenDue = false;
        OpenTcp(); // the session manager retries every 2 s from here on
        return;
    }
    CloseSerial();
    if (!OpenSerial()) {
        if (g_bReconnecting) {
            const int iError = UasLastOpenError();
            CountTry(iError != 0 ? PltSerialErrorText(iError) : "the port does not start");
        }
        g_dwNextTry = OssGetTime() + APPC_LINK_RETRY_MS;
        OssDeclareDeadline(g_dwNextTry);
        return;
    }
    g_bReopenDue = false;
    if (g_bReconnecting) {
        CountTry("opened");
    }
    // The Full protocol tells of its connection itself once the first frames are exchanged
    // (a call starts them); the other framings have no such event, so it is given here.
    if (AppSerialProtocol() == RSMC_PROTOCOL_FULL) {
        LinkUp();
    } else {
        SerialEvent(RSMC_EVENT_ESTABLISHED, AppLinkChannel());
    }
}

// A link that was up is gone: -R starts bringing it back.
void LinkLost() {
    if (g_bSerial && !AppReconnect() && RsmIsPortOpen(AppSerialPort()) != 0) {
        return; // the device is still there: the next call starts the link again, as ever
    }
    g_tState = AppLinkState::Down;
    DropQueue();
    // The answer a script waits for went with the link: the script goes on (after the link is
    // back, with -R) instead of waiting for ever.
    SetPendingFnId(APPC_NO_FNID);
    if (!AppReconnect() || g_bReconnecting) {
        return;
    }
    g_bReconnecting = true;
    g_dwTries = 0;
    g_bReopenDue = true;
    g_dwNextTry = OssGetTime() + (g_bSerial ? APPC_LINK_RETRY_MS : 0);
    OssDeclareDeadline(g_dwNextTry); // a loss is no message: the idle step must wake for the try
    std::fputs("Link lost: reconnecting every 2 s\n", AppResponseStream());
    std::fflush(AppResponseStream());
}

} // namespace

std::uint16_t AppLinkOpen() {
    g_queue.clear();
    g_bFailureShown = false;
    g_bReconnecting = false;
    g_bReopenDue = false;
    g_dwTries = 0;
    if (g_wTask == OSSC_NO_THREAD) {
        g_wTask = OssCreateThread(LinkTask, kLinkTaskType);
        if (g_wTask == OSSC_NO_THREAD) {
            LogError("AppLink", OSSC_NO_THREAD, "OssCreateThread failed");
        }
    }
    const std::uint8_t byChannel = AppLinkChannel();
    if (byChannel == MDSC_SERIAL_CHANNEL_0 || byChannel == MDSC_SERIAL_CHANNEL_1) {
        g_bSerial = true;
        if (AppSerialDevice()[0] != '\0') {
            // The options refused a name too long to keep, so this one is taken.
            static_cast<void>(PltSerialSetDeviceName(AppSerialPort(), AppSerialDevice()));
            std::fprintf(AppConsole(), "Using %s: for serial communication\n", AppSerialDevice());
        } else {
            std::fprintf(AppConsole(), "Using COM%d: for serial communication\n",
                         AppSerialPort() + 1);
        }
        // Terminal shown as Simple: the line as it always read, kept on purpose.
        std::fprintf(AppConsole(), "   Baudrate = %ld, Protocol = %s\n",
                     static_cast<long>(AppBaudrate()),
                     AppSerialProtocol() == RSMC_PROTOCOL_FULL ? "Full" : "Simple");
        std::fflush(AppConsole());
        ProtocolSetPort(AppSerialPort());
        if (OpenSerial()) {
            g_tState = AppLinkState::Up;
        } else {
            g_tState = AppLinkState::Down;
            SerialOpenFailed();
            g_bReopenDue = AppReconnect();
            g_dwNextTry = OssGetTime() + APPC_LINK_RETRY_MS;
            OssDeclareDeadline(g_dwNextTry);
        }
        AppCheckStep(
            "AppLink", "MdsRegisterMsgHandler",
            MdsRegisterMsgHandler(MDSC_MSG_COMMUNICATION_PARAMS, ProtocolComParamsHandler));
        return 0;
    }
    if (byChannel == MDSC_TCPIP_SESSION_BASE) {
        g_bSerial = false;
        std::fprintf(AppConsole(), "Using TCP/IP communication\n   Host = %s\n", AppHost());
        std::fflush(AppConsole());
        OpenTcp();
        return 0;
    }
    return 1;
}

void AppLinkClose() {
    if (g_bSerial) {
        CloseSerial();
        static_cast<void>(
            PltSerialSetDeviceName(AppSerialPort(), nullptr)); // forgetting cannot fail
    } else if (g_bySession != kNoSession) {
        const std::uint8_t bySession = g_bySession;
        g_bySession = kNoSession;
        g_bReopenDue = false;
        g_tState = AppLinkState::Unmanaged;     // closing on purpose is no loss
        static_cast<void>(IpmClose(bySession)); // the manager logs a failed close
    }
    if (g_wTask != OSSC_NO_THREAD) {
        AppCheckStep("AppLink", "OssDeleteThread", OssDeleteThread(g_wTask));
        g_wTask = OSSC_NO_THREAD;
    }
    g_queue.clear();
    g_tState = AppLinkState::Unmanaged;
    g_bReopenDue = false;
    g_bReconnecting = false;
}

AppLinkState AppLinkGetState() {
    return g_tState;
}

bool AppLinkWaiting() {
    return g_tState == AppLinkState::Opening ||
           (g_tState == AppLinkState::Down && AppReconnect() && g_bReopenDue) ||
           (g_tState == AppLinkState::Down && AppReconnect() && g_bReconnecting);
}

std::uint16_t AppLinkSend(std::uint8_t byChannel, std::uint8_t byMsgType, std::uint16_t wLength,
                          const std::uint8_t* pbyData) {
    if (g_bSerial && g_tState == AppLinkState::Up && RsmIsPortOpen(AppSerialPort()) == 0) {
        g_tState = AppLinkState::Down; // the device went away
    }
    switch (g_tState) {
    case AppLinkState::Unmanaged:
    case AppLinkState::Up:
        return SendNow(byChannel, byMsgType, wLength, pbyData);
    case AppLinkState::Opening:
        if (g_queue.size() < APPC_LINK_QUEUE_SIZE && pbyData != nullptr) {
            g_queue.push_back(
                HeldCall{byMsgType, std::vector<std::uint8_t>(pbyData, pbyData + wLength)});
            return 0;
        }
        NotSent(pbyData, wLength, "Call not sent: too many calls wait for the link");
        return kNotSent;
    case AppLinkState::Down:
        break;
    }
    NotSent(pbyData, wLength, APPC_NO_LINK_TEXT);
    return kNotSent;
}

void AppLinkSerialEvent(std::uint16_t wEvent) {
    if (g_tState == AppLinkState::Unmanaged) {
        return;
    }
    if (wEvent == RSMC_EVENT_ESTABLISHED) {
        LinkUp();
    } else if (wEvent == RSMC_EVENT_LOST) {
        LinkLost();
    }
}

void AppLinkTcpEvent(std::uint16_t wEvent, std::uint8_t bySession) {
    if (g_tState == AppLinkState::Unmanaged) {
        return;
    }
    switch (wEvent) {
    case IPMC_EVENT_CONNECTED:
        LinkUp();
        break;
    case IPMC_EVENT_DISCONNECTED:
        LinkLost();
        break;
    case IPMC_EVENT_CONNECTION_LOST:
        if (g_bySession != kNoSession) {
            const std::uint8_t byClosing = g_bySession;
            g_bySession = kNoSession;
            // Tells of the loss through IPMC_EVENT_DISCONNECTED; the manager logs a failed close.
            static_cast<void>(IpmClose(byClosing));
        }
        break;
    case IPMC_EVENT_CONNECT_FAILED:
        if (g_tState == AppLinkState::Opening) {
            g_tState = AppLinkState::Down; // the manager goes on trying every 2 s
            DropQueue();
        }
        if (g_bReconnecting) {
            CountTry(IpmConnectFailure(bySession));
        } else if (!g_bFailureShown) {
            g_bFailureShown = true;
            std::array<char, APPC_HOST_MAX + 16> szName{};
            TcpName(szName.data(), szName.size());
            std::fprintf(AppConsole(), "Can't connect to %s: %s, retrying every 2 s\n",
                         szName.data(), IpmConnectFailure(bySession));
            std::fflush(AppConsole());
        }
        break;
    default:
        break;
    }
}

void AppLinkSetEventCallbacks(AppLinkSerialCallback pfSerial, AppLinkTcpCallback pfTcp) {
    g_pfSerialCallback = pfSerial;
    g_pfTcpCallback = pfTcp;
}

std::uint32_t AppLinkReconnectTries() {
    return g_dwTries;
}

void AppLinkResetForTest() {
    g_tState = AppLinkState::Unmanaged;
    g_bySession = kNoSession;
    g_bSerial = false;
    g_bSerialOpen = false;
    g_bFailureShown = false;
    g_bReconnecting = false;
    g_bReopenDue = false;
    g_dwNextTry = 0;
    g_dwTries = 0;
    g_wTask = OSSC_NO_THREAD;
    g_queue.clear();
    g_pfSerialCallback = nullptr;
    g_pfTcpCallback = nullptr;
}
