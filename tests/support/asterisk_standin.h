/* A stand-in for Asterisk at the far end of an AGI connection, for tests. It sends an
 * environment block, answers each command line from a script of (expected command,
 * reply) steps or a default rule, records every byte it receives, and reports the first
 * mismatch readably. Steps can hang up, send text early (before the command it answers)
 * or reply late. It runs on a thread of its own once started. */
#ifndef ASTERISK_STANDIN_H
#define ASTERISK_STANDIN_H

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quelmo_test {

using EnvVars = std::vector<std::pair<std::string, std::string>>;

/* The environment a current Asterisk sends for a call in 'context' to 'extension' from
 * 'callerid', in its order, with 'extra' pairs appended before the empty line. */
EnvVars asterisk_environment(const std::string &context, const std::string &extension,
                             const std::string &callerid, const EnvVars &extra = {});

class AsteriskStandIn {
   public:
    /* Takes fd, one end of a connected socket; it is closed when the stand-in ends. */
    explicit AsteriskStandIn(int fd);
    ~AsteriskStandIn();
    AsteriskStandIn(const AsteriskStandIn &) = delete;
    AsteriskStandIn &operator=(const AsteriskStandIn &) = delete;

    /* Script steps, run in order once started. */
    AsteriskStandIn &environment(const EnvVars &vars); /* pairs, then the empty line */
    AsteriskStandIn &send(const std::string &bytes);   /* raw bytes, sent at this point */
    /* Waits for the command line 'command' (without its line break) and replies; a
     * reply without a line break gets one, an empty reply sends nothing. delay_ms > 0
     * sends the reply late. */
    AsteriskStandIn &expect(const std::string &command, const std::string &reply,
                            int delay_ms = 0);
    /* Waits for one command line without checking it, then replies. */
    AsteriskStandIn &expect_any(const std::string &reply);
    AsteriskStandIn &hangup(); /* closes the connection at this point */
    /* Answers every command that arrives after the script has run out. Without a rule
     * such a command is a mismatch and gets no reply. */
    AsteriskStandIn &default_reply(std::function<std::string(const std::string &)> rule);
    AsteriskStandIn &default_reply(const std::string &reply);

    void start();
    /* Waits until the peer closes its end (or the stand-in hung up). Returns false when
     * timeout_ms passed first. */
    bool wait_closed(int timeout_ms = 10000);

    std::string received() const;              /* every byte received, in order */
    std::vector<std::string> commands() const; /* received lines, without line breaks */
    std::string mismatch() const;              /* the first mismatch, "" if none */
    /* Every step has run: waits up to timeout_ms for the stand-in to get past its last
     * step, since the server may read the last reply before the stand-in notes it. */
    bool script_done(int timeout_ms = 2000) const;
    /* A readable account of the exchange for failure messages. */
    std::string transcript() const;

   private:
    struct Step {
        enum Kind { kSend, kExpect, kExpectAny, kHangup } kind;
        std::string text;
        std::string reply;
        int delay_ms;
    };
    void run();
    bool read_line(std::string *line);
    void write_all(const std::string &bytes);
    void note_mismatch(const std::string &what);
    void note(const std::string &entry);

    int fd_;
    std::vector<Step> steps_;
    std::function<std::string(const std::string &)> default_rule_;
    std::thread thread_;
    bool started_ = false;
    std::string pending_;

    mutable std::mutex mutex_;
    std::string received_;
    std::vector<std::string> commands_;
    std::string mismatch_;
    std::string transcript_;
    bool script_done_ = false;
    bool closed_ = false;
};

}  // namespace quelmo_test

#endif
