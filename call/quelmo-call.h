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
    int set_cid_at_once;    /* the PBX lacks SetCIDName/SetCIDNum: set the caller ID with Set at once */
} IncomingArgs;

/* Hand-off to the outgoing caller-ID worker; owned by the worker once started. */
typedef struct OutgoingArgs {
    int ClientSock;            /* duplicate descriptor of the call's connection */
    EXTENSION_INFO *extension; /* the caller ID to set; never null */
    int set_cid_at_once;       /* the PBX lacks SetCIDName/SetCIDNum: set the caller ID with Set at once */
} OutgoingArgs;

/* Files the dispatcher opens for every call. */
typedef struct CallFiles {
    const char *db_prefix;    /* directory and start of the database file names */
    const char *db_error_log; /* database error log, opened for appending */
} CallFiles;

/* Dispatches one accepted connection. Takes clntSocket: it is closed on every path.
 * Waits at most 3 s in all for the environment block and the variable replies; past that
 * "Call dropped: no reply from Asterisk within 3 s" is logged and the call ends without
 * a worker. The worker it starts has no such limit. */
void ClientProcessCall(int clntSocket, char *server_id);

/* Workers started by the dispatcher that have not ended yet: calls still ringing or
 * being forwarded. Safe from any thread. */
int CallsInProgress(void);

/* ClientProcessCall with other files than the daemon's fixed ones (QUELMO_DB_PREFIX,
 * QUELMO_DB_ERROR_LOG), for quelmo.admin explain. files is borrowed for the call. */
void ClientProcessCallWithFiles(int clntSocket, char *server_id, const CallFiles *files);

/* Thread entry: sets the caller ID of an outgoing call. Takes an OutgoingArgs. */
void *Outgoing_Thread(void *outgoing_args);

/* Thread entry: forwards an incoming call rule by rule and sends it to priority 999.
 * Takes an IncomingArgs. */
void *Incoming_Thread(void *incoming_args);

/* ---- How the incoming worker reads a rule. quelmo.admin check judges rules with these,
 * so that it and the worker cannot disagree. ---- */

enum RuleForm { RING_RULE, LOCAL_FORWARD_RULE, PLAIN_RULE };

/* The form of a rule by its args: "EXTEN" makes a ring rule, else "@internal" a local
 * forward, else it is run as it stands. */
RuleForm classify_rule(const char *args);

/* Splits ring args such as "${EXTEN:205},20" in place into the extension text and the
 * delay, and gives the separator the rule uses ('|' or ','). Returns false, args
 * untouched, when the worker skips the rule as malformed. */
bool parse_ring_args(char *args, char **extension, char **delay, char *separator);

/* The number of forward args such as "Local/5551234@internal", cut in place; null, args
 * untouched, when the worker skips the rule as malformed. */
char *cut_forward_number(char *args);

/* The device text the worker rings for extension: from the external, then the internal
 * dial-plan file. Null when neither has one (the worker then rings Local/EXT@internal) or
 * memory runs out; otherwise the caller frees it. */
char *lookup_ring_device(char *extension);

/* Whether the worker skips a ring rule with this device text, which marks the extension
 * as having no phone: "SIP/NOSUPPORT" or "PJSIP/NOSUPPORT" in any letter case. */
bool is_unsupported_device(const char *device);

/* Whether a forward to number leaves the PBX and so presents the call's caller ID first:
 * the number is of the external class and its second character is a digit. */
bool is_external_forward(char *number);

#endif
