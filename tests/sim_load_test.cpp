/* Tests of asterisk-sim's load mode (sim-load): a call whose command lines differ from the
 * expected ones, or that ends without any, is counted as a failure; the others are not. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "sim-load.h"

namespace {

const std::string kGoto = "exec Goto \"999\"";

/* A listening socket on a free port of 127.0.0.1; *port receives the port. */
int listen_on_free_port(int *port) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(sock, 16) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    *port = ntohs(address.sin_port);
    return sock;
}

/* Reads until a line feed arrives after 'ends' (the environment's empty line, or a reply)
 * has been seen, or the connection ends. */
void read_through(int sock, const std::string &ends) {
    std::string seen;
    char buf[512];
    while (seen.find(ends) == std::string::npos) {
        ssize_t n = read(sock, buf, sizeof(buf));
        if (n <= 0) return;
        seen.append(buf, static_cast<size_t>(n));
    }
}

/* Serves 'calls' connections one after another: reads the environment, sends line_of(i)
 * when it is not empty and reads its reply, then closes. */
template <typename LineOf>
void serve_calls(int listener, int calls, LineOf line_of) {
    for (int i = 0; i < calls; i++) {
        int sock = accept(listener, nullptr, nullptr);
        if (sock < 0) return;
        read_through(sock, "\n\n");
        std::string line = line_of(i);
        if (!line.empty() && write(sock, (line + "\n").data(), line.size() + 1) > 0)
            read_through(sock, "\n");
        close(sock);
    }
}

TEST(SimLoad, CountsCallsWithOtherCommandLinesAsFailures) {
    signal(SIGPIPE, SIG_IGN);
    const struct {
        int odd_call;      /* the connection (0-based, in accepting order) the server treats
                              differently, -1: none */
        std::string line;  /* what it sends that call instead of kGoto */
        int failures;
        const char *failure_says; /* after "call N: ": the calls may reach the server in
                                     another order than they were started */
    } cases[] = {
        {-1, kGoto, 0, ""},
        {3, "exec Goto \"998\"", 1, R"(command 1: expected "exec Goto "999"", got "exec Goto "998"")"},
        {5, "", 1, R"(command 1: expected "exec Goto "999"", got no more lines)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.odd_call);
        SimLoadPlan plan;
        int listener = listen_on_free_port(&plan.port);
        ASSERT_GE(listener, 0);
        plan.calls = 8;
        plan.concurrency = 3;
        SimLoadCall load_call;
        load_call.call.context = "from-internal";
        load_call.call.extension = "5559876543";
        load_call.expected = {kGoto};
        plan.rotation = {load_call};
        std::thread server(serve_calls<std::function<std::string(int)>>, listener, plan.calls,
                           [&](int i) { return i == c.odd_call ? c.line : kGoto; });
        SimLoadReport report;
        ASSERT_TRUE(SimLoadRun(plan, &report));
        server.join();
        close(listener);
        EXPECT_EQ(8, report.calls);
        EXPECT_EQ(c.failures, report.failures);
        size_t number_end = report.first_failure.find(": ");
        EXPECT_EQ(c.failure_says, number_end == std::string::npos
                                      ? report.first_failure
                                      : report.first_failure.substr(number_end + 2));
        EXPECT_GT(report.calls_per_second, 0);
        EXPECT_LE(report.p50_ms, report.p99_ms);
    }
}

}  // namespace
