/* quelmo-utils: the debug log writer, its mutex, the opening of the database error log,
 * and the SIGPIPE/SIGSEGV handlers. Each log's path is looked up for every message (or
 * call), so a deleted or moved log is created anew; the descriptor of its last open is
 * kept, and used while the path names its file and at the moment of a rotation (see
 * open_kept_log). The handlers write their entry with async-signal-safe calls only (see
 * write_signal_entry). */
#include "quelmo-utils.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "quelmo-paths.h"

pthread_mutex_t quelmo_file_mutex;

namespace {

/* Where the calling thread stands with quelmo_file_mutex, and the descriptor of the log
 * file it holds the file lock on (-1 when none). A signal handler reads both to learn what
 * the interrupted code of its own thread holds. LOCKING and UNLOCKING cover the mutex's own
 * lock and unlock calls, where a handler cannot tell whether the thread holds it. */
enum LogMutexState { LOG_MUTEX_FREE, LOG_MUTEX_LOCKING, LOG_MUTEX_HELD, LOG_MUTEX_UNLOCKING };
thread_local std::atomic<int> log_mutex_state{LOG_MUTEX_FREE};
thread_local std::atomic<int> locked_log_fd{-1};

/* The process id, kept so that a log line costs no getpid call; forgotten in the child
 * of a fork (daemon() forks), which asks again. */
std::atomic<long> cached_pid{0};

long process_id() {
    long pid = cached_pid.load();
    if (pid == 0) {
        pid = static_cast<long>(getpid());
        cached_pid.store(pid);
    }
    return pid;
}

void forget_pid_after_fork() { cached_pid.store(0); }

/* Offset of local time from UTC, refreshed by every ordinary message, so that a signal
 * handler can form local time without localtime_r (which may lock or allocate). */
std::atomic<long> local_utc_offset{0};

/* Where quelmo_debug sends messages instead of the log file, or null (quelmo_debug_to). */
std::atomic<void (*)(const char *)> message_sink{nullptr};

const char *const month_names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void refresh_utc_offset(const struct tm *local) { local_utc_offset.store(local->tm_gmtoff); }

/* A log file and the descriptor of its last successful open, kept open. Before every use
 * the log's path is looked up: while it still names the file the descriptor reaches, that
 * descriptor is used as it is (a lookup costs less than an open and a close, and the log
 * lock is held the shorter). When the path names another file (a rotation made a new
 * one), that file is opened and replaces the kept one. When the path names no file, the
 * kept descriptor still reaches the renamed file, so lines written until the new file
 * exists land in the rotated one instead of being lost: logrotate renames the log, then
 * creates the new one as root and only then gives it the daemon's owner and mode, and a
 * daemon that may not create files in the log directory cannot make it itself. */
struct KeptLog {
    const char *path;           /* the log's path; not owned */
    int fd;                     /* descriptor of the last successful open, or -1; owned */
    dev_t dev;                  /* the file fd reaches */
    ino_t ino;
    long long renamed_since_ms; /* when the log was first found renamed away, or -1 */
};

/* How long the log is left to the rotation to create after it was renamed away, before
 * the server creates it itself (a log moved by hand). */
const long long kRotationGraceMs = 1000;

/* Whether the file last written still has a name: it was renamed, not deleted. */
bool kept_file_linked(const KeptLog *log) {
    struct stat st;
    return log->fd >= 0 && fstat(log->fd, &st) == 0 && st.st_nlink > 0;
}

/* Whether the missing log was renamed away less than kRotationGraceMs ago. In that moment
 * the rotation's "create" makes the new file; one created here first would be moved aside
 * by logrotate as a .backup, out of the rotation. */
bool renamed_moments_ago(KeptLog *log) {
    if (!kept_file_linked(log)) return false;
    long long now = quelmo_monotonic_ms();
    if (log->renamed_since_ms < 0) log->renamed_since_ms = now;
    return now - log->renamed_since_ms < kRotationGraceMs;
}

/* Makes fd, just opened on log's path, the kept descriptor. False (fd closed) when it
 * cannot be examined. */
bool keep_descriptor(KeptLog *log, int fd) {
    struct stat opened;
    if (fstat(fd, &opened) != 0) {
        close(fd);
        return false;
    }
    if (log->fd >= 0) close(log->fd);
    log->fd = fd;
    log->dev = opened.st_dev;
    log->ino = opened.st_ino;
    log->renamed_since_ms = -1;
    return true;
}

/* Returns the descriptor the next line goes to: the kept one while the path still names
 * its file; else the log opened anew (created when missing, unless a rotation has just
 * renamed it), or, when it cannot be opened, the kept descriptor while its file is still
 * linked; -1 when none. The descriptor stays log's: the caller must not close it. Uses
 * async-signal-safe calls only. REQUIRES: the caller serialises the uses of log. */
int open_kept_log(KeptLog *log) {
    struct stat named;
    if (log->fd >= 0 && stat(log->path, &named) == 0 && named.st_dev == log->dev &&
        named.st_ino == log->ino) {
        log->renamed_since_ms = -1;
        return log->fd;
    }
    int fd = open(log->path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && !renamed_moments_ago(log))
        fd = open(log->path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 && keep_descriptor(log, fd)) return fd;
    return kept_file_linked(log) ? log->fd : -1;
}

/* The debug log, used under quelmo_file_mutex. */
KeptLog debug_log = {QUELMO_DEBUG_LOG, -1, 0, 0, -1};

/* The database error log (one path at a time), under its own mutex: calls open it from
 * their own threads. */
pthread_mutex_t db_log_mutex = PTHREAD_MUTEX_INITIALIZER;
char db_log_path[4096];
KeptLog db_log = {db_log_path, -1, 0, 0, -1};

/* Fixed-size text builder usable inside a signal handler: no allocation, no locale. */
struct SafeText {
    char buf[512];
    size_t len = 0;
    void add(const char *s) {
        while (*s && len < sizeof(buf) - 1) buf[len++] = *s++;
    }
    void add_unsigned(unsigned long v, unsigned base, size_t min_digits) {
        char digits[32];
        size_t n = 0;
        do {
            digits[n++] = "0123456789abcdef"[v % base];
            v /= base;
        } while (v != 0 && n < sizeof(digits));
        while (n < min_digits && n < sizeof(digits)) digits[n++] = '0';
        while (n > 0 && len < sizeof(buf) - 1) buf[len++] = digits[--n];
    }
};

/* Appends "Mon DD HH:MM:SS" for the local time 'now', computed arithmetically. */
void add_safe_time(SafeText *t, time_t now) {
    long long local = static_cast<long long>(now) + local_utc_offset.load();
    long long days = local / 86400, secs = local % 86400;
    if (secs < 0) { secs += 86400; days -= 1; }
    /* Civil date from days since 1970-01-01 (Howard Hinnant's algorithm). */
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long day = doy - (153 * mp + 2) / 5 + 1;
    long long month = mp < 10 ? mp + 3 : mp - 9;
    t->add(month_names[month - 1]);
    t->add(" ");
    t->add_unsigned(static_cast<unsigned long>(day), 10, 2);
    t->add(" ");
    t->add_unsigned(static_cast<unsigned long>(secs / 3600), 10, 2);
    t->add(":");
    t->add_unsigned(static_cast<unsigned long>(secs / 60 % 60), 10, 2);
    t->add(":");
    t->add_unsigned(static_cast<unsigned long>(secs % 60), 10, 2);
}

/* Writes one log entry from a signal handler with async-signal-safe calls only. The caller
 * holds quelmo_file_mutex. */
void write_signal_entry(const char *message) {
    SafeText t;
    add_safe_time(&t, time(nullptr));
    t.add(" [");
    t.add_unsigned(static_cast<unsigned long>(process_id()), 10, 1);
    t.add("] [");
    t.add_unsigned(static_cast<unsigned long>(pthread_self()), 16, 1);
    t.add("]: ");
    t.add(message);
    t.add("\n");
    int fd = open_kept_log(&debug_log);
    if (fd < 0) return;
    flock(fd, LOCK_EX);
    ssize_t ignored = write(fd, t.buf, t.len);
    (void)ignored;
    flock(fd, LOCK_UN);
}

/* Logs a handler's message unless its thread may hold the log mutex (the signal came
 * from inside quelmo_debug). When 'release' is set (the thread is about to end) what the
 * thread holds is given up: closing its log descriptor drops the file lock, and the mutex
 * is unlocked, so that the other threads can go on logging. Returns false when the thread
 * must not end: it was inside the mutex's own lock or unlock call, which never faults, so
 * the signal was sent from outside and the thread may or may not hold the mutex. */
bool log_from_handler(const char *message, bool release) {
    int saved_errno = errno;
    bool may_end = true;
    switch (log_mutex_state.load()) {
        case LOG_MUTEX_FREE:
            if (pthread_mutex_lock(&quelmo_file_mutex) == 0) {
                write_signal_entry(message);
                pthread_mutex_unlock(&quelmo_file_mutex);
            }
            break;
        case LOG_MUTEX_HELD:
            if (release) {
                int fd = locked_log_fd.exchange(-1);
                if (fd >= 0) flock(fd, LOCK_UN);
                log_mutex_state = LOG_MUTEX_FREE;
                pthread_mutex_unlock(&quelmo_file_mutex);
            }
            break;
        default:
            may_end = false;
            break;
    }
    errno = saved_errno;
    return may_end;
}

/* Writes the "time [pid] [thread]: " head of an ordinary log line into head; returns its
 * length. */
size_t format_line_head(char *head, size_t size) {
    time_t now = time(nullptr);
    struct tm local;
    char time_text[64] = "";
    if (localtime_r(&now, &local) != nullptr) {
        refresh_utc_offset(&local);
        strftime(time_text, sizeof(time_text), "%b %d %T", &local);
    }
    int length = snprintf(head, size, "%s [%ld] [%lx]: ", time_text, process_id(),
                          static_cast<unsigned long>(pthread_self()));
    if (length < 0) return 0;
    return static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size - 1;
}

/* Appends head, message and line break to the log in one write, so the line is whole in
 * the file when this returns. */
void append_line(int fd, const char *head, size_t head_length, const char *message) {
    char line_break[] = "\n";
    struct iovec parts[3] = {{const_cast<char *>(head), head_length},
                             {const_cast<char *>(message), strlen(message)},
                             {line_break, 1}};
    while (writev(fd, parts, 3) < 0 && errno == EINTR) {
    }
}

}  // namespace

void quelmo_init(void) {
    pthread_mutex_init(&quelmo_file_mutex, nullptr);
    static std::once_flag fork_handler;
    std::call_once(fork_handler, [] { pthread_atfork(nullptr, nullptr, forget_pid_after_fork); });
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) refresh_utc_offset(&local);
}

int quelmo_lock_file(int lock) {
    if (lock == 1) {
        log_mutex_state = LOG_MUTEX_LOCKING;
        int rc = pthread_mutex_lock(&quelmo_file_mutex);
        log_mutex_state = rc == 0 ? LOG_MUTEX_HELD : LOG_MUTEX_FREE;
        return rc;
    }
    if (lock == 0) {
        log_mutex_state = LOG_MUTEX_UNLOCKING;
        int rc = pthread_mutex_unlock(&quelmo_file_mutex);
        log_mutex_state = LOG_MUTEX_FREE;
        return rc;
    }
    quelmo_debug(const_cast<char *>("quelmo_lock_file should never get here."));
    return 1;
}

/* Each line looks the log up (a moved or deleted log is created anew) and goes out with
 * plain flock/writev on the kept descriptor: no stdio stream, so no buffer set-up or seek
 * per line. The descriptor stays open (open_kept_log), so the file lock is dropped by hand
 * after each line. */
void quelmo_debug_to(void (*sink)(const char *message)) { message_sink.store(sink); }

void quelmo_debug(char *message) {
    quelmo_lock_file(1);
    void (*sink)(const char *) = message_sink.load();
    if (sink != nullptr) {
        sink(message);
        quelmo_lock_file(0);
        return;
    }
    int fd = open_kept_log(&debug_log);
    if (fd >= 0) {
        flock(fd, LOCK_EX);
        locked_log_fd = fd;
        char head[128];
        size_t head_length = format_line_head(head, sizeof(head));
        append_line(fd, head, head_length, message);
        locked_log_fd = -1;
        flock(fd, LOCK_UN);
    }
    quelmo_lock_file(0);
}

int quelmo_open_log(const char *path) {
    size_t length = strlen(path);
    if (length >= sizeof(db_log_path))
        return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    pthread_mutex_lock(&db_log_mutex);
    if (strcmp(db_log_path, path) != 0) {
        if (db_log.fd >= 0) close(db_log.fd);
        memcpy(db_log_path, path, length + 1);
        db_log.fd = -1;
        db_log.renamed_since_ms = -1;
    }
    int fd = open_kept_log(&db_log);
    int own = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    pthread_mutex_unlock(&db_log_mutex);
    return own;
}

long long quelmo_monotonic_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void quelmo_open_logs_at_start(void) {
    quelmo_lock_file(1);
    open_kept_log(&debug_log);
    quelmo_lock_file(0);
    int fd = quelmo_open_log(QUELMO_DB_ERROR_LOG);
    if (fd >= 0) close(fd);
}

char *quelmo_vformat(const char *format, va_list args) {
    va_list again;
    va_copy(again, args);
    int needed = vsnprintf(nullptr, 0, format, args);
    char *text = needed >= 0 ? static_cast<char *>(malloc(static_cast<size_t>(needed) + 1)) : nullptr;
    if (text != nullptr) vsnprintf(text, static_cast<size_t>(needed) + 1, format, again);
    va_end(again);
    return text;
}

void quelmo_debugf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    char *message = quelmo_vformat(format, args);
    va_end(args);
    if (message == nullptr) return;
    quelmo_debug(message);
    free(message);
}

void sig_pipe(int /*signo*/) { log_from_handler("Caught SIGPIPE\n", false); }

void sig_segfault(int /*signo*/) {
    if (log_from_handler("Caught SIGSEGV\n", true)) pthread_exit(nullptr);
}
