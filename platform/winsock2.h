// Windows Sockets 2 over POSIX sockets: the calls the service's link makes.
//
// A SOCKET is its own type, so the Windows signatures of bind, listen,
// setsockopt, shutdown and getpeername stand beside the POSIX ones without
// ambiguity, and every call reports a WSA code through WSAGetLastError.
// Sockets are close-on-exec and send with MSG_NOSIGNAL. A WSAEVENT is a
// manual-reset event of the kernel layer, so it can be waited on together
// with any other handle.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/winbase.h"
#include "platform/winerror.h"
#include "platform/wintypes.h"

enum class SOCKET : int {};
inline constexpr SOCKET INVALID_SOCKET = SOCKET(-1);
constexpr int SOCKET_ERROR = -1;

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }
constexpr BYTE LOBYTE(WORD value) { return static_cast<BYTE>(value & 0xFF); }
constexpr BYTE HIBYTE(WORD value) { return static_cast<BYTE>(value >> 8); }

struct WSADATA {
    WORD wVersion;      // version the caller is to use
    WORD wHighVersion;  // highest version this layer offers
    char szDescription[257];
    char szSystemStatus[129];
};
using LPWSADATA = WSADATA*;

struct WSABUF {
    ULONG len;
    char* buf;
};
using LPWSABUF = WSABUF*;

using WSAEVENT = HANDLE;
inline const WSAEVENT WSA_INVALID_EVENT = nullptr;

// Network events of WSAEventSelect.
constexpr int32_t FD_READ = 0x01;
constexpr int32_t FD_WRITE = 0x02;
constexpr int32_t FD_OOB = 0x04;
constexpr int32_t FD_ACCEPT = 0x08;
constexpr int32_t FD_CONNECT = 0x10;
constexpr int32_t FD_CLOSE = 0x20;
constexpr int32_t FD_QOS = 0x40;
constexpr int32_t FD_GROUP_QOS = 0x80;
constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_OOB_BIT = 2;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_QOS_BIT = 6;
constexpr int FD_MAX_EVENTS = 10;

struct WSANETWORKEVENTS {
    int32_t lNetworkEvents;
    int iErrorCode[FD_MAX_EVENTS];
};
using LPWSANETWORKEVENTS = WSANETWORKEVENTS*;

// Results of WSAWaitForMultipleEvents (those of WaitForMultipleObjects).
constexpr DWORD WSA_WAIT_EVENT_0 = WAIT_OBJECT_0;
constexpr DWORD WSA_WAIT_TIMEOUT = WAIT_TIMEOUT;
constexpr DWORD WSA_WAIT_FAILED = WAIT_FAILED;
constexpr DWORD WSA_INFINITE = INFINITE;
constexpr DWORD WSA_MAXIMUM_WAIT_EVENTS = MAXIMUM_WAIT_OBJECTS;

// shutdown directions.
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// Unused extension points of the Windows calls; only null is accepted.
struct WSAPROTOCOL_INFOA;
using LPWSAPROTOCOL_INFOA = WSAPROTOCOL_INFOA*;
using GROUP = unsigned int;
struct QOS;
using LPQOS = QOS*;
struct WSAOVERLAPPED;
using LPWSAOVERLAPPED = WSAOVERLAPPED*;
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD, DWORD, LPWSAOVERLAPPED, DWORD);
using LPCONDITIONPROC = int (*)(LPWSABUF, LPWSABUF, LPQOS, LPQOS, LPWSABUF, LPWSABUF, GROUP*,
                                DWORD_PTR);

// Start-up and clean-up. Versions 1.0 to 2.2 are offered; every other call
// fails with WSANOTINITIALISED while no start-up is outstanding.
int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int code);

// Sockets (IPv4 TCP and UDP).
SOCKET WSASocketA(int family, int type, int protocol, LPWSAPROTOCOL_INFOA info, GROUP group,
                  DWORD flags);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int bind(SOCKET s, const sockaddr* name, int nameLength);
int listen(SOCKET s, int backlog);
int setsockopt(SOCKET s, int level, int option, const char* value, int valueLength);
int getpeername(SOCKET s, sockaddr* name, int* nameLength);
int WSAConnect(SOCKET s, const sockaddr* name, int nameLength, LPWSABUF callerData,
               LPWSABUF calleeData, LPQOS socketQos, LPQOS groupQos);
// A socket accepted from a listener chosen by WSAEventSelect is
// non-blocking, as its listener.
SOCKET WSAAccept(SOCKET s, sockaddr* address, int* addressLength, LPCONDITIONPROC condition,
                 DWORD_PTR callbackData);
int WSASend(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesSent, DWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);
int WSARecv(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesReceived, LPDWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);

// Event objects and network events. WSAEventSelect makes the socket
// non-blocking and sets the event when one of the chosen network events
// happens; each event is reported once until its re-enabling call
// (WSAAccept for FD_ACCEPT, WSARecv for FD_READ and FD_OOB); FD_CLOSE is
// reported once. FD_WRITE and FD_CONNECT are not watched: a selection that
// asks for them fails with WSAEINVAL and leaves the previous one in place.
WSAEVENT WSACreateEvent();
BOOL WSACloseEvent(WSAEVENT event);
BOOL WSASetEvent(WSAEVENT event);
BOOL WSAResetEvent(WSAEVENT event);
int WSAEventSelect(SOCKET s, WSAEVENT event, int32_t networkEvents);
int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS networkEvents);
DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll, DWORD timeout,
                               BOOL alertable);

namespace platform {

// The descriptor behind a socket, for poll() and tests.
inline int SocketFd(SOCKET s) { return static_cast<int>(s); }

// WSA code for a C library errno value.
int WsaFromErrno(int err);

}  // namespace platform
