/* quelmo.fast: entry point of the FastAGI server. Reads the command line, binds the
 * listening socket on 127.0.0.1, gives up root, optionally becomes a daemon, and hands
 * each accepted connection to a call thread of its own; this thread only accepts.
 * Accepts only while enough descriptors are left to serve the call, and stops on SIGTERM
 * or SIGINT once the running calls have ended (read through a signalfd on this thread:
 * no handler). Serves only connections whose other end belongs to an allowed user
 * (peer-owner). */
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "peer-owner.h"
#include "quelmo-call.h"
#include "quelmo-paths.h"
#include "quelmo-utils.h"

namespace {

/* The project version from CMake (QUELMO_VERSION), the same text the package carries. */
const char QUELMO_FAST_VERSION[] = QUELMO_VERSION;
const int kServerIdMax = 9;
const int kListenBacklog = 256;
/* Descriptors a new call needs besides those already open: its connection, the files
 * it opens at once (kCallFileOpens), with room to spare. */
const int kNewCallDescriptors = 8;
/* Files a running call may open at once besides its connection: while being dispatched
 * its two databases, the database error log and the debug log; while ringing the debug
 * log and a dial-plan file. Calls are dispatched at the same time, so every running call
 * keeps this many free for itself. */
const int kCallFileOpens = 4;
/* Far more than a running call ever holds: while even this many per call leaves room,
 * the descriptors are not counted before an accept. */
const int kCallDescriptorsAtMost = 16;
/* Step of the waits for free descriptors. */
const int kDescriptorWaitMs = 50;
/* How long a stop lets running calls finish. */
const int kStopWaitMs = 30 * 1000;
const int kStopPollMs = 100;

struct StartOptions {
    char ServerID[kServerIdMax + 1];
    int port;
    int daemonize;
    std::vector<const char *> allow_users; /* the words after each -a, in argv */
};

void print_usage() {
    fputs("Usage:  quelmo.fast [ -d ] [ -a USER ]... <SERVER ID> <SERVER PORT>\n", stderr);
    fputs("        quelmo.fast -V\n", stderr);
}

/* Reads the command line. Returns -1 when the server should start, otherwise the exit
 * status after printing the version or the usage text. "-d" counts only as the first
 * word; each "-a USER" follows it, before the operands. */
int parse_command_line(int argc, char **argv, StartOptions *options) {
    if (argc >= 2 && argc <= 4 && strcmp(argv[1], "-V") == 0) {
        fprintf(stderr, "quelmo.fast version %s\n", QUELMO_FAST_VERSION);
        return 0;
    }
    int next = 1;
    options->daemonize = argc > 1 && strcmp(argv[1], "-d") == 0 ? 0 : 1;
    if (options->daemonize == 0) next++;
    while (next + 1 < argc && strcmp(argv[next], "-a") == 0) {
        options->allow_users.push_back(argv[next + 1]);
        next += 2;
    }
    /* The operands; without -d one more word is accepted and ignored. */
    int operands = argc - next;
    const char *id = nullptr, *port = nullptr;
    if (operands == 2 || (operands == 3 && options->daemonize == 1)) {
        id = argv[next];
        port = argv[next + 1];
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

/* Raises the soft descriptor limit to the hard one: every ringing call holds one. A
 * failure is logged and the server goes on with the limit it has. */
void raise_descriptor_limit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        quelmo_debugf("setrlimit() failed: %s", strerror(errno));
}

/* The soft descriptor limit, capped to what an int holds. */
long descriptor_limit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur > 0x7fffffff) return 0x7fffffff;
    return static_cast<long>(limit.rlim_cur);
}

/* Gives up root for good once the socket is bound: the supplementary groups, the group
 * id, then the user id; in this order because without the user id root the group steps
 * are no longer allowed. A server started by an ordinary user with the configured group
 * skips the group steps, which it neither needs nor may take. Any failure ends the
 * server with status 1: it never runs with part of root's rights. */
void drop_privileges() {
    bool group_set = geteuid() != 0 && getgid() == static_cast<gid_t>(QUELMO_RUN_GID) &&
                     getegid() == static_cast<gid_t>(QUELMO_RUN_GID);
    if (!group_set) {
        if (setgroups(0, nullptr) != 0) fail_with_errno("setgroups() failed");
        if (setgid(QUELMO_RUN_GID) != 0) {
            quelmo_debugf("setgid(%d) failed: %s", QUELMO_RUN_GID, strerror(errno));
            exit(1);
        }
    }
    if (setuid(QUELMO_RUN_UID) != 0) {
        quelmo_debugf("setuid(%d) failed", QUELMO_RUN_UID);
        exit(1);
    }
    if (QUELMO_RUN_UID != 0 && setuid(0) == 0) fail("setuid(0) succeeded: root was not given up");
}

/* Blocks SIGTERM and SIGINT in this thread and so in every thread started later; they
 * are read from the descriptor open_stop_signals gives. REQUIRES: no thread runs yet. */
void block_stop_signals(sigset_t *signals) {
    sigemptyset(signals);
    sigaddset(signals, SIGTERM);
    sigaddset(signals, SIGINT);
    sigprocmask(SIG_BLOCK, signals, nullptr);
}

int open_stop_signals(const sigset_t *signals) {
    int descriptor = signalfd(-1, signals, SFD_CLOEXEC);
    if (descriptor < 0) fail_with_errno("signalfd() failed");
    return descriptor;
}

/* What the accept loop and the stop work with. */
struct Server {
    int listener;        /* listening socket, non-blocking */
    int stop_signals;    /* signalfd of SIGTERM and SIGINT */
    long limit;          /* soft descriptor limit */
    int open_at_start;   /* descriptors open before the first call */
    char *server_id;
    PeerCheck *peers;    /* who may connect; main's, used by this thread alone */
};

/* Takes a stop signal when one arrives within timeout_ms. Returns its number, or 0 when
 * none came. */
int take_stop_signal(int stop_signals, int timeout_ms) {
    struct pollfd wait = {stop_signals, POLLIN, 0};
    if (poll(&wait, 1, timeout_ms) <= 0) return 0;
    struct signalfd_siginfo info;
    if (read(stop_signals, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info))) return 0;
    return static_cast<int>(info.ssi_signo);
}

/* Descriptors the process has open, or -1 when they cannot be counted. */
int count_open_descriptors() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (struct dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.') count++;
    closedir(dir);
    return count - 1; /* the directory's own */
}

/* Whether one more call can be accepted while every running call can still open its
 * files. No descriptor left even for counting them is a shortage; a system without
 * /proc cannot tell, and accepts. */
bool enough_descriptors(const Server *server) {
    /* Counting costs a directory read per call: skipped while even a generous bound on
     * what the running calls hold leaves the reserve free. */
    long calls = static_cast<long>(CallsInProgress());
    long at_most = server->open_at_start + calls * kCallDescriptorsAtMost;
    if (server->open_at_start >= 0 && server->limit - at_most >= kNewCallDescriptors)
        return true;
    int open_now = count_open_descriptors();
    if (open_now < 0) return errno != EMFILE && errno != ENFILE;
    return server->limit - open_now >= kNewCallDescriptors + calls * kCallFileOpens;
}

/* Waits in short steps while descriptors are short; the calls meanwhile wait in the
 * listen queue. Returns false when a stop signal came meanwhile. */
bool wait_for_descriptors(const Server *server) {
    if (enough_descriptors(server)) return true;
    quelmo_debug(const_cast<char *>("Descriptors exhausted: calls wait"));
    do {
        if (take_stop_signal(server->stop_signals, kDescriptorWaitMs) != 0) return false;
    } while (!enough_descriptors(server));
    quelmo_debug(const_cast<char *>("Descriptors available again"));
    return true;
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
    /* Non-blocking: a caller that resets between poll and accept must not hold the loop. */
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
    return sock;
}

/* Accepts the next connection once enough descriptors are free. Failures a loaded
 * server meets in passing (a caller that reset before accept, a full descriptor table,
 * short memory) are retried, the latter after 100 ms; any other failure ends the server.
 * Returns the connection, or -1 when a stop signal came first. */
int accept_next(const Server *server) {
    for (;;) {
        if (!wait_for_descriptors(server)) return -1;
        struct pollfd waits[2] = {{server->listener, POLLIN, 0}, {server->stop_signals, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            fail_with_errno("poll() failed");
        }
        if (waits[1].revents != 0 && take_stop_signal(server->stop_signals, 0) != 0) return -1;
        if (waits[0].revents == 0) continue;
        struct sockaddr_in peer;
        socklen_t peer_length = 16;
        int sock = accept(server->listener, reinterpret_cast<struct sockaddr *>(&peer), &peer_length);
        if (sock >= 0) {
            /* Before a byte is read: another user's connection is closed unread. */
            if (peer_allowed(server->peers, &peer)) return sock;
            close(sock);
            continue;
        }
        int error = errno;
        if (error == EINTR || error == ECONNABORTED || error == EAGAIN || error == EWOULDBLOCK)
            continue;
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            quelmo_debugf("accept() failed: %s", strerror(error));
            if (take_stop_signal(server->stop_signals, 100) != 0) return -1;
            continue;
        }
        fail("accept() failed");
    }
}

/* The users served: root, the user that starts the server, "asterisk" when there is one,
 * and each -a USER. Resolved now, before the change of user id. An unknown -a user ends
 * the start with status 1 and a message on standard error. */
std::vector<uid_t> allowed_users(const StartOptions &options) {
    std::vector<uid_t> allowed = {0, getuid()};
    if (struct passwd *asterisk = getpwnam("asterisk")) allowed.push_back(asterisk->pw_uid);
    for (const char *user : options.allow_users) {
        uid_t uid = 0;
        if (peer_user_id(user, &uid) != 0) {
            fprintf(stderr, "quelmo.fast: -a %s: no such user\n", user);
            exit(1);
        }
        allowed.push_back(uid);
    }
    return allowed;
}

/* Opens the owner check for the bound listener; a kernel that cannot name a connection's
 * owner ends the start with status 1 (the reason is in the debug log). */
void open_peer_check(int listener, const std::vector<uid_t> &allowed, PeerCheck *peers) {
    struct sockaddr_in bound;
    socklen_t length = sizeof(bound);
    if (getsockname(listener, reinterpret_cast<struct sockaddr *>(&bound), &length) != 0)
        fail_with_errno("getsockname() failed");
    if (peer_check_open(peers, &bound, allowed.data(), allowed.size()) != 0) exit(1);
}

/* Ends the process by a second stop signal, as that signal's default action does. */
[[noreturn]] void stop_at_once(int signo) {
    quelmo_debugf("Stopping at once: %d calls cut off", CallsInProgress());
    signal(signo, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signo);
    _exit(128 + signo);
}

/* The orderly stop after the first SIGTERM or SIGINT: new calls are refused at once,
 * running calls get up to 30 s to finish their rules; a second signal ends it at once.
 * Ends the process with status 0. */
[[noreturn]] void stop_serving(Server *server) {
    close(server->listener);
    quelmo_debugf("Stopping: %d calls in progress", CallsInProgress());
    long long give_up = quelmo_monotonic_ms() + kStopWaitMs;
    while (CallsInProgress() > 0) {
        long long left = give_up - quelmo_monotonic_ms();
        if (left <= 0) {
            quelmo_debugf("Stop time over: %d calls cut off", CallsInProgress());
            quelmo_debug(const_cast<char *>("Stopped"));
            /* Without exit handlers: the cut-off calls still use what they would free. */
            _exit(0);
        }
        int signo = take_stop_signal(server->stop_signals,
                                     static_cast<int>(left < kStopPollMs ? left : kStopPollMs));
        if (signo != 0) stop_at_once(signo);
    }
    quelmo_debug(const_cast<char *>("Stopped"));
    exit(0);
}

}  // namespace

int main(int argc, char **argv) {
    quelmo_init();
    StartOptions options;
    int status = parse_command_line(argc, argv, &options);
    if (status >= 0) return status;
    std::vector<uid_t> allowed = allowed_users(options);

    signal(SIGPIPE, sig_pipe);
    signal(SIGSEGV, sig_segfault);
    sigset_t stop_signals;
    block_stop_signals(&stop_signals);
    Server server;
    server.listener = open_listener(options.port);
    PeerCheck peers;
    open_peer_check(server.listener, allowed, &peers);
    server.peers = &peers;
    raise_descriptor_limit();
    drop_privileges();
    if (options.daemonize == 1) {
        int ignored = daemon(0, 0);
        (void)ignored;
    }
    /* After daemon(): the descriptor is this process's, and threads start only later. */
    server.stop_signals = open_stop_signals(&stop_signals);
    quelmo_open_logs_at_start();
    server.limit = descriptor_limit();
    server.open_at_start = count_open_descriptors();
    server.server_id = options.ServerID;
    for (int connection; (connection = accept_next(&server)) >= 0;)
        StartCallThread(connection, server.server_id);
    stop_serving(&server);
}
