/* The call dispatcher and the process's standard streams: while a call is dispatched,
 * stdin and stdout must stay the process's own (calls run on many threads at once). glibc's read of an unbuffered stream (every worker's
 * call stream) locks the stream stdout names; had the dispatcher pointed stdout at its
 * call's stream, the workers would lock that stream while the dispatcher closes and frees
 * it at the call's end (a crash under load). */
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "quelmo-call.h"
#include "quelmo-db.h"
#include "quelmo-utils.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

const char kServerId[] = "disp";

/* Empty databases of kServerId under prefix, as the dispatcher opens them. */
void create_empty_databases(const std::string &prefix) {
    FILE *errors = fopen("/dev/null", "w");
    ASSERT_NE(nullptr, errors);
    DB *extensions = nullptr, *forwarding = nullptr;
    EXPECT_EQ(0, db_create_file(const_cast<char *>(kServerId), &extensions, DB_HASH, 0,
                                (prefix + kServerId + ".db").c_str(), "", errors));
    EXPECT_EQ(0, db_create_file(const_cast<char *>(kServerId), &forwarding, DB_BTREE, DB_DUP,
                                (prefix + kServerId + QUELMO_DB_FORWARDING_SUFFIX).c_str(), "", errors));
    EXPECT_EQ(0, db_close(extensions, "", errors));
    EXPECT_EQ(0, db_close(forwarding, "", errors));
    fclose(errors);
}

/* Reads one line (with its line feed) from sock; "" at the end of input. */
std::string read_line(int sock) {
    std::string line;
    char c;
    while (read(sock, &c, 1) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

TEST(CallDispatch, StandardOutputStaysTheProcessOwnWhileACallIsDispatched) {
    signal(SIGPIPE, SIG_IGN);
    quelmo_init();
    reset_debug_log();
    std::string dir = scratch_dir();
    std::string prefix = dir + "/quelmo";
    create_empty_databases(prefix);
    std::string db_log = dir + "/db.log";
    CallFiles files = {prefix.c_str(), db_log.c_str()};
    SocketPair pair = make_socket_pair();
    FILE *own_stdout = stdout;
    FILE *own_stdin = stdin;
    std::thread dispatcher(
        [&] { ClientProcessCallWithFiles(pair.server, const_cast<char *>(kServerId), &files); });
    std::string environment = "agi_network: yes\nagi_context: from-internal\nagi_extension: 206\n\n";
    ASSERT_EQ(static_cast<ssize_t>(environment.size()),
              write(pair.pbx, environment.data(), environment.size()));
    /* The dispatcher has read the environment and waits for this reply. */
    EXPECT_EQ("GET VARIABLE EXTENSION\n", read_line(pair.pbx));
    FILE *stdout_during_call = stdout;
    FILE *stdin_during_call = stdin;
    /* EXTENSION and EXTEN unset: the call ends without a worker. */
    for (std::string line = "-"; !line.empty(); line = read_line(pair.pbx))
        if (write(pair.pbx, "200 result=0\n", 13) != 13) break;
    dispatcher.join();
    close(pair.pbx);
    EXPECT_EQ(own_stdout, stdout_during_call);
    EXPECT_EQ(own_stdout, stdout);
    EXPECT_EQ(own_stdin, stdin_during_call);
}

}  // namespace
