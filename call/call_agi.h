/* call_agi: short raw AGI exchanges written straight onto a call's connection: reading a
 * channel variable, reading an application's result, setting the caller ID, sending the
 * channel to a context, and the guarded writer every raw command goes through.
 * Used by the calls of the daemon (dispatch, caller ID, forwarding). */
#ifndef CALL_AGI_H
#define CALL_AGI_H

#include <stdio.h>

#include "quelmo-db.h"

/* Writes one command line, expanded from format, on stream and flushes it. A command
 * whose expanded text holds a carriage return, or a line feed anywhere but at its end,
 * is not written: "Refused AGI command with a line break" is logged. Returns 0 when the
 * line was written, -1 when it was refused (or could not be formatted for want of
 * memory). The caller treats -1 as a reply without "=". */
int WriteCallCommand(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Reads the next reply line on AGI (a command was just written and flushed on it) and
 * returns the integer after its first "=". Like GetVariable, it takes the whole line off
 * the stream and looks at its first 254 bytes only, so a longer line never leaves a rest
 * to be read as the next reply. Returns -1 for a null stream, no line, or a line without
 * "=". Leaves the stream open. */
int GetExecResult(FILE *AGI);

/* Reads channel variable var with "GET VARIABLE". Takes ClientSocket: it is closed on
 * every path. Returns the status (the reply's result, -1 when unusable) and, on every
 * path that sent the command, a heap value through *value that the caller frees: the
 * variable's text (between the reply's first "(" and its last ")"), "EMPTY" (unset or no
 * reply) or "INVALID" (no usable value). When no stream can be opened, returns -1 and
 * leaves *value untouched. */
int GetVariable(int ClientSocket, char *var, char **value);

/* GetVariable on a call stream the caller holds (see call_stream.h), with the same log
 * lines, result and value. Leaves the stream open. */
int GetVariableOn(FILE *call, char *var, char **value);

/* Sends the caller-ID name, then the number, of cid on call_AGI, reading each reply.
 * REQUIRES: call_AGI is unbuffered, or holds no unread input (a socket stream that has
 * read ahead cannot write again).
 * An empty or absent field is not sent; a negative name result skips the number. On a
 * PBX without SetCIDName/SetCIDNum (result -2) the field is set with Set(CALLERID(...)).
 * Leaves the stream open; cid stays the caller's. */
void SetCallerID(FILE *call_AGI, EXTENSION_INFO *cid);

/* Sends the channel to context, priority 1, extension "s", each step only after the one
 * before gave a result of 0 or more. Takes ClientSocket: it is closed on every path. */
void GotoContext(int ClientSocket, char *context);

#endif
