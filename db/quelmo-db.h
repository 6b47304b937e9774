/* quelmo-db: the extension and forwarding store of one server. Owns the database set
 * QUELMO_DBS (two encrypted Berkeley DB handles and their file names) and the record types
 * handed to the call routing code. Diagnostics go to the set's error stream, which the
 * caller owns. Called by the call dispatcher and by quelmo.admin. */
#ifndef QUELMO_DB_H
#define QUELMO_DB_H

#include <stddef.h>
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

/* File names: QUELMO_DB_PREFIX, the server identifier verbatim, then one of these. */
#define QUELMO_DB_EXTENSION_SUFFIX ".db"
#define QUELMO_DB_FORWARDING_SUFFIX "fw.db"

/* Opens both databases of server_id read-only under the database password, sending every
 * diagnostic of the set and of both handles to error_file (borrowed; may be null, then the
 * set writes nothing and the library reports to its default). Returns 0 when both are
 * open; else the library status of the open that failed, after writing "Open %s Failed"
 * with its file's name (or ENOMEM, unwritten, when a name cannot be allocated). A failed
 * start-up has closed what it created and freed the names, leaving all four fields null:
 * the caller never shuts it down. */
int db_startup(QUELMO_DBS *quelmo, char *server_id, FILE *error_file);

/* db_startup with the files named prefix + server_id + suffix instead of behind
 * QUELMO_DB_PREFIX (prefix borrowed, read during the call only), for quelmo.admin's
 * --dir. */
int db_startup_at(QUELMO_DBS *quelmo, const char *prefix, char *server_id, FILE *error_file);

/* Closes both databases (even when the first close fails) and frees the names, leaving
 * the fields null. Returns the status of closing the forwarding database; a failed
 * extension close is only written. REQUIRES: db_startup returned 0. */
int db_shutdown(QUELMO_DBS *quelmo);

/* Creates a handle and stores it through *dbpp before the open, points its reports at
 * error_file under the prefix program_name, and opens filename read-only (free-threaded,
 * no memory mapping) with db_type under server_id's password (a password the library
 * refuses fails the open: a handle is never used unencrypted). Returns 0 or the library
 * status of the creation (then nothing is stored) or of the open (then the handle stays
 * in *dbpp, created but not opened, for the caller to close with db_close).
 * REQUIRES: program_name stays valid while the handle lives (the library keeps it). */
int db_open(char *server_id, DB **dbpp, int db_type, const char *filename,
            const char *program_name, FILE *error_file);

/* Like db_open, but creates filename, which must not exist yet, as a new writable database
 * (file mode 0644 less the umask), with db_flags (0, or DB_DUP for a forwarding database
 * whose duplicates keep their insertion order) set before the open. For the tool that
 * fills the databases; the server never writes them. */
int db_create_file(char *server_id, DB **dbpp, int db_type, u_int32_t db_flags,
                   const char *filename, const char *program_name, FILE *error_file);

/* Closes dbp (gone afterwards, whatever the status; null is a no-op returning 0). Writes
 * "%s database close failed: %s\n" on failure. Returns the status of the close. */
int db_close(DB *dbp, const char *filename, FILE *error_file);

/* Looks up the caller-ID record of extension_key and writes a line about it. Returns 0
 * and a new record (extension null, empty texts null) through *return_extension, which the
 * caller frees; otherwise the library status (DB_NOTFOUND also for a malformed item, ENOMEM
 * when memory runs out) with *return_extension untouched and nothing allocated. */
int db_lookup_extension(QUELMO_DBS *quelmo, int extension_key, EXTENSION_INFO **return_extension);

/* Looks up the forwarding rules of extension_key in stored order, writing a line per rule;
 * malformed items are skipped. Returns 0 and a list of at least one node; otherwise a
 * non-zero status (DB_NOTFOUND also when every item was malformed, ENOMEM when memory runs
 * out) and a null list. *forwarding_rules is always written; the caller frees the list. */
int db_lookup_forwarding_rules(QUELMO_DBS *quelmo, int extension_key,
                               FORWARDING_LIST **forwarding_rules);

/* Frees a record that db_lookup_extension returned: its texts, then the record. Null is
 * a no-op. */
void db_free_extension(EXTENSION_INFO *record);

/* Frees a list that db_lookup_forwarding_rules returned, node by node with each rule and
 * its texts. Null is a no-op. */
void db_free_forwarding_rules(FORWARDING_LIST *rules);

/* Stores extension's caller-ID record under atoi(extension->extension) in the set's
 * extension database, never replacing an existing one; a null cidname or cidnum is stored
 * as empty text. Returns 0 or the library status (DB_KEYEXIST for an existing key, EINVAL
 * without an extension text), after writing "Insert failed\n". Keeps nothing it was given.
 * Only a handle from db_create_file can be written. */
int db_insert_extension(QUELMO_DBS *quelmo, EXTENSION_INFO *extension);

/* Appends rule as the last item under extension_key in the set's forwarding database,
 * which must have been created with DB_DUP. Returns 0 or the library status (EINVAL for a
 * database without duplicates), after writing "Insert failed\n". Keeps nothing it was given. */
int db_append_forwarding_rule(QUELMO_DBS *quelmo, int extension_key, FORWARDING_INFO *rule);

/* Collects the key of every item of dbp (either database of a set) in stored order, so a
 * key appears once per item stored under it. Returns 0 with a new heap array through *keys
 * (null when the database is empty; the caller frees it) and its length through *count;
 * otherwise the library status (EINVAL for a key that is not 4 bytes, ENOMEM) and nothing
 * allocated. */
int db_list_keys(DB *dbp, int **keys, size_t *count);

/* Upgrades filename in place to the library's current format under server_id's password,
 * reporting a failure through a handle of its own to error_file under program_name.
 * Returns 0 (also when nothing needed doing) or the library status. */
int db_upgrade_file(char *server_id, const char *filename, const char *program_name,
                    FILE *error_file);

#endif
