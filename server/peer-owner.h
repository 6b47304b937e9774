/* peer-owner: which local user owns the other end of a connection accepted on 127.0.0.1,
 * and whether that user may be served. Owns one netlink NETLINK_SOCK_DIAG socket, kept open
 * for the server's life, and the list of user ids that are served. Called by quelmo.fast's
 * accepting thread alone, right after accept and before anything is read; the connections
 * stay the caller's. quelmo.admin check uses peer_user_id to read the same user names. */
#ifndef PEER_OWNER_H
#define PEER_OWNER_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

/* At most one refusal line a second: the refusals in between are counted. */
struct RefusalLog {
    long long last_line_ms; /* monotonic time of the last line; -1 before the first */
    unsigned long unlogged; /* refusals since that line, not yet in the log */
};

/* Everything the owner check of the accept loop holds. */
struct PeerCheck {
    int diag;                 /* NETLINK_SOCK_DIAG socket, owned; -1 when not open */
    uint32_t sequence;        /* sequence number of the last request sent */
    struct sockaddr_in local; /* the listener's address: the own end of every connection */
    uid_t *allowed;           /* user ids that are served: heap array, owned */
    size_t allowed_count;     /* entries of allowed */
    RefusalLog by_user;       /* "Call refused: connection from uid %u" lines */
    RefusalLog unknown;       /* refusals because the owner could not be learned */
};

/* Reads a user as -a takes it: decimal digits are a user id (the passwd file need not know
 * it), anything else a user name looked up with getpwnam. Returns 0 and sets *uid, or -1
 * when the name is unknown or the number is no valid user id. */
int peer_user_id(const char *user, uid_t *uid);

/* Opens the netlink socket and copies the allowed ids, then proves that the kernel can
 * name a connection's owner: it connects to a throw-away listener on 127.0.0.1, accepts,
 * and looks the connection up, which must name this process's effective user. On failure
 * logs the reason with quelmo_debug, closes what it opened and returns -1; 0 otherwise.
 * 'listener' is the address the server's listening socket is bound to. REQUIRES: check is
 * not open. */
int peer_check_open(PeerCheck *check, const struct sockaddr_in *listener, const uid_t *allowed,
                    size_t allowed_count);

/* Whether the connection from 'peer' (the address accept gave) to the listener belongs to
 * an allowed user. One request and one reply on the netlink socket. A connection from
 * another user is refused and logged, rate-limited: "Call refused: connection from uid %u".
 * When the owner cannot be learned (the socket has gone, or the kernel does not answer)
 * the connection is refused too and the reason logged: the check fails closed. The caller
 * keeps the connection and closes it when refused. */
bool peer_allowed(PeerCheck *check, const struct sockaddr_in *peer);

#endif
