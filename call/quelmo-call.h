/* quelmo-call: the calls of the daemon. StartCallThread gives each accepted connection a
 * detached thread of its own, which runs the whole call: the dispatch (environment,
 * databases, channel variables, the decision) and then the worker's part (forwarding
 * rules or caller ID). Also the two workers as thread entries of their own. */
#ifndef QUELMO_CALL_H
#define QUELMO_CALL_H

#include "quelmo-db.h"

/* Hand-off to the incoming forwarding worker on a thread of its own. Everything in it
 * belongs to the worker once the thread has started; the worker frees it all and closes
 * ClientSock. */
typedef struct IncomingArgs {
    int ClientSock;         /* descriptor of the call's connection */
    int centrex;            /* the CENTREX channel variable as a number */
    EXTENSION_INFO *cid;    /* caller ID for forwards to external numbers, or null */
    FORWARDING_LIST *rules; /* the extension's forwarding rules, in stored order */
    int set_cid_at_once;    /* the PBX lacks SetCIDName/SetCIDNum: set the caller ID with Set at once */
} IncomingArgs;

/* Hand-off to the outgoing caller-ID worker; owned by the worker once started. */
typedef struct OutgoingArgs {
    int ClientSock;            /* descriptor of the call's connection; the worker closes it */
    EXTENSION_INFO *extension; /* the caller ID to set; never null */
    int set_cid_at_once;       /* the PBX lacks SetCIDName/SetCIDNum: set the caller ID with Set at once */
} OutgoingArgs;

/* Files the dispatch opens for every call. */
typedef struct CallFiles {
    const char *db_prefix;    /* directory and start of the database file names */
    const char *db_error_log; /* database error log, opened for appending */
} CallFiles;

/* Runs one whole call on the calling thread and returns when it is over. Takes
 * clntSocket: it is closed on every path. Waits at most 3 s in all for the environment
 * block and the variable replies; past that "Call dropped: no reply from Asterisk within
 * 3 s" is logged and the call ends without the worker's part. Ringing and forwards have
 * no such limit. Every line the call logs carries the calling thread's id. */
void ClientProcessCall(int clntSocket, char *server_id);

/* Hands an accepted connection to a thread of its own that runs ClientProcessCall on it:
 * a call thread idle since its last call (it waits 10 s for the next one), or else a new
 * detached thread. The call is counted in CallsInProgress from before the hand-over until
 * it is over. Takes clntSocket. When no thread can be created, "Unable to create a call thread:
 * %s" is logged and the call runs on the calling thread before this returns. server_id
 * must stay valid while calls run. */
void StartCallThread(int clntSocket, char *server_id);

/* Calls started by StartCallThread that have not ended yet: calls being dispatched,
 * ringing or being forwarded. Safe from any thread. */
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
