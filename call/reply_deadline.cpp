/* reply_deadline: one watchdog thread sleeping on a condition variable until the armed
 * deadline or a change. Every field below is read and written under watch_lock, and the
 * watchdog shuts the connection only under it, so once DisarmReplyDeadline has returned
 * the descriptor can be closed (and its number reused) safely.
 *
 * Arming and disarming wake the watchdog only when it must wait for an earlier time than
 * it does: a disarmed deadline is found gone when the watchdog wakes for it, and a later
 * one is waited for again then. So a server dispatching one call after another pays no
 * wake-up per call. */
#include "reply_deadline.h"

#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <ctime>

namespace {

pthread_mutex_t watch_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t watch_changed; /* on CLOCK_MONOTONIC; set up once with the thread */
bool watchdog_running = false;
int watched_connection = -1;  /* -1: nothing armed */
struct timespec due;          /* CLOCK_MONOTONIC time the armed deadline runs out */
bool deadline_passed = false;
bool watchdog_waiting = false; /* the watchdog sleeps until waiting_until */
struct timespec waiting_until;

struct timespec monotonic_after(int milliseconds) {
    struct timespec when;
    clock_gettime(CLOCK_MONOTONIC, &when);
    when.tv_sec += milliseconds / 1000;
    when.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (when.tv_nsec >= 1000000000L) {
        when.tv_sec += 1;
        when.tv_nsec -= 1000000000L;
    }
    return when;
}

bool not_before(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

bool is_due(const struct timespec &now) { return not_before(now, due); }

void *watch_deadlines(void *) {
    pthread_mutex_lock(&watch_lock);
    for (;;) {
        if (watched_connection < 0) {
            pthread_cond_wait(&watch_changed, &watch_lock);
            continue;
        }
        watchdog_waiting = true;
        waiting_until = due;
        pthread_cond_timedwait(&watch_changed, &watch_lock, &waiting_until);
        watchdog_waiting = false;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (watched_connection >= 0 && is_due(now)) {
            shutdown(watched_connection, SHUT_RD);
            watched_connection = -1;
            deadline_passed = true;
        }
    }
    return nullptr;
}

/* Starts the watchdog on first use. Called under watch_lock. */
bool start_watchdog() {
    if (watchdog_running) return true;
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&watch_changed, &attributes);
    pthread_condattr_destroy(&attributes);
    pthread_t watchdog;
    if (pthread_create(&watchdog, nullptr, watch_deadlines, nullptr) != 0) {
        pthread_cond_destroy(&watch_changed);
        return false;
    }
    pthread_detach(watchdog);
    watchdog_running = true;
    return true;
}

}  // namespace

bool ArmReplyDeadline(int connection, int milliseconds) {
    pthread_mutex_lock(&watch_lock);
    bool armed = start_watchdog();
    if (armed) {
        watched_connection = connection;
        due = monotonic_after(milliseconds);
        deadline_passed = false;
        /* Asleep without a time, or until a later one: it must look again now. */
        if (!watchdog_waiting || !not_before(due, waiting_until))
            pthread_cond_signal(&watch_changed);
    }
    pthread_mutex_unlock(&watch_lock);
    return armed;
}

bool ReplyDeadlinePassed(void) {
    pthread_mutex_lock(&watch_lock);
    bool passed = deadline_passed;
    pthread_mutex_unlock(&watch_lock);
    return passed;
}

bool DisarmReplyDeadline(void) {
    pthread_mutex_lock(&watch_lock);
    bool passed = deadline_passed;
    watched_connection = -1;
    pthread_mutex_unlock(&watch_lock);
    return passed;
}
