/* quelmo-call: one call from the accept to the close, on a thread of its own. The
 * dispatch reads the call's data and decides; the worker's part, on the same thread and
 * connection, forwards an incoming call rule by rule or sets an outgoing call's caller
 * ID. Incoming_Thread and Outgoing_Thread run that part on a thread of their own for a
 * caller that hands a call over. */
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
    int set_cid_at_once; /* the PBX lacks SetCIDName/SetCIDNum: set the caller ID with Set */
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
        SetCallerIDForPbx(worker->call, worker->cid, worker->set_cid_at_once);
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

namespace {

/* Runs the rules of an incoming call on worker's call stream, then sends the call to
 * priority 999. Takes rules and worker->cid: both are released here. */
void forward_call(IncomingWorker *worker, FORWARDING_LIST *rules) {
    release_rules(run_rules(worker, rules));
    release_caller_id(&worker->cid);
    quelmo_debugf("exec Goto \"999\"");
    WriteCallCommand(worker->call, "exec Goto \"999\"\n");
}

}  // namespace

void *Incoming_Thread(void *incoming_args) {
    pthread_detach(pthread_self());
    quelmo_debugf("Enter Incoming Thread");
    IncomingArgs *handoff = static_cast<IncomingArgs *>(incoming_args);
    int descriptor = handoff->ClientSock;
    FORWARDING_LIST *rules = handoff->rules;
    IncomingWorker worker = {nullptr, handoff->centrex, handoff->cid, handoff->set_cid_at_once};
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
    forward_call(&worker, rules);
    fclose(worker.call);
    quelmo_debugf("Exit Incoming Thread");
    return nullptr;
}

void *Outgoing_Thread(void *outgoing_args) {
    pthread_detach(pthread_self());
    quelmo_debug(const_cast<char *>("Enter Outgoing Thread"));
    OutgoingArgs *args = static_cast<OutgoingArgs *>(outgoing_args);
    int sock = args->ClientSock;
    EXTENSION_INFO *cid = args->extension;
    FILE *stream = OpenCallStream(sock);
    SetCallerIDForPbx(stream, cid, args->set_cid_at_once);
    release_caller_id(&cid);
    if (stream != nullptr)
        fclose(stream);
    else if (sock >= 0)
        close(sock);
    free(args);
    quelmo_debug(const_cast<char *>("Exit Outgoing Thread"));
    return nullptr;
}

namespace {

/* ---- Calls in progress ---- */

/* Calls accepted and not yet ended: raised before a call's thread is created, lowered
 * once the call is over (everything released, its last line logged). */
std::atomic<int> calls_in_progress{0};

/* What a call thread starts with, or is handed next. */
struct CallStart {
    int connection;
    char *server_id;
};

/* Call threads that have ended their call wait a while for the next one instead of ending:
 * a busy server then neither creates nor ends a thread (and maps and unmaps its stack) per
 * call. Each call still has a thread to itself from the accept to the close; a new thread
 * is created whenever no idle one is waiting. */
const int kIdleThreadWaitSeconds = 10;
const size_t kHandOffMax = 64;

/* The idle threads and the connections handed to them, under idle_mutex. Hand-offs never
 * outnumber the idle threads, so each is taken. */
struct IdleThreads {
    pthread_mutex_t mutex;
    pthread_cond_t handed;  /* a connection was handed over */
    int waiting;            /* threads waiting for a connection */
    CallStart hand_off[kHandOffMax];
    size_t handed_count;    /* connections in hand_off not taken yet */
};

IdleThreads idle = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, {}, 0};

/* Hands the connection to an idle call thread. False when none is free to take it. */
bool hand_to_idle_thread(const CallStart &start) {
    pthread_mutex_lock(&idle.mutex);
    bool handed = static_cast<size_t>(idle.waiting) > idle.handed_count &&
                  idle.handed_count < kHandOffMax;
    if (handed) {
        idle.hand_off[idle.handed_count++] = start;
        pthread_cond_signal(&idle.handed);
    }
    pthread_mutex_unlock(&idle.mutex);
    return handed;
}

/* Waits up to kIdleThreadWaitSeconds for a connection handed to this thread. False when
 * none came: the thread ends. (A change of the wall clock only ends or stretches an idle
 * wait, which harms no call.) */
bool take_next_call(CallStart *next) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += kIdleThreadWaitSeconds;
    pthread_mutex_lock(&idle.mutex);
    idle.waiting++;
    int waited = 0;
    while (idle.handed_count == 0 && waited != ETIMEDOUT)
        waited = pthread_cond_timedwait(&idle.handed, &idle.mutex, &until);
    idle.waiting--;
    bool taken = idle.handed_count > 0;
    if (taken) *next = idle.hand_off[--idle.handed_count];
    pthread_mutex_unlock(&idle.mutex);
    return taken;
}

/* A call thread: serves its call, then each call handed to it while it waits idle. */
void *run_call_thread(void *start_record) {
    CallStart start = *static_cast<CallStart *>(start_record);
    free(start_record);
    do {
        ClientProcessCall(start.connection, start.server_id);
        calls_in_progress.fetch_sub(1);
    } while (take_next_call(&start));
    return nullptr;
}

/* ---- Call dispatcher ---- */

/* How long a call waits in all for the environment block and the variable replies.
 * Asterisk sends both at once; a connection that does not would hold its thread and
 * descriptors for nothing. */
const int kReplyDeadlineMs = 3000;

const char kBlockedCallerId[] = "UNAVAILABLE";
const size_t kBlockedBufferSize = 12;
const size_t kShortNumberMax = 6;
const int kGlobalRecordKey = 0;

/* What the call does once its data is read: the worker's part. */
enum CallRoute { ROUTE_NONE, ROUTE_INCOMING, ROUTE_OUTGOING };

/* Everything one call owns, from the accept to the close, on the call's one thread.
 * release_call is its one release path; release_routing_data gives up the dispatch's
 * part (databases, session, variable texts) early, before the call rings. */
struct Call {
    char *server_id;         /* borrowed from the caller */
    const CallFiles *files;  /* where the databases and the database error log are */
    int connection;          /* the accepted descriptor; closed by closing call, or
                                directly when call could not be opened */
    ReplyDeadline deadline;  /* on the environment and the variable replies */
    FILE *in;                /* buffered reader of the environment; closing it leaves the
                                descriptor open */
    FILE *call;              /* the call stream: every command and reply after the
                                environment; closing it closes the descriptor */
    AGI_TOOLS tool;          /* the AGI session on in and call */
    bool tool_started;
    FILE *db_log;            /* database error log, or null */
    QUELMO_DBS dbs;
    bool dbs_open;
    char *extension;         /* EXTENSION (or EXTEN) value, or null */
    char *setcidonfwd;       /* SETCIDONFWD value, or null */
    bool dropped;            /* the reply deadline ran out and the drop was logged */
    CallRoute route;         /* what the worker's part does; ROUTE_NONE: nothing */
    int centrex;             /* incoming: the CENTREX variable as a number */
    EXTENSION_INFO *cid;     /* caller ID to present (incoming: on external forwards, or
                                null; outgoing: to set, never null) */
    FORWARDING_LIST *rules;  /* incoming: the extension's rules */
    int set_cid_at_once;     /* the PBX lacks SetCIDName/SetCIDNum: set the caller ID with Set */
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

int read_variable(Call *d, const char *name, char **value) {
    return GetVariableOn(d->call, const_cast<char *>(name), value);
}

void log_drop(Call *d) {
    if (d->dropped) return;
    d->dropped = true;
    quelmo_debug(const_cast<char *>("Call dropped: no reply from Asterisk within 3 s"));
}

/* Whether the reply deadline has run out; the drop is logged the first time. */
bool dropped_for_silence(Call *d) {
    if (!ReplyDeadlinePassed(&d->deadline)) return false;
    log_drop(d);
    return true;
}

/* Ends the reply deadline once the dispatch has read its last reply, before the worker's
 * part: a call rings as long as it rings. Returns false, the drop logged, when the
 * deadline ran out first. */
bool replies_complete(Call *d) {
    if (!DisarmReplyDeadline(&d->deadline)) return true;
    log_drop(d);
    return false;
}

EXTENSION_INFO *lookup_caller_id(Call *d, int key) {
    EXTENSION_INFO *record = nullptr;
    db_lookup_extension(&d->dbs, key, &record);
    return record;
}

/* Reads the connection for the environment stream, waiting no longer than the reply
 * deadline allows (then end of input). Leaves the descriptor open when the stream is
 * closed: the call stream owns it. */
ssize_t read_environment(void *cookie, char *buf, size_t size) {
    Call *d = static_cast<Call *>(cookie);
    if (!AwaitReply(&d->deadline, d->connection)) return 0;
    ssize_t n;
    do n = read(d->connection, buf, size);
    while (n < 0 && errno == EINTR);
    return n;
}

/* Opens the connection's two streams: a buffered one that reads the environment in one
 * go, and the call stream, which takes no more than one reply line at a time and so
 * leaves nothing unread behind for later reads. No process-wide stream is touched.
 * Returns false, with the failure logged, when a stream cannot be opened. */
bool open_call_streams(Call *d) {
    cookie_io_functions_t io = {read_environment, nullptr, nullptr, nullptr};
    d->in = fopencookie(d, "r", io);
    if (d->in != nullptr) d->call = OpenCallStreamWithDeadline(d->connection, &d->deadline);
    if (d->in == nullptr || d->call == nullptr) {
        quelmo_debugf("Enter ClientProcessCall failed with error: %s", strerror(errno));
        return false;
    }
    return true;
}

/* Starts the library's session on the connection: the environment is read from the
 * buffered stream, and commands would go out on the call stream. */
void start_session(Call *d) {
    AGITool_InitStreams(&d->tool, d->in, d->call);
    d->tool_started = true;
}

/* The longest environment text the "Asterisk call" line carries. */
const size_t kAsteriskFieldMax = 80;

/* Copies an environment text into field (kAsteriskFieldMax + 1 bytes) fit for one log
 * line: control characters left out, and of the rest at most kAsteriskFieldMax kept. */
void copy_log_field(const char *text, char *field) {
    size_t length = 0;
    for (; *text != '\0' && length < kAsteriskFieldMax; text++) {
        unsigned char c = static_cast<unsigned char>(*text);
        if (c >= 0x20 && c != 0x7f) field[length++] = *text;
    }
    field[length] = '\0';
}

/* Logs Asterisk's unique id and channel of the call, which its CDRs and its own log
 * carry too, so that the two logs can be joined. */
void log_asterisk_call(AGI_TOOLS *tool) {
    char id[kAsteriskFieldMax + 1], channel[kAsteriskFieldMax + 1];
    copy_log_field(AGITool_ListGetVal(tool->agi_vars, const_cast<char *>("agi_uniqueid")), id);
    copy_log_field(AGITool_ListGetVal(tool->agi_vars, const_cast<char *>("agi_channel")), channel);
    quelmo_debugf("Asterisk call %s on %s", id, channel);
}

/* Gives up what only the dispatch needs: the variable texts, the databases, the
 * database error log and the AGI session (the environment texts go with it). Safe to
 * call again. */
void release_routing_data(Call *d) {
    free(d->setcidonfwd);
    d->setcidonfwd = nullptr;
    free(d->extension);
    d->extension = nullptr;
    if (d->dbs_open) db_shutdown(&d->dbs);
    d->dbs_open = false;
    if (d->db_log != nullptr) fclose(d->db_log);
    d->db_log = nullptr;
    if (d->tool_started) AGITool_Destroy(&d->tool);
    d->tool_started = false;
}

/* Releases everything the call still holds; the descriptor is closed exactly once. */
void release_call(Call *d) {
    release_routing_data(d);
    release_caller_id(&d->cid);
    release_rules(d->rules);
    d->rules = nullptr;
    if (d->in != nullptr) fclose(d->in);
    d->in = nullptr;
    if (d->call != nullptr)
        fclose(d->call);
    else
        close(d->connection);
    d->call = nullptr;
}

/* Reads EXTENSION, or EXTEN when EXTENSION is unset. Returns false ("EXTEN is not
 * valid" logged) when neither gives a usable value. */
bool read_extension(Call *d) {
    int status = read_variable(d, "EXTENSION", &d->extension);
    if (status == 0) {
        free(d->extension);
        d->extension = nullptr;
        status = read_variable(d, "EXTEN", &d->extension);
    }
    if (status > 0) return true;
    if (!ReplyDeadlinePassed(&d->deadline)) quelmo_debug(const_cast<char *>("EXTEN is not valid"));
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

/* Whether the call's PBX sets the caller ID with Set at once: its environment holds
 * "agi_version", which every Asterisk without SetCIDName/SetCIDNum sends. */
int sets_cid_at_once(Call *d) {
    for (AGI_VAL_LIST *pair = d->tool.agi_vars; pair != nullptr; pair = pair->next)
        if (strcmp(pair->field, "agi_version") == 0) return 1;
    return 0;
}

/* Replaces the number of 'record' with the global record's, for an incoming call whose
 * caller gave a short number and whose extension has no number of its own. */
EXTENSION_INFO *fall_back_to_global(Call *d, EXTENSION_INFO *record) {
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
EXTENSION_INFO *incoming_caller_id_from_caller(Call *d, char *callerid) {
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
EXTENSION_INFO *incoming_caller_id_global(Call *d) {
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

/* Prepares the forwarding of an incoming call: its rules and the caller ID for forwards
 * to external numbers. Returns false on an early end. */
bool dispatch_incoming(Call *d, char *callerid) {
    quelmo_debugf("Incoming Call to %s", d->extension);
    if (db_lookup_forwarding_rules(&d->dbs, atoi(d->extension), &d->rules) != 0) {
        quelmo_debugf("Forwarding Disabled on %s", d->extension);
        return true;
    }
    char *centrex = nullptr;
    read_variable(d, "CENTREX", &centrex);
    d->centrex = number_of(centrex);
    free(centrex);
    if (!replies_complete(d)) return false;
    d->cid = number_of(d->setcidonfwd) != 0 ? incoming_caller_id_global(d)
                                             : incoming_caller_id_from_caller(d, callerid);
    d->set_cid_at_once = sets_cid_at_once(d);
    d->route = ROUTE_INCOMING;
    return true;
}

/* The caller ID an outgoing call presents: its extension's own record, else the global
 * number (for a short extension, or with SETCIDONFWD exactly 1), else Asterisk's own. */
EXTENSION_INFO *outgoing_caller_id(Call *d) {
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

/* Prepares the caller ID of an outgoing call. Returns false on an early end. */
bool dispatch_outgoing(Call *d) {
    quelmo_debugf("Outgoing Call from %s", d->extension);
    d->cid = outgoing_caller_id(d);
    if (d->cid == nullptr) {
        quelmo_debug(const_cast<char *>("Unable to allocate the caller ID of the call"));
        return false;
    }
    d->set_cid_at_once = sets_cid_at_once(d);
    d->route = ROUTE_OUTGOING;
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

/* Reads the call's data and decides what the worker's part does. Returns false on an
 * early end. */
bool route_call(Call *d) {
    if (!open_call_streams(d)) return false;
    start_session(d);
    log_asterisk_call(&d->tool);
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

/* The worker's part, on the call's own thread and stream: the forwarding rules of an
 * incoming call, or the caller ID of an outgoing one, as Incoming_Thread and
 * Outgoing_Thread run them on a thread of their own. Returns the exit line to log once
 * the connection is closed, or null when the call has no such part. */
const char *run_worker_part(Call *d) {
    if (d->route == ROUTE_INCOMING) {
        quelmo_debugf("Enter Incoming Thread");
        IncomingWorker worker = {d->call, d->centrex, d->cid, d->set_cid_at_once};
        d->cid = nullptr;
        FORWARDING_LIST *rules = d->rules;
        d->rules = nullptr;
        forward_call(&worker, rules);
        return "Exit Incoming Thread";
    }
    if (d->route == ROUTE_OUTGOING) {
        quelmo_debug(const_cast<char *>("Enter Outgoing Thread"));
        SetCallerIDForPbx(d->call, d->cid, d->set_cid_at_once);
        release_caller_id(&d->cid);
        return "Exit Outgoing Thread";
    }
    return nullptr;
}

}  // namespace

int CallsInProgress(void) { return calls_in_progress.load(); }

void StartCallThread(int clntSocket, char *server_id) {
    calls_in_progress.fetch_add(1);
    if (hand_to_idle_thread({clntSocket, server_id})) return;
    CallStart *start = static_cast<CallStart *>(malloc(sizeof(CallStart)));
    int result = ENOMEM;
    if (start != nullptr) {
        start->connection = clntSocket;
        start->server_id = server_id;
        pthread_attr_t detached;
        pthread_attr_init(&detached);
        pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        result = pthread_create(&thread, &detached, run_call_thread, start);
        pthread_attr_destroy(&detached);
    }
    if (result == 0) return;
    /* No call is lost for want of a thread: this one runs here, and the next accept waits. */
    free(start);
    quelmo_debugf("Unable to create a call thread: %s", strerror(result));
    ClientProcessCall(clntSocket, server_id);
    calls_in_progress.fetch_sub(1);
}

void ClientProcessCall(int clntSocket, char *server_id) {
    static const CallFiles daemon_files = {QUELMO_DB_PREFIX, QUELMO_DB_ERROR_LOG};
    ClientProcessCallWithFiles(clntSocket, server_id, &daemon_files);
}

void ClientProcessCallWithFiles(int clntSocket, char *server_id, const CallFiles *files) {
    quelmo_debugf("Enter ClientProcessCall (server_id=%s)", server_id);
    Call d;
    memset(&d, 0, sizeof(d));
    d.server_id = server_id;
    d.files = files;
    d.connection = clntSocket;
    d.route = ROUTE_NONE;
    ArmReplyDeadline(&d.deadline, kReplyDeadlineMs);
    bool normal_end = route_call(&d);
    if (!normal_end) d.route = ROUTE_NONE;
    /* The databases are given up before the call rings: a ringing call holds only its
     * connection. */
    release_routing_data(&d);
    if (normal_end) quelmo_debugf("Exit ClientProcessCall (server_id=%s)", server_id);
    const char *worker_exit = run_worker_part(&d);
    release_call(&d);
    if (worker_exit != nullptr) quelmo_debug(const_cast<char *>(worker_exit));
}
