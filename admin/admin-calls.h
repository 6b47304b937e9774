/* admin-calls: quelmo.admin calls. Reads the daemon's debug log (plain or gzip-compressed
 * files, in the order given) line by line and tells the story of each call of one server
 * in one line, oldest first, then a totals line. Keeps only the calls still open (by
 * process and thread id: one thread carries one call) and the finished calls that started
 * after the oldest open one; owns nothing beyond the files it opens and closes itself. */
#ifndef ADMIN_CALLS_H
#define ADMIN_CALLS_H

#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

/* What to report. */
struct CallsRequest {
    std::string server_id;          /* calls of this server only */
    std::vector<std::string> logs;  /* debug logs in the order read; empty: the daemon's own */
    bool has_since = false;         /* report calls that started at or after since */
    time_t since = 0;
    bool has_until = false;         /* report calls that started before until */
    time_t until = 0;
    std::string extension;          /* calls of this extension only; "" for every call */
    bool tsv = false;               /* tab-separated fields with a header line */
};

/* Fills request (but server_id) from the words after "calls": [--log FILE]...
 * [--since TIME] [--until TIME] [--extension N] [--tsv]. TIME is local time written
 * YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS] (or with a T between), or HH:MM[:SS] for today.
 * Returns false when the words do not match that usage. */
bool ParseCallsArguments(const std::vector<std::string> &words, CallsRequest *request) noexcept;

/* Reads the logs and prints one line per call of the server, then the totals line, to
 * out. Returns 0 when every file was read whole; 1, with each reason on standard error,
 * when a file could not be opened or read (what could be read is still reported, the
 * calls it leaves open shown as cut). */
int ReportCalls(const CallsRequest &request, FILE *out) noexcept;

#endif
