// TavroCom: the service's socket link protocol with the Tavro director.
#pragma once

#include <atomic>

#include "WindowsService/basesocket.h"

class DSEnv;

// The link to the director on the local host. As a client of the
// director's link port it probes (byte 9) and asks for a stop (byte 7);
// as the server on the link port plus one it sends each connecting
// director the name of the service's shutdown event ("Qim-<pid>") and
// learns the director's process id from the answer.
class TavroCom {
public:
    // A link on the default port 9292 to this host's own name; a given
    // event becomes the link's copy of the shutdown event.
    explicit TavroCom(HANDLE event = nullptr);
    virtual ~TavroCom();
    TavroCom(const TavroCom&) = delete;
    TavroCom& operator=(const TavroCom&) = delete;

    // Sends the probe byte 9 to the link port: true when a program there
    // answers with any byte or closes the connection in order (so any
    // program that accepts and closes counts as a director). No answer
    // within kExchangePings ping periods is no director, with a log line.
    bool Probe();
    // Sends the stop byte 7 the same way (a log line when it is not
    // delivered) and sets the shutdown event whatever the outcome.
    bool SendStop();
    // Listens on the link port plus one and waits until the server thread
    // runs; each accepted connection gets a thread running `routine`
    // (ConnectionThread by default). False when the socket cannot be
    // created, resolved, bound or listened on.
    bool StartListener(HANDLE event = nullptr, basesocket::ConnectionRoutine routine = nullptr);
    // The hello on one accepted connection: after one ping period sends
    // "Qim-<this pid>", then reads the director's pid, accepted only from
    // the process that holds the other end of `connection` (that
    // connection is then kept open). While the service stops, sends the
    // stop byte each ping period instead. Ends at its deadline; false when
    // the connection failed or the deadline passed.
    bool ClientStart(basesocket* connection);
    // The listener's default connection routine: ClientStart on a link of
    // its own.
    static DWORD WINAPI ConnectionThread(LPVOID connection);

    int GetPort() const { return m_Socket.GetPort(); }
    void SetPort(int port) { m_Socket.SetPort(port); }
    void SetVerbose(bool verbose) { m_Socket.SetVerbose(verbose); }
    const char* GetHostName() const { return m_HostName; }
    // Talks to another host than this computer's own name (tests).
    void SetHostName(const char* host);
    basesocket& Socket() { return m_Socket; }

    // The environment through which connection threads read -PingWaitMs.
    static DSEnv* s_pEnv;
    // The director's process id as the director reported it (0 until then).
    static std::atomic<DWORD> s_dwDirectorPid;
    // Set with each reported pid (auto-reset, unnamed, created on first use).
    static HANDLE PidArrivedEvent();

    static constexpr char kProbeCode = 9;
    static constexpr char kStopCode = 7;
    static constexpr DWORD kDefaultPingMs = 300;
    static constexpr int kPidTries = 120;
    static constexpr DWORD kPidRetryMs = 500;
    // The probe and the stop wait this many ping periods for the answer.
    static constexpr DWORD kExchangePings = 10;

    static const char* const s_pRevisionH;
    static const char* const s_pRevisionCpp;

private:
    bool Exchange(char code);
    static DWORD PingPeriod();
    static DWORD ExchangeTimeout();
    // How long an accepted connection may take, from its acceptance to the
    // director's pid (the pid tries at their retry period).
    static DWORD s_dwAnswerDeadlineMs;
    // The decimal number at the start of `text` (up to its first
    // non-digit); 0 when there is none or it does not fit a process id.
    static DWORD ParsePid(const char* text, DWORD length);

    basesocket m_Socket;
    char m_cProbe = kProbeCode;
    char m_cStop = kStopCode;
    char m_HostName[100] = {};
    char m_RecvBuf[12] = {};  // 10 bytes and two zero bytes
    char m_SendBuf[53] = {};  // one code byte, or the link hello

    friend class TavroComTest;
};
