/* cagi: the AGI client library. Owns the session record AGI_TOOLS (environment and
 * settings lists) and the name/value list AGI_VAL_LIST; the session borrows its two
 * streams from the caller and never closes them. Used by the call dispatcher. */
#ifndef CAGI_H
#define CAGI_H

#include <stdio.h>

/* One name/value pair of a list; each node is one zero-filled heap allocation. */
typedef struct agi_val_list {
    char field[50];            /* the name, at most 49 characters */
    char value[50];            /* the value, at most 49 characters */
    struct agi_val_list *next; /* following node, null at the end of the list */
} AGI_VAL_LIST;

/* One AGI session. The record belongs to the caller; the streams are borrowed. */
typedef struct agi_tools {
    FILE *out;              /* commands to Asterisk are written here */
    FILE *in;               /* the environment and every reply are read from here */
    AGI_VAL_LIST *agi_vars; /* the call's AGI environment, newest pair first; owned */
    AGI_VAL_LIST *settings; /* the library's settings (tmpdir, ...); owned */
    int dtmf_timeout;       /* not used by the library; left as found */
} AGI_TOOLS;

/* 1 when stat() succeeds on the path (links followed), else 0. */
int FileExists(char *path);

/* Removes trailing white space in place. Returns the index of the last character left,
 * -1 when nothing is left, 0 for a null pointer. */
int strim(char *src);

/* Puts a new node holding copies of field and value (each cut to 49 characters) in front
 * of l and returns it. Returns null when no node can be allocated; l is then unchanged. */
AGI_VAL_LIST *AGITool_ListAddItem(AGI_VAL_LIST *l, char *field, char *value);

/* Frees l and every node after it; a null list is allowed. */
void AGITool_ListDestroy(AGI_VAL_LIST *l);

/* Value of the first node (from the head) named exactly field, or a shared empty text.
 * Never null; the result points into the list and must not be freed. */
char *AGITool_ListGetVal(AGI_VAL_LIST *l, char *field);

/* Writes "VERBOSE" lines naming every pair of l to the process's standard output. The
 * replies Asterisk sends to them are not read. */
void AGITool_ListDump(AGI_VAL_LIST *l);

/* Starts a session on the process's current standard input and output: reads the AGI
 * environment up to the empty line (or the end of the stream) into agi_vars and adds the
 * default settings. Always returns 0. REQUIRES: stdin and stdout are the AGI connection. */
int AGITool_Init(AGI_TOOLS *tool);

/* Destroys agi_vars and settings. Leaves the streams open and the fields as they are. */
void AGITool_Destroy(AGI_TOOLS *tool);

#endif
