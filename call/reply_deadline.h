/* reply_deadline: a time limit on the accepting thread's dispatch of one connection.
 * Owns one watchdog thread, started on first use, and the deadline it watches; never
 * owns the connection. When the time runs out the watchdog shuts the connection's read
 * side, so a read blocked on it (or any later one) returns end of input at once. Used by
 * the call dispatcher only: one dispatch at a time, workers run without a deadline. */
#ifndef REPLY_DEADLINE_H
#define REPLY_DEADLINE_H

/* Arms the deadline over connection, milliseconds from now, replacing any armed one.
 * Returns false when the watchdog thread cannot be started; the dispatch then runs
 * without a deadline. REQUIRES: connection stays open until DisarmReplyDeadline. */
bool ArmReplyDeadline(int connection, int milliseconds);

/* Whether the armed deadline has run out (the connection's read side is then shut). */
bool ReplyDeadlinePassed(void);

/* Ends the watch: afterwards the watchdog never touches the connection. Returns whether
 * the deadline had run out first. Disarming twice is harmless. */
bool DisarmReplyDeadline(void);

#endif
