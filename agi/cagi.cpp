/* cagi: the AGI session, its environment and settings lists, small file and text helpers,
 * and the AGI command set: one request/reply routine and a wrapper per command. The
 * session reads from and writes to the streams it was started on; commands run one at a
 * time, each reading its whole reply before it returns. */
#include "cagi.h"

#include <cctype>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "quelmo-paths.h"

namespace {

/* Returned for a name that is not in a list; callers never write into it. */
char shared_empty_text[1] = "";

const size_t kListTextMax = 49;
const size_t kEnvLineSize = 1024;

void copy_list_text(char *dest, const char *src) {
    size_t length = strnlen(src, kListTextMax);
    memcpy(dest, src, length);
    dest[length] = '\0';
}

/* Adds a pair in front of *list; a pair that cannot be allocated is skipped, so the pairs
 * already stored stay reachable. */
void add_pair(AGI_VAL_LIST **list, const char *field, const char *value) {
    AGI_VAL_LIST *head =
        AGITool_ListAddItem(*list, const_cast<char *>(field), const_cast<char *>(value));
    if (head != nullptr) *list = head;
}

/* Stores one environment line "name: value" in the list; a line without a colon is
 * skipped. The colon and the one character after it are passed over unexamined. */
void store_environment_line(AGI_VAL_LIST **list, char *line) {
    char *colon = strchr(line, ':');
    if (colon == nullptr) return;
    *colon = '\0';
    char *value = colon + 1;
    if (value[0] != '\0' && value[1] != '\0')
        value += 1;
    else
        value += strlen(value);
    strim(value);
    add_pair(list, line, value);
}

/* The first node (from the head) named exactly field, or null. */
AGI_VAL_LIST *find_pair(AGI_VAL_LIST *l, const char *field) {
    for (; l != nullptr; l = l->next) {
        if (strcmp(l->field, field) == 0) return l;
    }
    return nullptr;
}

}  // namespace

int FileExists(char *path) {
    struct stat st;
    return stat(path, &st) == 0 ? 1 : 0;
}

int strim(char *src) {
    if (src == nullptr) return 0;
    int i = static_cast<int>(strlen(src)) - 1;
    while (i >= 0 && isspace(static_cast<unsigned char>(src[i]))) {
        src[i] = '\0';
        i--;
    }
    return i;
}

AGI_VAL_LIST *AGITool_ListAddItem(AGI_VAL_LIST *l, char *field, char *value) {
    AGI_VAL_LIST *node = static_cast<AGI_VAL_LIST *>(calloc(1, sizeof(AGI_VAL_LIST)));
    if (node == nullptr) return nullptr;
    copy_list_text(node->field, field);
    copy_list_text(node->value, value);
    node->next = l;
    return node;
}

void AGITool_ListDestroy(AGI_VAL_LIST *l) {
    while (l != nullptr) {
        AGI_VAL_LIST *next = l->next;
        free(l);
        l = next;
    }
}

char *AGITool_ListGetVal(AGI_VAL_LIST *l, char *field) {
    AGI_VAL_LIST *pair = find_pair(l, field);
    return pair != nullptr ? pair->value : shared_empty_text;
}

void AGITool_ListDump(AGI_VAL_LIST *l) {
    fputs("VERBOSE \"AGI Dump\"\n", stdout);
    for (; l != nullptr; l = l->next) fprintf(stdout, "VERBOSE \"%s : %s\"\n", l->field, l->value);
    fflush(stdout);
}

int AGITool_Init(AGI_TOOLS *tool) { return AGITool_InitStreams(tool, stdin, stdout); }

int AGITool_InitStreams(AGI_TOOLS *tool, FILE *in, FILE *out) {
    tool->in = in;
    tool->out = out;
    tool->agi_vars = nullptr;
    tool->settings = nullptr;
    char line[kEnvLineSize];
    while (fgets(line, sizeof(line), in) != nullptr && strcmp(line, "\n") != 0)
        store_environment_line(&tool->agi_vars, line);
    add_pair(&tool->settings, "tmpdir", QUELMO_DEFAULT_TMPDIR);
    add_pair(&tool->settings, "festival_text2wave", "text2wave");
    add_pair(&tool->settings, "cepstral_swift", "swift");
    return 0;
}

void AGITool_Destroy(AGI_TOOLS *tool) {
    AGITool_ListDestroy(tool->agi_vars);
    AGITool_ListDestroy(tool->settings);
}

/* ---- AGI commands and their replies ---- */

namespace {

const int kNoReplyCode = 500;
const int kSuccessCode = 200;
/* A reply's first line and a multi-line reply's continuation lines are read into buffers
 * of these sizes; the part of a line that does not fit is read and dropped. */
const size_t kFirstLineSize = 4096;
const size_t kContinuationLineSize = 2048;
/* Empty reads (end of stream, read error, NUL first byte) allowed before a reply; the
 * read with this number gives up whatever it yields. */
const int kGiveUpRead = 5;
const size_t kRecordLineSize = 255;
const size_t kRecordTextMax = kRecordLineSize - 2; /* room for "\n" and the NUL */
const size_t kSpeechPathSize = 1024;
const size_t kSpeechPathMax = kSpeechPathSize - 5; /* room for ".wav" and the NUL */
const size_t kSpeechCommandSize = 2048;
const int kDefaultFrequency = 8000;

const char *const kChannelStates[] = {
    "Channel is down and available",
    "Channel is down, but reserved",
    "Channel is off hook",
    "Digits (or equivalent) have been dialed",
    "Line is ringing",
    "Remote end is ringing",
    "Line is up",
    "Line is busy",
    "Digits (or equivalent) have been dialed while offhook",
    "Channel has detected an incoming call and is waiting for ring",
};
const long kChannelStateCount = sizeof(kChannelStates) / sizeof(kChannelStates[0]);

/* Copies at most dest_size - 1 bytes of src, then a NUL. */
void copy_cut(char *dest, size_t dest_size, const char *src, size_t src_length) {
    size_t length = src_length < dest_size - 1 ? src_length : dest_size - 1;
    memcpy(dest, src, length);
    dest[length] = '\0';
}

/* The leading optional sign and decimal digits of text as an int, 0 when it has none;
 * values beyond the range of int are clamped. */
int leading_number(const char *text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

char *lookup(AGI_VAL_LIST *list, const char *name) {
    return AGITool_ListGetVal(list, const_cast<char *>(name));
}

void reset_result(AGI_CMD_RESULT *res) {
    res->code = kNoReplyCode;
    strcpy(res->result, "-1");
    res->data[0] = '\0';
}

/* Expands format into *line. Returns false when the text cannot be built. */
bool expand_command(std::string *line, const char *format, va_list args) {
    va_list again;
    va_copy(again, args);
    int needed = vsnprintf(nullptr, 0, format, args);
    bool built = needed >= 0;
    if (built) {
        try {
            line->assign(static_cast<size_t>(needed), '\0');
            vsnprintf(&(*line)[0], line->size() + 1, format, again);
        } catch (...) {
            built = false;
        }
    }
    va_end(again);
    return built;
}

/* A command is one line: it may end with a line feed and holds no other line break, so
 * a text taken from a caller or a database cannot smuggle in a second command. */
bool holds_inner_line_break(const std::string &line) {
    size_t body = line.size();
    if (body > 0 && line[body - 1] == '\n') body--;
    return line.find('\r') != std::string::npos || line.find('\n') < body;
}

/* Writes and flushes the line. Returns false when the write reports an error; the
 * flush's own result is not looked at. */
bool write_command(FILE *out, const std::string &line) {
    size_t written = fwrite(line.data(), 1, line.size(), out);
    fflush(out);
    return written == line.size();
}

/* Reads the rest of an over-long line, so the stream stays at the start of a line: left
 * in the stream, the rest would be taken for the reply to the next command. */
void drop_rest_of_line(FILE *in) {
    int c;
    do {
        c = getc(in);
    } while (c != EOF && c != '\n');
}

/* Reads one line, its line break kept, into buf of size bytes; of a longer line the
 * first size - 1 bytes are kept and the rest is dropped. Returns false when nothing
 * could be read (end of stream or read error). */
bool read_line(FILE *in, char *buf, size_t size) {
    size_t length = 0;
    int c = EOF;
    while (length + 1 < size && (c = getc(in)) != EOF) {
        buf[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[length] = '\0';
    if (length == 0) return false;
    if (length + 1 == size && c != '\n') drop_rest_of_line(in);
    return true;
}

/* Asterisk sends this line on its own when the caller hangs up; it answers no command. */
bool is_hangup_notice(const char *line) {
    return strcmp(line, "HANGUP\n") == 0 || strcmp(line, "HANGUP") == 0;
}

/* Reads a reply's first line into buf. Empty reads are repeated, hang-up notices are
 * skipped without being counted. Returns false when the read numbered kGiveUpRead is
 * reached; that read still consumes what it finds. */
bool read_first_line(FILE *in, char *buf, size_t size) {
    int reads = 0;
    for (;;) {
        bool got = read_line(in, buf, size);
        if (got && is_hangup_notice(buf)) continue;
        if (++reads == kGiveUpRead) return false;
        if (got && buf[0] != '\0') return true;
    }
}

/* Reads and drops the lines of a multi-line reply up to and including the closing line,
 * the one led by the reply's own code, or up to the end of the stream. */
void skip_continuation_lines(FILE *in, int code) {
    char line[kContinuationLineSize];
    while (read_line(in, line, sizeof(line))) {
        if (leading_number(line) == code) return;
    }
}

/* Fills result, endpos and data from the text of a 200 reply. */
void parse_success_text(AGI_CMD_RESULT *res, const char *text) {
    const char *result = strstr(text, "result=");
    if (result != nullptr) {
        result += strlen("result=");
        copy_cut(res->result, sizeof(res->result), result, strlen(result));
        char *blank = strchr(res->result, ' ');
        if (blank != nullptr) *blank = '\0';
    }
    const char *endpos = strstr(text, "endpos=");
    if (endpos != nullptr)
        res->endpos = static_cast<unsigned int>(strtoul(endpos + strlen("endpos="), nullptr, 10));
    /* Asterisk does not escape a ')' inside a value: the value ends at the line's last. */
    const char *open = strchr(text, '(');
    if (open == nullptr) return;
    const char *close = strrchr(text, ')');
    size_t length = close != nullptr && close > open ? static_cast<size_t>(close - open - 1)
                                                     : strlen(open + 1);
    copy_cut(res->data, sizeof(res->data), open + 1, length);
}

/* Parses the reply whose first line is 'line' (modified in place) and reads the rest of
 * a multi-line reply from in. */
void parse_reply(FILE *in, AGI_CMD_RESULT *res, char *line) {
    copy_cut(res->raw, sizeof(res->raw), line, strlen(line));
    strim(line);
    res->code = leading_number(line);
    bool continued = strlen(line) >= 4 && line[3] == '-';
    const char *text = strlen(line) >= 4 ? line + 4 : "";
    if (continued) skip_continuation_lines(in, res->code);
    if (res->code == kSuccessCode)
        parse_success_text(res, text);
    else
        copy_cut(res->data, sizeof(res->data), text, strlen(text));
}

int send_command_args(AGI_TOOLS *tool, AGI_CMD_RESULT *res, const char *format, va_list args) {
    reset_result(res);
    std::string line;
    if (!expand_command(&line, format, args) || holds_inner_line_break(line)) return 0;
    if (!write_command(tool->out, line)) return 0;
    char first[kFirstLineSize];
    if (!read_first_line(tool->in, first, sizeof(first))) return 0;
    parse_reply(tool->in, res, first);
    return leading_number(res->result);
}

__attribute__((format(printf, 3, 4))) int send_command(AGI_TOOLS *tool, AGI_CMD_RESULT *res,
                                                       const char *format, ...) {
    va_list args;
    va_start(args, format);
    int status = send_command_args(tool, res, format, args);
    va_end(args);
    return status;
}

/* The separator between Dial's arguments: the "dial_separator" setting when one is set;
 * otherwise ',' for a PBX that sends "agi_version" (every one since 1.6, which reads '|'
 * as part of the device name), '|' for an older one. */
const char *dial_separator(AGI_TOOLS *tool) {
    const char *setting = lookup(tool->settings, "dial_separator");
    if (setting[0] != '\0') return setting;
    return find_pair(tool->agi_vars, "agi_version") != nullptr ? "," : "|";
}

/* Overwrites data with a sentence for the channel state held in result. */
void describe_channel_state(AGI_CMD_RESULT *res, const char *channel) {
    int state = leading_number(res->result);
    if (state == -1)
        snprintf(res->data, sizeof(res->data), "There is no channel that matches %s", channel);
    else if (state >= 0 && state < kChannelStateCount)
        snprintf(res->data, sizeof(res->data), "%s", kChannelStates[state]);
    else
        snprintf(res->data, sizeof(res->data), "Unknown result: %s", res->result);
}

/* Appends to the record line at *used as far as room remains below kRecordTextMax. */
__attribute__((format(printf, 3, 4))) void append_record_part(char *line, size_t *used,
                                                              const char *format, ...) {
    size_t room = kRecordTextMax + 1 - *used;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line + *used, room, format, args);
    va_end(args);
    if (length < 0) {
        line[*used] = '\0';
        return;
    }
    *used += static_cast<size_t>(length) < room ? static_cast<size_t>(length) : room - 1;
}

/* The text in single quotes for the shell; a quote inside is written as '\'' so the
 * shell interprets no character of it. */
bool quote_for_shell(std::string *quoted, const char *text) {
    try {
        quoted->assign("'");
        for (const char *c = text; *c != '\0'; c++) {
            if (*c == '\'')
                quoted->append("'\\''");
            else
                quoted->push_back(*c);
        }
        quoted->push_back('\'');
        return true;
    } catch (...) {
        return false;
    }
}

bool sigpipe_pending() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

/* Writes the text to the speech program and waits for it to end. SIGPIPE is held back
 * meanwhile, so a program that ends without reading its text (one that does not exist,
 * say) cannot end the process; a SIGPIPE raised by this write is taken back before the
 * thread's signal mask is restored. */
void feed_speech_program(FILE *pipe, const char *text) {
    sigset_t sigpipe_only, saved;
    sigemptyset(&sigpipe_only);
    sigaddset(&sigpipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe_only, &saved);
    bool pending_before = sigpipe_pending();
    fputs(text, pipe);
    pclose(pipe);
    if (!pending_before && sigpipe_pending()) {
        struct timespec no_wait = {0, 0};
        sigtimedwait(&sigpipe_only, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

/* Runs the speech program on the text, writing the sound to wav_path. Returns false
 * when the program cannot be started; its own exit status is not looked at. */
bool run_speech_program(AGI_TOOLS *tool, int frequency, const char *wav_path, const char *text) {
    std::string quoted_path;
    if (!quote_for_shell(&quoted_path, wav_path)) return false;
    char command[kSpeechCommandSize];
    snprintf(command, sizeof(command), "%s -F %d -o %s",
             lookup(tool->settings, "festival_text2wave"), frequency, quoted_path.c_str());
    FILE *pipe = popen(command, "w");
    if (pipe == nullptr) return false;
    feed_speech_program(pipe, text);
    return true;
}

}  // namespace

int AGITool_sendcmd(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *command, ...) {
    va_list args;
    va_start(args, command);
    int status = send_command_args(tool, res, command, args);
    va_end(args);
    return status;
}

int AGITool_answer(AGI_TOOLS *tool, AGI_CMD_RESULT *res) {
    return send_command(tool, res, "ANSWER\n");
}

int AGITool_autohangup(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int time) {
    return send_command(tool, res, "SET AUTOHANGUP %d\n", time);
}

int AGITool_channel_status(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *channel) {
    int status = send_command(tool, res, "CHANNEL STATUS %s\n", channel);
    describe_channel_state(res, channel);
    return status;
}

int AGITool_exec(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *application, char *options) {
    return send_command(tool, res, "EXEC %s %s\n", application, options);
}

int AGITool_get_data(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *filename, int timeout,
                     int max_digits) {
    return send_command(tool, res, "GET DATA %s %d %d\n", filename, timeout, max_digits);
}

int AGITool_get_variable(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *variable) {
    return send_command(tool, res, "GET VARIABLE %s\n", variable);
}

int AGITool_get_variable2(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *variable, char *dest,
                          int len) {
    int status = send_command(tool, res, "GET VARIABLE %s\n", variable);
    if (len >= 0) {
        strncpy(dest, res->data, static_cast<size_t>(len));
        dest[len] = '\0';
    }
    return status;
}

int AGITool_hangup(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *channel) {
    return send_command(tool, res, "HANGUP %s\n", channel);
}

int AGITool_receive_char(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int timeout) {
    return send_command(tool, res, "RECEIVE CHAR %d\n", timeout);
}

int AGITool_record_file(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *file, char *format,
                        char *escape_digits, int timeout, int beep, int silence, int offset) {
    char line[kRecordLineSize];
    size_t used = 0;
    append_record_part(line, &used, "RECORD FILE %s %s \"%s\" %d", file, format, escape_digits,
                       timeout);
    if (offset > 0) append_record_part(line, &used, " %d", offset);
    if (beep != 0) append_record_part(line, &used, " BEEP");
    if (silence > 0) append_record_part(line, &used, " s=%d", silence);
    line[used] = '\n';
    line[used + 1] = '\0';
    return send_command(tool, res, "%s", line);
}

int AGITool_say_digits(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *digits,
                       char *escape_digits) {
    return send_command(tool, res, "SAY DIGITS %s \"%s\"\n", digits, escape_digits);
}

int AGITool_say_phonetic(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *text,
                         char *escape_digits) {
    return send_command(tool, res, "SAY PHONETIC %s \"%s\"\n", text, escape_digits);
}

int AGITool_say_number(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int number, char *escape_digits) {
    return send_command(tool, res, "SAY NUMBER %d \"%s\"\n", number, escape_digits);
}

int AGITool_send_image(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *image) {
    return send_command(tool, res, "SEND IMAGE %s\n", image);
}

int AGITool_send_text(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *text) {
    return send_command(tool, res, "SEND TEXT \"%s\"\n", text);
}

int AGITool_set_callerid(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *cid) {
    return send_command(tool, res, "SET CALLERID %s\n", cid);
}

int AGITool_set_context(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *context) {
    return send_command(tool, res, "SET CONTEXT %s\n", context);
}

int AGITool_set_extension(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *extension) {
    return send_command(tool, res, "SET EXTENSION %s\n", extension);
}

int AGITool_set_priority(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int priority) {
    return send_command(tool, res, "SET PRIORITY %d\n", priority);
}

int AGITool_set_variable(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *variable, char *value) {
    return send_command(tool, res, "SET VARIABLE %s \"%s\"\n", variable, value);
}

int AGITool_stream_file(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *filename,
                        char *escape_digits, int offset) {
    return send_command(tool, res, "STREAM FILE %s \"%s\" %d\n", filename, escape_digits, offset);
}

int AGITool_tdd_mode(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *setting) {
    return send_command(tool, res, "TDD MODE %s\n", setting);
}

int AGITool_verbose(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *message, int level) {
    return send_command(tool, res, "VERBOSE \"%s\" %d\n", message, level);
}

int AGITool_wait_for_digit(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int timeout) {
    return send_command(tool, res, "WAIT FOR DIGIT %d\n", timeout);
}

int AGITool_database_put(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *family, char *key,
                         char *value) {
    return send_command(tool, res, "DATABASE PUT \"%s\" \"%s\" \"%s\"\n", family, key, value);
}

int AGITool_database_get(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *family, char *key) {
    return send_command(tool, res, "DATABASE GET \"%s\" \"%s\"\n", family, key);
}

int AGITool_database_del(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *family, char *key) {
    return send_command(tool, res, "DATABASE DEL \"%s\" \"%s\"\n", family, key);
}

int AGITool_database_deltree(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *family,
                             char *keytree) {
    if (keytree == nullptr || keytree[0] == '\0')
        return send_command(tool, res, "DATABASE DELTREE \"%s\"\n", family);
    return send_command(tool, res, "DATABASE DELTREE \"%s\" \"%s\"\n", family, keytree);
}

int AGITool_say_time(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int time, char *escape_digits) {
    return send_command(tool, res, "SAY TIME %d \"%s\"\n", time, escape_digits);
}

int AGITool_noop(AGI_TOOLS *tool, AGI_CMD_RESULT *res) {
    return send_command(tool, res, "NOOP\n");
}

int AGITool_set_music(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int enabled, char *music_class) {
    return send_command(tool, res, "SET MUSIC %s %s\n", enabled != 0 ? "ON" : "OFF", music_class);
}

int AGITool_exec_dial(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *type, char *destnum,
                      char *gateway, int dialtimeout, int sessiontimeout) {
    const char *separator = dial_separator(tool);
    return send_command(tool, res, "EXEC Dial %s/%s@%s%s%d%sL(%d:80000:20000)\n", type, destnum,
                        gateway, separator, dialtimeout, separator, sessiontimeout);
}

int AGITool_text2wav(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *text, char *escape_digits,
                     int frequency) {
    if (text == nullptr || text[0] == '\0') return 1;
    if (frequency <= 0) frequency = kDefaultFrequency;
    char base[kSpeechPathSize];
    snprintf(base, kSpeechPathMax + 1, "%s%ctxt2wav_%s", lookup(tool->settings, "tmpdir"), '/',
             lookup(tool->agi_vars, "agi_uniqueid"));
    char wav_path[kSpeechPathSize]; /* base holds at most kSpeechPathMax characters */
    strcpy(wav_path, base);
    strcat(wav_path, ".wav");
    if (!run_speech_program(tool, frequency, wav_path, text)) return -1;
    /* Asterisk plays the file from its path without the extension; it is removed only
     * once Asterisk has answered, that is, once it has finished playing it. */
    int status = AGITool_stream_file(tool, res, base, escape_digits, 0);
    if (FileExists(wav_path)) unlink(wav_path);
    return status;
}
