// Fuzz target: a "Jex_Sra" server fed arbitrary connect data, session path and following messages
// through an in-memory session.
//
// Input: one byte of switches (bit 0: a back-end; bit 1: it fails; bit 2: it
// owns every request), then chunks of a 16-bit little-endian length and that
// many bytes: the connect data, the session's PATH, then one message per
// receive. When the chunks run out the client has hung up.
//
// Reaches: a "Jex_Sra" server's reading of connect data, the session's PATH and every message, its
// back-end in every mode, work files.
// Cannot reach: the session and network beneath it (an in-memory session stands in: JexSession_fuzz
// has sessions).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "MessagesFuzzState.h"
#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/sra/JexSraServer.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/SraMemoryLink.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

class FuzzBackEnd : public JexSraBackEnd {
public:
    bool fails = false;
    bool owns = false;
    int Take(const char* file, JexException& error) {
        Check(std::filesystem::exists(file));
        if (fails) error.ExcSet(JexSra::NOPRODUCTS, JexExcArgs("fuzz back-end"));
        return fails ? JexSra::NOPRODUCTS : 0;
    }
    int Submit(const char* file, JexString& number, JexException& error) override {
        number = "SR-1";
        return Take(file, error);
    }
    int Augment(const char* file, JexException& error) override { return Take(file, error); }
    int FetchList(const char* file, JexFieldedString& lines, JexException& error) override {
        lines[0] = "one";
        lines[1] = "";
        return Take(file, error);
    }
    int LookupSrq(const JexString&, JexString& acid) override {
        if (!owns) return 8;
        acid = " CLI ";
        return 0;
    }
    int WorkUnits(const JexString&, JexFieldedString& units) override {
        units[0] = "a\n\nb";
        units[1] = "";
        return 0;
    }
};

class FuzzServer : public JexSraServer {
public:
    // The history log would grow by a record a run.
    FuzzServer() {
        if (logger_) logger_->SetSuppress(1);
    }
    using JexSraServer::Serve;

protected:
    bool ServesOnThisPlatform() const override { return true; }
};

std::filesystem::path& InstallDir() {
    static std::filesystem::path dir;
    return dir;
}

void Setup() {
    if (!InstallDir().empty()) return;
    fuzz_support::UsePrivateState();
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tavro-srafuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    InstallDir() = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(InstallDir(), ignored);
    });
    std::filesystem::create_directories(InstallDir() / "data");
    auto write = [](const char* name, const char* text) {
        FILE* f = std::fopen((InstallDir() / "data" / name).c_str(), "w");
        Check(f != nullptr);
        std::fputs(text, f);
        std::fclose(f);
    };
    write("jex_remote_auth.dat", "allow * * * * * * * fuzz\n");
    write("jex_obligation_map.dat", "");
    Check(tavro::testing::WriteInstallPath(InstallDir().string()));
    Check(::chdir(InstallDir().c_str()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 1 << 16) return 0;
    Setup();
    tavro::testing::SraMemoryLink link;
    link.sent_check = [](const JexBuffer& wire) {
        JexNetMsg msg;
        msg.Decode(wire);
        Check(!msg.Corrupt());
    };
    for (size_t at = 1; at + 2 <= size;) {
        size_t n = data[at] | (static_cast<size_t>(data[at + 1]) << 8);
        at += 2;
        if (n > size - at) n = size - at;
        link.chunks.emplace_back(reinterpret_cast<const char*>(data + at), n);
        at += n;
    }
    FuzzBackEnd backEnd;
    backEnd.fails = (data[0] & 2) != 0;
    backEnd.owns = (data[0] & 4) != 0;
    {
        FuzzServer server;
        server.SetSuppress(1);
        if (data[0] & 1) server.SetBackEnd(&backEnd);
        server.Serve(link);
    }
    // No work file outlives the call.
    for (const auto& entry : std::filesystem::directory_iterator(InstallDir()))
        Check(entry.path().filename().string().rfind("jex_sra_", 0) != 0);
    return 0;
}
