// basesocket: one Winsock 2 TCP socket and its listening server.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "platform/winsock2.h"

// Wraps one TCP socket of the service's link to the director: creation,
// address resolution, connect, one-buffer send and receive, close, and a
// listening server whose thread accepts connections on a network event
// and starts one thread per accepted connection. Not for general
// networking: every call logs its failures to the service log and answers
// with a bool.
class basesocket {
public:
    // The routine of a connection thread; called with the accepted
    // connection (a basesocket*), which it may keep but must not delete.
    using ConnectionRoutine = DWORD (*)(LPVOID connection);

    // Starts Winsock 2.0 (logged when it cannot); no socket yet.
    basesocket();
    // Ends a running server thread (up to 10 s), closes the socket and
    // cleans Winsock up when this object started it.
    virtual ~basesocket();
    basesocket(const basesocket&) = delete;
    basesocket& operator=(const basesocket&) = delete;

    // Starts Winsock, exactly version 2.0, once per object.
    bool InitWinsock();
    // A new TCP socket (an open one is closed first) lingering 1 s on
    // close; any time-out of SetTimeout is dropped.
    bool CreateSocket();
    // Sets the address to `host` (a dotted address, or a name looked up)
    // and `port`; false for an empty or unknown host.
    bool Resolve(const char* host, int port);
    // Connects to `address`; `host` names it in the verbose log lines.
    bool Connect(const sockaddr_in& address, const char* host);
    // One send of `buffer` (or the send descriptor when null) of *length
    // bytes. True also when the socket would block; false on any other
    // failure or when the time-out ran out.
    bool Send(char* buffer, DWORD* length);
    // One receive into `buffer` (or the receive descriptor) of at most
    // *length bytes; *length becomes the count (0 when nothing came: an
    // orderly close, or a non-blocking socket without data, which is not
    // a failure). False on a failure or when the time-out ran out.
    bool Receive(char* buffer, DWORD* length);
    // Shuts the socket down and closes it; always true.
    bool Close();
    // Whether the last Winsock error is none or "would block"; restarts
    // Winsock (and closes the socket) when it was not started.
    bool ErrorText();
    // "<dotted address> <port>" of the peer; null (logged) when unknown.
    const char* GetPeer();
    // Binds the resolved address, listens (backlog 5) and starts the
    // server thread that accepts connections and gives each a thread
    // running `routine`; `event` becomes the link's shutdown-event copy.
    bool ServerSetup(HANDLE event, ConnectionRoutine routine);
    // Runs the connection routine on `connection` in a thread of its own;
    // when the routine returns, the connection is closed unless it was
    // kept open. False (logged) when no thread can be created.
    bool ClientThreadStart(basesocket* connection);

    SOCKET GetSocket() const { return m_Socket; }
    int GetPort() const { return m_nPort; }
    void SetPort(int port) { m_nPort = port; }
    void SetVerbose(bool verbose) { m_bVerbose = verbose; }
    void SetStartedEvent(HANDLE event) { m_hStarted = event; }
    const sockaddr_in& GetAddress() const { return m_Address; }
    // The send and receive descriptors: what Send and Receive use when
    // they are given no buffer.
    void SetSendBuffer(char* buffer, ULONG length) { m_SendBuf = {length, buffer}; }
    void SetReceiveBuffer(char* buffer, ULONG length) { m_RecvBuf = {length, buffer}; }
    // Whether the server thread is still running.
    bool ServerRunning() const;
    // Bounds every later connect, send and receive of this socket (until
    // the next CreateSocket) to `ms` milliseconds; false when the system
    // refuses the setting.
    bool SetTimeout(DWORD ms);
    // Whether the last connect, send or receive ended because the time-out
    // of SetTimeout ran out.
    bool TimedOut() const { return m_bTimedOut; }
    // Keeps an accepted connection open after its thread has ended (the
    // director's link); any other accepted connection is closed then.
    // Its slot goes back at once: the hello has been answered.
    void KeepOpen();
    // Gives this accepted connection's slot back (once).
    void ReturnSlot();
    // When this connection was accepted.
    std::chrono::steady_clock::time_point AcceptedAt() const { return m_acceptedAt; }
    // Number of connection threads that run now, all listeners together.
    static int ConnectionsServed();

    // At most this many accepted connections hold a slot at once; one
    // beyond is closed at once. A connection holds its slot until its
    // thread ends, its hello is answered (KeepOpen), or the hello grace
    // passes without one, whichever comes first.
    static constexpr int kMaxConnections = 8;
    // Connections whose slot went back still have their thread until it
    // ends; with this many threads running, a new connection is closed at
    // once all the same.
    static constexpr int kMaxConnectionThreads = 4 * kMaxConnections;
    // Sets how long an accepted connection holds its slot without a hello
    // (kDefaultHelloGraceMs until set).
    static void SetHelloGrace(DWORD ms);
    static constexpr DWORD kDefaultHelloGraceMs = 5000;
    // Number of connections that hold a slot now, all listeners together.
    static int SlotsHeld();

    // The link's copy of the service's shutdown event.
    static HANDLE s_hShutdownEvent;
    // Set by the director host once the director's process is open; ends
    // the server thread (auto-reset, unnamed, created on first use).
    static HANDLE DirectorStartedEvent();

    static const char* const s_pRevisionH;
    static const char* const s_pRevisionCpp;

private:
    static DWORD WINAPI ServerStart(LPVOID self);
    static DWORD WINAPI ServeConnection(LPVOID work);
    void ServerLoop();
    bool HandleNetworkEvents();
    void NoteTimeout();

    SOCKET m_Socket = INVALID_SOCKET;
    HANDLE m_hStarted = nullptr;
    bool m_bWinsockStarted = false;
    bool m_bVerbose = false;
    int m_nType = SOCK_STREAM;
    int m_nPort = 9292;
    std::string m_Peer;
    WSAEVENT m_hNetEvent = WSA_INVALID_EVENT;
    WSABUF m_SendBuf{0, nullptr};
    WSABUF m_RecvBuf{0, nullptr};
    sockaddr_in m_Address{};
    sockaddr_in m_PeerAddress{};
    ConnectionRoutine m_pRoutine = nullptr;
    HANDLE m_hServerThread = nullptr;
    HANDLE m_hClientThread = nullptr;
    // Ends the server thread when this object goes, so that the thread
    // never outlives the socket and event it watches.
    HANDLE m_hServerEnd = nullptr;
    std::atomic<bool> m_bServerRunning{false};
    DWORD m_dwTimeoutMs = 0;
    bool m_bTimedOut = false;
    std::atomic<bool> m_bKeepOpen{false};
    // Of an accepted connection: when it came, and whether it has given its
    // slot back.
    std::chrono::steady_clock::time_point m_acceptedAt{};
    std::atomic<bool> m_bSlotReturned{false};
};
