#include "call_agi.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "asterisk_standin.h"
#include "quelmo-utils.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

class CallAgi : public ::testing::Test {
   protected:
    void SetUp() override {
        quelmo_init();
        reset_debug_log();
        signal(SIGPIPE, SIG_IGN);
        SocketPair pair = make_socket_pair();
        server_fd_ = pair.server;
        pbx_ = std::make_unique<AsteriskStandIn>(pair.pbx);
        baseline_fds_ = count_open_fds();
    }
    /* Closes the test's own end of the call, so the stand-in sees the connection close. */
    void hang_up_server() {
        close(server_fd_);
        server_fd_ = -1;
        pbx_->wait_closed();
    }
    void TearDown() override {
        if (server_fd_ >= 0) close(server_fd_);
    }
    /* Reads one variable over a duplicate of the call socket, as the dispatcher does. */
    int read_variable(const char *name, std::string *value) {
        char *text = nullptr;
        int dup_fd = dup(server_fd_);
        int status = GetVariable(dup_fd, const_cast<char *>(name), &text);
        EXPECT_FALSE(fd_is_open(dup_fd)) << "GetVariable left its descriptor open";
        EXPECT_TRUE(fd_is_open(server_fd_));
        EXPECT_EQ(baseline_fds_, count_open_fds());
        *value = text != nullptr ? text : "(none)";
        free(text);
        return status;
    }
    EXTENSION_INFO cid(const char *name, const char *number) {
        return {nullptr, const_cast<char *>(name), const_cast<char *>(number)};
    }
    int server_fd_ = -1;
    int baseline_fds_ = 0;
    std::unique_ptr<AsteriskStandIn> pbx_;
};

TEST_F(CallAgi, GetVariableReplyTable) {
    struct Case {
        const char *reply;
        int status;
        const char *value;
    } cases[] = {
        {"200 result=1 (bar)", 1, "bar"},
        {"200 result=3 (x y)", 3, "x y"},
        {"200 result=0", 0, "EMPTY"},
        {"200 result=1 ()", -1, "INVALID"},
        {"200 result=1 (no close", -1, "INVALID"},
        {"200 result=1", -1, "INVALID"},
        /* Asterisk does not escape a ')' inside a value: the last one closes it. */
        {"200 result=1 (Bob (home) x)y)", 1, "Bob (home) x)y"},
        {"510 Invalid or unknown command", -1, "EMPTY"},
        {"200 result=-2", -2, "EMPTY"},
        {"200 result=1 (  two  spaces  )", 1, "  two  spaces  "},
    };
    for (const Case &c : cases) pbx_->expect("GET VARIABLE FOO", c.reply);
    pbx_->start();
    for (const Case &c : cases) {
        std::string value;
        EXPECT_EQ(c.status, read_variable("FOO", &value)) << c.reply;
        EXPECT_EQ(c.value, value) << c.reply;
    }
    EXPECT_EQ("", pbx_->mismatch());
}

TEST_F(CallAgi, GetVariableWaitsForALateReply) {
    pbx_->expect("GET VARIABLE FOO", "200 result=1 (bar)", 300).start();
    std::string value;
    EXPECT_EQ(1, read_variable("FOO", &value));
    EXPECT_EQ("bar", value);
}

TEST_F(CallAgi, GetVariableLogsEntryAndExit) {
    pbx_->expect("GET VARIABLE EXTENSION", "200 result=1 (205)").start();
    std::string value;
    read_variable("EXTENSION", &value);
    EXPECT_EQ((std::vector<std::string>{"Enter GetVariable (var = EXTENSION)",
                                        "Exit GetVariable (status = 1) (EXTENSION = 205)"}),
              debug_messages());
}

TEST_F(CallAgi, GetVariableWithoutReplyGivesEmpty) {
    pbx_->hangup().start();
    pbx_->wait_closed();
    std::string value;
    EXPECT_EQ(-1, read_variable("FOO", &value));
    EXPECT_EQ("EMPTY", value);
}

TEST_F(CallAgi, GetVariableCutsReplyAt254Characters) {
    std::string inside(239, 'v'); /* "200 result=1 (" + 239 + ")" = 254 */
    pbx_->expect("GET VARIABLE A", "200 result=1 (" + inside + ")")
        .expect("GET VARIABLE B", "200 result=1 (" + inside + "12345)")
        .start();
    std::string value;
    EXPECT_EQ(1, read_variable("A", &value));
    EXPECT_EQ(inside, value);
    /* The second reply's ")" lies past the cut: the rest of the line is dropped. */
    EXPECT_EQ(-1, read_variable("B", &value));
    EXPECT_EQ("INVALID", value);
}

/* A reply longer than any buffer is taken off the connection whole: its tail is never
 * read as the next command's reply, whether the next read uses a fresh stream (the
 * dispatcher's variable reads) or the same one (a worker's results). */
TEST_F(CallAgi, OverlongReplyLineIsReadWhole) {
    std::string tail = std::string(300, 'x') + std::string("\0 result=9 ", 11) + std::string(1100, 'y');
    pbx_->expect("GET VARIABLE A", "200 result=1 (a)" + tail)
        .expect("GET VARIABLE B", "200 result=1 (b)")
        .send("200 result=0 " + tail + "\n200 result=5\n")
        .start();
    std::string value;
    EXPECT_EQ(1, read_variable("A", &value));
    EXPECT_EQ("a", value);
    EXPECT_EQ(1, read_variable("B", &value));
    EXPECT_EQ("b", value);
    FILE *stream = fdopen(dup(server_fd_), "r");
    EXPECT_EQ(0, GetExecResult(stream));
    EXPECT_EQ(5, GetExecResult(stream));
    fclose(stream);
}

TEST_F(CallAgi, GetVariableOnUnusableDescriptorClosesIt) {
    int read_only = open("/dev/null", O_RDONLY);
    ASSERT_GE(read_only, 0);
    char *value = nullptr;
    EXPECT_EQ(-1, GetVariable(read_only, const_cast<char *>("FOO"), &value));
    EXPECT_EQ(nullptr, value);
    EXPECT_FALSE(fd_is_open(read_only));
    std::vector<std::string> log = debug_messages();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ("Enter GetVariable (var = FOO) failed with error: Invalid argument", log[1]);
}

TEST_F(CallAgi, GetVariableRefusesNameWithLineBreak) {
    pbx_->start();
    std::string value;
    EXPECT_EQ(-1, read_variable("FOO\nEXEC Hangup", &value));
    EXPECT_EQ("EMPTY", value);
    EXPECT_EQ("", pbx_->received());
    std::vector<std::string> log = debug_messages();
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "Refused AGI command with a line break"));
}

TEST_F(CallAgi, GetExecResultReadsIntegerAfterFirstEquals) {
    pbx_->send("200 result=0\n200 result=-1\n200 result=7 (x=9)\nHANGUP\n200 result=\n").hangup().start();
    FILE *stream = fdopen(dup(server_fd_), "w+");
    EXPECT_EQ(0, GetExecResult(stream));
    EXPECT_EQ(-1, GetExecResult(stream));
    EXPECT_EQ(7, GetExecResult(stream));
    EXPECT_EQ(-1, GetExecResult(stream)); /* a line without "=" */
    EXPECT_EQ(0, GetExecResult(stream));  /* no digits read as atoi reads them */
    EXPECT_EQ(-1, GetExecResult(stream)); /* end of stream */
    fclose(stream);
    EXPECT_EQ(-1, GetExecResult(nullptr));
}

TEST_F(CallAgi, SetCallerIdSendsNameThenNumber) {
    pbx_->expect("exec SetCIDName \"Alice\"", "200 result=0")
        .expect("exec SetCIDNum \"5551234\"", "200 result=0")
        .start();
    FILE *stream = fdopen(dup(server_fd_), "w+");
    EXTENSION_INFO record = cid("Alice", "5551234");
    SetCallerID(stream, &record);
    fclose(stream);
    EXPECT_EQ("", pbx_->mismatch());
    EXPECT_TRUE(pbx_->script_done());
    EXPECT_EQ((std::vector<std::string>{"exec SetCIDName \"Alice\"", "Return Status = 0",
                                        "exec SetCIDNum \"5551234\"", "Return Status = 0"}),
              debug_messages());
}

TEST_F(CallAgi, SetCallerIdSendsOnlyFieldsPresent) {
    pbx_->expect("exec SetCIDNum \"205\"", "200 result=0")
        .expect("exec SetCIDName \"Bob\"", "200 result=0")
        .start();
    FILE *stream = fdopen(dup(server_fd_), "w+");
    EXTENSION_INFO number_only = cid(nullptr, "205");
    EXTENSION_INFO empty_name = cid("", "");
    EXTENSION_INFO name_only = cid("Bob", nullptr);
    EXTENSION_INFO none = cid(nullptr, nullptr);
    SetCallerID(stream, &number_only);
    SetCallerID(stream, &empty_name);
    SetCallerID(stream, &name_only);
    reset_debug_log();
    SetCallerID(stream, &none);
    fclose(stream);
    hang_up_server();
    EXPECT_EQ("", pbx_->mismatch());
    EXPECT_EQ(2u, pbx_->commands().size());
    EXPECT_TRUE(debug_messages().empty());
}

TEST_F(CallAgi, SetCallerIdSkipsNumberAfterNegativeName) {
    pbx_->expect("exec SetCIDName \"Alice\"", "200 result=-1")
        .expect("exec SetCIDName \"Carol\"", "510 Invalid or unknown command")
        .start();
    FILE *stream = fdopen(dup(server_fd_), "w+");
    EXTENSION_INFO alice = cid("Alice", "5551234"), carol = cid("Carol", "5559876");
    SetCallerID(stream, &alice);
    SetCallerID(stream, &carol);
    fclose(stream);
    hang_up_server();
    EXPECT_EQ("", pbx_->mismatch());
    EXPECT_EQ(2u, pbx_->commands().size());
}

TEST_F(CallAgi, SetCallerIdFallsBackToSetOnCurrentAsterisk) {
    pbx_->expect("exec SetCIDName \"Alice\"", "200 result=-2")
        .expect("exec Set \"CALLERID(name)=Alice\"", "200 result=0")
        .expect("exec SetCIDNum \"5551234\"", "200 result=-2")
        .expect("exec Set \"CALLERID(num)=5551234\"", "200 result=0")
        .start();
    FILE *stream = fdopen(dup(server_fd_), "w+");
    EXTENSION_INFO record = cid("Alice", "5551234");
    SetCallerID(stream, &record);
    fclose(stream);
    EXPECT_EQ("", pbx_->mismatch());
    EXPECT_TRUE(pbx_->script_done());
    EXPECT_EQ((std::vector<std::string>{
                  "exec SetCIDName \"Alice\"", "Return Status = -2",
                  "exec Set \"CALLERID(name)=Alice\"", "Return Status = 0",
                  "exec SetCIDNum \"5551234\"", "Return Status = -2",
                  "exec Set \"CALLERID(num)=5551234\"", "Return Status = 0"}),
              debug_messages());
}

/* A PBX known to lack the old applications gets Set at once; should it answer Set with -2,
 * the old application is tried. */
TEST_F(CallAgi, SetCallerIdAtOnceSendsSetFirst) {
    pbx_->expect("exec Set \"CALLERID(name)=Alice\"", "200 result=0")
        .expect("exec Set \"CALLERID(num)=5551234\"", "200 result=-2")
        .expect("exec SetCIDNum \"5551234\"", "200 result=0")
        .start();
    FILE *stream = fdopen(dup(server_fd_), "w+");
    EXTENSION_INFO record = cid("Alice", "5551234");
    SetCallerIDForPbx(stream, &record, 1);
    fclose(stream);
    EXPECT_EQ("", pbx_->mismatch());
    EXPECT_TRUE(pbx_->script_done());
    EXPECT_EQ((std::vector<std::string>{
                  "exec Set \"CALLERID(name)=Alice\"", "Return Status = 0",
                  "exec Set \"CALLERID(num)=5551234\"", "Return Status = -2",
                  "exec SetCIDNum \"5551234\"", "Return Status = 0"}),
              debug_messages());
}

TEST_F(CallAgi, SetCallerIdFallbackFailureSkipsNumber) {
    pbx_->expect("exec SetCIDName \"Alice\"", "200 result=-2")
        .expect("exec Set \"CALLERID(name)=Alice\"", "200 result=-1")
        .start();
    FILE *stream = fdopen(dup(server_fd_), "w+");
    EXTENSION_INFO record = cid("Alice", "5551234");
    SetCallerID(stream, &record);
    fclose(stream);
    hang_up_server();
    EXPECT_EQ("", pbx_->mismatch());
    EXPECT_EQ(2u, pbx_->commands().size());
}

TEST_F(CallAgi, SetCallerIdRefusesLineBreaksAndSkipsNumber) {
    pbx_->start();
    FILE *stream = fdopen(dup(server_fd_), "w+");
    EXTENSION_INFO record = cid("Eve\r\nexec Hangup", "5551234");
    SetCallerID(stream, &record);
    fclose(stream);
    hang_up_server();
    EXPECT_EQ("", pbx_->received());
    EXPECT_EQ((std::vector<std::string>{"exec SetCIDName \"Eve\r", "exec Hangup\"",
                                        "Refused AGI command with a line break",
                                        "Return Status = -1"}),
              debug_messages());
}

TEST_F(CallAgi, SetCallerIdWithoutStreamLogsFailure) {
    EXTENSION_INFO record = cid("Alice", "5551234");
    errno = EBADF;
    SetCallerID(nullptr, &record);
    EXPECT_EQ(std::vector<std::string>{"Enter SetCallerID failed with error: Bad file descriptor"},
              debug_messages());
}

TEST_F(CallAgi, GotoContextSendsThreeStepsInOrder) {
    pbx_->expect("SET CONTEXT internal", "200 result=0")
        .expect("SET PRIORITY 1", "200 result=0")
        .expect("SET EXTENSION s", "200 result=0")
        .start();
    int dup_fd = dup(server_fd_);
    GotoContext(dup_fd, const_cast<char *>("internal"));
    EXPECT_FALSE(fd_is_open(dup_fd));
    EXPECT_EQ(baseline_fds_, count_open_fds());
    EXPECT_EQ("", pbx_->mismatch());
    EXPECT_TRUE(pbx_->script_done());
    EXPECT_TRUE(debug_messages().empty());
}

TEST_F(CallAgi, GotoContextStillWritesAfterReplyArrivesWithMoreData) {
    /* The first reply comes together with an early line; the stream must still write. */
    pbx_->expect("SET CONTEXT internal", "200 result=0\n200 result=0")
        .expect("SET PRIORITY 1", "200 result=0")
        .expect("SET EXTENSION s", "200 result=0")
        .start();
    GotoContext(dup(server_fd_), const_cast<char *>("internal"));
    hang_up_server();
    EXPECT_EQ("", pbx_->mismatch());
    EXPECT_TRUE(pbx_->script_done());
}

TEST_F(CallAgi, GotoContextStopsAtFirstUnusableReply) {
    pbx_->expect("SET CONTEXT internal", "200 result=0")
        .expect("SET PRIORITY 1", "510 Invalid or unknown command")
        .start();
    GotoContext(dup(server_fd_), const_cast<char *>("internal"));
    hang_up_server();
    EXPECT_EQ("", pbx_->mismatch());
    EXPECT_EQ(2u, pbx_->commands().size());
}

TEST_F(CallAgi, GotoContextRefusesLineBreakAndClosesDescriptor) {
    pbx_->start();
    int dup_fd = dup(server_fd_);
    GotoContext(dup_fd, const_cast<char *>("internal\nEXEC Hangup"));
    EXPECT_FALSE(fd_is_open(dup_fd));
    EXPECT_EQ("", pbx_->received());
    EXPECT_EQ(std::vector<std::string>{"Refused AGI command with a line break"}, debug_messages());
}

TEST_F(CallAgi, GotoContextOnUnusableDescriptorClosesIt) {
    int read_only = open("/dev/null", O_RDONLY);
    GotoContext(read_only, const_cast<char *>("internal"));
    EXPECT_FALSE(fd_is_open(read_only));
    EXPECT_EQ(std::vector<std::string>{
                  "Enter GotoContext (context = internal) failed with error: Invalid argument"},
              debug_messages());
}

}  // namespace
