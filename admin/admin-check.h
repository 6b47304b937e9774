/* admin-check: quelmo.admin check. Reads a server's two databases, the PBX's two
 * dial-plan files and the service's settings, and lists what would make calls go wrong,
 * each finding worded to say what to change. Rules are judged by the incoming worker's own functions (quelmo-call)
 * and devices looked up by the daemon's own lookup. Writes nothing. */
#ifndef ADMIN_CHECK_H
#define ADMIN_CHECK_H

#include <sys/types.h>

#include <string>
#include <vector>

/* The server to check. */
struct CheckTarget {
    std::string server_id;     /* selects the password */
    std::string extension_db;  /* path of the extension database */
    std::string forwarding_db; /* path of the forwarding database */
    uid_t reader_uid;          /* the daemon's user, who must be able to read every file */
    gid_t reader_gid;          /* the daemon's group, its only one once started */
};

/* Appends one line per finding to *findings: "EXTENSION: what is wrong (rule N: APP
 * ARGS)" for a rule (N counts the extension's rules in the order they run), "EXTENSION:
 * ..." for a stored item, "FILE: ..." for a whole file. A database that cannot be opened
 * is one finding (the library's reason goes to standard error) and its items are not
 * looked at. Returns 0; -1 when memory ran out (the list is then incomplete). The dial-
 * plan lookups log nowhere: the debug log is switched off for the process. */
int CheckServer(const CheckTarget &target, std::vector<std::string> *findings) noexcept;

#endif
