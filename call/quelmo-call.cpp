/* quelmo-call: the call dispatcher and its worker threads. Each routed call is handed to
 * a detached worker that owns the call's descriptor, caller-ID record and rule list from
 * then on, drives the channel with raw AGI commands and releases everything itself. */
#include "quelmo-call.h"

#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cagi.h"
#include "call_agi.h"
#include "call_stream.h"
#include "dialplan.h"
#include "quelmo-paths.h"
#include "quelmo-utils.h"
#include "reply_deadline.h"

namespace {

/* What one incoming forwarding worker holds while it runs the rules. */
struct IncomingWorker {
    FILE *call;          /* call stream over the worker's descriptor; closing it closes that */
    int centrex;         /* non-zero: forwards to external numbers keep the Local channel */
    EXTENSION_INFO *cid; /* presented on forwards to external numbers; released (null) once
                            the first local forward has been written */
};

/* Argument separators of a ring rule: '|' of the old PBX syntax, ',' of the current one. */
const char kPipeSeparator = '|';
const char kCommaSeparator = ',';

void release_caller_id(EXTENSION_INFO **cid) {
    if (*cid == nullptr) return;
    free((*cid)->cidname);
    free((*cid)->cidnum);
    free(*cid);
    *cid = nullptr;
}

/* Frees one rule with its texts and its node; returns the next node. */
FORWARDING_LIST *release_rule(FORWARDING_LIST *node) {
    FORWARDING_LIST *next = static_cast<FORWARDING_LIST *>(node->next);
    free(node->dial_plan->app);
    free(node->dial_plan->args);
    free(node->dial_plan);
    free(node);
    return next;
}

void release_rules(FORWARDING_LIST *node) {
    while (node != nullptr) node = release_rule(node);
}

}  // namespace

RuleForm classify_rule(const char *args) {
    if (strstr(args, "EXTEN") != nullptr) return RING_RULE;
    if (strstr(args, "@internal") != nullptr) return LOCAL_FORWARD_RULE;
    return PLAIN_RULE;
}

namespace {

/* Reads the reply to the command just written, or counts a refused command as a reply
 * without "=". Logs and returns the result. */
int read_logged_result(FILE *call, bool written) {
    int result = written ? GetExecResult(call) : -1;
    quelmo_debugf("Return Status = %d", result);
    return result;
}

int skip_malformed_rule(const FORWARDING_INFO *rule) {
    quelmo_debugf("Malformed rule %s %s, skipped", rule->app, rule->args);
    return 0;
}

}  // namespace

/* Splits ring args such as "${EXTEN:205}|20" into the extension text (cut at the '}')
 * and the delay (after the last separator past the ':'). A rule without a '|' there but
 * with a ',' uses ',' as its separator, as current PBXes need. Returns false, and leaves
 * args untouched, when the ':', the '}' after it or a separator is missing. */
bool parse_ring_args(char *args, char **extension, char **delay, char *separator) {
    char *colon = strchr(args, ':');
    if (colon == nullptr) return false;
    char *close = strchr(colon + 1, '}');
    if (close == nullptr) return false;
    char *last = strrchr(colon + 1, kPipeSeparator);
    *separator = kPipeSeparator;
    if (last == nullptr) {
        last = strrchr(colon + 1, kCommaSeparator);
        *separator = kCommaSeparator;
    }
    if (last == nullptr) return false;
    *delay = last + 1;
    *extension = colon + 1;
    *close = '\0';
    return true;
}

namespace {

/* Heap text "Local/EXT@internal": rings the extension through the dial plan itself. */
char *make_default_device(const char *extension) {
    int length = snprintf(nullptr, 0, "Local/%s@internal", extension);
    char *device = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (device != nullptr) snprintf(device, static_cast<size_t>(length) + 1, "Local/%s@internal", extension);
    return device;
}

}  // namespace

char *lookup_ring_device(char *extension) {
    char *device = nullptr;
    if (GetDEVfromConf(extension, const_cast<char *>(QUELMO_EXTERNAL_CONF), &device) == 0)
        GetDEVfromConf(extension, const_cast<char *>(QUELMO_INTERNAL_CONF), &device);
    return device;
}

bool is_unsupported_device(const char *device) {
    return strncasecmp(device, "SIP/NOSUPPORT", 13) == 0 ||
           strncasecmp(device, "PJSIP/NOSUPPORT", 15) == 0;
}

namespace {

/* The extension's device text from the dial-plan files, or the default. Caller frees it;
 * null only when memory runs out. */
char *find_ring_device(char *extension) {
    char *device = lookup_ring_device(extension);
    if (device == nullptr) {
        quelmo_debugf("Could not find device information, using default syntax");
        device = make_default_device(extension);
    }
    return device;
}

/* Rings the devices of the rule's extension with its delay. Returns the result. */
int run_ring_rule(IncomingWorker *worker, FORWARDING_INFO *rule) {
    char *extension = nullptr;
    char *delay = nullptr;
    char separator = kPipeSeparator;
    if (!parse_ring_args(rule->args, &extension, &delay, &separator))
        return skip_malformed_rule(rule);
    char *device = find_ring_device(extension);
    if (device == nullptr) return -1;
    int result = 0;
    if (is_unsupported_device(device)) {
        quelmo_debugf("Found an UNSUPPORTED device, SKIP Ring w/Delay");
    } else {
        quelmo_debugf("exec %s %s%c%s%cr", rule->app, device, separator, delay, separator);
        bool written = WriteCallCommand(worker->call, "exec %s \"\"%s\"%c%s%cr\"\n", rule->app,
                                        device, separator, delay, separator) == 0;
        result = read_logged_result(worker->call, written);
    }
    free(device);
    return result;
}

}  // namespace

/* The number of forward args such as "Local/555-123@internal|30": after the first '/',
 * cut at the first '@' after it. An '@' in front of the '/' is not the number's end:
 * cutting there would leave "@internal" inside the number and send it twice. Null, args
 * untouched, when there is no '/'. */
char *cut_forward_number(char *args) {
    char *slash = strchr(args, '/');
    if (slash == nullptr) return nullptr;
    char *at = strchr(slash + 1, '@');
    if (at != nullptr) *at = '\0';
    return slash + 1;
}

bool is_external_forward(char *number) {
    return number[0] != '\0' && number[1] >= '0' && number[1] <= '9' &&
           IsExternalNumber(number) == 1;
}

namespace {

/* Before a forward that leaves the PBX: presents the held caller ID, and returns the
 * suffix that keeps the Local channel in the call's path when centrex is on. */
const char *prepare_external_forward(IncomingWorker *worker, const char *number) {
    if (worker->cid != nullptr) {
        quelmo_debugf("Forwarding to external number (%s) set CallerID", number);
        SetCallerID(worker->call, worker->cid);
    } else {
        quelmo_debugf("Skip SETCIDONFWD");
    }
    if (worker->centrex != 0) return "/n";
    quelmo_debugf("Skip CENTREX");
    return "";
}

/* Forwards the call through a Local channel and reads the reply, whatever the number's
 * class: Asterisk answers a forward only once its conversation has ended (-1 when it was
 * answered), and runs commands one after another, so an unread reply would let the next
 * rule reach the caller after the conversation. Returns the result. */
int run_local_forward_rule(IncomingWorker *worker, FORWARDING_INFO *rule) {
    char *number = cut_forward_number(rule->args);
    if (number == nullptr) return skip_malformed_rule(rule);
    quelmo_debugf("Forwarding to number: %s", number);
    const char *suffix = "";
    if (is_external_forward(number))
        suffix = prepare_external_forward(worker, number);
    else
        quelmo_debugf("Not external number");
    quelmo_debugf("exec %s Local/%s@internal%s", rule->app, number, suffix);
    bool written = WriteCallCommand(worker->call, "exec %s \"Local/%s@internal%s\"\n", rule->app,
                                    number, suffix) == 0;
    release_caller_id(&worker->cid);
    return read_logged_result(worker->call, written);
}

/* Runs the rule's application with its args as they stand. Returns the result. */
int run_plain_rule(IncomingWorker *worker, FORWARDING_INFO *rule) {
    quelmo_debugf("exec %s %s", rule->app, rule->args);
    bool written = WriteCallCommand(worker->call, "exec %s \"%s\"\n", rule->app, rule->args) == 0;
    return read_logged_result(worker->call, written);
}

int run_rule(IncomingWorker *worker, FORWARDING_INFO *rule) {
    switch (classify_rule(rule->args)) {
        case RING_RULE:
            return run_ring_rule(worker, rule);
        case LOCAL_FORWARD_RULE:
            return run_local_forward_rule(worker, rule);
        case PLAIN_RULE:
            break;
    }
    return run_plain_rule(worker, rule);
}

/* Runs rules in list order, releasing each once run, until one gives a result other
 * than 0. Returns the rules left unrun. */
FORWARDING_LIST *run_rules(IncomingWorker *worker, FORWARDING_LIST *rules) {
    int last_result = 0;
    while (rules != nullptr && last_result == 0) {
        last_result = run_rule(worker, rules->dial_plan);
        rules = release_rule(rules);
    }
    return rules;
}

}  // namespace

void *Incoming_Thread(void *incoming_args) {
    pthread_detach(pthread_self());
    quelmo_debugf("Enter Incoming Thread");
    IncomingArgs *handoff = static_cast<IncomingArgs *>(incoming_args);
    int descriptor = handoff->ClientSock;
    FORWARDING_LIST *rules = handoff->rules;
    IncomingWorker worker = {nullptr, handoff->centrex, handoff->cid};
    free(handoff);

    worker.call = OpenCallStream(descriptor);
    if (worker.call == nullptr) {
        int error = errno;
        quelmo_debugf("Enter Incoming Thread failed with error: %s", strerror(error));
        release_rules(rules);
        release_caller_id(&worker.cid);
        close(descriptor);
        quelmo_debugf("Exit Incoming Thread");
        return nullptr;
    }
    release_rules(run_rules(&worker, rules));
    release_caller_id(&worker.cid);
    quelmo_debugf("exec Goto \"999\"");
    WriteCallCommand(worker.call, "exec Goto \"999\"\n");
    fclose(worker.call);
    quelmo_debugf("Exit Incoming Thread");
    return nullptr;
}

namespace {

/* ---- Running workers ---- */

/* Workers started and not yet ended: raised before a worker thread is created, lowered
 * once its entry function has returned (everything released, its last line logged). */
std::atomic<int> running_workers{0};

/* What run_worker needs to call the worker's entry; freed by run_worker. */
struct WorkerStart {
    void *(*entry)(void *);
    void *args;
};

void *run_worker(void *start_record) {
    WorkerStart start = *static_cast<WorkerStart *>(start_record);
    free(start_record);
    start.entry(start.args);
    running_workers.fetch_sub(1);
    return nullptr;
}

/* Starts a worker thread on entry(args), counted in CallsInProgress while it runs.
 * Returns pthread_create's result; on failure args is still the caller's. */
int start_worker(void *(*entry)(void *), void *args) {
    WorkerStart *start = static_cast<WorkerStart *>(malloc(sizeof(WorkerStart)));
    if (start == nullptr) return ENOMEM;
    start->entry = entry;
    start->args = args;
    running_workers.fetch_add(1);
    pthread_t worker;
    int result = pthread_create(&worker, nullptr, run_worker, start);
    if (result != 0) {
        running_workers.fetch_sub(1);
        free(start);
    }
    return result;
}

/* ---- Call dispatcher and outgoing caller-ID worker ---- */

/* How long the dispatcher waits in all for the environment block and the variable
 * replies of one connection. Asterisk sends both at once; a connection that does not
 * would hold every later call. */
const int kReplyDeadlineMs = 3000;

const char kBlockedCallerId[] = "UNAVAILABLE";
const size_t kBlockedBufferSize = 12;
const size_t kShortNumberMax = 6;
const int kGlobalRecordKey = 0;

/* What one dispatch holds; released in one place (release_dispatch). */
struct Dispatch {
    char *server_id;
    const CallFiles *files;  /* where the databases and the database error log are */
    int connection;          /* the accepted descriptor, shared by in and out */
    FILE *saved_stdin;       /* the process's standard input before the call, put back */
    FILE *in;                /* reads the connection; closing it leaves the descriptor open */
    FILE *out;               /* writes the connection; closing it closes the descriptor */
    AGI_TOOLS tool;
    bool tool_started;
    FILE *db_log;            /* database error log, or null */
    QUELMO_DBS dbs;
    bool dbs_open;
    char *extension;         /* EXTENSION (or EXTEN) value, or null */
    char *setcidonfwd;       /* SETCIDONFWD value, or null */
    bool dropped;            /* the reply deadline ran out and the drop was logged */
};

char *copy_text(const char *text) {
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(malloc(size));
    if (copy != nullptr) memcpy(copy, text, size);
    return copy;
}

/* A new copy of the blocked caller ID in a buffer of its own. */
char *blocked_caller_id() {
    char *text = static_cast<char *>(calloc(1, kBlockedBufferSize));
    if (text != nullptr) memcpy(text, kBlockedCallerId, sizeof(kBlockedCallerId));
    return text;
}

/* Replaces both texts of 'record' with the blocked caller ID. */
void block_caller_id(EXTENSION_INFO *record) {
    free(record->cidname);
    free(record->cidnum);
    record->cidname = blocked_caller_id();
    record->cidnum = blocked_caller_id();
}

EXTENSION_INFO *new_caller_id() {
    return static_cast<EXTENSION_INFO *>(calloc(1, sizeof(EXTENSION_INFO)));
}

bool has_text(const char *text) { return text != nullptr && text[0] != '\0'; }

bool is_short_number(const char *text) { return strlen(text) <= kShortNumberMax; }

/* Reads a channel variable value as a number, as atoi does; none counts as 0. */
int number_of(const char *value) { return value == nullptr ? 0 : atoi(value); }

int read_variable(Dispatch *d, const char *name, char **value) {
    return GetVariable(dup(d->connection), const_cast<char *>(name), value);
}

void log_drop(Dispatch *d) {
    if (d->dropped) return;
    d->dropped = true;
    quelmo_debug(const_cast<char *>("Call dropped: no reply from Asterisk within 3 s"));
}

/* Whether the reply deadline has run out; the drop is logged the first time. */
bool dropped_for_silence(Dispatch *d) {
    if (!ReplyDeadlinePassed()) return false;
    log_drop(d);
    return true;
}

/* Ends the reply deadline once the dispatcher has read its last reply, before a worker
 * takes the connection over: workers wait as long as a call rings. Returns false, the
 * drop logged, when the deadline ran out first (the read side is then shut). */
bool replies_complete(Dispatch *d) {
    if (!DisarmReplyDeadline()) return true;
    log_drop(d);
    return false;
}

EXTENSION_INFO *lookup_caller_id(Dispatch *d, int key) {
    EXTENSION_INFO *record = nullptr;
    db_lookup_extension(&d->dbs, key, &record);
    return record;
}

/* Reads the connection without owning the descriptor: closing this stream leaves it
 * open, so the descriptor is closed exactly once, by the output stream. */
ssize_t read_connection(void *cookie, char *buf, size_t size) {
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    ssize_t n;
    do n = read(fd, buf, size);
    while (n < 0 && errno == EINTR);
    return n;
}

/* Opens the connection's two streams and points the process's standard input at the
 * input one, where the library reads the AGI environment. The standard output stays the
 * process's own: glibc's read of every unbuffered stream (the workers' call streams) locks
 * the stream stdout names, so a stdout that named this call's stream would be locked by
 * other threads while this one closes and frees it. Returns false, with the failure
 * logged, when the streams cannot be opened. */
bool attach_connection_streams(Dispatch *d) {
    cookie_io_functions_t io = {read_connection, nullptr, nullptr, nullptr};
    d->in = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(d->connection)), "r", io);
    if (d->in != nullptr) d->out = OpenWriteStream(d->connection);
    if (d->in == nullptr || d->out == nullptr) {
        quelmo_debugf("Enter ClientProcessCall failed with error: %s", strerror(errno));
        return false;
    }
    d->saved_stdin = stdin;
    stdin = d->in;
    return true;
}

/* Starts the library's session on the connection: the environment is read from the
 * standard input (the connection's), and commands go to the connection's output stream. */
void start_session(Dispatch *d) {
    AGITool_Init(&d->tool);
    d->tool.out = d->out;
    d->tool_started = true;
}

/* Gives the process its standard input back, then closes the streams and the connection,
 * its descriptor exactly once. */
void detach_connection_streams(Dispatch *d) {
    if (d->saved_stdin != nullptr) stdin = d->saved_stdin;
    if (d->in != nullptr) fclose(d->in);
    if (d->out != nullptr)
        fclose(d->out);
    else
        close(d->connection);
}

/* Releases everything the dispatch holds (steps common to the normal and early end). */
void release_dispatch(Dispatch *d) {
    free(d->setcidonfwd);
    free(d->extension);
    detach_connection_streams(d);
    if (d->dbs_open) db_shutdown(&d->dbs);
    if (d->db_log != nullptr) fclose(d->db_log);
    if (d->tool_started) AGITool_Destroy(&d->tool);
}

/* Reads EXTENSION, or EXTEN when EXTENSION is unset. Returns false ("EXTEN is not
 * valid" logged) when neither gives a usable value. */
bool read_extension(Dispatch *d) {
    int status = read_variable(d, "EXTENSION", &d->extension);
    if (status == 0) {
        free(d->extension);
        d->extension = nullptr;
        status = read_variable(d, "EXTEN", &d->extension);
    }
    if (status > 0) return true;
    if (!ReplyDeadlinePassed()) quelmo_debug(const_cast<char *>("EXTEN is not valid"));
    return false;
}

/* The caller's number within the caller-ID text: between the last '<' and the first '>'
 * after it (that '>' is overwritten in place), or the whole text without such a pair. A
 * display name may hold a '>' of its own, so the '>' is looked for after the '<'. */
char *caller_number(char *callerid) {
    char *open = strrchr(callerid, '<');
    if (open == nullptr || strchr(callerid, '>') == nullptr) return callerid;
    quelmo_debug(const_cast<char *>("Original CallerID from Asterisk 1.0.9"));
    char *close = strchr(open, '>');
    if (close == nullptr) return callerid;
    *close = '\0';
    return open + 1;
}

/* Replaces the number of 'record' with the global record's, for an incoming call whose
 * caller gave a short number and whose extension has no number of its own. */
EXTENSION_INFO *fall_back_to_global(Dispatch *d, EXTENSION_INFO *record) {
    EXTENSION_INFO *global = lookup_caller_id(d, kGlobalRecordKey);
    if (record == nullptr) record = new_caller_id();
    if (record == nullptr) {
        release_caller_id(&global);
        return nullptr;
    }
    free(record->cidnum);
    record->cidnum = nullptr;
    if (global != nullptr) {
        quelmo_debug(const_cast<char *>("Original CallerID Number set to Global CallerID Number"));
        if (global->cidnum != nullptr) {
            record->cidnum = copy_text(global->cidnum);
            if (!has_text(record->cidname)) {
                free(record->cidname);
                record->cidname = copy_text(global->cidnum);
            }
        }
    } else {
        quelmo_debug(const_cast<char *>(
            "Original Global CallerID Number not found: CallerID Number set to blocked"));
        block_caller_id(record);
    }
    release_caller_id(&global);
    return record;
}

/* A caller-ID text without a decimal digit ("unknown" or "anonymous" from a current
 * Asterisk for a call without caller ID, a name only, nothing) carries no caller number. */
bool holds_caller_number(const char *number) { return strpbrk(number, "0123456789") != nullptr; }

/* The caller ID presented on forwards to external numbers when SETCIDONFWD is 0. A caller
 * without a number is treated as a short caller: the called extension's record applies. */
EXTENSION_INFO *incoming_caller_id_from_caller(Dispatch *d, char *callerid) {
    quelmo_debugf("Original CallerID = %s", callerid);
    char *number = caller_number(callerid);
    bool has_number = holds_caller_number(number);
    if (!has_number) quelmo_debug(const_cast<char *>("Original CallerID holds no number"));
    if (has_number && !is_short_number(number)) {
        quelmo_debug(const_cast<char *>("Original CallerID on forward using CallerID from Caller"));
        EXTENSION_INFO *record = new_caller_id();
        if (record != nullptr) {
            record->cidname = copy_text(number);
            record->cidnum = copy_text(number);
        }
        return record;
    }
    EXTENSION_INFO *record = lookup_caller_id(d, atoi(d->extension));
    quelmo_debug(const_cast<char *>(
        record != nullptr ? "Original CallerID on forward using extension CallerID"
                          : "Original CallerID on forward extension CallerID not found"));
    if (record != nullptr && has_text(record->cidnum)) return record;
    return fall_back_to_global(d, record);
}

/* The caller ID presented on forwards to external numbers when SETCIDONFWD is set: the
 * global record as stored, or a blocked number (and no name) without one. */
EXTENSION_INFO *incoming_caller_id_global(Dispatch *d) {
    EXTENSION_INFO *global = lookup_caller_id(d, kGlobalRecordKey);
    if (global != nullptr) {
        quelmo_debug(const_cast<char *>("Global CallerID on forward"));
        return global;
    }
    quelmo_debug(const_cast<char *>(
        "Global CallerID Number not found: CallerID Number set to blocked"));
    EXTENSION_INFO *record = new_caller_id();
    if (record != nullptr) record->cidnum = blocked_caller_id();
    return record;
}

/* Prepares and starts the forwarding worker of an incoming call. Returns false on an
 * early end (everything prepared for the worker already released). */
bool dispatch_incoming(Dispatch *d, char *callerid) {
    quelmo_debugf("Incoming Call to %s", d->extension);
    FORWARDING_LIST *rules = nullptr;
    if (db_lookup_forwarding_rules(&d->dbs, atoi(d->extension), &rules) != 0) {
        quelmo_debugf("Forwarding Disabled on %s", d->extension);
        return true;
    }
    char *centrex = nullptr;
    read_variable(d, "CENTREX", &centrex);
    if (!replies_complete(d)) {
        free(centrex);
        release_rules(rules);
        return false;
    }
    EXTENSION_INFO *cid = number_of(d->setcidonfwd) != 0
                              ? incoming_caller_id_global(d)
                              : incoming_caller_id_from_caller(d, callerid);
    IncomingArgs *args = static_cast<IncomingArgs *>(calloc(1, sizeof(IncomingArgs)));
    if (args == nullptr) {
        quelmo_debug(const_cast<char *>("Unable to allocate IncomingArgs"));
        free(centrex);
        release_caller_id(&cid);
        release_rules(rules);
        return false;
    }
    args->ClientSock = dup(d->connection);
    args->cid = cid;
    args->rules = rules;
    args->centrex = number_of(centrex);
    free(centrex);
    if (start_worker(Incoming_Thread, args) != 0) {
        quelmo_debug(const_cast<char *>("Unable to create Incoming_Thread"));
        if (args->ClientSock >= 0) close(args->ClientSock);
        release_caller_id(&cid);
        release_rules(rules);
        free(args);
        return false;
    }
    return true;
}

/* The caller ID an outgoing call presents: its extension's own record, else the global
 * number (for a short extension, or with SETCIDONFWD exactly 1), else Asterisk's own. */
EXTENSION_INFO *outgoing_caller_id(Dispatch *d) {
    EXTENSION_INFO *record = nullptr;
    bool short_extension = is_short_number(d->extension);
    if (short_extension) {
        record = lookup_caller_id(d, atoi(d->extension));
        if (record == nullptr) quelmo_debug(const_cast<char *>("CallerID not found for EXTEN"));
    } else {
        quelmo_debug(const_cast<char *>("EXTEN is an outgoing number"));
    }
    if (record == nullptr) record = new_caller_id();
    if (record == nullptr || has_text(record->cidnum)) return record;
    if (number_of(d->setcidonfwd) != 1 && !short_extension) {
        quelmo_debug(const_cast<char *>("CallerID Number set to Original CallerID Number"));
        return record;
    }
    EXTENSION_INFO *global = lookup_caller_id(d, kGlobalRecordKey);
    free(record->cidnum);
    record->cidnum = nullptr;
    if (global != nullptr) {
        quelmo_debug(const_cast<char *>("CallerID Number set to Global CallerID Number"));
        if (global->cidnum != nullptr) record->cidnum = copy_text(global->cidnum);
    } else {
        quelmo_debug(const_cast<char *>(
            "Global CallerID Number not found: CallerID Number set to blocked"));
        block_caller_id(record);
    }
    release_caller_id(&global);
    return record;
}

/* Prepares and starts the caller-ID worker of an outgoing call. Returns false on an
 * early end (everything prepared for the worker already released). */
bool dispatch_outgoing(Dispatch *d) {
    quelmo_debugf("Outgoing Call from %s", d->extension);
    EXTENSION_INFO *cid = outgoing_caller_id(d);
    OutgoingArgs *args =
        cid != nullptr ? static_cast<OutgoingArgs *>(calloc(1, sizeof(OutgoingArgs))) : nullptr;
    if (args == nullptr) {
        quelmo_debug(const_cast<char *>("Unable to allocate OutgoingArgs"));
        release_caller_id(&cid);
        return false;
    }
    args->ClientSock = dup(d->connection);
    args->extension = cid;
    if (start_worker(Outgoing_Thread, args) != 0) {
        quelmo_debug(const_cast<char *>("Unable to create Outgoing_Thread"));
        if (args->ClientSock >= 0) close(args->ClientSock);
        release_caller_id(&cid);
        free(args);
        return false;
    }
    return true;
}

/* Opens the database error log for appending, created when missing (through
 * quelmo_open_log, so a rotation loses no line); null when it cannot be opened, as fopen's
 * "a" would give. A plain stream over the descriptor, because fopen's append mode also
 * seeks and stats the file for every call. */
FILE *open_db_log(const char *path) {
    int fd = quelmo_open_log(path);
    if (fd < 0) return nullptr;
    FILE *log = OpenWriteStream(fd);
    if (log == nullptr) close(fd);
    return log;
}

/* Reads the call's data and hands the call to its worker. Returns false on an early end. */
bool route_call(Dispatch *d) {
    if (!attach_connection_streams(d)) return false;
    start_session(d);
    if (dropped_for_silence(d)) return false;
    d->db_log = open_db_log(d->files->db_error_log);
    if (db_startup_at(&d->dbs, d->files->db_prefix, d->server_id, d->db_log) != 0) {
        quelmo_debug(const_cast<char *>("Cannot open database, Exiting gracefully."));
        return false;
    }
    d->dbs_open = true;
    char *callerid = AGITool_ListGetVal(d->tool.agi_vars, const_cast<char *>("agi_callerid"));
    char *context = AGITool_ListGetVal(d->tool.agi_vars, const_cast<char *>("agi_context"));
    if (!read_extension(d)) return !dropped_for_silence(d);
    read_variable(d, "SETCIDONFWD", &d->setcidonfwd);
    if (dropped_for_silence(d)) return false;
    if (strcmp(context, "macro-stdexten") == 0 || strcmp(context, "macro-stdphone") == 0)
        return dispatch_incoming(d, callerid);
    if (!replies_complete(d)) return false;
    return dispatch_outgoing(d);
}

}  // namespace

int CallsInProgress(void) { return running_workers.load(); }

void ClientProcessCall(int clntSocket, char *server_id) {
    static const CallFiles daemon_files = {QUELMO_DB_PREFIX, QUELMO_DB_ERROR_LOG};
    ClientProcessCallWithFiles(clntSocket, server_id, &daemon_files);
}

void ClientProcessCallWithFiles(int clntSocket, char *server_id, const CallFiles *files) {
    quelmo_debugf("Enter ClientProcessCall (server_id=%s)", server_id);
    Dispatch d;
    memset(&d, 0, sizeof(d));
    d.server_id = server_id;
    d.files = files;
    d.connection = clntSocket;
    if (!ArmReplyDeadline(clntSocket, kReplyDeadlineMs))
        quelmo_debug(const_cast<char *>("Reply deadline not armed: no watchdog thread"));
    bool normal_end = route_call(&d);
    /* Before the descriptor is closed: its number may be reused at once. */
    DisarmReplyDeadline();
    release_dispatch(&d);
    if (normal_end) quelmo_debugf("Exit ClientProcessCall (server_id=%s)", server_id);
}

void *Outgoing_Thread(void *outgoing_args) {
    pthread_detach(pthread_self());
    quelmo_debug(const_cast<char *>("Enter Outgoing Thread"));
    OutgoingArgs *args = static_cast<OutgoingArgs *>(outgoing_args);
    int sock = args->ClientSock;
    EXTENSION_INFO *cid = args->extension;
    FILE *stream = OpenCallStream(sock);
    SetCallerID(stream, cid);
    release_caller_id(&cid);
    if (stream != nullptr)
        fclose(stream);
    else if (sock >= 0)
        close(sock);
    free(args);
    quelmo_debug(const_cast<char *>("Exit Outgoing Thread"));
    return nullptr;
}
