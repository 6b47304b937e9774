/* quelmo-call: the call dispatcher and its worker threads. Each routed call is handed to
 * a detached worker that owns the call's descriptor, caller-ID record and rule list from
 * then on, drives the channel with raw AGI commands and releases everything itself. */
#include "quelmo-call.h"

#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "call_agi.h"
#include "dialplan.h"
#include "quelmo-paths.h"
#include "quelmo-utils.h"

namespace {

/* What one incoming forwarding worker holds while it runs the rules. */
struct IncomingWorker {
    FILE *call;          /* "w+" stream over the worker's descriptor; closing it closes that */
    int centrex;         /* non-zero: forwards to external numbers keep the Local channel */
    EXTENSION_INFO *cid; /* presented on forwards to external numbers; released (null) once
                            the first local forward has been written */
};

enum RuleForm { RING_RULE, LOCAL_FORWARD_RULE, PLAIN_RULE };

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

RuleForm classify_rule(const char *args) {
    if (strstr(args, "EXTEN") != nullptr) return RING_RULE;
    if (strstr(args, "@internal") != nullptr) return LOCAL_FORWARD_RULE;
    return PLAIN_RULE;
}

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

/* Heap text "Local/EXT@internal": rings the extension through the dial plan itself. */
char *make_default_device(const char *extension) {
    int length = snprintf(nullptr, 0, "Local/%s@internal", extension);
    char *device = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (device != nullptr) snprintf(device, static_cast<size_t>(length) + 1, "Local/%s@internal", extension);
    return device;
}

/* The extension's device text from the external, then the internal dial-plan file, or
 * the default. Caller frees it; null only when memory runs out. */
char *find_ring_device(char *extension) {
    char *device = nullptr;
    if (GetDEVfromConf(extension, const_cast<char *>(QUELMO_EXTERNAL_CONF), &device) == 0 &&
        GetDEVfromConf(extension, const_cast<char *>(QUELMO_INTERNAL_CONF), &device) == 0) {
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
    if (strncasecmp(device, "SIP/NOSUPPORT", 13) == 0) {
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

/* The number of forward args such as "Local/555-123@internal|30": after the first '/',
 * cut at the first '@' after it. Null, args untouched, when there is no '/'. */
char *cut_forward_number(char *args) {
    char *slash = strchr(args, '/');
    if (slash == nullptr) return nullptr;
    char *at = strchr(slash + 1, '@');
    if (at != nullptr) *at = '\0';
    return slash + 1;
}

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

/* Forwards the call through a Local channel. The reply to a forward to a number of the
 * external class is not read here: it stays on the connection for the next read.
 * Returns the result (0 when no reply was read). */
int run_local_forward_rule(IncomingWorker *worker, FORWARDING_INFO *rule) {
    char *number = cut_forward_number(rule->args);
    if (number == nullptr) return skip_malformed_rule(rule);
    quelmo_debugf("Forwarding to number: %s", number);
    bool external_class = IsExternalNumber(number) == 1;
    const char *suffix = "";
    if (number[0] != '\0' && number[1] >= '0' && number[1] <= '9' && external_class)
        suffix = prepare_external_forward(worker, number);
    else
        quelmo_debugf("Not external number");
    quelmo_debugf("exec %s Local/%s@internal%s", rule->app, number, suffix);
    bool written = WriteCallCommand(worker->call, "exec %s \"Local/%s@internal%s\"\n", rule->app,
                                    number, suffix) == 0;
    release_caller_id(&worker->cid);
    if (written && external_class) return 0;
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

/* Opens the call stream. Unbuffered: a buffered stream that has read ahead past the
 * reply it needed (an unread reply and the next one arriving together) cannot write on
 * a socket any more, since it tries to seek back over the unread bytes. Unbuffered, the
 * unread replies stay on the connection, oldest first, and each line goes out in one
 * write. */
FILE *open_call_stream(int descriptor) {
    FILE *call = fdopen(descriptor, "w+");
    if (call != nullptr) setvbuf(call, nullptr, _IONBF, 0);
    return call;
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

    worker.call = open_call_stream(descriptor);
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
