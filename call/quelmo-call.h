/* quelmo-call: the call dispatcher and the two worker threads. The dispatcher runs on the
 * accepting thread for one connection at a time and hands each routed call, with
 * everything prepared for it, to a detached worker that owns it from then on. */
#ifndef QUELMO_CALL_H
#define QUELMO_CALL_H

#include "quelmo-db.h"

/* Hand-off to the incoming forwarding worker. Everything in it belongs to the worker
 * once the thread has started; the worker frees it all and closes ClientSock. */
typedef struct IncomingArgs {
    int ClientSock;         /* duplicate descriptor of the call's connection */
    int centrex;            /* the CENTREX channel variable as a number */
    EXTENSION_INFO *cid;    /* caller ID for forwards to external numbers, or null */
    FORWARDING_LIST *rules; /* the extension's forwarding rules, in stored order */
} IncomingArgs;

/* Hand-off to the outgoing caller-ID worker; owned by the worker once started. */
typedef struct OutgoingArgs {
    int ClientSock;            /* duplicate descriptor of the call's connection */
    EXTENSION_INFO *extension; /* the caller ID to set; never null */
} OutgoingArgs;

/* Dispatches one accepted connection. Takes clntSocket: it is closed on every path. */
void ClientProcessCall(int clntSocket, char *server_id);

/* Thread entry: sets the caller ID of an outgoing call. Takes an OutgoingArgs. */
void *Outgoing_Thread(void *outgoing_args);

/* Thread entry: forwards an incoming call rule by rule and sends it to priority 999.
 * Takes an IncomingArgs. */
void *Incoming_Thread(void *incoming_args);

#endif
