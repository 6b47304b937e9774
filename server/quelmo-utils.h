/* quelmo-utils: the debug log of quelmo.fast, the opening of its database error log, and
 * the two signal handlers. Owns the process-wide log mutex and the descriptor of each log's
 * last open (both logs are opened anew per message or call). Every thread of the server
 * logs through quelmo_debug; main installs the handlers. */
#ifndef QUELMO_UTILS_H
#define QUELMO_UTILS_H

#include <pthread.h>
#include <stdarg.h>

/* Serialises writers of the debug log within the process. Initialised by quelmo_init. */
extern pthread_mutex_t quelmo_file_mutex;

/* Initialises quelmo_file_mutex. REQUIRES: called once, before any thread starts and
 * before the first message is logged. */
void quelmo_init(void);

/* Appends one line "time [pid] [thread]: message" to the debug log. The message is the
 * caller's and is neither kept nor freed. Never reports failure: a line that cannot be
 * written is dropped. REQUIRES: the calling thread does not hold quelmo_file_mutex. */
void quelmo_debug(char *message);

/* Hands every later message to sink instead of the log file (sink null: back to the
 * file). sink gets the message alone, without time, ids or line break, under
 * quelmo_file_mutex, so one call at a time; it must not log itself. For quelmo.admin,
 * whose runs of the call code must leave the daemon's log alone. REQUIRES: no other thread
 * of the process logs while the sink is changed. */
void quelmo_debug_to(void (*sink)(const char *message));

/* Opens the log file at path (the database error log) for appending, created when missing,
 * and returns a new close-on-exec descriptor that the caller closes, or -1. While the log
 * cannot be opened (a rotation has just renamed it and its new file is not there or not
 * yet the server's), the result is a duplicate of the descriptor of the last successful
 * open of the same path, whose file still has a name: the lines land in the rotated file.
 * Keeps that one descriptor open for the process. Safe from any thread. */
int quelmo_open_log(const char *path);

/* Opens the debug log and the database error log once, as quelmo.fast starts serving, so
 * that each has a kept descriptor from the first call on (and the descriptors counted at
 * start include them). REQUIRES: quelmo_init has run. */
void quelmo_open_logs_at_start(void);

/* Milliseconds on the monotonic clock, which no change of the wall clock moves: for
 * waits and rate limits. Async-signal-safe. */
long long quelmo_monotonic_ms(void);

/* Formats a message into a heap buffer of exactly its size, logs it with quelmo_debug and
 * frees it. Texts from outside are always arguments, never the format. When the buffer
 * cannot be allocated the message is dropped. */
void quelmo_debugf(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Formats into a new heap text of exactly its size. Returns null when the text cannot be
 * formatted or allocated; otherwise the caller frees the result. */
char *quelmo_vformat(const char *format, va_list args) __attribute__((format(printf, 1, 0)));

/* lock 1: locks quelmo_file_mutex; lock 0: unlocks it; returns the pthread result.
 * Any other value logs "quelmo_lock_file should never get here." and returns 1. */
int quelmo_lock_file(int lock);

/* SIGPIPE handler: logs "Caught SIGPIPE\n" and returns, so the write fails with EPIPE. */
void sig_pipe(int signo);

/* SIGSEGV handler: logs "Caught SIGSEGV\n" and ends the calling thread only. Uses
 * async-signal-safe calls only; skips the entry when the thread may hold the log mutex and
 * releases that mutex before the thread ends, so other threads can still log. A signal
 * sent from outside while the thread is inside the mutex's own lock or unlock call (where
 * it cannot tell whether it holds the mutex) is ignored: the thread goes on. */
void sig_segfault(int signo);

#endif
