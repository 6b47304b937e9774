#include "call_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

#include "test_support.h"

using namespace quelmo_test;

namespace {

std::string read_line(FILE *stream) {
    char line[256];
    return fgets(line, sizeof(line), stream) != nullptr ? line : "";
}

void send_text(int fd, const std::string &text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
}

TEST(CallStream, LinesArrivingTogetherStayOnTheConnectionPastTheOneRead) {
    SocketPair pair = make_socket_pair();
    send_text(pair.pbx, "200 result=1\n200 result=2\nHANGUP\n");
    FILE *first = OpenCallStream(dup(pair.server));
    ASSERT_NE(nullptr, first);
    EXPECT_EQ("200 result=1\n", read_line(first));
    fclose(first);
    /* A second stream over the same connection finds the rest, and can write after reading. */
    FILE *second = OpenCallStream(pair.server);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ("200 result=2\n", read_line(second));
    ASSERT_EQ(1u, fwrite("exec Goto \"999\"\n", 16, 1, second));
    EXPECT_EQ(0, fflush(second));
    EXPECT_EQ("HANGUP\n", read_line(second));
    fclose(second);
    char received[64] = "";
    EXPECT_EQ(16, read(pair.pbx, received, sizeof(received)));
    EXPECT_EQ("exec Goto \"999\"\n", std::string(received));
    close(pair.pbx);
}

TEST(CallStream, LineArrivingInPiecesIsReadWhole) {
    SocketPair pair = make_socket_pair();
    FILE *stream = OpenCallStream(pair.server);
    ASSERT_NE(nullptr, stream);
    std::thread pbx([&] {
        send_text(pair.pbx, "200 res");
        usleep(50000);
        send_text(pair.pbx, "ult=0 (a)\n");
    });
    EXPECT_EQ("200 result=0 (a)\n", read_line(stream));
    pbx.join();
    fclose(stream);
    close(pair.pbx);
}

TEST(CallStream, DescriptorThatIsNotASocketIsReadAndOneThatCannotWriteIsRefused) {
    std::string path = scratch_dir() + "/replies";
    write_file(path, "200 result=0\n200 result=-1\n");
    FILE *stream = OpenCallStream(open(path.c_str(), O_RDWR));
    ASSERT_NE(nullptr, stream);
    EXPECT_EQ("200 result=0\n", read_line(stream));
    EXPECT_EQ("200 result=-1\n", read_line(stream));
    EXPECT_EQ("", read_line(stream));
    fclose(stream);
    int read_only = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(nullptr, OpenCallStream(read_only));
    EXPECT_EQ(EINVAL, errno);
    close(read_only);
}

TEST(WriteStream, EachFlushAppendsAndCloseClosesTheDescriptor) {
    std::string path = scratch_dir() + "/appended";
    write_file(path, "first\n");
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    FILE *stream = OpenWriteStream(fd);
    ASSERT_NE(nullptr, stream);
    fputs("second\n", stream);
    EXPECT_EQ(0, fflush(stream));
    EXPECT_EQ("first\nsecond\n", read_file(path));
    fputs("third\n", stream);
    EXPECT_EQ(0, fclose(stream));
    EXPECT_EQ("first\nsecond\nthird\n", read_file(path));
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    EXPECT_EQ(nullptr, OpenWriteStream(-1));
    EXPECT_EQ(EBADF, errno);
}

}  // namespace
