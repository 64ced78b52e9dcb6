// The service log's stream buffer: lines of many threads arrive whole, each
// exactly once; a flush writes an unfinished line; nothing is lost at the end.
#include "WindowsService/ServiceLogBuf.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/support/TempDir.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int OpenLog(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

// Several threads log through one stream, as the program's threads do
// through std::clog, each line written in pieces.
TEST(ServiceLogBuf, LinesOfManyThreadsArriveWholeAndOnce) {
    tavro::testing::TempDir temp;
    const std::string path = (temp.Path() / "service.log").string();
    constexpr int kThreads = 8;
    constexpr int kLines = 2000;
    {
        ServiceLogBuf buffer(OpenLog(path));
        std::ostream log(&buffer);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&log, t] {
                for (int i = 0; i < kLines; ++i)
                    log << "TavroService.thread " << t << " line " << i << " of the log"
                        << std::endl;
            });
        for (std::thread& thread : threads) thread.join();
    }
    std::istringstream text(ReadAll(path));
    std::map<int, int> next;  // per thread, the line expected next
    std::string line;
    int count = 0;
    while (std::getline(text, line)) {
        int t = -1, i = -1;
        char tail[32] = "";
        ASSERT_EQ(
            std::sscanf(line.c_str(), "TavroService.thread %d line %d %31[a-z ]", &t, &i, tail), 3)
            << "a torn or mixed line: " << line;
        EXPECT_EQ(std::string(tail), "of the log") << line;
        EXPECT_EQ(i, next[t]) << "thread " << t;
        next[t] = i + 1;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(ServiceLogBuf, AFlushOrTheEndWritesAnUnfinishedLine) {
    tavro::testing::TempDir temp;
    const std::string path = (temp.Path() / "service.log").string();
    {
        ServiceLogBuf buffer(OpenLog(path));
        std::ostream log(&buffer);
        log << "NTServApp exiting " << 12;
        EXPECT_EQ(ReadAll(path), "");
        log << std::flush;
        EXPECT_EQ(ReadAll(path), "NTServApp exiting 12");
        log << "\nfirst\nsecond, unfinished";
        EXPECT_EQ(ReadAll(path), "NTServApp exiting 12\nfirst\n");
        log << ' ' << std::string(70000, 'x');  // beyond what a thread may hold
        EXPECT_EQ(ReadAll(path).size(), 46u + 70000u);
        log << "end";
    }
    EXPECT_EQ(ReadAll(path),
              "NTServApp exiting 12\nfirst\nsecond, unfinished " + std::string(70000, 'x') + "end");
}

}  // namespace
