/* asterisk-sim: a small Asterisk simulator for trying quelmo.fast without a PBX. It
 * connects to the server as Asterisk's FastAGI client does, sends the AGI environment of
 * one call, answers every command the server sends, and prints each exchange. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pbx-sim.h"

namespace {

void print_usage() {
    fputs("Usage:  asterisk-sim PORT CONTEXT EXTENSION CALLERID [VARIABLE=VALUE ...]\n"
          "        asterisk-sim --free-port\n"
          "Connects to quelmo.fast on 127.0.0.1:PORT as one call. Channel variables given\n"
          "as VARIABLE=VALUE are answered to GET VARIABLE; any other variable is unset.\n"
          "Every application the server runs answers result 0, but SetCIDName and\n"
          "SetCIDNum, which a current PBX no longer has (result -2).\n",
          stderr);
}

/* Prints a port of 127.0.0.1 that is free at this moment. */
int print_free_port() {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        fprintf(stderr, "asterisk-sim: no free port: %s\n", strerror(errno));
        return 1;
    }
    printf("%d\n", ntohs(address.sin_port));
    close(sock);
    return 0;
}

int connect_to_server(int port) {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (sock < 0 || connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        fprintf(stderr, "asterisk-sim: cannot connect to 127.0.0.1:%d: %s\n", port, strerror(errno));
        if (sock >= 0) close(sock);
        return -1;
    }
    return sock;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--free-port") == 0) return print_free_port();
    if (argc < 5) {
        print_usage();
        return 2;
    }
    SimCall call;
    call.context = argv[2];
    call.extension = argv[3];
    call.callerid = argv[4];
    for (int i = 5; i < argc; i++) {
        const char *equals = strchr(argv[i], '=');
        if (equals == nullptr) {
            print_usage();
            return 2;
        }
        call.variables[std::string(argv[i], static_cast<size_t>(equals - argv[i]))] = equals + 1;
    }
    int sock = connect_to_server(atoi(argv[1]));
    if (sock < 0) return 1;
    SimTranscript transcript;
    int status = SimPlayCall(sock, call, &transcript);
    SimPrintTranscript(stdout, call, transcript);
    close(sock);
    return status == 0 ? 0 : 1;
}
