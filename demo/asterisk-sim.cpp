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
#include <map>
#include <string>

namespace {

void print_usage() {
    fputs("Usage:  asterisk-sim PORT CONTEXT EXTENSION CALLERID [VARIABLE=VALUE ...]\n"
          "        asterisk-sim --free-port\n"
          "Connects to quelmo.fast on 127.0.0.1:PORT as one call. Channel variables given\n"
          "as VARIABLE=VALUE are answered to GET VARIABLE; any other variable is unset.\n"
          "Every application the server runs answers result 0.\n",
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

/* Shows a line with its line break and any control character made visible. */
std::string visible(const std::string &line) {
    std::string out;
    for (unsigned char c : line) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += static_cast<char>(c);
    }
    return out;
}

/* The reply Asterisk would give: a variable's value, or result 0 for applications. */
std::string reply_to(const std::string &command, const std::map<std::string, std::string> &vars) {
    const std::string get = "GET VARIABLE ";
    if (command.compare(0, get.size(), get) == 0) {
        auto found = vars.find(command.substr(get.size()));
        if (found == vars.end()) return "200 result=0\n";
        return "200 result=1 (" + found->second + ")\n";
    }
    return "200 result=0\n";
}

void send_text(int sock, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(sock, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void send_environment(int sock, const char *context, const char *extension, const char *callerid) {
    std::string env = std::string("agi_network: yes\n") +
                      "agi_request: agi://127.0.0.1\n"
                      "agi_channel: SIP/sim-00000001\n"
                      "agi_uniqueid: 1796741624.7\n"
                      "agi_version: 20.20.1\n"
                      "agi_callerid: " + callerid + "\n" +
                      "agi_context: " + context + "\n" +
                      "agi_extension: " + extension + "\n" +
                      "agi_priority: 1\n\n";
    printf("PBX  -> quelmo: AGI environment (context %s, extension %s, caller ID %s)\n", context,
           extension, callerid);
    send_text(sock, env);
}

/* Answers commands until the server closes the connection. */
void answer_commands(int sock, const std::map<std::string, std::string> &vars) {
    std::string pending;
    char buf[4096];
    for (;;) {
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string command = pending.substr(0, end);
            pending.erase(0, end + 1);
            std::string reply = reply_to(command, vars);
            printf("quelmo -> PBX : %s\n", visible(command + "\n").c_str());
            printf("PBX  -> quelmo: %s\n", visible(reply).c_str());
            send_text(sock, reply);
        }
        ssize_t n = recv(sock, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
    }
    if (!pending.empty()) printf("quelmo -> PBX : %s (no line break)\n", visible(pending).c_str());
    printf("-- quelmo.fast closed the connection; the dial plan goes on\n");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--free-port") == 0) return print_free_port();
    if (argc < 5) {
        print_usage();
        return 2;
    }
    std::map<std::string, std::string> vars;
    for (int i = 5; i < argc; i++) {
        const char *equals = strchr(argv[i], '=');
        if (equals == nullptr) {
            print_usage();
            return 2;
        }
        vars[std::string(argv[i], static_cast<size_t>(equals - argv[i]))] = equals + 1;
    }
    int sock = connect_to_server(atoi(argv[1]));
    if (sock < 0) return 1;
    send_environment(sock, argv[2], argv[3], argv[4]);
    answer_commands(sock, vars);
    close(sock);
    return 0;
}
