#include "asterisk_standin.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quelmo_test {

namespace {

/* How long the stand-in waits for the next byte before it gives up on the peer. */
const int kReadTimeoutMs = 20000;

std::string with_line_break(const std::string &text) {
    if (text.empty() || text.back() == '\n') return text;
    return text + "\n";
}

std::string printable(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

EnvVars asterisk_environment(const std::string &context, const std::string &extension,
                             const std::string &callerid, const EnvVars &extra) {
    EnvVars vars = {
        {"agi_network", "yes"},
        {"agi_request", "agi://127.0.0.1:4573"},
        {"agi_channel", "Local/" + extension + "@" + context + "-00000003;2"},
        {"agi_language", "en"},
        {"agi_type", "Local"},
        {"agi_uniqueid", "1796741624.7"},
        {"agi_version", "20.20.1"},
        {"agi_callerid", callerid},
        {"agi_calleridname", "unknown"},
        {"agi_callingpres", "0"},
        {"agi_dnid", "unknown"},
        {"agi_rdnis", "unknown"},
        {"agi_context", context},
        {"agi_extension", extension},
        {"agi_priority", "3"},
        {"agi_enhanced", "0.0"},
        {"agi_accountcode", ""},
        {"agi_threadid", "140353472157376"},
    };
    vars.insert(vars.end(), extra.begin(), extra.end());
    return vars;
}

AsteriskStandIn::AsteriskStandIn(int fd) : fd_(fd) {}

AsteriskStandIn::~AsteriskStandIn() {
    if (thread_.joinable()) {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
    }
    if (fd_ >= 0) close(fd_);
}

AsteriskStandIn &AsteriskStandIn::environment(const EnvVars &vars) {
    std::string block;
    for (const auto &pair : vars) block += pair.first + ": " + pair.second + "\n";
    return send(block + "\n");
}

AsteriskStandIn &AsteriskStandIn::send(const std::string &bytes) {
    steps_.push_back({Step::kSend, bytes, "", 0});
    return *this;
}

AsteriskStandIn &AsteriskStandIn::expect(const std::string &command, const std::string &reply,
                                         int delay_ms) {
    steps_.push_back({Step::kExpect, command, with_line_break(reply), delay_ms});
    return *this;
}

AsteriskStandIn &AsteriskStandIn::expect_any(const std::string &reply) {
    steps_.push_back({Step::kExpectAny, "", with_line_break(reply), 0});
    return *this;
}

AsteriskStandIn &AsteriskStandIn::hangup() {
    steps_.push_back({Step::kHangup, "", "", 0});
    return *this;
}

AsteriskStandIn &AsteriskStandIn::default_reply(
    std::function<std::string(const std::string &)> rule) {
    default_rule_ = std::move(rule);
    return *this;
}

AsteriskStandIn &AsteriskStandIn::default_reply(const std::string &reply) {
    std::string line = with_line_break(reply);
    return default_reply([line](const std::string &) { return line; });
}

void AsteriskStandIn::start() {
    started_ = true;
    thread_ = std::thread(&AsteriskStandIn::run, this);
}

bool AsteriskStandIn::wait_closed(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

std::string AsteriskStandIn::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<std::string> AsteriskStandIn::commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::string AsteriskStandIn::mismatch() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mismatch_;
}

bool AsteriskStandIn::script_done(int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (script_done_ || closed_) return script_done_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string AsteriskStandIn::transcript() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transcript_ + (mismatch_.empty() ? "" : "first mismatch: " + mismatch_ + "\n");
}

void AsteriskStandIn::note_mismatch(const std::string &what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mismatch_.empty()) mismatch_ = what;
}

void AsteriskStandIn::note(const std::string &entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    transcript_ += entry + "\n";
}

void AsteriskStandIn::write_all(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

/* Reads one line (up to and including "\n"). Returns false at the end of the stream or
 * after the read time-out; a partial last line is still recorded. */
bool AsteriskStandIn::read_line(std::string *line) {
    for (;;) {
        size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            *line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            std::lock_guard<std::mutex> lock(mutex_);
            commands_.push_back(*line);
            transcript_ += "server> " + printable(*line) + "\n";
            return true;
        }
        struct pollfd p = {fd_, POLLIN, 0};
        int ready = poll(&p, 1, kReadTimeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            note_mismatch("timed out waiting for a command from the server");
            return false;
        }
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!pending_.empty()) {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(pending_);
                transcript_ += "server> " + printable(pending_) + " (no line break)\n";
                pending_.clear();
            }
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(buf, static_cast<size_t>(n));
        pending_.append(buf, static_cast<size_t>(n));
    }
}

void AsteriskStandIn::run() {
    bool open = true;
    size_t number = 0;
    for (const Step &step : steps_) {
        if (!open) break;
        std::string line;
        switch (step.kind) {
            case Step::kSend:
                write_all(step.text);
                note("pbx> " + printable(step.text));
                break;
            case Step::kExpect:
            case Step::kExpectAny:
                number++;
                if (!read_line(&line)) {
                    note_mismatch("command " + std::to_string(number) + ": expected '" +
                                  printable(step.text) + "' but the server closed the connection");
                    open = false;
                    break;
                }
                if (step.kind == Step::kExpect && line != step.text)
                    note_mismatch("command " + std::to_string(number) + ": expected '" +
                                  printable(step.text) + "' but got '" + printable(line) + "'");
                if (step.delay_ms > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.delay_ms));
                if (!step.reply.empty()) {
                    write_all(step.reply);
                    note("pbx> " + printable(step.reply));
                }
                break;
            case Step::kHangup:
                shutdown(fd_, SHUT_RDWR);
                note("-- pbx hangs up");
                open = false;
                break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        script_done_ = open || (!steps_.empty() && steps_.back().kind == Step::kHangup);
        if (!open) closed_ = true;
    }
    std::string line;
    while (open && read_line(&line)) {
        number++;
        if (!default_rule_) {
            note_mismatch("command " + std::to_string(number) + ": unexpected '" +
                          printable(line) + "' after the script");
            continue;
        }
        std::string reply = default_rule_(line);
        write_all(reply);
        note("pbx> " + printable(reply));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
}

}  // namespace quelmo_test
