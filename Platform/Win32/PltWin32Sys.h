// The Windows calls of the Win32 backend, reached through replaceable tables so that tests can
// make overlapped reads complete at once or later, let writes time out and inject failures.
#pragma once

#include <cstddef>

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

// Serial devices and pipes.
struct PltWin32SerialSys {
    HANDLE(WINAPI* pfCreateFileA)
    (LPCSTR pszName, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES ptSecurity,
     DWORD dwDisposition, DWORD dwFlags, HANDLE hTemplate);
    BOOL(WINAPI* pfSetupComm)(HANDLE hDevice, DWORD dwInQueue, DWORD dwOutQueue);
    BOOL(WINAPI* pfSetCommTimeouts)(HANDLE hDevice, LPCOMMTIMEOUTS ptTimeouts);
    BOOL(WINAPI* pfGetCommState)(HANDLE hDevice, LPDCB ptDcb);
    BOOL(WINAPI* pfSetCommState)(HANDLE hDevice, LPDCB ptDcb);
    BOOL(WINAPI* pfReadFile)
    (HANDLE hFile, LPVOID pvBuffer, DWORD dwCount, LPDWORD pdwRead, LPOVERLAPPED ptOverlapped);
    BOOL(WINAPI* pfWriteFile)
    (HANDLE hFile, LPCVOID pvData, DWORD dwCount, LPDWORD pdwWritten, LPOVERLAPPED ptOverlapped);
    BOOL(WINAPI* pfGetOverlappedResult)
    (HANDLE hFile, LPOVERLAPPED ptOverlapped, LPDWORD pdwCount, BOOL bWait);
    DWORD(WINAPI* pfWaitForSingleObject)(HANDLE hObject, DWORD dwTimeoutMs);
    BOOL(WINAPI* pfClearCommError)(HANDLE hDevice, LPDWORD pdwErrors, LPCOMSTAT ptStatus);
    BOOL(WINAPI* pfPurgeComm)(HANDLE hDevice, DWORD dwFlags);
    BOOL(WINAPI* pfCancelIo)(HANDLE hFile);
    BOOL(WINAPI* pfFlushFileBuffers)(HANDLE hFile);
    BOOL(WINAPI* pfCloseHandle)(HANDLE hObject);
    BOOL(WINAPI* pfCreatePipe)
    (PHANDLE phRead, PHANDLE phWrite, LPSECURITY_ATTRIBUTES ptSecurity, DWORD dwSize);
    BOOL(WINAPI* pfPeekNamedPipe)
    (HANDLE hPipe, LPVOID pvBuffer, DWORD dwSize, LPDWORD pdwRead, LPDWORD pdwAvailable,
     LPDWORD pdwLeft);
    BOOL(WINAPI* pfSetCommMask)(HANDLE hDevice, DWORD dwMask);
    BOOL(WINAPI* pfWaitCommEvent)(HANDLE hDevice, LPDWORD pdwMask, LPOVERLAPPED ptOverlapped);
};
PltWin32SerialSys& PltWin32SerialSysTable(); // the table in use; tests replace entries
void PltWin32SerialSysReset();               // puts the real calls back

// Windows Sockets.
struct PltSocketSysCalls {
    SOCKET(WSAAPI* pfSocket)(int iFamily, int iType, int iProtocol);
    int(WSAAPI* pfSetSockOpt)(SOCKET hSocket, int iLevel, int iName, const char* pValue, int iLen);
    int(WSAAPI* pfGetSockOpt)(SOCKET hSocket, int iLevel, int iName, char* pValue, int* piLen);
    int(WSAAPI* pfIoctlSocket)(SOCKET hSocket, long lCommand, u_long* pdwArgument);
    int(WSAAPI* pfConnect)(SOCKET hSocket, const sockaddr* ptAddress, int iLen);
    int(WSAAPI* pfBind)(SOCKET hSocket, const sockaddr* ptAddress, int iLen);
    int(WSAAPI* pfListen)(SOCKET hSocket, int iBacklog);
    SOCKET(WSAAPI* pfAccept)(SOCKET hSocket, sockaddr* ptAddress, int* piLen);
    int(WSAAPI* pfSelect)(int iCount, fd_set* ptRead, fd_set* ptWrite, fd_set* ptExcept,
                          timeval* ptTimeout);
    int(WSAAPI* pfSend)(SOCKET hSocket, const char* pData, int iLen, int iFlags);
    int(WSAAPI* pfRecv)(SOCKET hSocket, char* pBuffer, int iLen, int iFlags);
    int(WSAAPI* pfCloseSocket)(SOCKET hSocket);
    int(WSAAPI* pfGetSockName)(SOCKET hSocket, sockaddr* ptAddress, int* piLen);
    hostent*(WSAAPI* pfGetHostByName)(const char* pszName);
    int(WSAAPI* pfGetHostName)(char* pszName, int iLen);
    int(WSAAPI* pfWSAGetLastError)();
    int(WSAAPI* pfGetAddrInfo)(const char* pszName, const char* pszService, const addrinfo* ptHints,
                               addrinfo** pptResult);
    void(WSAAPI* pfFreeAddrInfo)(addrinfo* ptResult);
};
PltSocketSysCalls& PltSocketCalls(); // the table in use; PltSocketRestoreCalls() resets it
