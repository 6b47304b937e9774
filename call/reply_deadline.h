/* reply_deadline: a time limit on the reads of one connection, kept in a record that the
 * call's own thread holds. Owns no thread and no descriptor: a read that honours the
 * deadline waits for input with poll(), given the time left. Used by the call dispatcher
 * for the environment and the variable replies, and by the call streams it reads them on;
 * ringing and forwards run with the deadline disarmed. */
#ifndef REPLY_DEADLINE_H
#define REPLY_DEADLINE_H

#include <time.h>

/* The deadline of one connection; belongs to the thread that reads the connection. */
typedef struct ReplyDeadline {
    struct timespec due; /* CLOCK_MONOTONIC time the limit runs out */
    bool armed;          /* false: reads wait as long as they must */
    bool passed;         /* a read found the time over with nothing to read */
} ReplyDeadline;

/* Arms deadline to run out milliseconds from now. */
void ArmReplyDeadline(ReplyDeadline *deadline, int milliseconds);

/* Ends the limit: later reads wait without one. Returns whether it had run out first. */
bool DisarmReplyDeadline(ReplyDeadline *deadline);

/* Whether a read has found the deadline over. */
bool ReplyDeadlinePassed(const ReplyDeadline *deadline);

/* Waits until descriptor has input (or end of input, or an error) to read. Returns true
 * then, at once when deadline is null or disarmed. Returns false, with passed set, when
 * the deadline runs out with nothing to read; from then on it returns false at once, so
 * the reads of the connection all end. Input already there is taken even after the time:
 * the limit is on waiting for the PBX, not on this thread's own work. */
bool AwaitReply(ReplyDeadline *deadline, int descriptor);

#endif
