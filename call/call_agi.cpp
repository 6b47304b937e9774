/* call_agi: raw AGI helpers over a call's connection. Helpers given a descriptor open
 * their own call stream over it and close both; helpers given a stream leave it open. */
#include "call_agi.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "call_stream.h"
#include "quelmo-utils.h"

namespace {

const int kReplyBufferSize = 255;

/* The integer after the first "=" of a reply line, or -1 when it has none. */
int result_of_reply(const char *line) {
    const char *equals = strchr(line, '=');
    return equals == nullptr ? -1 : atoi(equals + 1);
}

/* Reads one reply line, its line feed kept, into buf; of a longer line the first size - 1
 * bytes are kept and the rest is read and dropped (a NUL byte inside ends nothing), so the
 * next reply read on the connection starts at the next line. Returns false when nothing
 * could be read. */
bool read_reply_line(FILE *stream, char *buf, size_t size) {
    size_t length = 0;
    int c = EOF;
    while (length + 1 < size && (c = getc(stream)) != EOF) {
        buf[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[length] = '\0';
    if (length == 0) return false;
    while (c != '\n' && c != EOF) c = getc(stream);
    return true;
}

/* A command line may end with one line feed and hold no other line break. */
bool holds_inner_line_break(const std::string &line) {
    size_t body = line.size();
    if (body > 0 && line[body - 1] == '\n') body--;
    return line.find('\r') != std::string::npos || line.find('\n') < body;
}

char *heap_copy(const char *text) {
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(malloc(size));
    if (copy != nullptr) memcpy(copy, text, size);
    return copy;
}

/* The text between the first "(" and the last ")" after it, or "" without such a pair.
 * Asterisk does not escape a ")" inside a value, so only the line's last one closes it. */
std::string parenthesised_value(const char *line) {
    const char *open = strchr(line, '(');
    if (open == nullptr) return "";
    const char *close = strrchr(open + 1, ')');
    if (close == nullptr) return "";
    return std::string(open + 1, close);
}

/* Sends one caller-ID command and reads its reply; logs like every raw command. */
int send_caller_id_command(FILE *stream, const char *app, const char *arg) {
    quelmo_debugf("exec %s \"%s\"", app, arg);
    int result = -1;
    if (WriteCallCommand(stream, "exec %s \"%s\"\n", app, arg) == 0) result = GetExecResult(stream);
    quelmo_debugf("Return Status = %d", result);
    return result;
}

/* Sets one caller-ID field: the old application first, then, on a PBX that no longer has
 * it (result -2), the Set application with the CALLERID() function. */
int set_caller_id_field(FILE *stream, const char *old_app, const char *function, const char *text) {
    int result = send_caller_id_command(stream, old_app, text);
    if (result != -2) return result;
    std::string assignment = std::string(function) + "=" + text;
    return send_caller_id_command(stream, "Set", assignment.c_str());
}

/* Writes a GotoContext step and reads its result. */
int goto_step(FILE *stream, const char *format, const char *arg) {
    if (WriteCallCommand(stream, format, arg) != 0) return -1;
    return GetExecResult(stream);
}

}  // namespace

int WriteCallCommand(FILE *stream, const char *format, ...) {
    va_list args;
    va_start(args, format);
    char *text = quelmo_vformat(format, args);
    va_end(args);
    if (text == nullptr) return -1;
    std::string line(text);
    free(text);
    if (holds_inner_line_break(line)) {
        quelmo_debug(const_cast<char *>("Refused AGI command with a line break"));
        return -1;
    }
    fwrite(line.data(), 1, line.size(), stream);
    fflush(stream);
    return 0;
}

int GetExecResult(FILE *AGI) {
    if (AGI == nullptr) return -1;
    char line[kReplyBufferSize];
    if (!read_reply_line(AGI, line, sizeof(line))) return -1;
    return result_of_reply(line);
}

int GetVariable(int ClientSocket, char *var, char **value) {
    FILE *stream = OpenCallStream(ClientSocket);
    if (stream == nullptr) {
        int error = errno;
        quelmo_debugf("Enter GetVariable (var = %s)", var);
        quelmo_debugf("Enter GetVariable (var = %s) failed with error: %s", var, strerror(error));
        close(ClientSocket);
        return -1;
    }
    int status = GetVariableOn(stream, var, value);
    fclose(stream);
    return status;
}

int GetVariableOn(FILE *call, char *var, char **value) {
    quelmo_debugf("Enter GetVariable (var = %s)", var);
    char line[kReplyBufferSize] = "";
    if (WriteCallCommand(call, "GET VARIABLE %s\n", var) == 0 &&
        !read_reply_line(call, line, sizeof(line)))
        line[0] = '\0';
    int status = result_of_reply(line);
    std::string text = status < 1 ? "EMPTY" : parenthesised_value(line);
    if (text.empty()) {
        text = "INVALID";
        status = -1;
    }
    *value = heap_copy(text.c_str());
    quelmo_debugf("Exit GetVariable (status = %d) (%s = %s)", status, var,
                  *value != nullptr ? *value : "");
    return status;
}

void SetCallerID(FILE *call_AGI, EXTENSION_INFO *cid) {
    int last_result = 0;
    if (call_AGI == nullptr) {
        quelmo_debugf("Enter SetCallerID failed with error: %s", strerror(errno));
        return;
    }
    if (cid->cidname != nullptr && cid->cidname[0] != '\0')
        last_result = set_caller_id_field(call_AGI, "SetCIDName", "CALLERID(name)", cid->cidname);
    if (last_result >= 0 && cid->cidnum != nullptr && cid->cidnum[0] != '\0')
        set_caller_id_field(call_AGI, "SetCIDNum", "CALLERID(num)", cid->cidnum);
}

void GotoContext(int ClientSocket, char *context) {
    FILE *stream = OpenCallStream(ClientSocket);
    if (stream == nullptr) {
        quelmo_debugf("Enter GotoContext (context = %s) failed with error: %s", context,
                      strerror(errno));
        close(ClientSocket);
        return;
    }
    if (goto_step(stream, "SET CONTEXT %s\n", context) >= 0 &&
        goto_step(stream, "SET PRIORITY %s\n", "1") >= 0)
        goto_step(stream, "SET EXTENSION %s\n", "s");
    fclose(stream);
}
