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

#endif
