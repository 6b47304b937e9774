/* admin-explain: quelmo.admin explain. The call runs through ClientProcessCallWithFiles,
 * the daemon's own call from dispatch to close, so explain cannot route a call otherwise
 * than the daemon does; pbx-sim answers on the other end of a socket pair. The debug log
 * is sent to a collector here and the database error log to /dev/null. */
#include "admin-explain.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "quelmo-call.h"
#include "quelmo-db.h"
#include "quelmo-utils.h"

namespace {

const char *const PROGRAM = "quelmo.admin";
const char *const INCOMING_CONTEXT = "macro-stdexten";

/* ---- Debug-log lines of the call ---- */

/* Every message the call code logs, in order. */
struct CollectedLog {
    std::mutex mutex;
    std::vector<std::string> lines;
};
CollectedLog collected;

/* The debug-log sink: runs on the thread of the call. */
void collect_message(const char *message) {
    std::lock_guard<std::mutex> lock(collected.mutex);
    try {
        collected.lines.push_back(message);
    } catch (const std::bad_alloc &) {
        /* A line that cannot be kept is dropped, as the log file writer drops it. */
    }
}

/* ---- Command line ---- */

bool split_assignment(const std::string &word, std::string *name, std::string *value) {
    size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    *name = word.substr(0, equals);
    *value = word.substr(equals + 1);
    return true;
}

/* A whole decimal integer of int range, as an application result. */
bool parse_result(const std::string &text, int *result) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < -2147483647L - 1 || value > 2147483647L) return false;
    *result = static_cast<int>(value);
    return true;
}

/* Takes one option with its value from words at *at. Returns false for an unknown
 * option or a missing or malformed value. */
bool take_option(const std::vector<std::string> &words, size_t *at, ExplainRequest *request) {
    const std::string &option = words[*at];
    if (option == "--log") {
        request->show_log = true;
        return true;
    }
    if (option == "--no-agi-version") {
        request->call.agi_version.clear();
        return true;
    }
    if (*at + 1 >= words.size()) return false;
    const std::string &value = words[++*at];
    std::string name, text;
    if (option == "--context") {
        request->call.context = value;
    } else if (option == "--callerid") {
        request->call.callerid = value;
    } else if (option == "--set" && split_assignment(value, &name, &text)) {
        request->call.variables[name] = text;
    } else if (option == "--reply" && split_assignment(value, &name, &text)) {
        int result;
        if (!parse_result(text, &result)) return false;
        request->call.app_results[name] = result;
    } else {
        return false;
    }
    return true;
}

/* ---- The call ---- */

/* Opens and closes one database as the dispatcher will, so that a file that cannot be
 * opened is reported with the library's reason instead of a call that ends at once. */
bool database_opens(const ExplainRequest &request, int db_type, const char *suffix) {
    std::string path = request.db_prefix + request.server_id + suffix;
    DB *dbp = nullptr;
    int status = db_open(const_cast<char *>(request.server_id.c_str()), &dbp, db_type,
                         path.c_str(), PROGRAM, stderr);
    db_close(dbp, path.c_str(), stderr);
    return status == 0;
}

/* Runs the dispatcher on one end of a socket pair and the simulated PBX on the other.
 * Returns SimPlayCall's status, or -1 when the pair or the thread cannot be made. */
int play_call(const ExplainRequest &request, SimTranscript *transcript) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        fprintf(stderr, "%s: socketpair: %s\n", PROGRAM, strerror(errno));
        return -1;
    }
    int status = -1;
    std::thread pbx;
    try {
        pbx = std::thread([&] { status = SimPlayCall(pair[1], request.call, transcript); });
    } catch (const std::system_error &error) {
        fprintf(stderr, "%s: cannot start the simulated PBX: %s\n", PROGRAM, error.what());
        close(pair[0]);
        close(pair[1]);
        return -1;
    }
    const CallFiles files = {request.db_prefix.c_str(), "/dev/null"};
    ClientProcessCallWithFiles(pair[0], const_cast<char *>(request.server_id.c_str()), &files);
    pbx.join();
    close(pair[1]);
    return status;
}

void print_log(FILE *out) {
    std::lock_guard<std::mutex> lock(collected.mutex);
    fprintf(out, "-- debug log of the call:\n");
    for (const std::string &line : collected.lines) fprintf(out, "    %s\n", line.c_str());
}

}  // namespace

bool ParseExplainArguments(const std::vector<std::string> &words, ExplainRequest *request) noexcept {
    try {
        request->call.context = INCOMING_CONTEXT;
        std::string extension;
        for (size_t at = 0; at < words.size(); at++) {
            if (words[at].rfind("--", 0) == 0) {
                if (!take_option(words, &at, request)) return false;
            } else if (extension.empty() && !words[at].empty()) {
                extension = words[at];
            } else {
                return false;
            }
        }
        if (extension.empty()) return false;
        request->call.extension = extension;
        request->call.variables.emplace("EXTENSION", extension);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

int ExplainCall(const ExplainRequest &request, FILE *out) noexcept {
    try {
        if (!database_opens(request, DB_HASH, QUELMO_DB_EXTENSION_SUFFIX) ||
            !database_opens(request, DB_BTREE, QUELMO_DB_FORWARDING_SUFFIX))
            return 1;
        /* A failed simulated PBX must not end this process while the call still writes. */
        signal(SIGPIPE, SIG_IGN);
        quelmo_debug_to(collect_message);
        SimTranscript transcript;
        int status = play_call(request, &transcript);
        SimPrintTranscript(out, request.call, transcript);
        if (request.show_log) print_log(out);
        return status == 0 && fflush(out) == 0 ? 0 : 1;
    } catch (const std::exception &error) {
        fprintf(stderr, "%s: %s\n", PROGRAM, error.what());
        return 1;
    }
}
