/* fake_card_driver: a stand-in for the Tormenta card driver, preloaded into cardstat by
 * its tests. It interposes ioctl. A call on a descriptor of the file named by
 * FAKE_CARD_DEVICE is appended to the file named by FAKE_CARD_LOG as one line
 * "request=0x<hex> mode=<rdonly|wronly|rdwr>"; the statistics request is then answered:
 * failed with the errno number in FAKE_CARD_ERRNO when that is set, else the 28-byte
 * record is filled with the five counters of FAKE_CARD_COUNTERS (blank-separated
 * unsigned numbers) and 0xA5 in its last 8 bytes. Every other call goes on to the C
 * library. */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const unsigned long kStatsRequest = 0x401C4A3CUL;
const size_t kStatsSize = 28;
const int kCounters = 5;

typedef int (*ioctl_function)(int, unsigned long, ...);

/* Whether fd refers to the file that stands for the card's device node. */
bool is_card_device(int fd) {
    const char *device = getenv("FAKE_CARD_DEVICE");
    struct stat wanted, actual;
    if (device == nullptr || stat(device, &wanted) != 0 || fstat(fd, &actual) != 0)
        return false;
    return wanted.st_dev == actual.st_dev && wanted.st_ino == actual.st_ino;
}

const char *describe_mode(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return "unknown";
    switch (flags & O_ACCMODE) {
        case O_RDONLY: return "rdonly";
        case O_WRONLY: return "wronly";
        default: return "rdwr";
    }
}

void record_request(int fd, unsigned long request) {
    const char *log = getenv("FAKE_CARD_LOG");
    if (log == nullptr) return;
    char line[96];
    int length = snprintf(line, sizeof(line), "request=0x%lx mode=%s\n", request, describe_mode(fd));
    int out = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0) return;
    if (write(out, line, static_cast<size_t>(length)) < 0) {
        /* The test sees the missing line. */
    }
    close(out);
}

int answer_stats_request(void *record) {
    const char *fail = getenv("FAKE_CARD_ERRNO");
    if (fail != nullptr && *fail != '\0') {
        errno = atoi(fail);
        return -1;
    }
    unsigned char filled[kStatsSize];
    memset(filled, 0xA5, sizeof(filled));
    const char *text = getenv("FAKE_CARD_COUNTERS");
    for (int i = 0; i < kCounters; i++) {
        char *end = nullptr;
        uint32_t value = text != nullptr ? static_cast<uint32_t>(strtoul(text, &end, 10)) : 0;
        if (text != nullptr) text = end;
        memcpy(filled + i * sizeof(value), &value, sizeof(value));
    }
    /* All 28 bytes, as the driver writes them: a smaller record shows under ASan. */
    memcpy(record, filled, sizeof(filled));
    return 0;
}

int forward_ioctl(int fd, unsigned long request, void *argument) {
    static ioctl_function next = reinterpret_cast<ioctl_function>(dlsym(RTLD_NEXT, "ioctl"));
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, argument);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (!is_card_device(fd)) return forward_ioctl(fd, request, argument);
    record_request(fd, request);
    if (request == kStatsRequest) return answer_stats_request(argument);
    return forward_ioctl(fd, request, argument);
}
