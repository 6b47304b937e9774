/* call_stream: the read-write stream a call's raw AGI exchanges run on. Owns the
 * descriptor it is given and a buffer of at most one reply line; leaves everything after
 * that line on the connection. Used by the raw helpers and the call workers. */
#ifndef CALL_STREAM_H
#define CALL_STREAM_H

#include <stdio.h>

/* Opens an unbuffered read-write stream over descriptor. Each line written goes out in
 * one write. Reading takes a reply line from the connection in at most two system calls
 * (a look at what has arrived, then exactly the bytes up to its line feed), so bytes
 * after the line (the next reply, an unsolicited "HANGUP") stay on the connection for
 * the next read, by this stream or any other over the same connection, and a write after
 * a read never fails for unread input. A descriptor that is not a socket is read one byte
 * at a time. Takes descriptor: closing the stream closes it. Returns null, with errno
 * set and the descriptor left open, when the stream cannot be made. */
FILE *OpenCallStream(int descriptor);

#endif
