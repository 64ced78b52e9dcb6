// TavroCom: the service's socket link protocol with the Tavro director.
#include "WindowsService/TavroCom.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <thread>

#include "Hostsys/DSEnv.h"
#include "Hostsys/Revision.h"
#include "WindowsService/LinkPeer.h"
#include "platform/ScopedHandle.h"

const char* const TavroCom::s_pRevisionCpp =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/TavroCom.cpp", "1.22");
const char* const TavroCom::s_pRevisionH =
    TAVRO_REVISION("/usr/local/cvsroot/tavro/WindowsService/TavroCom.h", "1.8");

DSEnv* TavroCom::s_pEnv = nullptr;
DWORD TavroCom::s_dwAnswerDeadlineMs = TavroCom::kPidTries * TavroCom::kPidRetryMs;
std::atomic<DWORD> TavroCom::s_dwDirectorPid{0};

HANDLE TavroCom::PidArrivedEvent() {
    static HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

TavroCom::TavroCom(HANDLE event) {
    if (event) basesocket::s_hShutdownEvent = event;
    if (!m_Socket.CreateSocket())
        std::clog << "Error: TavroCom failed to create socket communications will fail"
                  << std::endl;
    if (gethostname(m_HostName, 99) != 0) m_HostName[0] = '\0';
    m_HostName[99] = '\0';
    m_Socket.SetSendBuffer(m_SendBuf, 1);
    m_Socket.SetReceiveBuffer(m_RecvBuf, 1);
}

TavroCom::~TavroCom() = default;

void TavroCom::SetHostName(const char* host) {
    std::snprintf(m_HostName, sizeof m_HostName, "%s", host ? host : "");
}

DWORD TavroCom::ExchangeTimeout() { return kExchangePings * PingPeriod(); }

bool TavroCom::Exchange(char code) {
    if (!m_Socket.CreateSocket()) return false;
    // A program that accepts on the port and never answers must not hold
    // the service: the connect, the send and the answer are each bounded.
    bool ok = m_Socket.SetTimeout(ExchangeTimeout()) &&
              m_Socket.Resolve(m_HostName, m_Socket.GetPort()) &&
              m_Socket.Connect(m_Socket.GetAddress(), m_HostName);
    if (ok) {
        m_SendBuf[0] = code;
        DWORD length = 1;
        ok = m_Socket.Send(m_SendBuf, &length);
    }
    if (ok) {
        // Any answer, or an orderly close, counts: the byte is not examined.
        m_RecvBuf[0] = 0;
        DWORD length = 1;
        ok = m_Socket.Receive(m_RecvBuf, &length);
    }
    m_Socket.Close();
    return ok;
}

bool TavroCom::Probe() {
    bool ok = Exchange(m_cProbe);
    if (!ok && m_Socket.TimedOut())
        std::clog << "TavroCom.Probe no answer on port " << GetPort() << " within "
                  << ExchangeTimeout() << " ms: taken as no director" << std::endl;
    return ok;
}

bool TavroCom::SendStop() {
    bool ok = Exchange(m_cStop);
    if (!ok)
        std::clog << "TavroCom.SendStop stop not delivered to port " << GetPort()
                  << (m_Socket.TimedOut() ? " within " + std::to_string(ExchangeTimeout()) + " ms"
                                          : std::string(": no director answers there"))
                  << std::endl;
    if (basesocket::s_hShutdownEvent) SetEvent(basesocket::s_hShutdownEvent);
    return ok;
}

bool TavroCom::StartListener(HANDLE event, basesocket::ConnectionRoutine routine) {
    if (!m_Socket.CreateSocket()) return false;
    HANDLE shutdownEvent = event ? event : basesocket::s_hShutdownEvent;
    if (!routine) routine = ConnectionThread;
    if (!m_Socket.Resolve(m_HostName, m_Socket.GetPort() + 1)) return false;
    // The hello comes after the first ping period, when the service greets.
    basesocket::SetHelloGrace(PingPeriod() + basesocket::kDefaultHelloGraceMs);
    platform::ScopedHandle started(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    m_Socket.SetStartedEvent(started.Get());
    bool ok = m_Socket.ServerSetup(shutdownEvent, routine);
    if (ok) WaitForSingleObject(started.Get(), INFINITE);
    m_Socket.SetStartedEvent(nullptr);
    return ok;
}

DWORD TavroCom::PingPeriod() {
    DWORD ping = s_pEnv ? s_pEnv->getPingWait() : 0;
    return ping ? ping : kDefaultPingMs;
}

DWORD TavroCom::ParsePid(const char* text, DWORD length) {
    uint64_t pid = 0;
    for (DWORD i = 0; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        pid = pid * 10 + static_cast<uint64_t>(text[i] - '0');
        if (pid > 0xFFFFFFFFu) return 0;
    }
    return static_cast<DWORD>(pid);
}

bool TavroCom::ClientStart(basesocket* connection) {
    const DWORD ping = PingPeriod();
    // The whole conversation has one deadline, so that a peer that never
    // answers (or never reads the stop bytes) does not hold the thread.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(s_dwAnswerDeadlineMs);
    auto expired = [deadline] { return std::chrono::steady_clock::now() >= deadline; };
    for (;;) {
        if (expired()) {
            std::clog << "TavroCom.ClientStart gave up a connection that did not answer in time"
                      << std::endl;
            return false;
        }
        HANDLE shutdownEvent = basesocket::s_hShutdownEvent;
        DWORD waited = WAIT_TIMEOUT;
        if (shutdownEvent)
            waited = WaitForSingleObject(shutdownEvent, ping);
        else
            Sleep(ping);
        if (waited == WAIT_OBJECT_0) {
            // The service is stopping: tell the director, once per ping
            // period, until it goes away.
            m_SendBuf[0] = m_cStop;
            DWORD length = 1;
            if (!connection->Send(m_SendBuf, &length)) return false;
            Sleep(ping);
            continue;
        }
        if (waited != WAIT_TIMEOUT) return false;
        int written = std::snprintf(m_SendBuf, sizeof m_SendBuf, "Qim-%u", GetCurrentProcessId());
        DWORD length = static_cast<DWORD>(written);
        if (connection->Send(m_SendBuf, &length)) break;
    }

    // A receive that finds nothing is followed by a wait until the answer
    // can be read, at most kPidRetryMs, so the pid is taken as it arrives.
    // A connection that is readable yet gives no pid (its peer closed) is
    // still tried only once per kPidRetryMs.
    using Clock = std::chrono::steady_clock;
    Clock::time_point periodEnd{};
    bool readable = false;  // the last wait ended because the connection was readable
    for (int tries = 0; tries < kPidTries && s_dwDirectorPid == 0 && !expired(); ++tries) {
        std::memset(m_RecvBuf, 0, sizeof m_RecvBuf);
        DWORD length = 10;
        connection->Receive(m_RecvBuf, &length);
        DWORD pid = ParsePid(m_RecvBuf, length);
        // Any local program may connect first: only the process at the
        // other end of this connection can name itself as the director.
        if (pid && !link_peer::ProcessHoldsPeerEnd(platform::SocketFd(connection->GetSocket()),
                                                   static_cast<pid_t>(pid))) {
            std::clog << "TavroCom.ClientStart ignored pid " << pid
                      << ": that process does not hold the link's connection" << std::endl;
            pid = 0;
        }
        if (pid) {
            DWORD expected = 0;
            if (s_dwDirectorPid.compare_exchange_strong(expected, pid)) {
                connection->KeepOpen();
                SetEvent(PidArrivedEvent());
            }
            break;
        }
        const Clock::time_point now = Clock::now();
        if (readable && now < periodEnd) {
            std::this_thread::sleep_until(periodEnd);
            periodEnd += std::chrono::milliseconds(kPidRetryMs);
            continue;
        }
        periodEnd = now + std::chrono::milliseconds(kPidRetryMs);
        pollfd wait{platform::SocketFd(connection->GetSocket()), POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>(kPidRetryMs));
        readable = ready > 0;
        if (ready < 0 && errno != EINTR) std::this_thread::sleep_until(periodEnd);
    }
    if (s_dwDirectorPid == 0)
        std::clog << "TavroCom.ClientStart failed to get client pid" << std::endl;
    Sleep(ping);
    return true;
}

DWORD WINAPI TavroCom::ConnectionThread(LPVOID connection) {
    TavroCom link;
    link.ClientStart(static_cast<basesocket*>(connection));
    return 0;
}
