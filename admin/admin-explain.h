/* admin-explain: quelmo.admin explain. Plays one call through the daemon's own dispatcher
 * and workers, in process, against the simulated PBX of pbx-sim on a socket pair, and
 * prints the exchange and its outcome. Writes no database and no log of the daemon. */
#ifndef ADMIN_EXPLAIN_H
#define ADMIN_EXPLAIN_H

#include <stdio.h>

#include <string>
#include <vector>

#include "pbx-sim.h"

/* One call to explain. */
struct ExplainRequest {
    std::string server_id; /* selects the databases and their password */
    std::string db_prefix; /* directory and start of the database file names */
    SimCall call;          /* the PBX side: context, extension, caller ID, answers */
    bool show_log = false; /* also print the debug-log lines the call writes */
};

/* Fills request->call and request->show_log from the words after "explain":
 * [--context C] [--callerid TEXT] [--set NAME=VALUE]... [--reply APP=RESULT]...
 * [--no-agi-version] [--log] EXTENSION. --no-agi-version plays a PBX older than 1.6: its
 * environment holds no agi_version and it still has SetCIDName/SetCIDNum. Returns false
 * when the words do not match that usage. */
bool ParseExplainArguments(const std::vector<std::string> &words, ExplainRequest *request) noexcept;

/* Plays the call and prints its transcript to out (and the call's debug-log lines with
 * show_log). Returns 0 once the call was played; 1, with the reason on standard error,
 * when a database cannot be opened or the simulated connection failed. REQUIRES:
 * quelmo_init was called, and no other thread of the process logs or uses the standard
 * input meanwhile (the dispatcher borrows it for the call). */
int ExplainCall(const ExplainRequest &request, FILE *out) noexcept;

#endif
