// nodewalk: dumps a partition configuration tree image, or summarises its partitions.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/nodewalk/ConfigTree.h"

namespace {

constexpr const char* kUsage =
    "usage:nodewalk [{-f <file name> {-o <offset>}} {-i} | -s <file name>]\n";

enum class Arg { kEmpty, kDash, kF, kS, kO, kWord, kFWord, kSWord, kOWord, kI, kIJunk, kBad };

Arg Classify(const char* arg) {
    if (!arg[0]) return Arg::kEmpty;
    if (arg[0] != '-') return Arg::kWord;
    switch (arg[1]) {
        case '\0': return Arg::kDash;
        case 'f': return arg[2] ? Arg::kFWord : Arg::kF;
        case 's': return arg[2] ? Arg::kSWord : Arg::kS;
        case 'o': return arg[2] ? Arg::kOWord : Arg::kO;
        case 'i': return arg[2] ? Arg::kIJunk : Arg::kI;
        default: return Arg::kBad;
    }
}

enum class State {
    kNone,
    kStart,
    kNeedFile,
    kNeedSaveFile,
    kFile,
    kSave,
    kLiveSummary,
    kNeedOffset,
    kFileOffset,
    kFileSummary,
    kFileOffsetSummary,
    kError,
};

struct Command {
    State state = State::kNone;
    std::string file;
    int64_t offset = 0;
};

// The argument state machine; the rest of an argument after its option
// letter is the option's value.
Command Parse(int argc, char** argv) {
    Command command;
    if (argc < 2) return command;
    command.state = State::kStart;
    for (int i = 1; i < argc && command.state != State::kError; ++i) {
        const char* arg = argv[i];
        const Arg kind = Classify(arg);
        State next = State::kError;
        switch (command.state) {
            case State::kStart:
                if (kind == Arg::kF) next = State::kNeedFile;
                if (kind == Arg::kS) next = State::kNeedSaveFile;
                if (kind == Arg::kFWord || kind == Arg::kSWord) command.file = arg + 2;
                if (kind == Arg::kFWord) next = State::kFile;
                if (kind == Arg::kSWord) next = State::kSave;
                if (kind == Arg::kI) next = State::kLiveSummary;
                break;
            case State::kNeedFile:
            case State::kNeedSaveFile:
                if (kind != Arg::kWord) break;
                command.file = arg;
                next = command.state == State::kNeedFile ? State::kFile : State::kSave;
                break;
            case State::kFile:
                if (kind == Arg::kO) next = State::kNeedOffset;
                if (kind == Arg::kOWord) {
                    command.offset = std::atoi(arg + 2);
                    next = State::kFileOffset;
                }
                if (kind == Arg::kI) next = State::kFileSummary;
                break;
            case State::kNeedOffset:
                if (kind != Arg::kWord) break;
                command.offset = std::atoi(arg);
                next = State::kFileOffset;
                break;
            case State::kFileOffset:
                if (kind == Arg::kI) next = State::kFileOffsetSummary;
                break;
            default: break;
        }
        command.state = next;
    }
    return command;
}

int Run(const Command& command) {
    switch (command.state) {
        case State::kNone: {
            ConfigTreeSys live;
            ConfigTree(live.Bytes(), stdout).Dump();
            return 0;
        }
        case State::kFile:
        case State::kFileOffset: {
            BinFile image(command.file.c_str(), command.offset);
            ConfigTree(image.Bytes(), stdout).Dump();
            return 0;
        }
        case State::kFileSummary:
        case State::kFileOffsetSummary: {
            BinFile image(command.file.c_str(), command.offset);
            ConfigTree(image.Bytes(), stdout).Summary();
            return 0;
        }
        case State::kSave: {
            ConfigTreeSys live;
            live.Save(command.file.c_str());
            return 0;
        }
        case State::kLiveSummary: {
            ConfigTreeSys live;
            ConfigTree(live.Bytes(), stdout).Summary();
            return 0;
        }
        default: std::fputs(kUsage, stdout); return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(Parse(argc, argv));
    } catch (const Exception& failure) {
        std::printf("%s\n", failure.Text());
        return 1;
    }
}
