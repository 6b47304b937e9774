/* Test helpers for the incoming forwarding worker: heap-built rule lists and caller-ID
 * records (the worker frees them), and one call run over a socket pair with the Asterisk
 * stand-in on the far end. Used by the worker's tests and its concurrency test. */
#ifndef QUELMO_TEST_INCOMING_CALL_H
#define QUELMO_TEST_INCOMING_CALL_H

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "asterisk_standin.h"
#include "quelmo-call.h"
#include "test_support.h"

namespace quelmo_test {

struct Rule {
    int priority;
    std::string app;
    std::string args;
};

inline char *heap_text(const std::string &text) {
    char *copy = static_cast<char *>(malloc(text.size() + 1));
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

/* A rule list in the given order, every node, rule and text on the heap. */
inline FORWARDING_LIST *make_rules(const std::vector<Rule> &rules) {
    FORWARDING_LIST *head = nullptr;
    for (auto rule = rules.rbegin(); rule != rules.rend(); ++rule) {
        FORWARDING_INFO *info = static_cast<FORWARDING_INFO *>(malloc(sizeof(FORWARDING_INFO)));
        info->priority = rule->priority;
        info->app = heap_text(rule->app);
        info->args = heap_text(rule->args);
        FORWARDING_LIST *node = static_cast<FORWARDING_LIST *>(malloc(sizeof(FORWARDING_LIST)));
        node->dial_plan = info;
        node->next = head;
        head = node;
    }
    return head;
}

/* A caller-ID record with heap texts; a null text stays absent. */
inline EXTENSION_INFO *make_caller_id(const char *name, const char *number) {
    EXTENSION_INFO *cid = static_cast<EXTENSION_INFO *>(malloc(sizeof(EXTENSION_INFO)));
    cid->extension = nullptr;
    cid->cidname = name != nullptr ? heap_text(name) : nullptr;
    cid->cidnum = number != nullptr ? heap_text(number) : nullptr;
    return cid;
}

/* Debug-log messages that equal text. */
inline size_t count_messages(const std::string &text) {
    std::vector<std::string> log = debug_messages();
    return static_cast<size_t>(std::count(log.begin(), log.end(), text));
}

/* Waits (bounded) until 'count' workers have logged their exit line. */
inline bool wait_for_worker_exits(size_t count, int timeout_ms = 30000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (count_messages("Exit Incoming Thread") < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

/* The number of open descriptors once it has come down to 'expected', or after timeout_ms.
 * A worker's exit line can be read before its log write has closed the log file, so a
 * count taken at once may still hold that descriptor. */
inline int open_fds_settled_to(int expected, int timeout_ms = 2000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int count = count_open_fds();
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        count = count_open_fds();
    }
    return count;
}

/* One incoming call: the worker gets the 'server' end of a socket pair, the stand-in the
 * other. Script the stand-in through pbx() before start(). */
class IncomingCall {
   public:
    IncomingCall() {
        SocketPair pair = make_socket_pair();
        server_fd_ = pair.server;
        pbx_ = std::make_unique<AsteriskStandIn>(pair.pbx);
    }
    ~IncomingCall() {
        if (keeps_server_fd_) close(server_fd_);
    }
    IncomingCall(const IncomingCall &) = delete;
    IncomingCall &operator=(const IncomingCall &) = delete;
    AsteriskStandIn &pbx() { return *pbx_; }
    int server_fd() const { return server_fd_; }

    /* Starts the stand-in and a worker thread that takes rules, cid and the descriptor
     * (another one than the socket's when given), for a PBX that lacks SetCIDName and
     * SetCIDNum when set_cid_at_once. Returns false when no thread started. */
    bool start(FORWARDING_LIST *rules, EXTENSION_INFO *cid, int centrex, int descriptor = -1,
               int set_cid_at_once = 0) {
        pbx_->start();
        IncomingArgs *args = static_cast<IncomingArgs *>(malloc(sizeof(IncomingArgs)));
        keeps_server_fd_ = descriptor >= 0;
        args->ClientSock = keeps_server_fd_ ? descriptor : server_fd_;
        args->centrex = centrex;
        args->cid = cid;
        args->rules = rules;
        args->set_cid_at_once = set_cid_at_once;
        pthread_t thread;
        return pthread_create(&thread, nullptr, Incoming_Thread, args) == 0;
    }
    /* True once the worker has closed its end of the connection. */
    bool wait_closed() { return pbx_->wait_closed(30000); }
    std::string received() const { return pbx_->received(); }

   private:
    int server_fd_;
    bool keeps_server_fd_ = true; /* until a worker takes it */
    std::unique_ptr<AsteriskStandIn> pbx_;
};

}  // namespace quelmo_test

#endif
