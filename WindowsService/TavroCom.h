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
    explicit TavroCom(HANDLE event = nullptr);
    virtual ~TavroCom();
    TavroCom(const TavroCom&) = delete;
    TavroCom& operator=(const TavroCom&) = delete;

    bool Probe();
    bool SendStop();
    bool StartListener(HANDLE event = nullptr, basesocket::ConnectionRoutine routine = nullptr);
    bool ClientStart(basesocket* connection);
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
