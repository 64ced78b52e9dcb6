// basesocket: one Winsock 2 TCP socket and its listening server.
#include "WindowsService/basesocket.h"

#include <netdb.h>
#include <sys/time.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

#include "Hostsys/NTSystemError.h"
#include "Hostsys/Revision.h"
#include "WindowsService/LinkPeer.h"

const char* const basesocket::s_pRevisionCpp =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/basesocket.cpp", "1.17");
const char* const basesocket::s_pRevisionH =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/basesocket.h", "1.8");

HANDLE basesocket::s_hShutdownEvent = nullptr;

namespace {

// Accepted connections belong to the process, not to their listener: a
// connection thread may still use its object after the listener has gone,
// and the director's link stays open for the life of the process. Every
// other connection is closed and dropped when its thread ends.
std::mutex g_connectionsMutex;
std::vector<std::unique_ptr<basesocket>>& OpenConnections() {
    static auto* connections = new std::vector<std::unique_ptr<basesocket>>;
    return *connections;
}

void DropConnection(basesocket* connection) {
    std::unique_ptr<basesocket> dropped;
    std::lock_guard<std::mutex> lock(g_connectionsMutex);
    auto& connections = OpenConnections();
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (it->get() != connection) continue;
        dropped = std::move(*it);
        connections.erase(it);
        break;
    }
}

std::atomic<int> g_connectionsServed{0};
std::atomic<int> g_slotsHeld{0};
std::atomic<DWORD> g_helloGraceMs{basesocket::kDefaultHelloGraceMs};

// Gives back the slots of the connections that have had their hello grace
// without a hello; their threads go on until they end by themselves.
void ReturnStaleSlots() {
    const auto now = std::chrono::steady_clock::now();
    const auto grace = std::chrono::milliseconds(g_helloGraceMs.load());
    std::lock_guard<std::mutex> lock(g_connectionsMutex);
    for (auto& connection : OpenConnections())
        if (now - connection->AcceptedAt() >= grace) connection->ReturnSlot();
}

// What a connection thread runs: the listener's routine on the connection.
struct ConnectionWork {
    basesocket::ConnectionRoutine routine;
    basesocket* connection;
};

}  // namespace

HANDLE basesocket::DirectorStartedEvent() {
    static HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

basesocket::basesocket() {
    if (!InitWinsock())
        std::clog << "Error: basesocket failed to initialize socket Dll " << std::endl;
}

basesocket::~basesocket() {
    if (m_hServerThread) {
        if (m_bServerRunning) {
            SetEvent(m_hServerEnd);
            WaitForSingleObject(m_hServerThread, 10000);
        }
        CloseHandle(m_hServerThread);
    }
    if (m_hClientThread) CloseHandle(m_hClientThread);
    Close();
    if (m_hNetEvent != WSA_INVALID_EVENT) WSACloseEvent(m_hNetEvent);
    if (m_hServerEnd) CloseHandle(m_hServerEnd);
    if (m_bWinsockStarted) WSACleanup();
}

bool basesocket::InitWinsock() {
    if (m_bWinsockStarted) return true;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0) return false;
    if (data.wVersion != MAKEWORD(2, 0)) {
        WSACleanup();
        return false;
    }
    m_bWinsockStarted = true;
    return true;
}

bool basesocket::CreateSocket() {
    // A socket left from an earlier exchange is closed, not leaked.
    if (m_Socket != INVALID_SOCKET) Close();
    m_dwTimeoutMs = 0;
    m_bTimedOut = false;
    m_Socket = WSASocketA(AF_INET, m_nType, IPPROTO_TCP, nullptr, 0, 0);
    if (m_Socket == INVALID_SOCKET) return false;
    linger lingering{1, 1};
    setsockopt(m_Socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingering),
               sizeof lingering);
    return true;
}

bool basesocket::Resolve(const char* host, int port) {
    if (!host || !*host) return false;
    in_addr address{};
    // A dotted address is taken as it stands; anything else, a host name
    // with dots included, is looked up by name.
    if (inet_pton(AF_INET, host, &address) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) {
            if (m_bVerbose)
                std::clog << "Error: basesocket::Connect failed to convert address " << host
                          << std::endl;
            return false;
        }
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    m_Address.sin_family = AF_INET;
    m_Address.sin_port = htons(static_cast<uint16_t>(port));
    m_Address.sin_addr = address;
    if (m_hNetEvent == WSA_INVALID_EVENT) m_hNetEvent = WSACreateEvent();
    return true;
}

bool basesocket::SetTimeout(DWORD ms) {
    timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    const char* value = reinterpret_cast<const char*>(&limit);
    if (setsockopt(m_Socket, SOL_SOCKET, SO_RCVTIMEO, value, sizeof limit) == SOCKET_ERROR ||
        setsockopt(m_Socket, SOL_SOCKET, SO_SNDTIMEO, value, sizeof limit) == SOCKET_ERROR)
        return false;
    m_dwTimeoutMs = ms;
    return true;
}

// A blocking call that ran out of its time-out reports that it would block.
void basesocket::NoteTimeout() {
    int code = WSAGetLastError();
    m_bTimedOut = m_dwTimeoutMs != 0 && (code == WSAEWOULDBLOCK || code == WSAETIMEDOUT);
}

bool basesocket::Connect(const sockaddr_in& address, const char* host) {
    m_bTimedOut = false;
    if (WSAConnect(m_Socket, reinterpret_cast<const sockaddr*>(&address), sizeof address, nullptr,
                   nullptr, nullptr, nullptr) == 0) {
        GetPeer();
        return true;
    }
    NoteTimeout();
    if (m_bVerbose) {
        char name[NI_MAXHOST];
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
        if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, name,
                        sizeof name, nullptr, 0, NI_NAMEREQD) == 0)
            std::clog << "basesocket::Connect able to resolve address " << dotted << std::endl;
        else
            std::clog << "Error: basesocket::Connect unable to resolve address "
                      << (host ? host : "") << std::endl;
    }
    return false;
}

bool basesocket::Send(char* buffer, DWORD* length) {
    if (buffer) m_SendBuf = {length ? *length : 0, buffer};
    DWORD sent = 0;
    m_bTimedOut = false;
    if (WSASend(m_Socket, &m_SendBuf, 1, &sent, 0, nullptr, nullptr) == SOCKET_ERROR) {
        NoteTimeout();
        return !m_bTimedOut && ErrorText();
    }
    return true;
}

bool basesocket::Receive(char* buffer, DWORD* length) {
    if (buffer) m_RecvBuf = {length ? *length : 0, buffer};
    DWORD count = 0;
    DWORD flags = 0;
    m_bTimedOut = false;
    int result = WSARecv(m_Socket, &m_RecvBuf, 1, &count, &flags, nullptr, nullptr);
    // A failed receive (a would-block one included) delivers nothing.
    if (length) *length = result == 0 ? count : 0;
    if (result == SOCKET_ERROR) {
        NoteTimeout();
        return !m_bTimedOut && ErrorText();
    }
    return true;
}

bool basesocket::Close() {
    if (m_Socket != INVALID_SOCKET) {
        shutdown(m_Socket, SD_BOTH);
        if (closesocket(m_Socket) == 0) m_Socket = INVALID_SOCKET;
    }
    m_Peer.clear();
    return true;
}

bool basesocket::ErrorText() {
    int code = WSAGetLastError();
    if (code == WSANOTINITIALISED) {
        m_bWinsockStarted = false;
        InitWinsock();
        Close();
    }
    return code == 0 || code == WSAEWOULDBLOCK;
}

const char* basesocket::GetPeer() {
    if (m_Peer.empty()) {
        int length = sizeof m_PeerAddress;
        if (getpeername(m_Socket, reinterpret_cast<sockaddr*>(&m_PeerAddress), &length) != 0) {
            if (m_Socket != INVALID_SOCKET)
                std::clog << "Error: basesocket::GetPeer failed: "
                          << CNTSystemError(static_cast<DWORD>(WSAGetLastError())).GetMsgString()
                          << std::endl;
            return nullptr;
        }
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &m_PeerAddress.sin_addr, dotted, sizeof dotted);
        m_Peer = std::string(dotted) + " " + std::to_string(ntohs(m_PeerAddress.sin_port));
    }
    return m_Peer.c_str();
}

bool basesocket::ServerSetup(HANDLE event, ConnectionRoutine routine) {
    m_pRoutine = routine;
    if (event) s_hShutdownEvent = event;
    // A restart right after a stop must bind the port again while the old
    // connections linger.
    int reuse = 1;
    if (setsockopt(m_Socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                   sizeof reuse) == SOCKET_ERROR)
        return ErrorText();
    if (bind(m_Socket, reinterpret_cast<const sockaddr*>(&m_Address), sizeof m_Address) ==
        SOCKET_ERROR)
        return ErrorText();
    if (WSAEventSelect(m_Socket, m_hNetEvent, FD_OOB | FD_ACCEPT | FD_CLOSE | FD_QOS) ==
        SOCKET_ERROR)
        return ErrorText();
    if (listen(m_Socket, 5) == SOCKET_ERROR) return ErrorText();

    if (!m_hServerEnd) m_hServerEnd = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    m_hServerThread = CreateThread(nullptr, 0, ServerStart, this, CREATE_SUSPENDED, &id);
    if (!m_hServerThread) {
        std::clog << "Error: basesocket.ServerSetup failed to create thread for watching director: "
                  << LastErrorText() << std::endl;
        return false;
    }
    m_bServerRunning = true;
    if (ResumeThread(m_hServerThread) == static_cast<DWORD>(-1)) {
        m_bServerRunning = false;
        std::clog << "Error: basesocket.ServerSetup failed to resume thread for watching director: "
                  << LastErrorText() << std::endl;
        return false;
    }
    return true;
}

bool basesocket::ServerRunning() const { return m_bServerRunning; }

int basesocket::ConnectionsServed() { return g_connectionsServed; }

DWORD WINAPI basesocket::ServerStart(LPVOID self) {
    static_cast<basesocket*>(self)->ServerLoop();
    return 0;
}

void basesocket::ServerLoop() {
    if (m_hStarted) SetEvent(m_hStarted);
    HANDLE shutdownEvent = s_hShutdownEvent;
    HANDLE directorStarted = DirectorStartedEvent();
    WSAEVENT handles[4];
    DWORD count = 0;
    if (shutdownEvent) handles[count++] = shutdownEvent;
    handles[count++] = m_hNetEvent;
    handles[count++] = directorStarted;
    handles[count++] = m_hServerEnd;
    for (;;) {
        DWORD result = WSAWaitForMultipleEvents(count, handles, FALSE, 3600000, FALSE);
        if (result == WSA_WAIT_TIMEOUT) {
            std::clog << "basesocket.ServerStart Timeout while waiting for connection" << std::endl;
            continue;
        }
        if (result >= count) break;  // a failed wait would only fail again
        HANDLE signalled = handles[result];
        if (signalled == directorStarted || signalled == m_hServerEnd) break;
        bool closing = signalled == shutdownEvent;
        if (!HandleNetworkEvents()) closing = true;
        if (closing) {
            Close();
            break;
        }
    }
    m_bServerRunning = false;
}

bool basesocket::HandleNetworkEvents() {
    WSANETWORKEVENTS events;
    if (WSAEnumNetworkEvents(m_Socket, m_hNetEvent, &events) == SOCKET_ERROR) return ErrorText();
    if (events.lNetworkEvents & FD_ACCEPT) {
        auto connection = std::make_unique<basesocket>();
        connection->m_Socket = WSAAccept(m_Socket, nullptr, nullptr, nullptr, 0);
        if (connection->m_Socket == INVALID_SOCKET) {
            ErrorText();
            return true;
        }
        // Only the service's own user (the director runs as that user) may
        // use the link: any other local program is closed at once.
        if (!link_peer::PeerIsOwnUser(platform::SocketFd(connection->m_Socket))) {
            std::clog << "basesocket.ServerStart closed a connection from "
                      << (connection->GetPeer() ? connection->GetPeer() : "an unknown peer")
                      << ": not a process of the service's user" << std::endl;
            return true;
        }
        // Each connection holds a slot until its hello is answered or its
        // hello grace passes: beyond the bound, a new one is closed at once.
        ReturnStaleSlots();
        if (g_slotsHeld >= kMaxConnections || g_connectionsServed >= kMaxConnectionThreads) {
            std::clog << "basesocket.ServerStart closed a connection: " << g_slotsHeld.load()
                      << " connections are waiting for their hello" << std::endl;
            return true;
        }
        connection->m_acceptedAt = std::chrono::steady_clock::now();
        ++g_slotsHeld;
        basesocket* accepted = connection.get();
        {
            std::lock_guard<std::mutex> lock(g_connectionsMutex);
            OpenConnections().push_back(std::move(connection));
        }
        if (!ClientThreadStart(accepted)) {
            accepted->ReturnSlot();
            DropConnection(accepted);
        }
    }
    if (events.lNetworkEvents & FD_CLOSE) Close();
    if (events.lNetworkEvents & FD_OOB)
        std::clog << "basesocket.ServerStart received FD_OOB" << std::endl;
    return true;
}

DWORD WINAPI basesocket::ServeConnection(LPVOID work) {
    std::unique_ptr<ConnectionWork> job(static_cast<ConnectionWork*>(work));
    job->routine(job->connection);
    job->connection->ReturnSlot();
    if (!job->connection->m_bKeepOpen) DropConnection(job->connection);
    --g_connectionsServed;
    return 0;
}

void basesocket::ReturnSlot() {
    if (!m_bSlotReturned.exchange(true)) --g_slotsHeld;
}

void basesocket::KeepOpen() {
    m_bKeepOpen = true;
    ReturnSlot();
}

void basesocket::SetHelloGrace(DWORD ms) { g_helloGraceMs = ms; }

int basesocket::SlotsHeld() { return g_slotsHeld; }

bool basesocket::ClientThreadStart(basesocket* connection) {
    DWORD id = 0;
    auto* work = m_pRoutine ? new ConnectionWork{m_pRoutine, connection} : nullptr;
    if (work) ++g_connectionsServed;
    HANDLE thread =
        work ? CreateThread(nullptr, 0, ServeConnection, work, CREATE_SUSPENDED, &id) : nullptr;
    if (!thread) {
        if (work) --g_connectionsServed;
        delete work;
        std::clog << "Error: basesocket.ClientThreadStart failed to create thread for watching "
                     "director: "
                  << LastErrorText() << std::endl;
        return false;
    }
    if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
        std::clog << "Error: basesocket.ClientThreadStart failed to resume thread for watching "
                     "director: "
                  << LastErrorText() << std::endl;
        // The suspended thread may still run one day: its work and its
        // connection stay as they are.
        CloseHandle(thread);
        return true;
    }
    if (m_hClientThread) CloseHandle(m_hClientThread);
    m_hClientThread = thread;
    return true;
}
