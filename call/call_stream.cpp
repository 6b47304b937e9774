/* call_stream: a stdio stream over a call's connection that reads reply lines in blocks
 * without ever taking more than one line from the connection (see the header). */
#include "call_stream.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "reply_deadline.h"

namespace {

/* The stream's own state: its descriptor and the unread rest of the line last taken. */
struct CallStream {
    int descriptor;
    ReplyDeadline *deadline; /* borrowed; null: reads wait as long as they must */
    char line[1024];
    size_t next; /* first unread byte of line */
    size_t end;  /* end of the bytes taken */
};

/* Takes the next line (or, before its line feed has arrived, what there is of it) from
 * the connection into stream->line. Returns the bytes taken, 0 at the end of input, -1 on
 * an error. */
ssize_t take_line(CallStream *stream) {
    if (!AwaitReply(stream->deadline, stream->descriptor)) return 0;
    ssize_t seen;
    do seen = recv(stream->descriptor, stream->line, sizeof(stream->line), MSG_PEEK);
    while (seen < 0 && errno == EINTR);
    size_t wanted = 1;
    if (seen > 0) {
        const void *line_feed = memchr(stream->line, '\n', static_cast<size_t>(seen));
        wanted = line_feed != nullptr
                     ? static_cast<size_t>(static_cast<const char *>(line_feed) - stream->line) + 1
                     : static_cast<size_t>(seen);
    } else if (seen == 0 || errno != ENOTSOCK) {
        return seen;
    }
    ssize_t taken;
    do taken = read(stream->descriptor, stream->line, wanted);
    while (taken < 0 && errno == EINTR);
    stream->next = 0;
    stream->end = taken > 0 ? static_cast<size_t>(taken) : 0;
    return taken;
}

ssize_t read_call_stream(void *cookie, char *buf, size_t size) {
    CallStream *stream = static_cast<CallStream *>(cookie);
    if (stream->next == stream->end) {
        ssize_t taken = take_line(stream);
        if (taken <= 0) return taken;
    }
    size_t count = stream->end - stream->next;
    if (count > size) count = size;
    memcpy(buf, stream->line + stream->next, count);
    stream->next += count;
    return static_cast<ssize_t>(count);
}

/* Writes all of buf to descriptor (a socket may take less at once), going on after a
 * signal. Returns the bytes written, or -1 when nothing could be. */
ssize_t write_whole(int descriptor, const char *buf, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(descriptor, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t write_call_stream(void *cookie, const char *buf, size_t size) {
    return write_whole(static_cast<CallStream *>(cookie)->descriptor, buf, size);
}

int close_call_stream(void *cookie) {
    CallStream *stream = static_cast<CallStream *>(cookie);
    int result = close(stream->descriptor);
    free(stream);
    return result;
}

/* The write-only stream's cookie is its descriptor itself. */
int descriptor_of(void *cookie) { return static_cast<int>(reinterpret_cast<intptr_t>(cookie)); }

ssize_t write_write_stream(void *cookie, const char *buf, size_t size) {
    return write_whole(descriptor_of(cookie), buf, size);
}

int close_write_stream(void *cookie) { return close(descriptor_of(cookie)); }

}  // namespace

FILE *OpenCallStream(int descriptor) { return OpenCallStreamWithDeadline(descriptor, nullptr); }

FILE *OpenCallStreamWithDeadline(int descriptor, ReplyDeadline *deadline) {
    /* As fdopen does: a descriptor that cannot both read and write gives no stream. */
    int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0) return nullptr;
    if ((flags & O_ACCMODE) != O_RDWR) {
        errno = EINVAL;
        return nullptr;
    }
    CallStream *stream = static_cast<CallStream *>(calloc(1, sizeof(CallStream)));
    if (stream == nullptr) return nullptr;
    stream->descriptor = descriptor;
    stream->deadline = deadline;
    cookie_io_functions_t io = {read_call_stream, write_call_stream, nullptr, close_call_stream};
    FILE *file = fopencookie(stream, "r+", io);
    if (file == nullptr) {
        free(stream);
        return nullptr;
    }
    /* Unbuffered: stdio keeps nothing of its own, so each line written goes out in one
     * write and reads are served from the line this stream took. */
    setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

FILE *OpenWriteStream(int descriptor) {
    if (descriptor < 0) {
        errno = EBADF;
        return nullptr;
    }
    cookie_io_functions_t io = {nullptr, write_write_stream, nullptr, close_write_stream};
    return fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(descriptor)), "w", io);
}
