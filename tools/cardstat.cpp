/* cardstat: asks the driver of a Tormenta card for its interrupt and error counters with
 * one request on the device node named on the command line, and prints them. Holds the
 * device descriptor until the process ends; the driver behind it is not ours. */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>

/* The record the driver fills: five counters in host byte order, then 8 bytes that
 * belong to the record (the request's size counts them) but are not printed. */
typedef struct card_stats {
    uint32_t misses;            /* recorded misses */
    uint32_t irq_execs;         /* runs of the card's interrupt handler */
    uint32_t tasklet_schedules; /* times the driver's tasklet was scheduled */
    uint32_t tasklets_run;      /* tasklet runs */
    uint32_t tasklets_executed; /* tasklets executed */
    unsigned char reserved[8];  /* filled by the driver, unused here */
} CARD_STATS;

static_assert(sizeof(CARD_STATS) == 28, "the driver fills 28 bytes");

/* The statistics request: _IOW('J', 60, 28 bytes). */
const unsigned long CARD_GET_STATS = 0x401C4A3CUL;
static_assert(CARD_GET_STATS == _IOW('J', 60, CARD_STATS), "request encodes the record");

namespace {

int print_usage(void) {
    fputs("Usage: cardstat <dev> showerrors\n", stderr);
    return 1;
}

void print_counters(const CARD_STATS *stats) {
    printf("Recorded misses: %u\n", static_cast<unsigned>(stats->misses));
    printf("IRQ execs: %u\n", static_cast<unsigned>(stats->irq_execs));
    printf("Tasklet Schedules: %u\n", static_cast<unsigned>(stats->tasklet_schedules));
    printf("Tasklets Run: %u\n", static_cast<unsigned>(stats->tasklets_run));
    printf("Tasklets Executed: %u\n", static_cast<unsigned>(stats->tasklets_executed));
}

}  // namespace

/* cardstat <dev> showerrors. The device is opened before the keyword is looked at, so
 * a device that cannot be opened is reported even when the keyword is wrong. Arguments
 * after the keyword are ignored. The descriptor is released by the process exit. */
int main(int argc, char **argv) {
    if (argc < 3) return print_usage();
    int fd = open(argv[1], O_RDWR);
    if (fd < 0) {
        fprintf(stderr, "Unable to open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    if (strcasecmp(argv[2], "showerrors") != 0) return print_usage();
    CARD_STATS stats;
    memset(&stats, 0, sizeof(stats));
    if (ioctl(fd, CARD_GET_STATS, &stats) != 0) {
        fprintf(stderr, "IOCTL failed: %s\n", strerror(errno));
        return 1;
    }
    print_counters(&stats);
    return 0;
}
