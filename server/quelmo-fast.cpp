/* quelmo.fast: entry point of the FastAGI server. Reads the command line, binds the
 * listening socket on 127.0.0.1, gives up its privileges, optionally becomes a daemon,
 * and hands each accepted connection to the call dispatcher on this thread. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "quelmo-call.h"
#include "quelmo-paths.h"
#include "quelmo-utils.h"

namespace {

/* The project version from CMake (QUELMO_VERSION), the same text the package carries. */
const char QUELMO_FAST_VERSION[] = QUELMO_VERSION;
const int kServerIdMax = 9;
const int kListenBacklog = 256;

struct StartOptions {
    char ServerID[kServerIdMax + 1];
    int port;
    int daemonize;
};

void print_usage() {
    fputs("Usage:  quelmo.fast [ -d ] <SERVER ID> <SERVER PORT>\n", stderr);
    fputs("        quelmo.fast -V\n", stderr);
}

/* Reads the command line. Returns -1 when the server should start, otherwise the exit
 * status after printing the version or the usage text. */
int parse_command_line(int argc, char **argv, StartOptions *options) {
    if (argc >= 2 && argc <= 4 && strcmp(argv[1], "-V") == 0) {
        fprintf(stderr, "quelmo.fast version %s\n", QUELMO_FAST_VERSION);
        return 0;
    }
    const char *id = nullptr, *port = nullptr;
    if (argc == 4 && strcmp(argv[1], "-d") == 0) {
        id = argv[2];
        port = argv[3];
        options->daemonize = 0;
    } else if ((argc == 3 || argc == 4) && strcmp(argv[1], "-d") != 0 &&
               strcmp(argv[1], "-V") != 0) {
        id = argv[1];
        port = argv[2];
        options->daemonize = 1;
    }
    /* A longer identifier is refused rather than cut: a cut one could name another
     * server's databases. */
    if (id == nullptr || strlen(id) > static_cast<size_t>(kServerIdMax)) {
        print_usage();
        return 1;
    }
    strcpy(options->ServerID, id);
    options->port = atoi(port);
    return -1;
}

/* Logs "<what>: <system error text>" and ends the process with status 1. */
[[noreturn]] void fail_with_errno(const char *what) {
    quelmo_debugf("%s: %s", what, strerror(errno));
    exit(1);
}

[[noreturn]] void fail(const char *message) {
    quelmo_debug(const_cast<char *>(message));
    exit(1);
}

int open_listener(int port) {
    int sock = socket(AF_INET, SOCK_STREAM, 6);
    if (sock < 0) fail("socket() failed");
    int reuse_addr = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse_addr, 4) != 0)
        fail_with_errno("setsockopt() failed");
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0)
        fail_with_errno("bind() failed");
    if (listen(sock, kListenBacklog) != 0) fail("listen() failed");
    return sock;
}

/* Accepts the next connection. Failures a loaded server meets in passing (a caller that
 * reset before accept, a full descriptor table, short memory) are retried, the latter
 * after 100 ms; any other failure ends the server. */
int accept_next(int listener) {
    for (;;) {
        struct sockaddr_in peer;
        socklen_t peer_length = 16;
        int sock = accept(listener, reinterpret_cast<struct sockaddr *>(&peer), &peer_length);
        if (sock >= 0) return sock;
        int error = errno;
        if (error == EINTR || error == ECONNABORTED) continue;
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            quelmo_debugf("accept() failed: %s", strerror(error));
            struct timespec pause = {0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
            continue;
        }
        fail("accept() failed");
    }
}

}  // namespace

int main(int argc, char **argv) {
    quelmo_init();
    StartOptions options;
    int status = parse_command_line(argc, argv, &options);
    if (status >= 0) return status;

    signal(SIGPIPE, sig_pipe);
    signal(SIGSEGV, sig_segfault);
    int listener = open_listener(options.port);
    if (setuid(QUELMO_RUN_UID) != 0) {
        quelmo_debugf("setuid(%d) failed", QUELMO_RUN_UID);
        exit(1);
    }
    if (options.daemonize == 1) {
        int ignored = daemon(0, 0);
        (void)ignored;
    }
    for (;;) ClientProcessCall(accept_next(listener), options.ServerID);
}
