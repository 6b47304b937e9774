/* quelmo-db: the extension and forwarding store of one server. Owns the database set
 * QUELMO_DBS (two encrypted Berkeley DB handles and their file names) and the record types
 * handed to the call routing code. Diagnostics go to the set's error stream, which the
 * caller owns. Called by the call dispatcher and by quelmo.admin. */
#ifndef QUELMO_DB_H
#define QUELMO_DB_H

#include <stdio.h>
#include <db.h>

/* Caller-ID record. Each text is a NUL-terminated heap string of exactly its size, or
 * null when absent; the receiver frees cidname and cidnum, then the record. */
typedef struct db_extension_info {
    char *extension; /* extension number as decimal text; read by the insert only, never freed */
    char *cidname;   /* caller-ID name, or null */
    char *cidnum;    /* caller-ID number, or null */
} EXTENSION_INFO;

/* One forwarding rule; app and args are always present (possibly empty) heap strings. */
typedef struct db_forwarding_info {
    int priority; /* stored priority; not used for ordering */
    char *app;    /* dial-plan application to run */
    char *args;   /* its argument text */
} FORWARDING_INFO;

/* Node of a rule list in stored order. The owner frees, node by node, app, args, the
 * FORWARDING_INFO and the node. */
typedef struct db_forwarding_list {
    FORWARDING_INFO *dial_plan; /* the rule; never null in a built list */
    void *next;                 /* next FORWARDING_LIST node, null at the end */
} FORWARDING_LIST;

/* The open database set of one call, kept by the caller. */
typedef struct quelmo_dbs {
    DB *extension_dbp;        /* extension database (hash); null until created */
    DB *forwarding_dbp;       /* forwarding database (btree, duplicates); null until created */
    char *extension_db_name;  /* path of the extension database; owned by the set */
    char *forwarding_db_name; /* path of the forwarding database; owned by the set */
    FILE *error_file;         /* error stream borrowed from the caller, or null */
} QUELMO_DBS;

/* Opens both databases of server_id read-only under the database password, sending every
 * diagnostic to error_file (may be null). Returns 0 when both are open, else the library
 * status of the step that failed; a failed start-up has released everything it created,
 * and the caller never shuts it down. */
int db_startup(QUELMO_DBS *quelmo, char *server_id, FILE *error_file);

/* Closes both databases and releases the names. Returns the status of closing the
 * forwarding database. REQUIRES: db_startup returned 0. */
int db_shutdown(QUELMO_DBS *quelmo);

/* Creates a handle into *dbpp (stored before the open) and opens filename read-only with
 * db_type under server_id's password. Returns 0 or the library status. */
int db_open(char *server_id, DB **dbpp, int db_type, const char *filename,
            const char *program_name, FILE *error_file);

/* Closes dbp (gone afterwards, whatever the status). Returns the status of the close. */
int db_close(DB *dbp, const char *filename, FILE *error_file);

/* Looks up the caller-ID record of extension_key. Returns 0 and a new record (extension
 * null, empty texts null) through *return_extension, which the caller frees; otherwise the
 * library status and *return_extension untouched. */
int db_lookup_extension(QUELMO_DBS *quelmo, int extension_key, EXTENSION_INFO **return_extension);

/* Looks up the forwarding rules of extension_key in stored order. Returns 0 and a list of
 * at least one node; otherwise a non-zero status and a null list. *forwarding_rules is
 * always written; the caller frees the list. */
int db_lookup_forwarding_rules(QUELMO_DBS *quelmo, int extension_key,
                               FORWARDING_LIST **forwarding_rules);

/* Stores extension's caller-ID record under atoi(extension->extension), never replacing
 * an existing one. Returns 0 or the library status ("Insert failed\n" is written). */
int db_insert_extension(QUELMO_DBS *quelmo, EXTENSION_INFO *extension);

#endif
