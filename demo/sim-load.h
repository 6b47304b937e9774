/* sim-load: many simulated PBX calls against a running server at once. Plays a number of
 * calls over TCP, a given number at a time, checks each call's command lines against the
 * expected ones and measures throughput and the time each call took. Used by
 * asterisk-sim's load mode and scripts/bench. */
#ifndef SIM_LOAD_H
#define SIM_LOAD_H

#include <stdio.h>

#include <string>
#include <vector>

#include "pbx-sim.h"

/* One kind of call in a load: what the PBX plays and what the server must send. */
struct SimLoadCall {
    SimCall call;
    std::vector<std::string> expected; /* command lines in order, without line breaks */
};

struct SimLoadPlan {
    int port = 0;                       /* the server on 127.0.0.1 */
    int calls = 0;                      /* calls in all */
    int concurrency = 1;                /* calls under way at once */
    int reply_timeout_ms = 30000;       /* longest wait for the server's next line */
    std::vector<SimLoadCall> rotation;  /* call i plays rotation[i % rotation.size()] */
};

struct SimLoadReport {
    int calls = 0;           /* calls played */
    int failures = 0;        /* calls that could not connect, that the server did not close,
                                or whose command lines differed from the expected ones */
    double seconds = 0;      /* wall time from the first connect to the last close */
    double calls_per_second = 0;
    double p50_ms = 0;       /* latency of a call, connect until the server's close */
    double p99_ms = 0;
    std::string first_failure; /* what went wrong with the first failed call, or "" */
};

/* Plays call once, alone, waiting at most timeout_ms for each line of the server, and
 * takes its command lines as call->expected. Returns false, with *why set, when the call
 * could not connect, was not closed by the server in time, or saw no command at all. */
bool SimLoadReference(int port, int timeout_ms, SimLoadCall *call, std::string *why) noexcept;

/* Plays plan.calls calls, plan.concurrency at a time, and fills *report. Returns false,
 * report untouched, when the plan holds no calls, no rotation or a concurrency below 1,
 * or no thread could be started. */
bool SimLoadRun(const SimLoadPlan &plan, SimLoadReport *report) noexcept;

/* One line of figures for people and scripts:
 *   calls=N failures=F seconds=S calls_per_s=R p50_ms=A p99_ms=B */
void SimLoadPrintReport(FILE *out, const SimLoadReport &report) noexcept;

#endif
