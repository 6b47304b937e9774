/* Fuzz target: the raw helpers' reply reading on a socket pair, as on a call's
 * connection. The input is what the PBX side sends; GetVariable and GetExecResult take
 * turns reading it until it is used up. Each must take exactly one whole line off the
 * connection (a rest left behind would be read as the next command's reply); a value
 * must always be handed back, and a positive status must come with a value of its own. */
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "call_agi.h"
#include "call_stream.h"
#include "fuzz_support.h"

namespace {

/* Larger inputs could fill the socket buffer before anything reads them. */
const size_t kMaxInput = 65536;
const int kMaxTurns = 256;

/* Bytes of input not yet read from the connection. */
size_t unread_bytes(int descriptor) {
    int unread = 0;
    if (ioctl(descriptor, FIONREAD, &unread) != 0) quelmo_fuzz::fail("FIONREAD");
    return static_cast<size_t>(unread);
}

void read_variable(int descriptor) {
    char *value = nullptr;
    int status = GetVariable(dup(descriptor), const_cast<char *>("EXTEN"), &value);
    if (value == nullptr) quelmo_fuzz::fail("GetVariable handed back no value");
    if (status >= 1 && value[0] == '\0')
        quelmo_fuzz::fail("a positive status without a value");
    if (status < 1 && strcmp(value, "EMPTY") != 0 && strcmp(value, "INVALID") != 0)
        quelmo_fuzz::fail("a value without a positive status");
    free(value);
}

void read_exec_result(int descriptor) {
    FILE *stream = OpenCallStream(dup(descriptor));
    if (stream == nullptr) quelmo_fuzz::fail("OpenCallStream");
    GetExecResult(stream);
    fclose(stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quelmo_fuzz::quiet_process();
    if (size > kMaxInput) return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) quelmo_fuzz::fail("socketpair");
    if (size > 0 && write(pair[1], data, size) != static_cast<ssize_t>(size))
        quelmo_fuzz::fail("cannot send the input");
    shutdown(pair[1], SHUT_WR);
    for (int turn = 0; turn < kMaxTurns && unread_bytes(pair[0]) > 0; turn++) {
        if (turn % 2 == 0)
            read_variable(pair[0]);
        else
            read_exec_result(pair[0]);
        size_t position = size - unread_bytes(pair[0]);
        if (position > 0 && position < size && data[position - 1] != '\n')
            quelmo_fuzz::fail("a reply line was not read whole");
    }
    close(pair[0]);
    close(pair[1]);
    return 0;
}
