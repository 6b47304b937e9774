#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "asterisk_standin.h"
#include "cagi.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

char *txt(const char *text) { return const_cast<char *>(text); }

const std::string kUniqueId = "1796741624.7";
const std::string kUsageReply =
    "520-Invalid command syntax.  Proper usage follows:\n"
    "Returns <literal>0</literal> if <replaceable>variablename</replaceable> is not set.\n"
    "200 result=5 stands in the usage text and closes nothing\n"
    "Example return code: 200 result=1 (testvariable)\n"
    "520 End of proper usage.";

/* A session started as the dispatcher starts it (the environment read through the
 * process's standard input), whose commands then run over streams on the test's end of
 * a socket pair, with the stand-in at the other end. Tests add script steps, then
 * start(). */
class CagiCommands : public ::testing::Test {
   protected:
    void SetUp() override {
        SocketPair pair = make_socket_pair();
        server_fd_ = pair.server;
        pbx_ = std::make_unique<AsteriskStandIn>(pair.pbx);
        pbx_->environment(session_environment());
    }
    virtual EnvVars session_environment() const {
        return asterisk_environment("scen", "205", "5551234");
    }
    void TearDown() override {
        if (tool_.out != nullptr) fclose(tool_.out);
        if (tool_.in != nullptr)
            fclose(tool_.in);
        else
            close(server_fd_);
        AGITool_Destroy(&tool_);
        pbx_.reset();
    }
    void start() {
        pbx_->start();
        FILE *in = fdopen(server_fd_, "r");
        ASSERT_NE(nullptr, in);
        FILE *saved_stdin = stdin;
        stdin = in;
        AGITool_Init(&tool_);
        stdin = saved_stdin;
        tool_.in = in;
        tool_.out = fdopen(dup(server_fd_), "w");
        ASSERT_NE(nullptr, tool_.out);
    }
    void set(const char *name, const std::string &value) {
        tool_.settings = AGITool_ListAddItem(tool_.settings, txt(name), txt(value.c_str()));
    }
    /* Every scripted step ran and every command matched. */
    void expect_script_kept() {
        EXPECT_EQ("", pbx_->mismatch()) << pbx_->transcript();
        EXPECT_TRUE(pbx_->script_done()) << pbx_->transcript();
    }
    /* Marks raw, data and endpos so that a test can see whether a command wrote them. */
    void mark_record() {
        strcpy(res_.raw, "earlier line\n");
        strcpy(res_.data, "earlier data");
        res_.endpos = 777;
    }
    void expect_no_reply_record(int returned) {
        EXPECT_EQ(0, returned);
        EXPECT_EQ(500, res_.code);
        EXPECT_STREQ("-1", res_.result);
        EXPECT_STREQ("", res_.data);
        EXPECT_STREQ("earlier line\n", res_.raw);
        EXPECT_EQ(777u, res_.endpos);
    }
    int noop() { return AGITool_noop(&tool_, &res_); }
    /* Runs Dial once as the session starts, then once more with the "dial_separator"
     * setting; returns the lines Asterisk received. */
    std::string dial_before_and_after_setting(const char *separator) {
        pbx_->default_reply("200 result=0");
        start();
        AGITool_exec_dial(&tool_, &res_, txt("PJSIP"), txt("5551000"), txt("gw1"), 30, 600000);
        set("dial_separator", separator);
        AGITool_exec_dial(&tool_, &res_, txt("PJSIP"), txt("5551000"), txt("gw1"), 30, 600000);
        return pbx_->received();
    }

    int server_fd_ = -1;
    std::unique_ptr<AsteriskStandIn> pbx_;
    AGI_TOOLS tool_{};
    AGI_CMD_RESULT res_{};
};

struct ReplyCase {
    std::string reply; /* without its line break */
    int code;
    std::string result;
    unsigned endpos;
    std::string data;
    int returns;
};

TEST_F(CagiCommands, RepliesFillTheRecord) {
    const std::string long_result(120, '7');
    const std::vector<ReplyCase> cases = {
        {"200 result=1 (timeout)", 200, "1", 777, "timeout", 1},
        {"200 result=0 endpos=12345", 200, "0", 12345, "", 0},
        {"200 result=-1", 200, "-1", 777, "", -1},
        {"200 result=1 (open", 200, "1", 777, "open", 1},
        {"510 Invalid or unknown command", 510, "-1", 777, "Invalid or unknown command", -1},
        {"511 Command Not Permitted on a dead channel or intercept routine", 511, "-1", 777,
         "Command Not Permitted on a dead channel or intercept routine", -1},
        {"200 result=0 (timeout) endpos=4000", 200, "0", 4000, "timeout", 0},
        {"200 result=1 (a b (c))", 200, "1", 777, "a b (c)", 1},
        {"200 result=1 (Bob (home) x)y)", 200, "1", 777, "Bob (home) x)y", 1},
        {"200 result=1 x) (after", 200, "1", 777, "after", 1},
        {"200 result=1 ()", 200, "1", 777, "", 1},
        {"200 (no result field)", 200, "-1", 777, "no result field", -1},
        {"200 result=abc", 200, "abc", 777, "", 0},
        {"200 result=49 \t \r", 200, "49", 777, "", 49},
        {"200 result=" + long_result, 200, long_result.substr(0, 99), 777, "", INT_MAX},
        {"20", 20, "-1", 777, "", -1},
    };
    for (const ReplyCase &c : cases) pbx_->expect("NOOP", c.reply);
    start();
    for (const ReplyCase &c : cases) {
        SCOPED_TRACE(c.reply);
        mark_record();
        EXPECT_EQ(c.returns, noop());
        EXPECT_EQ(c.code, res_.code);
        EXPECT_EQ(c.result, res_.result);
        EXPECT_EQ(c.endpos, res_.endpos);
        EXPECT_EQ(c.data, res_.data);
        EXPECT_EQ(c.reply + "\n", res_.raw);
    }
    expect_script_kept();
}

TEST_F(CagiCommands, MultiLineReplyIsReadToItsClosingLine) {
    pbx_->expect("GET VARIABLE", kUsageReply).expect("GET VARIABLE FOO", "200 result=1 (bar)");
    start();
    mark_record();
    EXPECT_EQ(-1, AGITool_sendcmd(&tool_, &res_, txt("GET VARIABLE\n")));
    EXPECT_EQ(520, res_.code);
    EXPECT_STREQ("-1", res_.result);
    EXPECT_STREQ("Invalid command syntax.  Proper usage follows:", res_.data);
    EXPECT_STREQ("520-Invalid command syntax.  Proper usage follows:\n", res_.raw);
    EXPECT_EQ(777u, res_.endpos);

    EXPECT_EQ(1, AGITool_get_variable(&tool_, &res_, txt("FOO")));
    EXPECT_EQ(200, res_.code);
    EXPECT_STREQ("bar", res_.data);
    expect_script_kept();
}

TEST_F(CagiCommands, StreamEndingInsideMultiLineReplyKeepsTheFirstLine) {
    pbx_->expect("GET VARIABLE", "520-Invalid command syntax.\nusage text").hangup();
    start();
    EXPECT_EQ(-1, AGITool_sendcmd(&tool_, &res_, txt("GET VARIABLE\n")));
    EXPECT_EQ(520, res_.code);
    EXPECT_STREQ("Invalid command syntax.", res_.data);
}

TEST_F(CagiCommands, FourEmptyReadsAreAllowedTheFifthGivesUp) {
    const std::string nul_line("\0\n", 2);
    pbx_->expect("NOOP", nul_line + nul_line + nul_line + "200 result=1")
        .expect("NOOP", nul_line + nul_line + nul_line + nul_line + "200 result=2")
        .expect("NOOP", "200 result=3");
    start();
    EXPECT_EQ(1, noop()) << "a reply obtained by the fourth read is used";
    mark_record();
    expect_no_reply_record(noop());
    /* The fifth read took the late reply, so the next command reads its own. */
    EXPECT_EQ(3, noop());
    expect_script_kept();
}

TEST_F(CagiCommands, EndOfStreamGivesNoReply) {
    pbx_->expect("NOOP", std::string("\0", 1)).hangup();
    start();
    mark_record();
    expect_no_reply_record(noop());
}

TEST_F(CagiCommands, HangupNoticesAreSkippedUncounted) {
    const std::string nul_line("\0\n", 2);
    /* As a real PBX does when the caller hangs up while no command is pending. */
    pbx_->send("HANGUP\n")
        .expect("GET VARIABLE FOO", "200 result=1 (bar)")
        .expect("CHANNEL STATUS SIP/205-1",
                "HANGUP\n511 Command Not Permitted on a dead channel or intercept routine")
        .expect("NOOP", nul_line + nul_line + nul_line + "HANGUP\n200 result=4")
        .expect("EXEC Wait 1", "200 result=0");
    start();
    EXPECT_EQ(1, AGITool_get_variable(&tool_, &res_, txt("FOO")));
    EXPECT_STREQ("bar", res_.data);
    EXPECT_EQ(-1, AGITool_channel_status(&tool_, &res_, txt("SIP/205-1")));
    EXPECT_EQ(511, res_.code);
    EXPECT_EQ(4, noop()) << "the notice is not one of the four reads";
    EXPECT_EQ(0, AGITool_exec(&tool_, &res_, txt("Wait"), txt("1")));
    EXPECT_EQ(200, res_.code);
    expect_script_kept();
}

TEST_F(CagiCommands, LongRepliesAreCut) {
    const std::string long_text(3000, 'y');
    const std::string very_long(5000, 'z');
    pbx_->expect("NOOP", "510 " + long_text)
        .expect("NOOP", "200 result=1 (" + long_text + ")")
        .expect("NOOP", "200 result=1 (" + very_long + ")")
        .expect("NOOP", "200 result=2");
    start();
    EXPECT_EQ(-1, noop());
    EXPECT_EQ(("510 " + long_text).substr(0, 2047), res_.raw);
    EXPECT_EQ(long_text.substr(0, 2047), res_.data);
    EXPECT_EQ(1, noop());
    EXPECT_EQ(long_text.substr(0, 2047), res_.data);
    /* A line beyond the 4096-byte buffer: its first part is the reply, the rest is dropped
     * so that the next command still reads its own reply. */
    EXPECT_EQ(1, noop());
    EXPECT_EQ(very_long.substr(0, 2047), res_.data);
    EXPECT_EQ(2, noop());
    expect_script_kept();
}

TEST_F(CagiCommands, LineBreaksInsideACommandAreRefused) {
    pbx_->expect("NOOP", "200 result=1");
    start();
    const std::vector<std::function<int()>> refused = {
        [&] { return AGITool_set_variable(&tool_, &res_, txt("X"), txt("a\nNOOP")); },
        [&] { return AGITool_verbose(&tool_, &res_, txt("carriage\r"), 1); },
        [&] { return AGITool_send_text(&tool_, &res_, txt("line\n")); },
        [&] { return AGITool_sendcmd(&tool_, &res_, txt("NOOP\r\n")); },
        [&] { return AGITool_sendcmd(&tool_, &res_, txt("NOOP\n\n")); },
        [&] { return AGITool_sendcmd(&tool_, &res_, txt("EXEC %s\n"), "Wait\n1"); },
    };
    for (size_t i = 0; i < refused.size(); i++) {
        SCOPED_TRACE("refused command " + std::to_string(i));
        mark_record();
        expect_no_reply_record(refused[i]());
    }
    EXPECT_EQ(1, noop());
    expect_script_kept();
    EXPECT_EQ("NOOP\n", pbx_->received()) << "a refused command writes nothing";
}

TEST_F(CagiCommands, CommandThatCannotBeWritten) {
    start();
    FILE *writable = tool_.out;
    tool_.out = fdopen(dup(server_fd_), "r");
    ASSERT_NE(nullptr, tool_.out);
    mark_record();
    expect_no_reply_record(noop());
    fclose(tool_.out);
    tool_.out = writable;
    EXPECT_EQ("", pbx_->received());
}

/* A PBX older than 1.6: its environment holds no "agi_version". */
class CagiCommandsOldPbx : public CagiCommands {
   protected:
    EnvVars session_environment() const override {
        EnvVars vars = CagiCommands::session_environment();
        vars.erase(std::remove_if(vars.begin(), vars.end(),
                                  [](const auto &pair) { return pair.first == "agi_version"; }),
                   vars.end());
        return vars;
    }
};

TEST_F(CagiCommands, ExecDialSeparatesWithCommaUnlessTheSettingSaysOtherwise) {
    EXPECT_EQ("EXEC Dial PJSIP/5551000@gw1,30,L(600000:80000:20000)\n"
              "EXEC Dial PJSIP/5551000@gw1|30|L(600000:80000:20000)\n",
              dial_before_and_after_setting("|"));
}

TEST_F(CagiCommandsOldPbx, ExecDialSeparatesWithBarUnlessTheSettingSaysOtherwise) {
    EXPECT_EQ("EXEC Dial PJSIP/5551000@gw1|30|L(600000:80000:20000)\n"
              "EXEC Dial PJSIP/5551000@gw1,30,L(600000:80000:20000)\n",
              dial_before_and_after_setting(","));
}

struct WrapperCase {
    std::string line;         /* without its line break */
    std::function<int()> run; /* runs the wrapper on the session */
};

TEST_F(CagiCommands, EveryWrapperSendsItsCommandLine) {
    char dest[16];
    AGI_TOOLS *t = &tool_;
    AGI_CMD_RESULT *r = &res_;
    const std::vector<WrapperCase> cases = {
        {"ANSWER", [&] { return AGITool_answer(t, r); }},
        {"SET AUTOHANGUP 30", [&] { return AGITool_autohangup(t, r, 30); }},
        {"CHANNEL STATUS SIP/205-1",
         [&] { return AGITool_channel_status(t, r, txt("SIP/205-1")); }},
        {"EXEC Verbose 100%s,%d",
         [&] { return AGITool_exec(t, r, txt("Verbose"), txt("100%s,%d")); }},
        {"GET DATA beep 5000 4", [&] { return AGITool_get_data(t, r, txt("beep"), 5000, 4); }},
        {"GET VARIABLE CALLERID(num)",
         [&] { return AGITool_get_variable(t, r, txt("CALLERID(num)")); }},
        {"GET VARIABLE FOO", [&] { return AGITool_get_variable2(t, r, txt("FOO"), dest, 15); }},
        {"HANGUP SIP/205-1", [&] { return AGITool_hangup(t, r, txt("SIP/205-1")); }},
        {"RECEIVE CHAR 2000", [&] { return AGITool_receive_char(t, r, 2000); }},
        {"RECORD FILE msg wav \"#\" 5000 BEEP",
         [&] {
             return AGITool_record_file(t, r, txt("msg"), txt("wav"), txt("#"), 5000, 1, 0, 0);
         }},
        {"RECORD FILE msg gsm \"*#\" -1 800 BEEP s=3",
         [&] {
             return AGITool_record_file(t, r, txt("msg"), txt("gsm"), txt("*#"), -1, 9, 3, 800);
         }},
        {"RECORD FILE msg wav \"\" 0",
         [&] { return AGITool_record_file(t, r, txt("msg"), txt("wav"), txt(""), 0, 0, -2, -5); }},
        {"SAY DIGITS 205 \"#\"", [&] { return AGITool_say_digits(t, r, txt("205"), txt("#")); }},
        {"SAY PHONETIC abc \"12\"",
         [&] { return AGITool_say_phonetic(t, r, txt("abc"), txt("12")); }},
        {"SAY NUMBER -42 \"\"", [&] { return AGITool_say_number(t, r, -42, txt("")); }},
        {"SEND IMAGE logo", [&] { return AGITool_send_image(t, r, txt("logo")); }},
        {"SEND TEXT \"hello there\"", [&] { return AGITool_send_text(t, r, txt("hello there")); }},
        {"SET CALLERID \"Dave <5550000>\"",
         [&] { return AGITool_set_callerid(t, r, txt("\"Dave <5550000>\"")); }},
        {"SET CONTEXT internal", [&] { return AGITool_set_context(t, r, txt("internal")); }},
        {"SET EXTENSION s", [&] { return AGITool_set_extension(t, r, txt("s")); }},
        {"SET PRIORITY 1", [&] { return AGITool_set_priority(t, r, 1); }},
        {"SET VARIABLE MYVAR \"a b (c)\"",
         [&] { return AGITool_set_variable(t, r, txt("MYVAR"), txt("a b (c)")); }},
        {"STREAM FILE welcome \"0123\" 250",
         [&] { return AGITool_stream_file(t, r, txt("welcome"), txt("0123"), 250); }},
        {"TDD MODE on", [&] { return AGITool_tdd_mode(t, r, txt("on")); }},
        {"VERBOSE \"message from the server\" 1",
         [&] { return AGITool_verbose(t, r, txt("message from the server"), 1); }},
        {"WAIT FOR DIGIT -1", [&] { return AGITool_wait_for_digit(t, r, -1); }},
        {"DATABASE PUT \"cfwd\" \"205\" \"5551000\"",
         [&] { return AGITool_database_put(t, r, txt("cfwd"), txt("205"), txt("5551000")); }},
        {"DATABASE GET \"cfwd\" \"205\"",
         [&] { return AGITool_database_get(t, r, txt("cfwd"), txt("205")); }},
        {"DATABASE DEL \"cfwd\" \"205\"",
         [&] { return AGITool_database_del(t, r, txt("cfwd"), txt("205")); }},
        {"DATABASE DELTREE \"cfwd\" \"20\"",
         [&] { return AGITool_database_deltree(t, r, txt("cfwd"), txt("20")); }},
        {"DATABASE DELTREE \"cfwd\"",
         [&] { return AGITool_database_deltree(t, r, txt("cfwd"), txt("")); }},
        {"SAY TIME 1796741624 \"#\"", [&] { return AGITool_say_time(t, r, 1796741624, txt("#")); }},
        {"NOOP", [&] { return AGITool_noop(t, r); }},
        {"SET MUSIC ON default", [&] { return AGITool_set_music(t, r, 5, txt("default")); }},
        {"SET MUSIC OFF jazz", [&] { return AGITool_set_music(t, r, 0, txt("jazz")); }},
        {"EXEC Dial SIP/5551000@gw1,30,L(600000:80000:20000)",
         [&] {
             return AGITool_exec_dial(t, r, txt("SIP"), txt("5551000"), txt("gw1"), 30, 600000);
         }},
    };
    pbx_->default_reply("200 result=7 (value)");
    start();
    std::string all_lines;
    for (const WrapperCase &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(7, c.run()) << "the wrapper passes on the command's result";
        all_lines += c.line + "\n";
    }
    EXPECT_EQ(all_lines, pbx_->received());
    EXPECT_EQ("", pbx_->mismatch()) << pbx_->transcript();
    EXPECT_STREQ("value", dest);
}

TEST_F(CagiCommands, RecordLineIsCutBefore253CharactersAndSentAsComposed) {
    /* "RECORD FILE " + name + " wav \"#\" 5000 7 BEEP s=3": 36 characters besides the name. */
    const std::vector<size_t> full_lengths = {60, 252, 253, 254, 256, 270, 400};
    std::vector<std::string> expected;
    for (size_t length : full_lengths) {
        std::string name = "100%d%s%n_" + std::string(length - 36 - 10, 'a');
        std::string full = "RECORD FILE " + name + " wav \"#\" 5000 7 BEEP s=3";
        ASSERT_EQ(length, full.size());
        expected.push_back(full.substr(0, 253));
    }
    pbx_->default_reply("200 result=0 endpos=0");
    start();
    for (size_t length : full_lengths) {
        std::string name = "100%d%s%n_" + std::string(length - 36 - 10, 'a');
        EXPECT_EQ(
            0, AGITool_record_file(&tool_, &res_, &name[0], txt("wav"), txt("#"), 5000, 1, 3, 7));
        EXPECT_EQ(200, res_.code);
    }
    EXPECT_EQ(expected, pbx_->commands());
    std::string all_lines;
    for (const std::string &line : expected) all_lines += line + "\n";
    EXPECT_EQ(all_lines, pbx_->received());
    EXPECT_EQ("", pbx_->mismatch()) << pbx_->transcript();
}

TEST_F(CagiCommands, GetVariable2CopiesIntoTheCallersBuffer) {
    pbx_->expect("GET VARIABLE TEN", "200 result=1 (0123456789)")
        .expect("GET VARIABLE SHORT", "200 result=1 (ab)")
        .expect("GET VARIABLE GONE", std::string("\0", 1))
        .hangup();
    start();
    char dest[8];
    memset(dest, '#', sizeof(dest));
    EXPECT_EQ(1, AGITool_get_variable2(&tool_, &res_, txt("TEN"), dest, 3));
    EXPECT_EQ(std::string("012\0####", 8), std::string(dest, 8));

    memset(dest, '#', sizeof(dest));
    EXPECT_EQ(1, AGITool_get_variable2(&tool_, &res_, txt("SHORT"), dest, 6));
    EXPECT_EQ(std::string("ab\0\0\0\0\0#", 8), std::string(dest, 8));

    memset(dest, '#', sizeof(dest));
    EXPECT_EQ(0, AGITool_get_variable2(&tool_, &res_, txt("GONE"), dest, 6));
    EXPECT_EQ(500, res_.code);
    EXPECT_EQ(std::string(7, '\0') + "#", std::string(dest, 8));
}

TEST_F(CagiCommands, ChannelStatusDescribesTheState) {
    const std::vector<std::pair<std::string, std::string>> states = {
        {"0", "Channel is down and available"},
        {"1", "Channel is down, but reserved"},
        {"2", "Channel is off hook"},
        {"3", "Digits (or equivalent) have been dialed"},
        {"4", "Line is ringing"},
        {"5", "Remote end is ringing"},
        {"6", "Line is up"},
        {"7", "Line is busy"},
        {"8", "Digits (or equivalent) have been dialed while offhook"},
        {"9", "Channel has detected an incoming call and is waiting for ring"},
        {"12", "Unknown result: 12"},
        {"-1", "There is no channel that matches SIP/205-1"},
    };
    for (const auto &state : states)
        pbx_->expect("CHANNEL STATUS SIP/205-1", "200 result=" + state.first + " (ignored)");
    pbx_->expect("CHANNEL STATUS SIP/205-1", "511 Command Not Permitted on a dead channel")
        .expect("CHANNEL STATUS SIP/205-1", std::string("\0", 1))
        .hangup();
    start();
    for (const auto &state : states) {
        SCOPED_TRACE(state.first);
        EXPECT_EQ(atoi(state.first.c_str()),
                  AGITool_channel_status(&tool_, &res_, txt("SIP/205-1")));
        EXPECT_EQ(state.second, res_.data);
    }
    EXPECT_EQ(-1, AGITool_channel_status(&tool_, &res_, txt("SIP/205-1")));
    EXPECT_STREQ("There is no channel that matches SIP/205-1", res_.data);
    EXPECT_EQ(0, AGITool_channel_status(&tool_, &res_, txt("SIP/205-1")));
    EXPECT_EQ(500, res_.code);
    EXPECT_STREQ("There is no channel that matches SIP/205-1", res_.data);
}

/* Text to speech runs in a scratch directory made the working directory, since settings
 * hold at most 49 characters: "tmpdir" and the program are given relative to it. The
 * program is the test tree's fake-text2wave. */
class CagiText2wav : public CagiCommands {
   protected:
    void SetUp() override {
        CagiCommands::SetUp();
        char cwd[PATH_MAX];
        ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
        saved_cwd_ = cwd;
        dir_ = scratch_dir();
        ASSERT_EQ(0, chdir(dir_.c_str()));
        std::string source = __FILE__;
        std::string program = source.substr(0, source.rfind('/')) + "/support/fake-text2wave";
        ASSERT_EQ(0, symlink(program.c_str(), "fake-text2wave"));
    }
    void TearDown() override {
        EXPECT_EQ(0, chdir(saved_cwd_.c_str()));
        CagiCommands::TearDown();
    }
    void start_speaking(const std::string &tmpdir,
                        const std::string &program = "./fake-text2wave") {
        start();
        set("tmpdir", tmpdir);
        set("festival_text2wave", program);
    }
    /* Answers STREAM FILE with result 1 and, in parentheses, whether the sound file
     * exists at that moment and what it holds. */
    void answer_stream_with_file_state(const std::string &base) {
        pbx_->default_reply([base](const std::string &) {
            std::string wav = base + ".wav";
            if (!FileExists(const_cast<char *>(wav.c_str())))
                return std::string("200 result=1 (absent)\n");
            return "200 result=1 (present:" + read_file(wav) + ")\n";
        });
    }
    std::vector<std::string> program_args(const std::string &base) {
        return split_lines(read_file(base + ".wav.args"));
    }

    std::string saved_cwd_;
    std::string dir_;
};

TEST_F(CagiText2wav, SpeaksThroughThePipeAndRemovesTheFileAfterTheReply) {
    const std::string base = "./txt2wav_" + kUniqueId;
    answer_stream_with_file_state(base);
    start_speaking(".");
    const char *text = "It's $HOME `id` \"quoted\"; rm -rf x"; /* no ")": it would end data */
    EXPECT_EQ(1, AGITool_text2wav(&tool_, &res_, txt(text), txt("#"), -5));
    EXPECT_EQ(std::string("present:") + text, res_.data) << "the file exists when Asterisk answers";
    EXPECT_EQ(0, FileExists(txt((base + ".wav").c_str()))) << "and is removed after the reply";
    EXPECT_EQ((std::vector<std::string>{"-F", "8000", "-o", base + ".wav"}), program_args(base));
    EXPECT_EQ(text, read_file(base + ".wav.text")) << "the text goes unchanged through the pipe";

    EXPECT_EQ(1, AGITool_text2wav(&tool_, &res_, txt("again"), txt(""), 16000));
    EXPECT_EQ("16000", program_args(base)[1]);
    EXPECT_EQ(1, AGITool_text2wav(&tool_, &res_, txt("zero"), txt(""), 0));
    EXPECT_EQ("8000", program_args(base)[1]);

    std::vector<std::string> expected = {"STREAM FILE " + base + " \"#\" 0",
                                         "STREAM FILE " + base + " \"\" 0",
                                         "STREAM FILE " + base + " \"\" 0"};
    EXPECT_EQ(expected, pbx_->commands());
}

TEST_F(CagiText2wav, EmptyTextSendsNothing) {
    start_speaking(".");
    EXPECT_EQ(1, AGITool_text2wav(&tool_, &res_, txt(""), txt("#"), 8000));
    EXPECT_EQ(0, FileExists(txt(("./txt2wav_" + kUniqueId + ".wav.args").c_str())));
    EXPECT_EQ("", pbx_->received());
}

TEST_F(CagiText2wav, MissingProgramStillStreams) {
    const std::string base = "./txt2wav_" + kUniqueId;
    answer_stream_with_file_state(base);
    start_speaking(".", "./no-such-program");
    /* More text than a pipe holds: the write meets a program that is gone (SIGPIPE). */
    std::string text(200000, 'w');
    EXPECT_EQ(1, AGITool_text2wav(&tool_, &res_, &text[0], txt("#"), 8000));
    EXPECT_STREQ("absent", res_.data);
    EXPECT_EQ(std::vector<std::string>{"STREAM FILE " + base + " \"#\" 0"}, pbx_->commands());
}

TEST_F(CagiText2wav, ProgramThatCannotBeStartedSendsNothing) {
    start_speaking(".");
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    struct rlimit none = saved;
    none.rlim_cur = 0; /* no descriptor left for the pipe */
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &none));
    int status = AGITool_text2wav(&tool_, &res_, txt("hello"), txt("#"), 8000);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_EQ(-1, status);
    EXPECT_EQ("", pbx_->received());
}

TEST_F(CagiText2wav, PathWithQuoteReachesTheProgramAsItIs) {
    const std::string tmpdir = "it's $(touch injected) `touch injected`";
    const std::string base = tmpdir + "/txt2wav_" + kUniqueId;
    make_dirs(dir_ + "/" + tmpdir);
    answer_stream_with_file_state(base);
    start_speaking(tmpdir);
    EXPECT_EQ(1, AGITool_text2wav(&tool_, &res_, txt("hello"), txt("#"), 8000));
    EXPECT_STREQ("present:hello", res_.data);
    EXPECT_EQ((std::vector<std::string>{"-F", "8000", "-o", base + ".wav"}), program_args(base));
    EXPECT_EQ(0, FileExists(txt("injected")));
    EXPECT_EQ(0, FileExists(txt((base + ".wav").c_str())));
}

}  // namespace
