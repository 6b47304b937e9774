/* pbx-sim: the PBX side of one FastAGI call, as a current Asterisk answers it (see the
 * header). Keeps no state between calls: everything a call needs is in its SimCall, and
 * everything it leaves is in its SimTranscript. */
#include "pbx-sim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char kGetVariable[] = "GET VARIABLE ";
const char kExec[] = "exec ";

bool starts_with_nocase(const std::string &text, const char *prefix) {
    return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

/* The application name of an "exec APP ARGS" line, or "" for any other command. */
std::string exec_application(const std::string &command) {
    if (!starts_with_nocase(command, kExec)) return "";
    std::string rest = command.substr(sizeof(kExec) - 1);
    return rest.substr(0, rest.find(' '));
}

/* The argument text of an "exec APP ARGS" line, without one pair of enclosing quotes. */
std::string exec_arguments(const std::string &command) {
    size_t space = command.find(' ', sizeof(kExec) - 1);
    if (space == std::string::npos) return "";
    std::string args = command.substr(space + 1);
    if (args.size() >= 2 && args.front() == '"' && args.back() == '"')
        args = args.substr(1, args.size() - 2);
    return args;
}

/* The result number of a reply line such as "200 result=-2". */
int result_of(const std::string &reply) {
    size_t equals = reply.find("result=");
    return equals == std::string::npos ? -1 : atoi(reply.c_str() + equals + 7);
}

bool send_all(int sock, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(sock, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void pause_us(long us) {
    struct timespec pause = {us / 1000000, (us % 1000000) * 1000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

/* The caller ID the channel starts with: a "Name" <number> text, or a number alone. */
void start_outcome(const SimCall &call, SimOutcome *outcome) {
    const std::string &text = call.callerid;
    size_t open = text.rfind('<');
    size_t close = open == std::string::npos ? std::string::npos : text.find('>', open);
    if (close == std::string::npos) {
        outcome->cidnum = text;
    } else {
        outcome->cidnum = text.substr(open + 1, close - open - 1);
        std::string name = text.substr(0, open);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
            name = name.substr(1, name.size() - 2);
        outcome->cidname = name;
    }
    outcome->continues_at = "the next priority after the AGI step (context " + call.context +
                            ", extension " + call.extension + ")";
}

/* Where SET CONTEXT / SET EXTENSION / SET PRIORITY have moved the channel so far. */
struct ChannelPlace {
    std::string context, extension, priority;
    bool moved = false;
};

/* Follows one answered command's effect on the channel's caller ID and place. */
void apply_command(const SimCall &call, const std::string &command, int result,
                   SimOutcome *outcome, ChannelPlace *place) {
    std::string app = exec_application(command);
    std::string args = exec_arguments(command);
    if (result == 0 && strcasecmp(app.c_str(), "SetCIDName") == 0) outcome->cidname = args;
    if (result == 0 && strcasecmp(app.c_str(), "SetCIDNum") == 0) outcome->cidnum = args;
    if (result == 0 && strcasecmp(app.c_str(), "Set") == 0) {
        if (args.rfind("CALLERID(name)=", 0) == 0) outcome->cidname = args.substr(15);
        if (args.rfind("CALLERID(num)=", 0) == 0) outcome->cidnum = args.substr(14);
    }
    if (result == 0 && strcasecmp(app.c_str(), "Goto") == 0)
        outcome->continues_at = "priority " + args + " of extension " + call.extension +
                                " in context " + call.context;
    const struct {
        const char *prefix;
        std::string ChannelPlace::*field;
    } setters[] = {{"SET CONTEXT ", &ChannelPlace::context},
                   {"SET EXTENSION ", &ChannelPlace::extension},
                   {"SET PRIORITY ", &ChannelPlace::priority}};
    for (const auto &setter : setters) {
        if (!starts_with_nocase(command, setter.prefix)) continue;
        place->*setter.field = command.substr(strlen(setter.prefix));
        place->moved = true;
    }
}

/* Works out the outcome from the whole exchange. */
void finish_outcome(const SimCall &call, SimTranscript *transcript) {
    start_outcome(call, &transcript->outcome);
    ChannelPlace place = {call.context, call.extension, "1"};
    const std::vector<SimEntry> &entries = transcript->entries;
    for (size_t i = 0; i + 1 < entries.size(); i++) {
        if (entries[i].kind != SIM_COMMAND || entries[i + 1].kind != SIM_REPLY) continue;
        std::string command = entries[i].text.substr(0, entries[i].text.size() - 1);
        apply_command(call, command, result_of(entries[i + 1].text), &transcript->outcome, &place);
    }
    if (place.moved)
        transcript->outcome.continues_at = "context " + place.context + ", extension " +
                                           place.extension + ", priority " + place.priority;
}

/* Answers every complete line in pending, oldest first, while *can_send; a reply that
 * cannot be sent clears it (the server has closed). Each line is recorded with the
 * answer the PBX gives, sent or not, so the transcript does not hang on the moment the
 * server's close arrives: over a socket pair a reply fails at once, over TCP only later. */
void answer_lines(int sock, const SimCall &call, std::string *pending, SimTranscript *transcript,
                  bool *can_send) {
    size_t end;
    while ((end = pending->find('\n')) != std::string::npos) {
        std::string command = pending->substr(0, end);
        pending->erase(0, end + 1);
        transcript->entries.push_back({SIM_COMMAND, command + "\n"});
        std::string reply = SimReplyTo(call, command);
        if (*can_send && call.reply_delay_us > 0) pause_us(call.reply_delay_us);
        if (*can_send && call.ring_ms > 0 && strcasecmp(exec_application(command).c_str(), "Dial") == 0)
            pause_us(call.ring_ms * 1000L);
        transcript->entries.push_back({SIM_REPLY, reply});
        if (*can_send && !send_all(sock, reply)) *can_send = false;
    }
}

}  // namespace

int SimDefaultResult(const SimCall &call, const std::string &app) noexcept {
    bool removed_app =
        strcasecmp(app.c_str(), "SetCIDName") == 0 || strcasecmp(app.c_str(), "SetCIDNum") == 0;
    return removed_app && !call.agi_version.empty() ? -2 : 0;
}

std::string SimEnvironment(const SimCall &call) noexcept {
    return "agi_network: yes\n"
           "agi_request: agi://127.0.0.1\n"
           "agi_channel: " + call.channel + "\n" +
           "agi_uniqueid: " + call.uniqueid + "\n" +
           (call.agi_version.empty() ? std::string() : "agi_version: " + call.agi_version + "\n") +
           "agi_callerid: " + call.callerid + "\n" +
           "agi_context: " + call.context + "\n" +
           "agi_extension: " + call.extension + "\n" +
           "agi_priority: 1\n\n";
}

void SimNameCall(SimCall *call, long epoch, unsigned long n) noexcept {
    char channel[32];
    snprintf(channel, sizeof(channel), "PJSIP/sim-%08lx", n);
    try {
        call->uniqueid = std::to_string(epoch) + "." + std::to_string(n);
        call->channel = channel;
    } catch (const std::exception &) {
        /* Out of memory: the call keeps the names it had. */
    }
}

std::string SimReplyTo(const SimCall &call, const std::string &command) noexcept {
    if (starts_with_nocase(command, kGetVariable)) {
        auto found = call.variables.find(command.substr(sizeof(kGetVariable) - 1));
        if (found == call.variables.end()) return "200 result=0\n";
        return "200 result=1 (" + found->second + ")\n";
    }
    std::string app = exec_application(command);
    if (app.empty()) return "200 result=0\n";
    auto found = call.app_results.find(app);
    int result = found != call.app_results.end() ? found->second : SimDefaultResult(call, app);
    return "200 result=" + std::to_string(result) + "\n";
}

int SimPlayCall(int sock, const SimCall &call, SimTranscript *transcript) noexcept {
    transcript->entries.clear();
    std::string environment = SimEnvironment(call);
    transcript->entries.push_back({SIM_ENVIRONMENT, environment});
    std::string pending;
    char buf[4096];
    ssize_t n;
    bool can_send = send_all(sock, environment);
    /* Reads on after a failed reply: what the server sent before closing is still there. */
    for (;;) {
        answer_lines(sock, call, &pending, transcript, &can_send);
        n = recv(sock, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
    }
    /* The server has closed when input ends, or when a reply of ours was left unread as it
     * closed (it never reads the reply to its last command): the connection is reset. */
    transcript->closed_by_server = n == 0 || errno == ECONNRESET || errno == EPIPE;
    if (!pending.empty()) transcript->entries.push_back({SIM_PARTIAL, pending});
    if (transcript->closed_by_server) transcript->entries.push_back({SIM_CLOSED, ""});
    finish_outcome(call, transcript);
    return transcript->closed_by_server ? 0 : -1;
}

int SimConnect(int port) noexcept {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        int error = errno;
        close(sock);
        errno = error;
        return -1;
    }
    return sock;
}

std::vector<std::string> SimCommands(const SimTranscript &transcript) noexcept {
    std::vector<std::string> commands;
    for (const SimEntry &entry : transcript.entries) {
        if (entry.kind == SIM_COMMAND)
            commands.push_back(entry.text.substr(0, entry.text.size() - 1));
        else if (entry.kind == SIM_PARTIAL)
            commands.push_back(entry.text);
    }
    return commands;
}

std::string SimVisible(const std::string &text) noexcept {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

void SimPrintTranscript(FILE *out, const SimCall &call, const SimTranscript &transcript) noexcept {
    for (const SimEntry &entry : transcript.entries) {
        switch (entry.kind) {
            case SIM_ENVIRONMENT:
                fprintf(out, "PBX  -> quelmo: AGI environment (context %s, extension %s, caller ID %s)\n",
                        call.context.c_str(), call.extension.c_str(), call.callerid.c_str());
                break;
            case SIM_COMMAND:
                fprintf(out, "quelmo -> PBX : %s\n", SimVisible(entry.text).c_str());
                break;
            case SIM_REPLY:
                fprintf(out, "PBX  -> quelmo: %s\n", SimVisible(entry.text).c_str());
                break;
            case SIM_PARTIAL:
                fprintf(out, "quelmo -> PBX : %s (no line break)\n", SimVisible(entry.text).c_str());
                break;
            case SIM_CLOSED:
                fprintf(out, "-- quelmo.fast closed the connection; the dial plan goes on\n");
                break;
        }
    }
    if (!transcript.closed_by_server) fprintf(out, "-- the connection failed before quelmo.fast closed it\n");
    fprintf(out, "-- caller ID now: name \"%s\", number \"%s\"\n", transcript.outcome.cidname.c_str(),
            transcript.outcome.cidnum.c_str());
    fprintf(out, "-- the dial plan goes on at %s\n", transcript.outcome.continues_at.c_str());
}
