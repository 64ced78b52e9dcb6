// Helper process of the kernel-object tests: runs one command per line of standard input and
// answers each with one line. The last error is cleared before each command.
//
//   event NAME MANUAL INITIAL  CreateEventA        -> "<0|1 handle made> <last error>"
//   openevent NAME             OpenEventA          -> same
//   mutex NAME OWNED           CreateMutexA        -> same
//   set NAME / reset NAME / release NAME / close NAME -> "<result> <last error>"
//   wait NAME MS               WaitForSingleObject -> "<result> <last error>"
//   holdinthread NAME MS       a new thread takes the mutex NAME, holds it MS ms and ends
//                              without releasing it -> "<wait result> <last error>"
//   threads COUNT              starts COUNT threads that sleep until the process ends -> "ok"
//   exit CODE                  ends the process with CODE
// The process ends when its standard input closes, or with its parent.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "platform/winbase.h"

namespace {

DWORD Sleeper(LPVOID) {
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int main() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == 1) return 1;
    std::map<std::string, HANDLE> handles;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        std::string name;
        in >> command >> name;
        SetLastError(ERROR_SUCCESS);
        long long result = 0;
        if (command == "event") {
            int manual = 0;
            int initial = 0;
            in >> manual >> initial;
            handles[name] = CreateEventA(nullptr, manual, initial, name.c_str());
            result = handles[name] != nullptr;
        } else if (command == "openevent") {
            handles[name] = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
            result = handles[name] != nullptr;
        } else if (command == "mutex") {
            int owned = 0;
            in >> owned;
            handles[name] = CreateMutexA(nullptr, owned, name.c_str());
            result = handles[name] != nullptr;
        } else if (command == "set") {
            result = SetEvent(handles[name]);
        } else if (command == "reset") {
            result = ResetEvent(handles[name]);
        } else if (command == "release") {
            result = ReleaseMutex(handles[name]);
        } else if (command == "close") {
            result = CloseHandle(handles[name]);
            handles.erase(name);
        } else if (command == "wait") {
            DWORD ms = 0;
            in >> ms;
            result = WaitForSingleObject(handles[name], ms);
        } else if (command == "holdinthread") {
            DWORD ms = 0;
            in >> ms;
            HANDLE mutex = handles[name];
            std::promise<DWORD> taken;
            std::thread([&taken, mutex, ms] {
                taken.set_value(WaitForSingleObject(mutex, 0));
                Sleep(ms);
            }).detach();
            result = taken.get_future().get();
        } else if (command == "threads") {
            int count = std::stoi(name);
            for (int i = 0; i < count; ++i)
                CloseHandle(CreateThread(nullptr, 0, Sleeper, nullptr, 0, nullptr));
            std::cout << "ok" << std::endl;
            continue;
        } else if (command == "exit") {
            std::fflush(nullptr);
            _exit(std::stoi(name));
        } else {
            std::cout << "unknown" << std::endl;
            continue;
        }
        std::cout << result << ' ' << GetLastError() << std::endl;
    }
    return 0;
}
