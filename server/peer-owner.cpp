/* peer-owner: the owner of a connection's other end, from the kernel's socket diagnostics.
 * The other end of a connection to 127.0.0.1 is a socket on this host; an inet_diag_req_v2
 * naming it by its exact addresses and ports (the accepted connection's, reversed) gets
 * one inet_diag_msg back, whose idiag_uid is the user that created it. */
#include "peer-owner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "quelmo-utils.h"

namespace {

const long kRefusalLineMs = 1000;

/* Failures of a lookup besides the system's own error numbers. */
const int kSocketClosed = -1;   /* found, but no process holds it any more */
const int kMalformedReply = -2; /* the reply did not answer the request */

const char *failure_text(int failure) {
    if (failure == ENOENT) return "no such socket: the caller has gone";
    if (failure == kSocketClosed) return "the caller has already closed its socket";
    if (failure == kMalformedReply) return "the kernel's reply does not answer the request";
    return strerror(failure);
}

/* Logs "Call refused: " and 'what', at most one line a second per kind of refusal: a
 * line after a pause says how many were refused since the kind's last line. */
void log_refusal(RefusalLog *log, const char *what) {
    log->unlogged++;
    long long now = quelmo_monotonic_ms();
    if (log->last_line_ms >= 0 && now - log->last_line_ms < kRefusalLineMs) return;
    if (log->unlogged == 1)
        quelmo_debugf("Call refused: %s", what);
    else
        quelmo_debugf("Call refused: %s (%lu refused since the last such line)", what, log->unlogged);
    log->unlogged = 0;
    log->last_line_ms = now;
}

struct DiagRequest {
    struct nlmsghdr header;
    struct inet_diag_req_v2 body;
};

/* Sends the request for the TCP socket whose own end is 'socket_end' and whose other end
 * is 'other_end'. Returns 0 or the system's error number. */
int send_request(PeerCheck *check, const struct sockaddr_in *socket_end,
                 const struct sockaddr_in *other_end) {
    DiagRequest request;
    memset(&request, 0, sizeof(request));
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = ++check->sequence;
    request.body.sdiag_family = AF_INET;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0U;
    request.body.id.idiag_sport = socket_end->sin_port;
    request.body.id.idiag_dport = other_end->sin_port;
    request.body.id.idiag_src[0] = socket_end->sin_addr.s_addr;
    request.body.id.idiag_dst[0] = other_end->sin_addr.s_addr;
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    for (;;) {
        if (send(check->diag, &request, sizeof(request), 0) == static_cast<ssize_t>(sizeof(request)))
            return 0;
        if (errno != EINTR) return errno;
    }
}

/* Reads the owner out of one reply message of the current request. Returns 0 and sets
 * *owner, or a failure. */
int read_answer(const struct nlmsghdr *message, const struct sockaddr_in *socket_end,
                const struct sockaddr_in *other_end, uid_t *owner) {
    if (message->nlmsg_type == NLMSG_ERROR) {
        if (message->nlmsg_len < NLMSG_LENGTH(sizeof(struct nlmsgerr))) return kMalformedReply;
        int error = -static_cast<const struct nlmsgerr *>(NLMSG_DATA(message))->error;
        return error > 0 ? error : kMalformedReply;
    }
    if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        message->nlmsg_len < NLMSG_LENGTH(sizeof(struct inet_diag_msg)))
        return kMalformedReply;
    const struct inet_diag_msg *found = static_cast<const struct inet_diag_msg *>(NLMSG_DATA(message));
    /* Only the socket asked for counts: never a listener that happens to hold the port. */
    if (found->idiag_family != AF_INET || found->id.idiag_sport != socket_end->sin_port ||
        found->id.idiag_dport != other_end->sin_port ||
        found->id.idiag_src[0] != socket_end->sin_addr.s_addr ||
        found->id.idiag_dst[0] != other_end->sin_addr.s_addr)
        return kMalformedReply;
    /* A socket no process holds (closed, or in TIME_WAIT) is reported without an inode,
     * and with user id 0 in TIME_WAIT: it cannot name who connected. */
    if (found->idiag_inode == 0) return kSocketClosed;
    *owner = found->idiag_uid;
    return 0;
}

/* Looks up who owns the TCP socket with own end 'socket_end' and other end 'other_end'.
 * Returns 0 and sets *owner, or a failure (a system error number or one of the k values). */
int look_up_owner(PeerCheck *check, const struct sockaddr_in *socket_end,
                  const struct sockaddr_in *other_end, uid_t *owner) {
    int failure = send_request(check, socket_end, other_end);
    if (failure != 0) return failure;
    /* The kernel answers within send(), so the reply is waiting: a read that would block
     * means there is none, and must not hold the accept loop. Replies to earlier requests
     * (none are expected) are passed over by their sequence number. */
    alignas(struct nlmsghdr) char buffer[8192];
    for (;;) {
        ssize_t size = recv(check->diag, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (size < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        int length = static_cast<int>(size);
        for (const struct nlmsghdr *message = reinterpret_cast<const struct nlmsghdr *>(buffer);
             NLMSG_OK(message, length); message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_seq == check->sequence)
                return read_answer(message, socket_end, other_end, owner);
        }
    }
}

bool is_allowed(const PeerCheck *check, uid_t owner) {
    for (size_t i = 0; i < check->allowed_count; i++)
        if (check->allowed[i] == owner) return true;
    return false;
}

void close_check(PeerCheck *check) {
    if (check->diag >= 0) close(check->diag);
    check->diag = -1;
    free(check->allowed);
    check->allowed = nullptr;
    check->allowed_count = 0;
}

/* The sockets of the start-up probe, closed together by close_probe. */
struct Probe {
    int listener;
    int caller;
    int accepted;
    struct sockaddr_in listener_address; /* where the caller connected */
    struct sockaddr_in caller_address;   /* the caller's end, as accept gave it */
};

void close_probe(Probe *probe) {
    for (int descriptor : {probe->accepted, probe->caller, probe->listener})
        if (descriptor >= 0) close(descriptor);
}

/* Connects a throw-away pair on 127.0.0.1, the listener on a port the system picks.
 * Returns null, or the name of the call that failed (errno tells why). */
const char *connect_probe(Probe *probe) {
    probe->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    probe->caller = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    probe->accepted = -1;
    if (probe->listener < 0 || probe->caller < 0) return "socket()";
    struct sockaddr_in *address = &probe->listener_address;
    memset(address, 0, sizeof(*address));
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(*address);
    struct sockaddr *as_socket = reinterpret_cast<struct sockaddr *>(address);
    if (bind(probe->listener, as_socket, sizeof(*address)) != 0) return "bind()";
    if (listen(probe->listener, 1) != 0) return "listen()";
    if (getsockname(probe->listener, as_socket, &length) != 0) return "getsockname()";
    if (connect(probe->caller, as_socket, sizeof(*address)) != 0) return "connect()";
    length = sizeof(probe->caller_address);
    probe->accepted = accept(probe->listener,
                             reinterpret_cast<struct sockaddr *>(&probe->caller_address), &length);
    return probe->accepted < 0 ? "accept()" : nullptr;
}

/* One connection to a throw-away listener, looked up as every call is: the answer must
 * name this process's effective user. (Not the server's own port: a caller that connects
 * during the start must not be taken by the probe.) Returns 0, or -1 after logging why. */
int probe_kernel(PeerCheck *check) {
    Probe probe;
    const char *failed_call = connect_probe(&probe);
    int result = -1;
    uid_t owner = 0;
    if (failed_call != nullptr) {
        quelmo_debugf("Owner check not started: %s failed: %s", failed_call, strerror(errno));
    } else if (int failure = look_up_owner(check, &probe.caller_address,
                                           &probe.listener_address, &owner)) {
        quelmo_debugf("Socket diagnostics (NETLINK_SOCK_DIAG) cannot name who connects: %s;"
                      " the server does not start", failure_text(failure));
    } else if (owner != geteuid()) {
        quelmo_debugf("Socket diagnostics named uid %u as the owner of the server's own"
                      " connection; the server does not start", static_cast<unsigned>(owner));
    } else {
        result = 0;
    }
    close_probe(&probe);
    return result;
}

}  // namespace

int peer_user_id(const char *user, uid_t *uid) {
    if (user[0] != '\0' && strspn(user, "0123456789") == strlen(user)) {
        errno = 0;
        char *end = nullptr;
        unsigned long long number = strtoull(user, &end, 10);
        /* (uid_t)-1 means "no user" to the system calls. */
        if (errno != 0 || number >= static_cast<unsigned long long>(static_cast<uid_t>(-1))) return -1;
        *uid = static_cast<uid_t>(number);
        return 0;
    }
    struct passwd *entry = getpwnam(user);
    if (entry == nullptr) return -1;
    *uid = entry->pw_uid;
    return 0;
}

int peer_check_open(PeerCheck *check, const struct sockaddr_in *listener, const uid_t *allowed,
                    size_t allowed_count) {
    check->sequence = 0;
    check->local = *listener;
    check->by_user = {-1, 0};
    check->unknown = {-1, 0};
    check->allowed_count = allowed_count;
    check->allowed = static_cast<uid_t *>(malloc((allowed_count + 1) * sizeof(uid_t)));
    check->diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (check->allowed == nullptr || check->diag < 0) {
        quelmo_debugf("Owner check not started: socket(AF_NETLINK, NETLINK_SOCK_DIAG) failed: %s",
                      check->allowed == nullptr ? "out of memory" : strerror(errno));
        close_check(check);
        return -1;
    }
    if (allowed_count > 0) memcpy(check->allowed, allowed, allowed_count * sizeof(uid_t));
    /* Connected to the kernel, so each request is a plain send. */
    struct sockaddr_nl kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    if (connect(check->diag, reinterpret_cast<struct sockaddr *>(&kernel), sizeof(kernel)) != 0) {
        quelmo_debugf("Owner check not started: connect(AF_NETLINK) failed: %s", strerror(errno));
        close_check(check);
        return -1;
    }
    if (probe_kernel(check) != 0) {
        close_check(check);
        return -1;
    }
    return 0;
}

bool peer_allowed(PeerCheck *check, const struct sockaddr_in *peer) {
    uid_t owner = 0;
    int failure = look_up_owner(check, peer, &check->local, &owner);
    char what[128];
    if (failure != 0) {
        snprintf(what, sizeof(what), "owner of the connection unknown: %s", failure_text(failure));
        log_refusal(&check->unknown, what);
        return false;
    }
    if (is_allowed(check, owner)) return true;
    snprintf(what, sizeof(what), "connection from uid %u", static_cast<unsigned>(owner));
    log_refusal(&check->by_user, what);
    return false;
}
