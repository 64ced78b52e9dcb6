// NorbaNew: the configuration wizard, served as a local web page or run from an answers file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "wizard/AnswersFile.h"
#include "wizard/WizardServer.h"

namespace {

constexpr char kUsage[] =
    "usage: NorbaNew [--port N] [--idle SECONDS] [--service-obligation] [--answers FILE]\n";
constexpr long kDefaultIdleSeconds = 30 * 60;
constexpr size_t kMaxAnswersFile = 1024 * 1024;

std::optional<long> Number(const char* text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno || end == text || *end || value < low || value > high) return std::nullopt;
    return value;
}

// The whole answers file, at most kMaxAnswersFile bytes.
std::optional<std::string> ReadAnswers(const std::string& path, std::string& why) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    std::string bytes;
    char chunk[65536];
    ssize_t n = 0;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        bytes.append(chunk, static_cast<size_t>(n));
        if (bytes.size() > kMaxAnswersFile) {
            close(fd);
            why = "the file is larger than 1 MiB";
            return std::nullopt;
        }
    }
    int err = errno;
    close(fd);
    if (n < 0) {
        why = std::strerror(err);
        return std::nullopt;
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    long idle = kDefaultIdleSeconds;
    bool serviceObligation = false;
    std::optional<std::string> answersPath;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--service-obligation") {
            serviceObligation = true;
        } else if (arg == "--port" && hasValue) {
            auto value = Number(argv[++i], 1, 65535);
            if (!value) {
                std::cerr << "NorbaNew: --port takes a port number from 1 to 65535\n";
                return 2;
            }
            port = static_cast<int>(*value);
        } else if (arg == "--idle" && hasValue) {
            auto value = Number(argv[++i], 1, 7 * 24 * 3600);
            if (!value) {
                std::cerr << "NorbaNew: --idle takes a number of seconds\n";
                return 2;
            }
            idle = *value;
        } else if (arg == "--answers" && hasValue) {
            answersPath = argv[++i];
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }

    wizard::SystemWizardHost host;
    wizard::UserControl1 control(host);
    if (answersPath) {
        std::string why;
        std::optional<std::string> text = ReadAnswers(*answersPath, why);
        if (!text) {
            std::cerr << "NorbaNew: " << *answersPath << ": " << why << "\n";
            return 2;
        }
        std::optional<std::vector<wizard::Answer>> answers = wizard::ParseAnswers(*text, why);
        if (!answers) {
            std::cerr << "NorbaNew: " << *answersPath << ": " << why << "\n";
            return 2;
        }
        return wizard::RunAnswers(control, *answers, serviceObligation, std::cout, std::cerr);
    }

    wizard::Effects shown = control.Show();
    for (const wizard::MessageBox& box : shown.messages)
        std::cout << wizard::MessageLine(box) << "\n";
    if (serviceObligation) control.ShowServiceObligationPage();
    wizard::WizardServer server(control);
    server.ShowOnNextLoad(shown.messages);
    if (!server.Start(port)) {
        std::cerr << "NorbaNew: cannot listen on 127.0.0.1:" << port << ": " << std::strerror(errno)
                  << "\n";
        return 2;
    }
    std::cout << server.Url() << std::endl;
    return server.Wait(std::chrono::seconds(idle));
}
