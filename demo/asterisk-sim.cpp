/* asterisk-sim: a small Asterisk simulator for trying quelmo.fast without a PBX. It
 * connects to the server as Asterisk's FastAGI client does, sends the AGI environment of
 * one call, answers every command the server sends, and prints each exchange. In load
 * mode it plays many sample calls at once and prints throughput, latency and failures. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "pbx-sim.h"
#include "sim-load.h"

namespace {

void print_usage() {
    fputs("Usage:  asterisk-sim PORT CONTEXT EXTENSION CALLERID [VARIABLE=VALUE ...]\n"
          "        asterisk-sim --load PORT [--calls N] [--concurrency C]\n"
          "                     [--kind outgoing|incoming|ringing|mixed] [--ring MS]\n"
          "                     [--reply-delay-us N]\n"
          "        asterisk-sim --free-port\n"
          "Connects to quelmo.fast on 127.0.0.1:PORT as one call. Channel variables given\n"
          "as VARIABLE=VALUE are answered to GET VARIABLE; any other variable is unset.\n"
          "It plays a current Asterisk: the environment holds agi_version 20.20.1, and\n"
          "every application the server runs answers result 0, but SetCIDName and\n"
          "SetCIDNum, which a current PBX no longer has (result -2).\n"
          "\n"
          "--load plays N sample calls (default 1000), C at a time (default 8): outgoing\n"
          "calls placed by extension 206, incoming calls to extension 205 (which ring its\n"
          "phone, then forward outside), incoming calls to extension 206 (which only ring\n"
          "its phone), or outgoing and incoming calls in turn (mixed, the default), on the\n"
          "sample data of scripts/demo. Each Dial is answered after MS milliseconds of\n"
          "ringing (default 0). With --reply-delay-us every reply to a command is held\n"
          "back N microseconds, as a busy PBX does; the environment goes out at once.\n"
          "One call of each kind is played alone first; every later call must get the\n"
          "same command lines. Prints\n"
          "  calls=N failures=F seconds=S calls_per_s=R p50_ms=A p99_ms=B\n"
          "(latency from connect to the server's close) and exits 1 when a call failed.\n",
          stderr);
}

/* Prints a port of 127.0.0.1 that is free at this moment. */
int print_free_port() {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        fprintf(stderr, "asterisk-sim: no free port: %s\n", strerror(errno));
        return 1;
    }
    printf("%d\n", ntohs(address.sin_port));
    close(sock);
    return 0;
}

int connect_to_server(int port) {
    int sock = SimConnect(port);
    if (sock < 0) fprintf(stderr, "asterisk-sim: cannot connect to 127.0.0.1:%d: %s\n", port, strerror(errno));
    return sock;
}

/* A call of scripts/demo's sample data as the load mode plays it: the channel's own
 * extension is EXTENSION's answer. */
SimLoadCall sample_call(const char *context, const char *extension, const char *callerid,
                        const char *own_extension, int ring_ms, int reply_delay_us) {
    SimLoadCall load_call;
    load_call.call.context = context;
    load_call.call.extension = extension;
    load_call.call.callerid = callerid;
    load_call.call.variables["EXTENSION"] = own_extension;
    load_call.call.ring_ms = ring_ms;
    load_call.call.reply_delay_us = reply_delay_us;
    return load_call;
}

const int kCountMax = 100000000;
const int kPortMax = 65535;

/* A whole number from minimum to maximum from text; false for anything else. */
bool parse_count(const char *text, int minimum, int maximum, int *value) {
    char *end = nullptr;
    errno = 0;
    long number = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < minimum || number > maximum)
        return false;
    *value = static_cast<int>(number);
    return true;
}

/* Reads the load mode's options (argv[2] is the port) into plan. False on a bad option. */
bool parse_load_options(int argc, char **argv, SimLoadPlan *plan) {
    if (argc < 3 || !parse_count(argv[2], 1, kPortMax, &plan->port)) return false;
    plan->calls = 1000;
    plan->concurrency = 8;
    std::string kind = "mixed";
    int ring_ms = 0;
    int reply_delay_us = 0;
    for (int i = 3; i < argc; i += 2) {
        if (i + 1 >= argc) return false;
        std::string option = argv[i];
        const char *value = argv[i + 1];
        bool ok = true;
        if (option == "--calls")
            ok = parse_count(value, 1, kCountMax, &plan->calls);
        else if (option == "--concurrency")
            ok = parse_count(value, 1, kCountMax, &plan->concurrency);
        else if (option == "--ring")
            ok = parse_count(value, 0, kCountMax, &ring_ms);
        else if (option == "--reply-delay-us")
            ok = parse_count(value, 0, kCountMax, &reply_delay_us);
        else if (option == "--kind")
            kind = value;
        else
            ok = false;
        if (!ok) return false;
    }
    /* Extension 206 places an outgoing call; a caller rings extension 205, whose rules
     * ring its phone and then forward the call, or extension 206, whose one rule rings. */
    if (kind == "outgoing" || kind == "mixed")
        plan->rotation.push_back(
            sample_call("from-internal", "5559876543", "206", "206", ring_ms, reply_delay_us));
    if (kind == "incoming" || kind == "mixed")
        plan->rotation.push_back(
            sample_call("macro-stdexten", "205", "\"Carol\" <5551234567>", "205", ring_ms,
                        reply_delay_us));
    if (kind == "ringing")
        plan->rotation.push_back(
            sample_call("macro-stdexten", "206", "\"Carol\" <5551234567>", "206", ring_ms,
                        reply_delay_us));
    return !plan->rotation.empty();
}

int run_load(int argc, char **argv) {
    SimLoadPlan plan;
    if (!parse_load_options(argc, argv, &plan)) {
        print_usage();
        return 2;
    }
    for (SimLoadCall &load_call : plan.rotation) {
        std::string why;
        if (!SimLoadReference(plan.port, plan.reply_timeout_ms, &load_call, &why)) {
            fprintf(stderr, "asterisk-sim: the call played alone first (context %s) failed: %s\n",
                    load_call.call.context.c_str(), why.c_str());
            return 1;
        }
    }
    SimLoadReport report;
    if (!SimLoadRun(plan, &report)) {
        fputs("asterisk-sim: cannot start the load\n", stderr);
        return 1;
    }
    SimLoadPrintReport(stdout, report);
    return report.failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--free-port") == 0) return print_free_port();
    if (argc >= 2 && strcmp(argv[1], "--load") == 0) return run_load(argc, argv);
    if (argc < 5) {
        print_usage();
        return 2;
    }
    SimCall call;
    call.context = argv[2];
    call.extension = argv[3];
    call.callerid = argv[4];
    /* The process id tells the calls of separate runs apart, as Asterisk's counter does. */
    SimNameCall(&call, static_cast<long>(time(nullptr)), static_cast<unsigned long>(getpid()));
    for (int i = 5; i < argc; i++) {
        const char *equals = strchr(argv[i], '=');
        if (equals == nullptr) {
            print_usage();
            return 2;
        }
        call.variables[std::string(argv[i], static_cast<size_t>(equals - argv[i]))] = equals + 1;
    }
    int sock = connect_to_server(atoi(argv[1]));
    if (sock < 0) return 1;
    SimTranscript transcript;
    int status = SimPlayCall(sock, call, &transcript);
    SimPrintTranscript(stdout, call, transcript);
    close(sock);
    return status == 0 ? 0 : 1;
}
