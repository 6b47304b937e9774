/* cagi: the AGI client library. Owns the session record AGI_TOOLS (environment and
 * settings lists), the name/value list AGI_VAL_LIST, and the AGI command set with its
 * parsed reply AGI_CMD_RESULT; the session borrows its two streams from the caller and
 * never closes them. Used by the daemon, one session per call; installed as <quelmo/cagi.h>
 * with the static library libquelmo-agi.a for AGI programs in C or C++. */
#ifndef CAGI_H
#define CAGI_H

#include <stdio.h>

/* C linkage, so that C programs link against the library, which is compiled as C++. */
#ifdef __cplusplus
extern "C" {
#endif

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

/* Starts a session on the process's current standard input and output, as an AGI
 * program that Asterisk runs gets them: AGITool_InitStreams(tool, stdin, stdout).
 * Always returns 0. REQUIRES: stdin and stdout are the AGI connection. */
int AGITool_Init(AGI_TOOLS *tool);

/* Starts a session on a pair of borrowed streams, for a program that serves several
 * connections (a FastAGI server, one session per connection and thread): reads the AGI
 * environment from in, up to the empty line (or the end of the stream), into agi_vars,
 * adds the default settings, and records in and out for the commands, which are written
 * to out and read their replies from in. in and out may be one read-write stream. The
 * session never closes them: the caller does, after AGITool_Destroy. Touches no
 * process-wide stream, so sessions on different threads may start at once. Always
 * returns 0. REQUIRES: in is positioned at the start of the environment block. */
int AGITool_InitStreams(AGI_TOOLS *tool, FILE *in, FILE *out);

/* Destroys agi_vars and settings. Leaves the streams open and the fields as they are. */
void AGITool_Destroy(AGI_TOOLS *tool);

/* The parsed reply of one command; belongs to the caller, reset and refilled by each. */
typedef struct agi_cmd_result {
    int code;             /* the reply's leading number; 500 while no reply was obtained */
    char result[100];     /* the value after "result=" of a 200 reply, "-1" without one */
    unsigned int endpos;  /* the number after "endpos="; written only when present */
    char data[2048];      /* 200: the text from the first '(' to the line's last ')';
                             other codes: the reply text */
    char raw[2048];       /* the first reply line as received; written only on a reply */
} AGI_CMD_RESULT;

/* Every command below writes one line on tool->out and reads its reply from tool->in.
 * Text arguments must not be null; they are inserted as they are, so a text holding a
 * line break (or a carriage return) makes the command refused: nothing is written and
 * 0 is returned with code 500. */

/* Expands the printf-style command (which must end with "\n"), writes and flushes it,
 * and parses the reply into res. Skips "HANGUP" lines Asterisk sends on its own while it
 * waits for the reply's first line, and reads a multi-line reply to its closing line.
 * Returns the integer value of res->result (-1 for any reply but 200 with "result=");
 * returns 0 with code 500 when the command is refused or cannot be written, or when no
 * reply line arrives within four reads. */
int AGITool_sendcmd(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *command, ...)
    __attribute__((format(printf, 3, 4)));

/* Wrappers: each sends its one command line and returns what AGITool_sendcmd returns. */
int AGITool_answer(AGI_TOOLS *tool, AGI_CMD_RESULT *res);
int AGITool_autohangup(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int time);
/* Afterwards res->data describes the channel state (or names the unknown channel). */
int AGITool_channel_status(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *channel);
int AGITool_exec(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *application, char *options);
int AGITool_get_data(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *filename, int timeout,
                     int max_digits);
int AGITool_get_variable(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *variable);
/* Copies the first len characters of the value to dest, NUL-padded, and stores a NUL at
 * dest[len] (empty after a failure). REQUIRES: dest holds len + 1 bytes. A negative len
 * leaves dest untouched. */
int AGITool_get_variable2(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *variable, char *dest,
                          int len);
int AGITool_hangup(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *channel);
int AGITool_receive_char(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int timeout);
/* The offset, " BEEP" and " s=<silence>" parts are added only when offset > 0, beep is
 * non-zero and silence > 0; the line is cut to 253 characters before its line break and
 * sent as composed (a '%' in a name reaches Asterisk unchanged). */
int AGITool_record_file(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *file, char *format,
                        char *escape_digits, int timeout, int beep, int silence, int offset);
int AGITool_say_digits(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *digits,
                       char *escape_digits);
int AGITool_say_phonetic(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *text,
                         char *escape_digits);
int AGITool_say_number(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int number, char *escape_digits);
int AGITool_send_image(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *image);
int AGITool_send_text(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *text);
int AGITool_set_callerid(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *cid);
int AGITool_set_context(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *context);
int AGITool_set_extension(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *extension);
int AGITool_set_priority(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int priority);
int AGITool_set_variable(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *variable, char *value);
int AGITool_stream_file(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *filename,
                        char *escape_digits, int offset);
int AGITool_tdd_mode(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *setting);
int AGITool_verbose(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *message, int level);
int AGITool_wait_for_digit(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int timeout);
int AGITool_database_put(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *family, char *key,
                         char *value);
int AGITool_database_get(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *family, char *key);
int AGITool_database_del(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *family, char *key);
/* An empty (or null) keytree deletes the whole family. */
int AGITool_database_deltree(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *family,
                             char *keytree);
int AGITool_say_time(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int time, char *escape_digits);
int AGITool_noop(AGI_TOOLS *tool, AGI_CMD_RESULT *res);
/* Sends "ON" when enabled is non-zero, else "OFF", then the music class. */
int AGITool_set_music(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int enabled, char *music_class);
/* Runs Dial on type/destnum@gateway with the dial time-out and a call limit of
 * sessiontimeout milliseconds (warnings 80 s before the end, every 20 s). The arguments
 * are separated by the "dial_separator" setting when it is set (not empty); otherwise by
 * ',' when the environment holds "agi_version", by '|' when it does not. */
int AGITool_exec_dial(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *type, char *destnum,
                      char *gateway, int dialtimeout, int sessiontimeout);

/* Speaks text: runs the "festival_text2wave" setting's program through the shell with
 * "-F <frequency> -o <file>.wav" (frequency 8000 when not positive), the file named
 * "txt2wav_<agi_uniqueid>" in the "tmpdir" setting's directory, feeds it the text on its
 * standard input, plays the file with STREAM FILE and deletes it after the reply.
 * Returns 1 without sending anything for an empty (or null) text; -1 without sending
 * anything when the program cannot be started (res is then left as it was); otherwise
 * what the STREAM FILE command returns. */
int AGITool_text2wav(AGI_TOOLS *tool, AGI_CMD_RESULT *res, char *text, char *escape_digits,
                     int frequency);

#ifdef __cplusplus
}
#endif

#endif
