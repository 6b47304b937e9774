/* Helpers shared by the tests: socket pairs, descriptor counts, the test root's files
 * (debug log, dial-plan files, database directory) and scratch directories. */
#ifndef QUELMO_TEST_SUPPORT_H
#define QUELMO_TEST_SUPPORT_H

#include <cstddef>
#include <string>
#include <vector>

namespace quelmo_test {

/* A connected AF_UNIX stream socket pair: 'server' for the code under test, 'pbx' for
 * the stand-in. */
struct SocketPair {
    int server;
    int pbx;
};
SocketPair make_socket_pair();

/* Number of descriptors open in this process, and whether one is open; descriptors that
 * reach the two logs do not count (the log writer keeps the last one of each open between
 * lines, and it may take the number of one just closed). */
int count_open_fds();
bool fd_is_open(int fd);

/* Creates a directory and its parents. */
void make_dirs(const std::string &path);
/* Whole content of a file, "" when it cannot be read. */
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
void remove_file(const std::string &path);

/* The debug log under the test root: cleared and created with its directory by
 * reset_debug_log; its lines (without time, pid and thread) read by debug_messages. */
void reset_debug_log();
std::vector<std::string> debug_messages();
/* Lines of text, each without its line break. */
std::vector<std::string> split_lines(const std::string &text);

/* A fresh empty directory under the build tree, named after the running test. */
std::string scratch_dir();

/* What a finished program did. */
struct ProgramResult {
    int status;      /* exit status, or 128 + signal number */
    std::string out; /* standard output */
    std::string err; /* standard error */
};
/* Runs argv[0] with its arguments, standard input from /dev/null, and waits for it. Each
 * "NAME=value" of env_overrides replaces NAME in the child's environment (or is added).
 * Standard output goes to stdout_path when one is given (out then stays empty). status is
 * the exit status, 128 + the signal number, or 127 when the program could not start. */
ProgramResult run_program(const std::vector<std::string> &argv,
                          const std::vector<std::string> &env_overrides = {},
                          const std::string &stdout_path = "");
/* Starts argv[0] in the background with its standard streams on /dev/null; returns its
 * process id. prepare, when given, runs in the child just before the program starts (to
 * set limits or groups; it may use async-signal-safe calls only). */
int spawn_program(const std::vector<std::string> &argv, void (*prepare)() = nullptr);

/* A TCP port on 127.0.0.1 that was free a moment ago. */
int free_tcp_port();
/* Connects to 127.0.0.1:port (or 'address'); returns the descriptor or -1. */
int connect_tcp(int port, const char *address = "127.0.0.1");
/* Waits until something accepts on 127.0.0.1:port; false after timeout_ms. */
bool wait_for_listener(int port, int timeout_ms = 5000);
/* Waits until the debug log holds 'count' lines equal to 'message'; false after
 * timeout_ms. */
bool wait_for_log_message(const std::string &message, size_t count = 1, int timeout_ms = 5000);

}  // namespace quelmo_test

#endif
