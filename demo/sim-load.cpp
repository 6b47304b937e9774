/* sim-load: plays many simulated calls against a running server (see the header). Each
 * player thread takes the next call number until all are taken; a call's latency goes
 * into its own slot, so the threads share only the call counter and the failure record. */
#include "sim-load.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

/* What the player threads share. */
struct LoadRun {
    const SimLoadPlan *plan;
    long epoch = time(nullptr); /* first part of each call's Asterisk id, as the PBX's start */
    std::atomic<int> next_call{0};
    std::vector<double> latencies_ms; /* slot i: call i's latency */
    std::atomic<int> failures{0};
    std::mutex failure_mutex;
    std::string first_failure;
};

/* The first line where got differs from expected, in words. */
std::string describe_difference(const std::vector<std::string> &expected,
                                const std::vector<std::string> &got) {
    size_t i = 0;
    while (i < expected.size() && i < got.size() && expected[i] == got[i]) i++;
    std::string want = i < expected.size() ? "\"" + SimVisible(expected[i]) + "\"" : "no more lines";
    std::string saw = i < got.size() ? "\"" + SimVisible(got[i]) + "\"" : "no more lines";
    return "command " + std::to_string(i + 1) + ": expected " + want + ", got " + saw;
}

/* Plays call on a new connection, waiting at most timeout_ms for each line of the
 * server, and takes its command lines into *commands. Returns "" when the server closed
 * the call, else what went wrong. */
std::string play_on_new_connection(int port, int timeout_ms, const SimCall &call,
                                   std::vector<std::string> *commands) {
    int sock = SimConnect(port);
    if (sock < 0) return std::string("cannot connect: ") + strerror(errno);
    struct timeval timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    SimTranscript transcript;
    int status = SimPlayCall(sock, call, &transcript);
    int error = errno;
    close(sock);
    if (status != 0 && (error == EAGAIN || error == EWOULDBLOCK))
        return "no line from the server within " + std::to_string(timeout_ms) + " ms";
    if (status != 0) return std::string("the connection failed: ") + strerror(error);
    *commands = SimCommands(transcript);
    return "";
}

/* Plays one call of the load. Returns "" when it went as expected, else what went
 * wrong. */
std::string play_one(int port, int timeout_ms, const SimLoadCall &load_call, const SimCall &call) {
    std::vector<std::string> got;
    std::string why = play_on_new_connection(port, timeout_ms, call, &got);
    if (!why.empty()) return why;
    if (got != load_call.expected) return describe_difference(load_call.expected, got);
    return "";
}

void record_failure(LoadRun *run, int call_number, const std::string &why) {
    run->failures++;
    std::lock_guard<std::mutex> lock(run->failure_mutex);
    if (run->first_failure.empty())
        run->first_failure = "call " + std::to_string(call_number + 1) + ": " + why;
}

void play_calls(LoadRun *run) {
    const SimLoadPlan &plan = *run->plan;
    for (;;) {
        int number = run->next_call++;
        if (number >= plan.calls) return;
        const SimLoadCall &load_call = plan.rotation[static_cast<size_t>(number) % plan.rotation.size()];
        Clock::time_point start = Clock::now();
        try {
            /* Each call gets an id and a channel of its own, as Asterisk gives them. */
            SimCall call = load_call.call;
            SimNameCall(&call, run->epoch, static_cast<unsigned long>(number) + 1);
            std::string why = play_one(plan.port, plan.reply_timeout_ms, load_call, call);
            if (!why.empty()) record_failure(run, number, why);
        } catch (const std::exception &) {
            run->failures++; /* out of memory: counted, without words */
        }
        std::chrono::duration<double, std::milli> took = Clock::now() - start;
        run->latencies_ms[static_cast<size_t>(number)] = took.count();
    }
}

/* Runs the player threads; false when not one could be started. */
bool run_players(LoadRun *run, int count) {
    std::vector<std::thread> players;
    try {
        for (int i = 0; i < count; i++) players.emplace_back(play_calls, run);
    } catch (const std::exception &) {
        /* The threads already running take every call between them. */
    }
    for (std::thread &player : players) player.join();
    return !players.empty();
}

/* The value at percentile (0-100] by the nearest-rank rule, of sorted values. */
double percentile_of_sorted(const std::vector<double> &sorted, double percentile) {
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(std::ceil(percentile / 100.0 * static_cast<double>(sorted.size())));
    return sorted[rank == 0 ? 0 : rank - 1];
}

}  // namespace

bool SimLoadReference(int port, int timeout_ms, SimLoadCall *call, std::string *why) noexcept {
    try {
        call->expected.clear();
        *why = play_on_new_connection(port, timeout_ms, call->call, &call->expected);
        if (why->empty() && call->expected.empty()) *why = "the server sent no command";
        return why->empty();
    } catch (const std::exception &) {
        *why = "out of memory";
        return false;
    }
}

bool SimLoadRun(const SimLoadPlan &plan, SimLoadReport *report) noexcept {
    if (plan.calls < 1 || plan.concurrency < 1 || plan.rotation.empty()) return false;
    try {
        LoadRun run;
        run.plan = &plan;
        run.latencies_ms.assign(static_cast<size_t>(plan.calls), 0.0);
        Clock::time_point start = Clock::now();
        if (!run_players(&run, std::min(plan.concurrency, plan.calls))) return false;
        std::chrono::duration<double> took = Clock::now() - start;
        std::sort(run.latencies_ms.begin(), run.latencies_ms.end());
        report->calls = plan.calls;
        report->failures = run.failures;
        report->seconds = took.count();
        report->calls_per_second = took.count() > 0 ? plan.calls / took.count() : 0;
        report->p50_ms = percentile_of_sorted(run.latencies_ms, 50);
        report->p99_ms = percentile_of_sorted(run.latencies_ms, 99);
        report->first_failure = run.first_failure;
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

void SimLoadPrintReport(FILE *out, const SimLoadReport &report) noexcept {
    fprintf(out, "calls=%d failures=%d seconds=%.3f calls_per_s=%.1f p50_ms=%.3f p99_ms=%.3f\n",
            report.calls, report.failures, report.seconds, report.calls_per_second, report.p50_ms,
            report.p99_ms);
    if (!report.first_failure.empty()) fprintf(out, "first failure: %s\n", report.first_failure.c_str());
}
