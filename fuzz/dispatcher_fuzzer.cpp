/* Fuzz target: the whole call dispatcher on a socket pair, with real databases and
 * dial-plan files built once per process. The input is everything the PBX side sends:
 * the environment block (up to and including its empty line), then one line in answer to
 * each command line the server writes, variable reads and the workers' commands alike.
 * When the input is used up the PBX side stops sending and only listens until the server
 * has closed every descriptor of the call. Every command the server writes must be one of
 * its own (a variable read, an application run, a channel setting): a text from the input
 * must never start a command of its own. The whole call, the worker's part included, runs
 * on the calling thread: when the dispatcher returns, no thread of the call is left. */
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "fuzz_support.h"
#include "quelmo-call.h"

namespace {

char kServerId[] = "fuzzcall";

/* Sends all of text; false when the server side is gone. */
bool send_all(int descriptor, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(descriptor, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

/* Aborts unless line (without its line feed) is a command the server sends. */
void check_command(const std::string &line) {
    static const char *const kVerbs[] = {"GET VARIABLE ", "exec ", "SET "};
    if (line.find('\r') != std::string::npos) quelmo_fuzz::fail("a command holds a carriage return");
    for (const char *verb : kVerbs)
        if (line.compare(0, strlen(verb), verb) == 0) return;
    quelmo_fuzz::fail("the server wrote a line that is none of its commands");
}

/* The PBX side of one call: the environment at once, then the next reply line for each
 * command line received. Returns once the server has closed the connection. */
void play_pbx(int descriptor, const std::string &input) {
    size_t env_end = input.find("\n\n");
    size_t next = env_end == std::string::npos ? input.size() : env_end + 2;
    bool sending = send_all(descriptor, input.substr(0, next));
    if (!sending || next == input.size()) {
        shutdown(descriptor, SHUT_WR);
        sending = false;
    }
    char buffer[4096];
    std::string command;
    ssize_t got;
    while ((got = read(descriptor, buffer, sizeof(buffer))) > 0) {
        for (ssize_t i = 0; i < got; i++) {
            if (buffer[i] != '\n') {
                command.push_back(buffer[i]);
                continue;
            }
            check_command(command);
            command.clear();
            if (!sending) continue;
            size_t line_end = input.find('\n', next);
            size_t reply_end = line_end == std::string::npos ? input.size() : line_end + 1;
            sending = send_all(descriptor, input.substr(next, reply_end - next));
            next = reply_end;
            if (!sending || next == input.size()) {
                shutdown(descriptor, SHUT_WR);
                sending = false;
            }
        }
    }
    if (!command.empty()) quelmo_fuzz::fail("a command without its line feed");
}

const CallFiles &call_files() {
    static const std::string prefix = quelmo_fuzz::scratch_dir() + "/quelmo";
    static const CallFiles files = [] {
        quelmo_fuzz::build_sample_databases(prefix, kServerId);
        quelmo_fuzz::write_sample_dialplans();
        return CallFiles{prefix.c_str(), "/dev/null"};
    }();
    return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quelmo_fuzz::quiet_process();
    const CallFiles &files = call_files();
    static const int idle_threads = quelmo_fuzz::thread_count();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) quelmo_fuzz::fail("socketpair");
    std::string input(reinterpret_cast<const char *>(data), size);
    std::thread pbx(play_pbx, pair[1], input);
    ClientProcessCallWithFiles(pair[0], kServerId, &files);
    pbx.join();
    close(pair[1]);
    if (quelmo_fuzz::thread_count() != idle_threads) quelmo_fuzz::fail("the call left a thread running");
    return 0;
}
