/* call_stream: the read-write stream a call's raw AGI exchanges run on, which owns the
 * descriptor it is given and a buffer of at most one reply line and leaves everything
 * after that line on the connection; and a plain write-only stream over a descriptor.
 * Used by the raw helpers and the calls, whose dispatch reads under a reply deadline. */
#ifndef CALL_STREAM_H
#define CALL_STREAM_H

#include <stdio.h>

#include "reply_deadline.h"

/* Opens an unbuffered read-write stream over descriptor. Each line written goes out in
 * one write. Reading takes a reply line from the connection in at most two system calls
 * (a look at what has arrived, then exactly the bytes up to its line feed), so bytes
 * after the line (the next reply, an unsolicited "HANGUP") stay on the connection for
 * the next read, by this stream or any other over the same connection, and a write after
 * a read never fails for unread input. A descriptor that is not a socket is read one byte
 * at a time. Takes descriptor: closing the stream closes it. Returns null, with errno
 * set and the descriptor left open, when the stream cannot be made (EINVAL for a
 * descriptor that cannot both read and write, as fdopen gives). */
FILE *OpenCallStream(int descriptor);

/* OpenCallStream whose reads wait for input no longer than deadline allows: once it has
 * run out with nothing to read, every read gives end of input. deadline is borrowed and
 * may be disarmed, and armed again, while the stream is open. REQUIRES: deadline outlives
 * the stream. */
FILE *OpenCallStreamWithDeadline(int descriptor, ReplyDeadline *deadline);

/* Opens a fully buffered write-only stream over descriptor; each flush goes out in write
 * calls on it (all of it, however little a socket takes at once), appending when the
 * descriptor was opened with O_APPEND. Unlike fdopen it makes no system call to open, and
 * unlike fopen no seek or stat. Takes descriptor: closing the stream closes it. Returns
 * null, with errno set and the descriptor left open, when the stream cannot be made. */
FILE *OpenWriteStream(int descriptor);

#endif
