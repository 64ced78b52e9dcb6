// A gateway node as a process of its own: relays or echoes the connections it accepts.
//
// Usage: jexgateway_node ACID NODE ROUTE_MAP [FIRST_RECORD_SECONDS]
// Prints "port N" once it listens, serves until its standard input ends,
// then waits for every connection thread and prints "results CODE=COUNT...".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "jexlink/JexLinkSetUp.h"
#include "testing/support/GatewayNode.h"

int main(int argc, char** argv) {
    JexLinkSetUp();
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s ACID NODE ROUTE_MAP [FIRST_RECORD_SECONDS]\n", argv[0]);
        return 2;
    }
    tavro::testing::GatewayNode node(argv[1], argv[2], argv[3]);
    // The bound on a caller's first record (default: the gateway's own).
    if (argc == 5) node.SetFirstRecordTimeout(std::atoi(argv[4]));
    if (!node.Start()) {
        std::fprintf(stderr, "%s: cannot listen on 127.0.0.1\n", argv[0]);
        return 1;
    }
    std::printf("port %d\n", node.Port());
    std::fflush(stdout);
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
    }
    node.Stop();
    std::string results = "results";
    for (const auto& [code, count] : node.Results())
        results += " " + std::to_string(code) + "=" + std::to_string(count);
    std::printf("%s\n", results.c_str());
    return 0;
}
