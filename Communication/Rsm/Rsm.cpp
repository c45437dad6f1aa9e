// RS232 manager: the two port slots, their channel handlers and tasks, statistics and
// communication parameters, and the COMMUNICATION_PARAMS exchange with the remote manager.
#include "Communication/Rsm/Rsm.h"

#include <new>

#include "Communication/Rsm/RsmPriv.h"
#include "Runtime/Log.h"
#include "Runtime/Mds.h"
#include "Runtime/Oss.h"

namespace {

constexpr std::uint8_t RSMC_BYTE_SIZE = 8; // line settings handed to the driver
constexpr std::uint8_t RSMC_STOP_BITS = 1;
constexpr std::uint8_t RSMC_NO_PARITY = 0;

std::array<RsmPort, RSMC_NR_OF_SLOTS> ports;
bool bInitialised = false;
std::uint32_t dwNextGeneration = 1;

} // namespace

RsmPort* RsmFindOpen(std::uint8_t byComport) {
    for (auto& tPort : ports) {
        if (tPort.bOpen != 0 && tPort.byComport == byComport) {
            return &tPort;
        }
    }
    return nullptr;
}

namespace {

// The record of an open port, or nullptr after reporting "Port not open" under pszName.
RsmPort* OpenPortOrReport(std::uint8_t byComport, const char* pszName) {
    RsmPort* pPort = RsmFindOpen(byComport);
    if (pPort == nullptr) {
        LogError(pszName, RSMC_ERROR, "Port not open");
    }
    return pPort;
}

RsmPort* PortOfChannel(std::uint8_t byChannelId) {
    if (byChannelId == MDSC_SERIAL_CHANNEL_0) {
        return &ports[0];
    }
    if (byChannelId == MDSC_SERIAL_CHANNEL_1) {
        return &ports[1];
    }
    return nullptr;
}

std::uint16_t ChannelResponseHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                     std::uint16_t wLength, const std::uint8_t* pbyData) {
    RsmPort* pPort = PortOfChannel(byChannelId);
    // Nothing is queued for a line that has hung up: the caller learns at once.
    if (pPort == nullptr || pPort->pfTransmit == nullptr || pPort->byLineLost != 0) {
        return RSMC_ERROR;
    }
    return pPort->pfTransmit(*pPort, byMsgType, wLength, pbyData);
}

// Receive working fields back to idle, for a port being opened or closed.
void ResetReceiveSide(RsmPort& tPort) {
    tPort.rxBuffer.Release();
    tPort.wRxState = 0;
    tPort.wRxLength = 0;
    tPort.wRxCount = 0;
    tPort.byRxChecksum = 0;
    tPort.wLineLength = 0;
    tPort.szLine[0] = '\0';
    tPort.tFull.bEscape = 0;
}

// The line of the port hung up during its step: the protocol gives up its connection and the
// loss is reported once. The port stays open (a close or a new open are up to the application)
// but its line is read no more.
void ReportLineLost(RsmPort& tPort) {
    tPort.byLineLost = 2;
    const std::uint32_t dwGeneration = tPort.dwGeneration;
    bool bReported = false;
    if (tPort.wProtocol == RSMC_PROTOCOL_FULL) {
        bReported = tPort.tFull.bConnected != 0; // the reset reports the loss of a connection
        RsmFullReset(tPort);
        if (tPort.dwGeneration != dwGeneration) {
            return; // closed by the callback
        }
    }
    ResetReceiveSide(tPort);
    if (!bReported && tPort.pfLineNotify != nullptr) {
        tPort.pfLineNotify(RSMC_EVENT_LOST, tPort.byChannelId);
    }
}

void RunSlot(std::uint8_t bySlot) {
    RsmPort& tPort = ports[bySlot];
    if (tPort.bOpen != 0 && tPort.pfReceive != nullptr && tPort.byLineLost == 0) {
        const std::uint32_t dwGeneration = tPort.dwGeneration;
        tPort.pfReceive(tPort);
        if (tPort.dwGeneration == dwGeneration && tPort.byLineLost == 1) {
            ReportLineLost(tPort);
        }
    }
}

void PortTask0() {
    RunSlot(0);
}
void PortTask1() {
    RunSlot(1);
}
constexpr std::array<OssThread, RSMC_NR_OF_SLOTS> RSMC_PORT_TASKS = {PortTask0, PortTask1};

// Stores parameters under the limits and writes the values in force back.
void ApplyParams(RsmPort& tPort, RsmCommParams& tParams) {
    if (tParams.HeartbeatTime >= RSMC_MAX_HEARTBEAT) {
        tParams.HeartbeatTime = RSMC_MAX_HEARTBEAT;
    }
    if (tParams.NrRetries >= RSMC_MAX_RETRIES) {
        tParams.NrRetries = RSMC_MAX_RETRIES;
    }
    if (tParams.RetryTime <= RSMC_MIN_RETRY_TIME) {
        tParams.RetryTime = RSMC_MIN_RETRY_TIME;
    } else if (tParams.RetryTime >= RSMC_MAX_RETRY_TIME) {
        tParams.RetryTime = RSMC_MAX_RETRY_TIME;
    }
    tPort.tFull.tParams = tParams;
    tPort.tFull.dwHeartbeatMs = tParams.HeartbeatTime * 1000u;
    tPort.tFull.dwRetryMs = tParams.RetryTime * 1000u;
}

RsmStatistics TakeStatistics(RsmPort& tPort) {
    const RsmStatistics tCopy = tPort.tFull.tStatistics;
    tPort.tFull.tStatistics = RsmStatistics{};
    return tCopy;
}

void ClearRecords() {
    for (auto& tPort : ports) {
        ResetReceiveSide(tPort);
        for (auto& tFrame : tPort.tFull.queue) {
            tFrame = RsmFrame{};
        }
        const std::uint32_t dwGeneration = tPort.dwGeneration;
        tPort.pfReceive = nullptr;
        tPort.pfTransmit = nullptr;
        tPort.bOpen = 0;
        tPort.byCameraMode = 0;
        tPort.byChannelId = 0;
        tPort.byComport = 0;
        tPort.wProtocol = 0;
        tPort.dwBaudrate = 0;
        tPort.wTaskId = 0;
        tPort.dwLastRx = 0;
        tPort.byLineLost = 0;
        tPort.pfLineNotify = nullptr;
        tPort.abyRead.fill(0);
        tPort.szLine.fill('\0');
        tPort.tFull.~RsmFullState();
        new (&tPort.tFull) RsmFullState();
        tPort.dwGeneration = dwGeneration;
    }
}

} // namespace

std::uint16_t RsmInit() {
    if (bInitialised) {
        return 0;
    }
    ClearRecords();
    bInitialised = true;
    return 0;
}

std::uint16_t RsmTerminate() {
    return 0;
}

namespace {

// The steps of an open done so far, for undoing them when a later one fails.
struct OpenSteps {
    bool bDriverOpen = false;
    bool bHandlerRegistered = false;
    bool bTaskCreated = false;
};

// The first free slot for a port not open yet, or RSMC_NR_OF_SLOTS after reporting why not.
std::uint8_t FreeSlotFor(std::uint8_t byComport) {
    if (RsmFindOpen(byComport) != nullptr) {
        LogError("RsmOpen", RSMC_ERROR, "Port already open");
        return RSMC_NR_OF_SLOTS;
    }
    std::uint8_t bySlot = 0;
    while (bySlot < RSMC_NR_OF_SLOTS && ports[bySlot].bOpen != 0) {
        ++bySlot;
    }
    if (bySlot == RSMC_NR_OF_SLOTS) {
        // "To many" is the manager's own text, kept as operators and their log filters know it.
        LogError("RsmOpen", RSMC_ERROR, "To many open ports");
    }
    return bySlot;
}

// Fills the record of a port being opened and gives it the protocol's operations; 0, or
// RSMC_ERROR for an unknown protocol.
std::uint16_t SetUpRecord(RsmPort& tPort, std::uint8_t bySlot, std::uint8_t byComport,
                          std::uint32_t dwBaudrate, std::uint16_t wProtocol, RsmNotify pfNotify) {
    tPort.wProtocol = wProtocol;
    tPort.dwBaudrate = dwBaudrate;
    tPort.byChannelId = bySlot == 0 ? MDSC_SERIAL_CHANNEL_0 : MDSC_SERIAL_CHANNEL_1;
    tPort.byComport = byComport;
    tPort.byCameraMode = 0;
    ResetReceiveSide(tPort);
    tPort.tFull.tParams = RsmCommParams{};
    tPort.tFull.dwHeartbeatMs = 0;
    tPort.tFull.dwRetryMs = 0;
    tPort.tFull.tStatistics = RsmStatistics{};
    tPort.tFull.pfNotify = nullptr;
    tPort.pfLineNotify = pfNotify;
    tPort.byLineLost = 0;
    switch (wProtocol) {
    case RSMC_PROTOCOL_TERMINAL:
    case RSMC_PROTOCOL_TERMINAL_ALT:
        tPort.pfReceive = RsmProcessChars;
        tPort.pfTransmit = RsmTransmitChars;
        return 0;
    case RSMC_PROTOCOL_SIMPLE:
        tPort.pfReceive = RsmProcessMessages;
        tPort.pfTransmit = RsmTransmitMessage;
        return 0;
    case RSMC_PROTOCOL_FULL:
        tPort.pfReceive = RsmFullProcess;
        tPort.pfTransmit = RsmFullTransmit;
        return 0;
    default:
        LogError("RsmOpen", RSMC_ERROR, "Invalid protocol");
        return RSMC_ERROR;
    }
}

// Makes the port a channel of the dispatch layer and gives it its task.
std::uint16_t StartChannel(RsmPort& tPort, std::uint8_t bySlot, OpenSteps& rSteps) {
    std::uint16_t wStatus = MdsRegisterResponseHandler(tPort.byChannelId, ChannelResponseHandler);
    rSteps.bHandlerRegistered = wStatus == 0;
    tPort.wTaskId = OssCreateThread(RSMC_PORT_TASKS[bySlot], RSMC_TASK_TYPE);
    rSteps.bTaskCreated = tPort.wTaskId != OSSC_NO_THREAD;
    if (!rSteps.bTaskCreated && wStatus == 0) {
        wStatus = RSMC_ERROR; // without its task the port would never receive
    }
    return wStatus;
}

// Nothing of a failed open stays: whatever its steps set up is undone.
void UndoOpen(RsmPort& tPort, std::uint8_t byComport, const OpenSteps& tSteps) {
    if (tSteps.bTaskCreated) {
        (void)OssDeleteThread(tPort.wTaskId);
    }
    if (tSteps.bHandlerRegistered) {
        (void)MdsDeregisterResponseHandler(tPort.byChannelId);
    }
    if (tSteps.bDriverOpen) {
        (void)RsmDriver().pfClose(byComport);
    }
    tPort.pfReceive = nullptr;
    tPort.pfTransmit = nullptr;
    tPort.tFull.pfNotify = nullptr;
    tPort.pfLineNotify = nullptr;
}

} // namespace

std::uint16_t RsmOpen(std::uint8_t byComport, std::uint32_t dwBaudrate, std::uint16_t wProtocol,
                      RsmNotify pfNotify) {
    const std::uint8_t bySlot = FreeSlotFor(byComport);
    if (bySlot == RSMC_NR_OF_SLOTS) {
        return RSMC_ERROR;
    }
    RsmPort& tPort = ports[bySlot];
    OpenSteps tSteps;
    std::uint16_t wStatus =
        RsmDriver().pfOpen(byComport, dwBaudrate, RSMC_BYTE_SIZE, RSMC_STOP_BITS, RSMC_NO_PARITY);
    tSteps.bDriverOpen = wStatus == 0;
    if (wStatus == 0) {
        wStatus = SetUpRecord(tPort, bySlot, byComport, dwBaudrate, wProtocol, pfNotify);
    }
    if (wStatus == 0) {
        wStatus = StartChannel(tPort, bySlot, tSteps);
    }
    if (wStatus == 0 && wProtocol == RSMC_PROTOCOL_FULL) {
        RsmFullSetup(tPort, pfNotify);
        wStatus = MdsRegisterMsgHandler(MDSC_MSG_COMMUNICATION_PARAMS, RsmComParamsHandler);
    }
    if (wStatus != 0) {
        UndoOpen(tPort, byComport, tSteps);
        LogError("RsmOpen", wStatus, "Error during initialization");
        return wStatus;
    }
    tPort.bOpen = 1;
    return 0;
}

std::uint16_t RsmClose(std::uint8_t byComport) {
    RsmPort* pPort = OpenPortOrReport(byComport, "RsmClose");
    if (pPort == nullptr) {
        return RSMC_ERROR;
    }
    RsmPort& tPort = *pPort;
    // A step running for this port (a handler or callback that closes it) sees the change.
    tPort.dwGeneration = dwNextGeneration++;
    RsmTracePortClosed(tPort);
    (void)RsmDriver().pfClose(byComport);
    // Both removals are made; the first failure counts.
    std::uint16_t wStatus = MdsDeregisterResponseHandler(tPort.byChannelId);
    const std::uint16_t wTaskStatus = OssDeleteThread(tPort.wTaskId);
    if (wStatus == 0) {
        wStatus = wTaskStatus;
    }
    if (tPort.wProtocol == RSMC_PROTOCOL_FULL) {
        tPort.tFull.pfNotify = nullptr;
        RsmFullReset(tPort);
    }
    ResetReceiveSide(tPort);
    if (wStatus != 0) {
        LogError("RsmClose", RSMC_ERROR, nullptr);
        wStatus = RSMC_ERROR;
    }
    tPort.bOpen = 0;
    tPort.pfReceive = nullptr;
    tPort.pfTransmit = nullptr;
    tPort.pfLineNotify = nullptr;
    tPort.byLineLost = 0;
    return wStatus;
}

std::uint16_t RsmGetProtocolType(std::uint8_t byComport, std::uint16_t* pwProtocol) {
    RsmPort* pPort = OpenPortOrReport(byComport, "RsmGetProtocolType");
    if (pPort == nullptr) {
        return RSMC_ERROR;
    }
    if (pwProtocol != nullptr) {
        *pwProtocol = pPort->wProtocol;
    }
    return 0;
}

std::uint16_t RsmGetChannelId(std::uint8_t byComport, std::uint8_t* pbyChannelId) {
    RsmPort* pPort = OpenPortOrReport(byComport, "RsmGetChannelId");
    if (pPort == nullptr) {
        return RSMC_ERROR;
    }
    if (pbyChannelId != nullptr) {
        *pbyChannelId = pPort->byChannelId;
    }
    return 0;
}

std::uint16_t RsmEnableNotify(std::uint8_t byComport, std::uint8_t bEnable) {
    if (OpenPortOrReport(byComport, "RsmEnableNotify") == nullptr) {
        return RSMC_ERROR;
    }
    (void)RsmDriver().pfEnableNotify(byComport, bEnable);
    return 0;
}

std::uint16_t RsmSetCameraControlMode(std::uint8_t byComport, std::uint8_t byMode) {
    RsmPort* pPort = OpenPortOrReport(byComport, "RsmSetCameraControlMode");
    if (pPort == nullptr) {
        return RSMC_ERROR;
    }
    pPort->byCameraMode = byMode;
    return 0;
}

std::uint16_t RsmGetStatistics(std::uint8_t byComport, RsmStatistics* ptStatistics) {
    RsmPort* pPort = OpenPortOrReport(byComport, "RsmGetStatistics");
    if (pPort == nullptr) {
        return RSMC_ERROR;
    }
    const RsmStatistics tCopy = TakeStatistics(*pPort);
    if (ptStatistics != nullptr) {
        *ptStatistics = tCopy;
    }
    return 0;
}

std::uint16_t RsmSetCommunicationParams(std::uint8_t byComport, RsmCommParams* ptParams) {
    RsmPort* pPort = OpenPortOrReport(byComport, "RsmSetCommunicationParams");
    if (pPort == nullptr) {
        return RSMC_ERROR;
    }
    if (ptParams != nullptr) {
        ApplyParams(*pPort, *ptParams);
    }
    return 0;
}

void RsmAddWaitHandles(PltWaitSet& rSet) {
    for (const RsmPort& port : ports) {
        if (port.bOpen != 0 && port.byLineLost == 0 && RsmDriver().pfReadHandle != nullptr) {
            // A full set is seen by the idle step, which then looks again soon.
            static_cast<void>(PltWaitAdd(rSet, RsmDriver().pfReadHandle(port.byComport)));
        }
    }
}

std::uint16_t RsmGetComport(std::uint8_t bySlot, std::uint8_t* pbyComport) {
    if (bySlot >= RSMC_NR_OF_SLOTS || ports[bySlot].bOpen == 0) {
        return RSMC_ERROR;
    }
    if (pbyComport != nullptr) {
        *pbyComport = ports[bySlot].byComport;
    }
    return 0;
}

std::uint8_t RsmIsPortOpen(std::uint8_t byComport) {
    return RsmDriver().pfIsOpen(byComport);
}

std::uint16_t RsmSetBaudrate(std::uint8_t byComport, std::uint32_t dwBaudrate) {
    return RsmDriver().pfSetBaudrate(byComport, dwBaudrate);
}

namespace {

// The manager's own COMMUNICATION_PARAMS responder: the parameters and counters of the port.
std::uint16_t SetPortParams(RsmCommParams& rParams, void* pvPort) {
    ApplyParams(*static_cast<RsmPort*>(pvPort), rParams);
    return 0;
}

RsmStatistics TakePortStatistics(void* pvPort) {
    return TakeStatistics(*static_cast<RsmPort*>(pvPort));
}

} // namespace

std::uint16_t RsmComParamsHandler(std::uint8_t byChannelId, std::uint8_t byMsgType,
                                  std::uint16_t wLength, const std::uint8_t* pbyData) {
    RsmPort* pPort = PortOfChannel(byChannelId);
    if (pPort == nullptr) {
        return RSMC_ERROR;
    }
    if (pbyData == nullptr) {
        LogError("RsmHandleComNessage", 0, "NULL ptrMsg");
        return 0;
    }
    RsmComAnswer tAnswer;
    // The port takes any parameters (under the limits): the manager never refuses a request.
    static_cast<void>(RsmAnswerComRequest(
        pbyData, wLength, RsmComResponder{SetPortParams, TakePortStatistics, pPort}, tAnswer));
    if (tAnswer.wLength == 0) {
        return 0;
    }
    return MdsExecuteResponseHandler(pPort->byChannelId, byMsgType, tAnswer.wLength,
                                     tAnswer.abyBytes.data());
}

std::uint8_t RsmOpenPortCount() {
    std::uint8_t byCount = 0;
    for (const RsmPort& tPort : ports) {
        byCount = static_cast<std::uint8_t>(byCount + (tPort.bOpen != 0 ? 1 : 0));
    }
    return byCount;
}

void RsmRunSlotForTest(std::uint8_t bySlot) {
    if (bySlot < RSMC_NR_OF_SLOTS) {
        RunSlot(bySlot);
    }
}

void RsmResetForTest() {
    for (auto& tPort : ports) {
        if (tPort.bOpen != 0) {
            (void)RsmClose(tPort.byComport);
        }
    }
    ClearRecords();
    bInitialised = true;
}
