/* admin-calls: quelmo.admin calls (see the header). Every line of one call carries the
 * call's process and thread id, so a call is the run of lines of one thread from "Enter
 * ClientProcessCall (server_id=ID)" to the line that ends the thread's work. The texts
 * matched here are the daemon's own log texts; the tests play calls through the daemon's
 * call code and read its log back, so a text changed there fails them. */
#include "admin-calls.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "quelmo-paths.h"

namespace {

const char *const PROGRAM = "quelmo.admin";

/* Finished calls cut by the start of the files whose process has not yet shown its
 * server may wait this long (in calls queued behind them) to learn it; then they are
 * shown. Keeps the queue bounded when that process logs no call start at all. */
const size_t kUnknownServerWait = 1000;

/* ---- Text helpers ---- */

bool starts_with(const char *text, const char *prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

bool ends_with(const std::string &text, const char *suffix) {
    size_t n = strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

/* A text from the log fit for one output field: control characters (TAB among them)
 * shown as '?', so a field can neither break a line nor a tab-separated record. */
std::string printable(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

/* The text without one pair of enclosing double quotes. */
std::string unquoted(const std::string &text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        return text.substr(1, text.size() - 2);
    return text;
}

/* ---- Log lines: "Mon DD HH:MM:SS [pid] [thread]: message" ---- */

const char *const MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const size_t kTimeTextLength = 15;

struct LogLine {
    const char *time_text; /* the line's first 15 characters */
    int month;             /* 0-11 */
    long pid;
    unsigned long tid;
    std::string message;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int month_of(const char *text) {
    for (int m = 0; m < 12; m++)
        if (strncmp(text, MONTHS[m], 3) == 0) return m;
    return -1;
}

/* Whether text starts with "Mon DD HH:MM:SS". */
bool parse_time_text(const char *text, size_t length, int *month) {
    if (length < kTimeTextLength) return false;
    static const char shape[] = "Mmm 99 99:99:99";
    for (size_t i = 3; i < kTimeTextLength; i++) {
        if (shape[i] == '9' ? !is_digit(text[i]) : text[i] != shape[i]) return false;
    }
    *month = month_of(text);
    return *month >= 0;
}

/* Splits one line of the daemon's log; false for any other line. */
bool parse_log_line(const char *text, size_t length, LogLine *line) {
    if (!parse_time_text(text, length, &line->month)) return false;
    line->time_text = text;
    const char *end = text + length;
    const char *p = text + kTimeTextLength;
    if (end - p < 2 || p[0] != ' ' || p[1] != '[') return false;
    p += 2;
    char *after = nullptr;
    if (!is_digit(*p)) return false;
    line->pid = strtol(p, &after, 10);
    if (after >= end - 3 || strncmp(after, "] [", 3) != 0) return false;
    p = after + 3;
    if (!isxdigit(static_cast<unsigned char>(*p))) return false;
    line->tid = strtoul(p, &after, 16);
    if (after > end - 3 || strncmp(after, "]: ", 3) != 0) return false;
    p = after + 3;
    line->message.assign(p, static_cast<size_t>(end - p));
    return true;
}

/* The year of a file's lines, from its modification time as syslog readers take it: a
 * line of a later month than the file's last change belongs to the year before. */
struct FileClock {
    int year = 1970;
    int month = 0;
    char cached_text[kTimeTextLength] = {0};
    time_t cached = 0;
};

time_t time_of(FileClock *clock, const LogLine &line) {
    if (memcmp(clock->cached_text, line.time_text, kTimeTextLength) == 0) return clock->cached;
    const char *t = line.time_text;
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = (line.month > clock->month ? clock->year - 1 : clock->year) - 1900;
    tm.tm_mon = line.month;
    tm.tm_mday = atoi(t + 4);
    tm.tm_hour = atoi(t + 7);
    tm.tm_min = atoi(t + 10);
    tm.tm_sec = atoi(t + 13);
    tm.tm_isdst = -1;
    memcpy(clock->cached_text, t, kTimeTextLength);
    clock->cached = mktime(&tm);
    return clock->cached;
}

/* ---- One call ---- */

enum Direction { UNKNOWN_DIRECTION, INCOMING, OUTGOING };

/* The command whose "Return Status" line is awaited. */
enum PendingCommand { NO_COMMAND, CID_NAME_COMMAND, CID_NUM_COMMAND, RING_COMMAND, FORWARD_COMMAND, PLAIN_COMMAND };

struct CallStory {
    long pid = 0;
    unsigned long tid = 0;
    bool cut_at_start = false;     /* its first lines lie before the files read */
    bool finished = false;         /* its last line was read, or it was cut */
    std::string cut;               /* why its end is missing, in words ("cut by the end of the
                                      log"); "" when it ended in the log */
    time_t start = 0;              /* its first line (the first line read, when cut at start) */
    time_t last = 0;               /* its latest line */
    Direction direction = UNKNOWN_DIRECTION;
    std::string extension;         /* called (incoming) or calling (outgoing) extension */
    std::string caller;            /* caller ID text Asterisk gave, when logged */
    std::string call_id;           /* Asterisk's unique id of the call */
    std::vector<std::string> steps; /* what the call's rules did, in words, in order */
    std::string ended_early;       /* why the call ended before its work; "" when it did not */
    bool forwarded = false;
    bool forward_answered = false;
    /* Reading state. */
    bool dispatch_over = false;    /* "Exit ClientProcessCall" read */
    bool worker_due = false;       /* the call was handed to its incoming or outgoing work */
    bool worker_over = false;      /* that work's exit line read */
    bool no_reply = false;         /* a variable read got no reply: Asterisk hung up */
    bool ring_next = false;        /* the next command rings the device just looked up */
    bool forward_next = false;     /* the next command other than caller ID is a forward */
    std::string forward_number;
    PendingCommand pending = NO_COMMAND;
    std::string pending_text;      /* device, caller-ID text or "APP ARGS" of that command */
    std::string cid_name, cid_num; /* caller ID presented (since the last forward began) */
    int cid_refused = 0;           /* result of a caller-ID command Asterisk refused, or 0 */
};

std::string caller_id_words(const CallStory &call) {
    if (!call.cid_name.empty() && !call.cid_num.empty())
        return "\"" + call.cid_name + "\" <" + call.cid_num + ">";
    if (!call.cid_name.empty()) return "\"" + call.cid_name + "\"";
    if (!call.cid_num.empty()) return "<" + call.cid_num + ">";
    return "";
}

/* A Dial's result in words: 0 returns to the rules (nobody answered), -1 ends them (the
 * call was answered and is over, or the caller hung up). */
std::string result_words(int result) {
    if (result == 0) return "no answer";
    if (result == -1) return "answered";
    return "result " + std::to_string(result);
}

/* Notes the command of an "exec APP ARGS" line, whose result comes on a later line. */
void note_command(CallStory *call, const std::string &command) {
    size_t space = command.find(' ');
    std::string app = command.substr(0, space);
    std::string args = space == std::string::npos ? "" : command.substr(space + 1);
    std::string value = unquoted(args);
    call->pending_text.clear();
    if (app == "SetCIDName" || (app == "Set" && starts_with(value.c_str(), "CALLERID(name)="))) {
        call->pending = CID_NAME_COMMAND;
        call->pending_text = app == "Set" ? value.substr(15) : value;
    } else if (app == "SetCIDNum" || (app == "Set" && starts_with(value.c_str(), "CALLERID(num)="))) {
        call->pending = CID_NUM_COMMAND;
        call->pending_text = app == "Set" ? value.substr(14) : value;
    } else if (app == "Goto" && args == "\"999\"") {
        call->pending = NO_COMMAND; /* the end of the rules: no reply is read */
    } else if (call->forward_next) {
        call->forward_next = false;
        call->pending = FORWARD_COMMAND;
        call->pending_text = call->forward_number;
    } else if (call->ring_next && args.size() >= 3) {
        /* "DEVICE<sep>DELAY<sep>r": the separator is the one before the final 'r'. */
        call->ring_next = false;
        call->pending = RING_COMMAND;
        char separator = args[args.size() - 2];
        size_t cut = args.rfind(separator, args.size() - 3);
        call->pending_text = args.substr(0, cut == std::string::npos ? args.size() : cut);
    } else {
        call->pending = PLAIN_COMMAND;
        call->pending_text = command;
    }
}

/* Takes the result of the pending command into the call's story. */
void note_result(CallStory *call, int result) {
    switch (call->pending) {
        case CID_NAME_COMMAND:
        case CID_NUM_COMMAND:
            if (result == 0)
                (call->pending == CID_NAME_COMMAND ? call->cid_name : call->cid_num) = call->pending_text;
            else if (result != -2) /* -2: the old application is gone; Set follows */
                call->cid_refused = result;
            break;
        case RING_COMMAND:
            call->steps.push_back("rang " + call->pending_text + ": " + result_words(result));
            break;
        case FORWARD_COMMAND: {
            std::string as = caller_id_words(*call);
            call->steps.push_back("forwarded to " + call->pending_text + (as.empty() ? "" : " as " + as) +
                                  ": " + result_words(result));
            call->forwarded = true;
            if (result == -1) call->forward_answered = true;
            break;
        }
        case PLAIN_COMMAND:
            call->steps.push_back("ran " + call->pending_text + ": result " + std::to_string(result));
            break;
        case NO_COMMAND:
            break;
    }
    call->pending = NO_COMMAND;
}

/* A line of the daemon that ends the call at once, with the reason in words, or null. */
const char *early_end_of(const std::string &message) {
    static const struct {
        const char *prefix;
        const char *words;
    } ends[] = {{"Call dropped: no reply from Asterisk within 3 s", "no reply from Asterisk within 3 s"},
                {"Cannot open database, Exiting gracefully.", "database missing"},
                {"Unable to allocate ", "the daemon could not start the call's work (out of memory)"},
                {"Unable to create Incoming_Thread", "the daemon could not start the call's work (no thread)"},
                {"Unable to create Outgoing_Thread", "the daemon could not start the call's work (no thread)"},
                {"Enter ClientProcessCall failed with error: ", "the connection could not be used"}};
    for (const auto &end : ends)
        if (starts_with(message.c_str(), end.prefix)) return end.words;
    return nullptr;
}

/* Takes one line of the call into its story; sets finished when it ends the call. */
void apply_message(CallStory *call, const std::string &message) {
    const char *m = message.c_str();
    if (const char *words = early_end_of(message)) {
        call->ended_early = words;
        call->finished = true;
    } else if (starts_with(m, "Asterisk call ")) {
        std::string rest = message.substr(14);
        call->call_id = rest.substr(0, rest.find(" on "));
    } else if (starts_with(m, "Exit GetVariable (status = ")) {
        if (atoi(m + 27) < 0 && ends_with(message, " = EMPTY)")) call->no_reply = true;
    } else if (starts_with(m, "Incoming Call to ")) {
        call->direction = INCOMING;
        call->extension = message.substr(17);
        call->worker_due = true;
    } else if (starts_with(m, "Outgoing Call from ")) {
        call->direction = OUTGOING;
        call->extension = message.substr(19);
        call->worker_due = true;
    } else if (starts_with(m, "Forwarding Disabled on ")) {
        call->steps.push_back("forwarding disabled");
        call->worker_due = false;
    } else if (starts_with(m, "Original CallerID = ")) {
        call->caller = message.substr(20);
    } else if (message == "EXTEN is not valid") {
        call->ended_early = call->no_reply ? "Asterisk hung up" : "no extension (EXTENSION and EXTEN unset or empty)";
    } else if (message == "Enter Incoming Thread" || message == "Enter Outgoing Thread") {
        call->worker_due = true;
    } else if (message == "Exit Incoming Thread" || message == "Exit Outgoing Thread") {
        call->worker_over = true;
    } else if (starts_with(m, "Exit ClientProcessCall (server_id=")) {
        call->dispatch_over = true;
    } else if (starts_with(m, "Enter GetDEVfromConf ") || starts_with(m, "Could not find device information")) {
        call->ring_next = true;
    } else if (starts_with(m, "Found an UNSUPPORTED device")) {
        call->ring_next = false;
        call->steps.push_back("skipped a ring: phone marked unsupported");
    } else if (starts_with(m, "Forwarding to number: ")) {
        call->forward_number = message.substr(22);
        call->forward_next = true;
        call->cid_name.clear();
        call->cid_num.clear();
    } else if (starts_with(m, "Malformed rule ")) {
        call->steps.push_back("skipped malformed rule " + message.substr(15, message.size() - 15 - (ends_with(message, ", skipped") ? 9 : 0)));
    } else if (starts_with(m, "Enter Incoming Thread failed with error: ")) {
        call->steps.push_back("its connection could not be used: " + message.substr(41));
    } else if (message == "Refused AGI command with a line break") {
        call->steps.push_back("a command holding a line break was refused");
    } else if (starts_with(m, "exec ")) {
        note_command(call, message.substr(5));
    } else if (starts_with(m, "Return Status = ")) {
        note_result(call, atoi(m + 16));
    } else if (starts_with(m, "Caught SIGSEGV")) {
        call->cut = "cut where its thread crashed (SIGSEGV)";
        call->finished = true;
    }
    /* The work's exit line is the thread's last one; a call cut by the start of the files
     * may have begun after its "Exit ClientProcessCall". */
    if ((call->dispatch_over || call->cut_at_start) && call->worker_over) call->finished = true;
    if (call->dispatch_over && !call->worker_due) call->finished = true;
}

/* Whether a message is one only a call's thread writes, so that such a line on a thread
 * without an open call shows a call cut by the start of the files. */
bool is_call_message(const std::string &message) {
    static const char *const prefixes[] = {
        "Asterisk call ", "Enter GetVariable ", "Exit GetVariable ", "Incoming Call to ",
        "Outgoing Call from ", "Original CallerID", "Global CallerID", "CallerID ", "EXTEN ",
        "Forwarding", "Enter Incoming Thread", "Enter Outgoing Thread", "Exit Incoming Thread",
        "Exit Outgoing Thread", "Exit ClientProcessCall", "exec ", "Return Status = ",
        "Enter GetDEVfromConf", "Exit GetDEVfromConf", "Skip ", "Not external number",
        "Could not find device", "Found an UNSUPPORTED", "Malformed rule ", "Call dropped",
        "Cannot open database", "Unable to allocate ", "Unable to create Incoming_Thread",
        "Unable to create Outgoing_Thread"};
    for (const char *prefix : prefixes)
        if (starts_with(message.c_str(), prefix)) return true;
    return false;
}

/* ---- Output ---- */

struct Totals {
    long calls = 0, incoming = 0, outgoing = 0, forwarded = 0, answered = 0, ended_early = 0,
         cut = 0, skipped_lines = 0;
};

std::string outcome_of(const CallStory &call) {
    std::string text;
    if (!call.ended_early.empty()) {
        text = "ended early: " + call.ended_early;
    } else if (call.no_reply && !call.cut_at_start) {
        text = "ended early: Asterisk hung up";
    } else {
        std::vector<std::string> steps = call.steps;
        if (call.pending == RING_COMMAND) steps.push_back("ringing " + call.pending_text);
        if (call.pending == FORWARD_COMMAND) steps.push_back("forwarding to " + call.pending_text);
        if (call.pending == PLAIN_COMMAND) steps.push_back("running " + call.pending_text);
        if (call.direction == OUTGOING && (call.worker_over || !call.cid_name.empty() || !call.cid_num.empty())) {
            std::string as = caller_id_words(call);
            if (!as.empty())
                steps.push_back("presented " + as);
            else if (call.cid_refused != 0)
                steps.push_back("caller ID refused by Asterisk (result " + std::to_string(call.cid_refused) + ")");
            else
                steps.push_back("left Asterisk's caller ID");
        }
        if (call.direction == INCOMING && steps.empty() && call.worker_over) steps.push_back("no rule ran");
        for (size_t i = 0; i < steps.size(); i++) text += (i > 0 ? "; " : "") + steps[i];
    }
    std::string cut;
    if (call.cut_at_start) cut = "cut by the start of the log";
    if (!call.cut.empty()) cut += (cut.empty() ? "" : ", ") + call.cut;
    if (cut.empty()) return text;
    return text.empty() ? cut : cut + ": " + text;
}

std::string local_time_text(time_t when) {
    struct tm tm;
    char text[32] = "";
    if (localtime_r(&when, &tm) != nullptr) strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

const char *direction_words(Direction direction) {
    return direction == INCOMING ? "incoming" : direction == OUTGOING ? "outgoing" : "-";
}

void print_call(FILE *out, bool tsv, const CallStory &call) {
    bool cut = call.cut_at_start || !call.cut.empty();
    std::string start = call.cut_at_start ? "" : local_time_text(call.start);
    /* A clock set back (the end of summer time) can make the last line look older than
     * the first: the duration is then unknown, not negative. */
    bool known = !cut && call.last >= call.start;
    std::string seconds = known ? std::to_string(static_cast<long>(call.last - call.start)) : "";
    std::string caller = printable(call.direction == OUTGOING ? call.extension : call.caller);
    std::string extension = printable(call.extension);
    std::string call_id = printable(call.call_id);
    std::string outcome = printable(outcome_of(call));
    if (tsv) {
        fprintf(out, "%s\t%s\t%s\t%s\t%s\t%s\t%s\n", start.c_str(), seconds.c_str(),
                call.direction == UNKNOWN_DIRECTION ? "" : direction_words(call.direction),
                extension.c_str(), caller.c_str(), call_id.c_str(), outcome.c_str());
        return;
    }
    fprintf(out, "%-19s %6s %-8s %-6s %-22s %-16s %s\n", start.empty() ? "-" : start.c_str(),
            cut ? "cut" : known ? (seconds + "s").c_str() : "?", direction_words(call.direction),
            extension.empty() ? "-" : extension.c_str(), caller.empty() ? "-" : caller.c_str(),
            call_id.empty() ? "-" : call_id.c_str(), outcome.c_str());
}

void print_header(FILE *out, bool tsv) {
    if (tsv)
        fprintf(out, "start\tseconds\tdirection\textension\tcaller\tasterisk_call_id\toutcome\n");
    else
        fprintf(out, "%-19s %6s %-8s %-6s %-22s %-16s %s\n", "START", "TIME", "CALL", "EXT", "CALLER",
                "ASTERISK ID", "WHAT HAPPENED");
}

void print_totals(FILE *out, bool tsv, const Totals &t) {
    fprintf(out,
            "%s%ld calls: %ld incoming, %ld outgoing, %ld forwarded, %ld answered by a forward, "
            "%ld ended early, %ld cut; %ld lines not the daemon's skipped\n",
            tsv ? "# " : "", t.calls, t.incoming, t.outgoing, t.forwarded, t.answered, t.ended_early,
            t.cut, t.skipped_lines);
}

/* ---- Reading ---- */

struct ThreadKey {
    long pid;
    unsigned long tid;
    bool operator==(const ThreadKey &other) const { return pid == other.pid && tid == other.tid; }
};

struct ThreadKeyHash {
    size_t operator()(const ThreadKey &key) const {
        return std::hash<unsigned long>()(key.tid) ^ (std::hash<long>()(key.pid) * 0x9e3779b97f4a7c15ULL);
    }
};

/* Everything the reader keeps between lines. */
class CallReader {
   public:
    CallReader(const CallsRequest &request, FILE *out) : request_(request), out_(out) {}

    void read_line(FileClock *clock, const char *text, size_t length);
    /* After the last file: the calls still open are cut by the end of the files. */
    void finish();
    const Totals &totals() const { return totals_; }

   private:
    void start_call(const LogLine &line, time_t when);
    void learn_server(long pid, const std::string &server_id);
    void close_process(long pid, const char *why);
    void flush(bool at_end);
    bool wanted(const CallStory &call) const;
    void count(const CallStory &call);

    const CallsRequest &request_;
    FILE *out_;
    std::deque<CallStory> queue_;   /* calls in the order they started */
    size_t queue_base_ = 0;         /* number of calls ever taken off the queue's front */
    std::unordered_map<ThreadKey, size_t, ThreadKeyHash> open_; /* thread -> queue number */
    std::unordered_map<long, bool> ours_; /* process id -> whether it serves the server */
    Totals totals_;
    LogLine line_;
};

void CallReader::learn_server(long pid, const std::string &server_id) {
    ours_[pid] = server_id == request_.server_id;
}

void CallReader::start_call(const LogLine &line, time_t when) {
    CallStory call;
    call.pid = line.pid;
    call.tid = line.tid;
    call.start = call.last = when;
    open_[ThreadKey{line.pid, line.tid}] = queue_base_ + queue_.size();
    queue_.push_back(std::move(call));
}

/* Every call open in process pid ends with the process: its end is not in the log. */
void CallReader::close_process(long pid, const char *why) {
    for (auto it = open_.begin(); it != open_.end();) {
        if (it->first.pid != pid) {
            ++it;
            continue;
        }
        CallStory &call = queue_[it->second - queue_base_];
        call.cut = why;
        call.finished = true;
        it = open_.erase(it);
    }
}

void CallReader::read_line(FileClock *clock, const char *text, size_t length) {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) length--;
    if (length == 0) return; /* the empty line after a signal handler's entry */
    if (!parse_log_line(text, length, &line_)) {
        totals_.skipped_lines++;
        return;
    }
    const std::string &message = line_.message;
    ThreadKey key{line_.pid, line_.tid};
    auto open = open_.find(key);
    if (starts_with(message.c_str(), "Enter ClientProcessCall (server_id=") && ends_with(message, ")")) {
        learn_server(line_.pid, message.substr(35, message.size() - 36));
        if (open != open_.end()) {
            CallStory &stale = queue_[open->second - queue_base_];
            stale.cut = "cut: its last lines are missing";
            stale.finished = true;
            open_.erase(open);
        }
        if (ours_[line_.pid]) start_call(line_, time_of(clock, line_));
        flush(false);
        return;
    }
    if (message == "Stopped") {
        close_process(line_.pid, "cut where the daemon stopped");
        flush(false);
        return;
    }
    if (open == open_.end()) {
        auto known = ours_.find(line_.pid);
        if ((known != ours_.end() && !known->second) || !is_call_message(message)) return;
        start_call(line_, time_of(clock, line_));
        open = open_.find(key);
        queue_[open->second - queue_base_].cut_at_start = true;
    }
    CallStory &call = queue_[open->second - queue_base_];
    call.last = time_of(clock, line_);
    apply_message(&call, message);
    if (call.finished) {
        open_.erase(open);
        flush(false);
    }
}

bool CallReader::wanted(const CallStory &call) const {
    auto known = ours_.find(call.pid);
    if (known != ours_.end() && !known->second) return false;
    if (!request_.extension.empty() && call.extension != request_.extension) return false;
    if (request_.has_since && call.start < request_.since) return false;
    if (request_.has_until && call.start >= request_.until) return false;
    return true;
}

void CallReader::count(const CallStory &call) {
    totals_.calls++;
    if (call.direction == INCOMING) totals_.incoming++;
    if (call.direction == OUTGOING) totals_.outgoing++;
    if (call.forwarded) totals_.forwarded++;
    if (call.forward_answered) totals_.answered++;
    if (outcome_of(call).find("ended early: ") != std::string::npos) totals_.ended_early++;
    if (call.cut_at_start || !call.cut.empty()) totals_.cut++;
}

/* Prints the finished calls at the queue's front: a call is printed once every call that
 * started before it has been. */
void CallReader::flush(bool at_end) {
    while (!queue_.empty() && queue_.front().finished) {
        const CallStory &call = queue_.front();
        bool server_unknown = ours_.find(call.pid) == ours_.end();
        if (call.cut_at_start && server_unknown && !at_end && queue_.size() < kUnknownServerWait) return;
        if (wanted(call)) {
            print_call(out_, request_.tsv, call);
            count(call);
        }
        queue_.pop_front();
        queue_base_++;
    }
}

void CallReader::finish() {
    for (auto &entry : open_) {
        CallStory &call = queue_[entry.second - queue_base_];
        call.cut = "cut by the end of the log";
        call.finished = true;
    }
    open_.clear();
    flush(true);
}

/* The clock of a file from its modification time. */
FileClock clock_of(const std::string &path) {
    FileClock clock;
    struct stat status;
    time_t changed = stat(path.c_str(), &status) == 0 ? status.st_mtime : time(nullptr);
    struct tm tm;
    if (localtime_r(&changed, &tm) != nullptr) {
        clock.year = tm.tm_year + 1900;
        clock.month = tm.tm_mon;
    }
    return clock;
}

/* Reads one file, plain or gzip-compressed, line by line into reader. Returns false, the
 * reason on standard error, when it cannot be opened or read to its end. */
bool read_file(const std::string &path, CallReader *reader) {
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) {
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, path.c_str(), errno != 0 ? strerror(errno) : "cannot open");
        return false;
    }
    gzbuffer(file, 1 << 17);
    FileClock clock = clock_of(path);
    std::string line;
    char chunk[8192];
    while (gzgets(file, chunk, sizeof(chunk)) != nullptr) {
        size_t got = strlen(chunk);
        if (line.empty() && got > 0 && chunk[got - 1] == '\n') {
            reader->read_line(&clock, chunk, got);
            continue;
        }
        line.append(chunk, got);
        if (!line.empty() && line.back() == '\n') {
            reader->read_line(&clock, line.data(), line.size());
            line.clear();
        }
    }
    if (!line.empty()) reader->read_line(&clock, line.data(), line.size());
    int error = Z_OK;
    const char *why = gzerror(file, &error);
    bool whole = error == Z_OK && gzeof(file) != 0;
    if (!whole && error == Z_ERRNO)
        fprintf(stderr, "%s: %s: %s\n", PROGRAM, path.c_str(), strerror(errno));
    else if (!whole) /* zlib's text names the file itself */
        fprintf(stderr, "%s: %s\n", PROGRAM, why != nullptr && why[0] != '\0' ? why : path.c_str());
    gzclose(file);
    return whole;
}

/* ---- Command line ---- */

bool parse_digits(const std::string &text, size_t at, size_t count, int *value) {
    if (at + count > text.size()) return false;
    int v = 0;
    for (size_t i = at; i < at + count; i++) {
        if (!is_digit(text[i])) return false;
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
}

/* "HH:MM[:SS]" at text[at], to the text's end, into tm. */
bool parse_clock(const std::string &text, size_t at, struct tm *tm) {
    size_t length = text.size() - at;
    if (length != 5 && length != 8) return false;
    if (!parse_digits(text, at, 2, &tm->tm_hour) || text[at + 2] != ':' ||
        !parse_digits(text, at + 3, 2, &tm->tm_min))
        return false;
    tm->tm_sec = 0;
    if (length == 8 && (text[at + 5] != ':' || !parse_digits(text, at + 6, 2, &tm->tm_sec))) return false;
    return tm->tm_hour < 24 && tm->tm_min < 60 && tm->tm_sec < 61;
}

/* A local time: YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS], YYYY-MM-DDTHH:MM[:SS] or HH:MM[:SS]. */
bool parse_time(const std::string &text, time_t *when) {
    struct tm tm;
    time_t now = time(nullptr);
    if (localtime_r(&now, &tm) == nullptr) return false;
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    bool ok;
    if (text.size() >= 10 && text[4] == '-' && text[7] == '-') {
        ok = parse_digits(text, 0, 4, &tm.tm_year) && parse_digits(text, 5, 2, &tm.tm_mon) &&
             parse_digits(text, 8, 2, &tm.tm_mday) && tm.tm_mon >= 1 && tm.tm_mon <= 12 &&
             tm.tm_mday >= 1 && tm.tm_mday <= 31;
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        if (ok && text.size() > 10) ok = (text[10] == ' ' || text[10] == 'T') && parse_clock(text, 11, &tm);
    } else {
        ok = parse_clock(text, 0, &tm);
    }
    if (!ok) return false;
    tm.tm_isdst = -1;
    *when = mktime(&tm);
    return *when != static_cast<time_t>(-1);
}

}  // namespace

bool ParseCallsArguments(const std::vector<std::string> &words, CallsRequest *request) noexcept {
    try {
        for (size_t at = 0; at < words.size(); at++) {
            const std::string &option = words[at];
            if (option == "--tsv") {
                request->tsv = true;
                continue;
            }
            if (at + 1 >= words.size()) return false;
            const std::string &value = words[++at];
            if (option == "--log" && !value.empty())
                request->logs.push_back(value);
            else if (option == "--since" && parse_time(value, &request->since))
                request->has_since = true;
            else if (option == "--until" && parse_time(value, &request->until))
                request->has_until = true;
            else if (option == "--extension" && !value.empty())
                request->extension = value;
            else
                return false;
        }
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

int ReportCalls(const CallsRequest &request, FILE *out) noexcept {
    try {
        std::vector<std::string> logs = request.logs;
        if (logs.empty()) logs.push_back(QUELMO_DEBUG_LOG);
        CallReader reader(request, out);
        print_header(out, request.tsv);
        bool whole = true;
        for (const std::string &path : logs) whole = read_file(path, &reader) && whole;
        reader.finish();
        print_totals(out, request.tsv, reader.totals());
        if (fflush(out) != 0) {
            fprintf(stderr, "%s: standard output: %s\n", PROGRAM, strerror(errno));
            return 1;
        }
        return whole ? 0 : 1;
    } catch (const std::exception &error) {
        fprintf(stderr, "%s: %s\n", PROGRAM, error.what());
        return 1;
    }
}
