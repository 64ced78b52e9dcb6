// The command-line routines: the process's command line against a syntax table, and its items.
#include "jexlink/cli/JexCommandLine.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "jexlink/cli/JexPCLI.h"
#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/messages/JexCommonRoutines.h"
#include "jexlink/messages/JexMsg.h"

namespace {

std::mutex& InterpreterMutex() {
    static std::mutex mutex;
    return mutex;
}

JexPCLI*& Interpreter() {
    static JexPCLI* interpreter = nullptr;
    return interpreter;
}

}  // namespace

JexPCLI* JexCommandLineInterpreter() {
    std::lock_guard<std::mutex> hold(InterpreterMutex());
    return Interpreter();
}

void parsecli(const char* table_name, int argc, const char* const* argv, const char* command) {
    JexTrace trace(__FILE__, "parsecli()", __LINE__);
    std::lock_guard<std::mutex> hold(InterpreterMutex());
    delete Interpreter();
    Interpreter() = new JexPCLI(table_name);
    JexPCLI& cli = *Interpreter();
    if (cli.Code() != 0) die(cli);
    cli.Parse(argc, argv, command, stderr);
    if (cli.Code() == 0) return;
    JexMsg message;
    message.SetSuppress(1);
    message.ExcSet(JexMsg::CLISYNTAX, JexExcArgs("parse fail"), &cli);
    die(message);
}

namespace {

// The value of an item the command line gave, or false.
bool GivenValue(const char* item, JexString& value) {
    std::lock_guard<std::mutex> hold(InterpreterMutex());
    JexPCLI* cli = Interpreter();
    const JexString name(item ? item : "");
    if (!cli || !cli->IsPresent(name)) return false;
    value = cli->Value(name);
    return true;
}

}  // namespace

JexString getcli(const char* item, const char* key, const char* fallback) {
    JexTrace trace(__FILE__, "JexString getcli()", __LINE__);
    JexString value;
    if (GivenValue(item, value)) return value;
    JexConfig config;
    return JexString(config.Value(key, fallback ? fallback : "").Text());
}

int getcli(const char* item, const char* key, int fallback) {
    JexTrace trace(__FILE__, "int getcli()", __LINE__);
    JexString value;
    if (GivenValue(item, value)) {
        const long n = std::strtol(value.Text(), nullptr, 0);
        if (n > INT_MAX) return INT_MAX;
        if (n < INT_MIN) return INT_MIN;
        return static_cast<int>(n);
    }
    JexConfig config;
    return config.Value(key, fallback);
}
