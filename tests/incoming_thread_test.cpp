#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "incoming_call.h"
#include "quelmo-call.h"
#include "quelmo-paths.h"
#include "quelmo-utils.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

using Lines = std::vector<std::string>;

const std::string kExternal = QUELMO_EXTERNAL_CONF;
const std::string kInternal = QUELMO_INTERNAL_CONF;
const std::string kGoto = "exec Goto \"999\"\n";

Lines operator+(Lines a, const Lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

/* Log lines of one dial-plan lookup: device found, nothing found, or no such file. */
Lines found(const std::string &ext, const std::string &conf, const std::string &device) {
    return {"Enter GetDEVfromConf (ext = " + ext + ",conf = " + conf + ")",
            "Exit GetDEVfromConf (ext = " + ext + ",conf = " + conf + ") = " + device};
}
Lines not_found(const std::string &ext, const std::string &conf) {
    return {"Enter GetDEVfromConf (ext = " + ext + ",conf = " + conf + ")",
            "Exit GetDEVfromConf (ext = " + ext + ",conf = " + conf + ") = NOT FOUND"};
}
Lines missing(const std::string &ext, const std::string &conf) {
    return {"Enter GetDEVfromConf (ext = " + ext + ",conf = " + conf + ")",
            "Cannot open " + conf + ": No such file or directory", ""};
}
/* The worker's frame around the rules' lines. */
Lines worker_log(const Lines &rules) {
    return Lines{"Enter Incoming Thread"} + rules +
           Lines{"exec Goto \"999\"", "Exit Incoming Thread"};
}

class IncomingThread : public ::testing::Test {
   protected:
    static void SetUpTestSuite() {
        quelmo_init();
        signal(SIGPIPE, SIG_IGN);
    }
    void SetUp() override {
        reset_debug_log();
        remove_file(kExternal);
        remove_file(kInternal);
    }
    /* Runs one worker to its end. Returns what the stand-in received. */
    std::string run(IncomingCall &call, const std::vector<Rule> &rules,
                    EXTENSION_INFO *cid = nullptr, int centrex = 0) {
        int before = count_open_fds();
        EXPECT_TRUE(call.start(make_rules(rules), cid, centrex));
        EXPECT_TRUE(call.wait_closed()) << call.pbx().transcript();
        EXPECT_TRUE(wait_for_worker_exits(1));
        EXPECT_EQ(before - 1, open_fds_settled_to(before - 1))
            << "the worker's descriptor stayed open";
        EXPECT_EQ("", call.pbx().mismatch()) << call.pbx().transcript();
        return call.received();
    }
};

TEST_F(IncomingThread, EmptyRuleListSendsOnlyGoto) {
    IncomingCall call;
    call.pbx().expect("exec Goto \"999\"", "200 result=0");
    EXPECT_EQ(kGoto, run(call, {}));
    EXPECT_EQ(worker_log({}), debug_messages());
}

TEST_F(IncomingThread, RingRuleWithDeviceInExternalFile) {
    write_file(kExternal, "exten => 205,1,Macro(stdexten,SIP/205,205)\n");
    write_file(kInternal, "exten => 205,hint,Zap/9\n");
    IncomingCall call;
    call.pbx().expect("exec Dial \"\"SIP/205\"|20|r\"", "200 result=0").default_reply("200 result=0");
    EXPECT_EQ("exec Dial \"\"SIP/205\"|20|r\"\n" + kGoto,
              run(call, {{1, "Dial", "${EXTEN:205}|20"}}));
    EXPECT_EQ(worker_log(found("205", kExternal, "SIP/205") +
                         Lines{"exec Dial SIP/205|20|r", "Return Status = 0"}),
              debug_messages());
}

TEST_F(IncomingThread, RingRuleWithDeviceInInternalFile) {
    write_file(kExternal, "exten => 206,hint,SIP/206\n");
    write_file(kInternal, "exten => 205,hint,SIP/205&Zap/2\n");
    IncomingCall call;
    call.pbx().expect("exec Dial \"\"SIP/205&Zap/2\"|20|r\"", "200 result=0").default_reply("200 result=0");
    EXPECT_EQ("exec Dial \"\"SIP/205&Zap/2\"|20|r\"\n" + kGoto,
              run(call, {{1, "Dial", "${EXTEN:205}|20"}}));
    EXPECT_EQ(worker_log(not_found("205", kExternal) + found("205", kInternal, "SIP/205&Zap/2") +
                         Lines{"exec Dial SIP/205&Zap/2|20|r", "Return Status = 0"}),
              debug_messages());
}

TEST_F(IncomingThread, RingRuleWithDeviceInNeitherFileUsesLocalChannel) {
    write_file(kInternal, "exten => 206,hint,SIP/206\n");
    IncomingCall call;
    call.pbx().default_reply("200 result=0");
    EXPECT_EQ("exec Dial \"\"Local/205@internal\"|20|r\"\n" + kGoto,
              run(call, {{1, "Dial", "${EXTEN:205}|20"}}));
    EXPECT_EQ(worker_log(missing("205", kExternal) + not_found("205", kInternal) +
                         Lines{"Could not find device information, using default syntax",
                               "exec Dial Local/205@internal|20|r", "Return Status = 0"}),
              debug_messages());
}

TEST_F(IncomingThread, RingRuleKeepsItsCommaSeparator) {
    write_file(kExternal, "exten => 205,hint,SIP/205\n");
    IncomingCall call;
    call.pbx().default_reply("200 result=0");
    EXPECT_EQ("exec Dial \"\"SIP/205\",20,r\"\n" + kGoto,
              run(call, {{1, "Dial", "${EXTEN:205},20"}}));
    EXPECT_EQ(worker_log(found("205", kExternal, "SIP/205") +
                         Lines{"exec Dial SIP/205,20,r", "Return Status = 0"}),
              debug_messages());
}

TEST_F(IncomingThread, ArgsWithExtenAndInternalMakeRingRule) {
    write_file(kExternal, "exten => 205,hint,SIP/205\n");
    IncomingCall call;
    call.pbx().default_reply("200 result=0");
    EXPECT_EQ("exec Dial \"\"SIP/205\"|15|r\"\n" + kGoto,
              run(call, {{1, "Dial", "Local/${EXTEN:205}@internal|15"}}));
}

TEST_F(IncomingThread, UnsupportedDeviceIsSkipped) {
    for (const char *device : {"SIP/nosupport", "SIP/NOSUPPORT/205", "PJSIP/NoSupport"}) {
        SCOPED_TRACE(device);
        reset_debug_log();
        write_file(kExternal, std::string("exten => 205,hint,") + device + "\n");
        IncomingCall call;
        call.pbx().expect("exec Wait \"5\"", "200 result=0").default_reply("200 result=0");
        EXPECT_EQ("exec Wait \"5\"\n" + kGoto,
                  run(call, {{1, "Dial", "${EXTEN:205}|20"}, {2, "Wait", "5"}}));
        EXPECT_EQ(worker_log(found("205", kExternal, device) +
                             Lines{"Found an UNSUPPORTED device, SKIP Ring w/Delay",
                                   "exec Wait 5", "Return Status = 0"}),
                  debug_messages());
    }
}

TEST_F(IncomingThread, MalformedRulesAreSkipped) {
    IncomingCall call;
    call.pbx().default_reply("200 result=0");
    EXPECT_EQ("exec Wait \"5\"\n" + kGoto, run(call, {{1, "Dial", "${EXTEN}|20"},
                                                      {2, "Dial", "${EXTEN:205|20"},
                                                      {3, "Dial", "${EXTEN:205}"},
                                                      {4, "Dial", "Local555@internal"},
                                                      {5, "Wait", "5"}}));
    EXPECT_EQ(worker_log({"Malformed rule Dial ${EXTEN}|20, skipped",
                          "Malformed rule Dial ${EXTEN:205|20, skipped",
                          "Malformed rule Dial ${EXTEN:205}, skipped",
                          "Malformed rule Dial Local555@internal, skipped", "exec Wait 5",
                          "Return Status = 0"}),
              debug_messages());
}

TEST_F(IncomingThread, PlainRulesRunInListOrderWhateverPriority) {
    IncomingCall call;
    call.pbx()
        .expect("exec Wait \"5\"", "200 result=0")
        .expect("exec Wait \"\"", "200 result=0")
        .expect("exec Playback \"tt-monkeys\"", "200 result=0")
        .expect("exec Goto \"999\"", "");
    EXPECT_EQ("exec Wait \"5\"\nexec Wait \"\"\nexec Playback \"tt-monkeys\"\n" + kGoto,
              run(call, {{9, "Wait", "5"}, {1, "Wait", ""}, {5, "Playback", "tt-monkeys"}}));
    EXPECT_EQ(worker_log({"exec Wait 5", "Return Status = 0", "exec Wait ", "Return Status = 0",
                          "exec Playback tt-monkeys", "Return Status = 0"}),
              debug_messages());
}

TEST_F(IncomingThread, ResultOtherThanZeroEndsLoopButSendsGoto) {
    for (const char *reply : {"200 result=-1", "200 result=1", "510 Invalid or unknown command"}) {
        SCOPED_TRACE(reply);
        reset_debug_log();
        IncomingCall call;
        call.pbx().expect("exec Wait \"1\"", reply).expect("exec Goto \"999\"", "");
        EXPECT_EQ("exec Wait \"1\"\n" + kGoto,
                  run(call, {{1, "Wait", "1"}, {2, "Wait", "2"}, {3, "Dial", "${EXTEN:205}|20"}}));
        int result = std::string(reply) == "200 result=1" ? 1 : -1;
        EXPECT_EQ(worker_log({"exec Wait 1", "Return Status = " + std::to_string(result)}),
                  debug_messages());
    }
}

TEST_F(IncomingThread, HangupEndsLoop) {
    IncomingCall call;
    call.pbx().hangup();
    ASSERT_TRUE(call.start(make_rules({{1, "Wait", "1"}, {2, "Wait", "2"}}), nullptr, 0));
    ASSERT_TRUE(wait_for_worker_exits(1));
    /* No reply can be read any more: the loop ended on the first rule. */
    EXPECT_EQ(worker_log({"exec Wait 1", "Return Status = -1"}), debug_messages());
}

TEST_F(IncomingThread, LocalForwardToInternalNumberReadsReplyAndDropsCallerID) {
    IncomingCall call;
    call.pbx()
        .expect("exec Dial \"Local/205@internal\"", "200 result=0")
        .expect("exec Dial \"Local/555-123@internal/n\"", "200 result=0")
        .default_reply("200 result=0");
    EXPECT_EQ("exec Dial \"Local/205@internal\"\nexec Dial \"Local/555-123@internal/n\"\n" + kGoto,
              run(call, {{1, "Dial", "Local/205@internal|30"}, {2, "Dial", "Local/555-123@internal"}},
                  make_caller_id("Alice", "5551234"), 1));
    /* The record went with the first forward, so the external one has none left. */
    EXPECT_EQ(worker_log({"Forwarding to number: 205", "Not external number",
                          "exec Dial Local/205@internal", "Return Status = 0",
                          "Forwarding to number: 555-123", "Skip SETCIDONFWD",
                          "exec Dial Local/555-123@internal/n", "Return Status = 0"}),
              debug_messages());
}

TEST_F(IncomingThread, AnsweredExternalForwardEndsTheRules) {
    IncomingCall call;
    /* Asterisk answers the forward once its conversation has ended: -1, it was answered. */
    call.pbx()
        .expect("exec SetCIDName \"Alice\"", "200 result=0")
        .expect("exec SetCIDNum \"5551234\"", "200 result=0")
        .expect("exec Dial \"Local/5559876543@internal\"", "200 result=-1")
        .expect("exec Goto \"999\"", "");
    EXPECT_EQ(
        "exec SetCIDName \"Alice\"\nexec SetCIDNum \"5551234\"\n"
        "exec Dial \"Local/5559876543@internal\"\n" + kGoto,
        run(call, {{1, "Dial", "Local/5559876543@internal|30"},
                   {2, "Dial", "Local/5551112222@internal|30"}},
            make_caller_id("Alice", "5551234"), 0));
    EXPECT_EQ(worker_log({"Forwarding to number: 5559876543",
                          "Forwarding to external number (5559876543) set CallerID",
                          "exec SetCIDName \"Alice\"", "Return Status = 0",
                          "exec SetCIDNum \"5551234\"", "Return Status = 0", "Skip CENTREX",
                          "exec Dial Local/5559876543@internal", "Return Status = -1"}),
              debug_messages());
}

/* Commands and replies of the caller-ID step for Alice, 5551234: at once with Set for a PBX
 * that lacks SetCIDName/SetCIDNum, else with those first. */
struct CallerIdByPbx {
    int set_cid_at_once;
    std::vector<std::string> commands;
};
const CallerIdByPbx kCallerIdByPbx[] = {
    {1, {"exec Set \"CALLERID(name)=Alice\"", "exec Set \"CALLERID(num)=5551234\""}},
    {0, {"exec SetCIDName \"Alice\"", "exec SetCIDNum \"5551234\""}},
};

TEST_F(IncomingThread, ExternalForwardSetsCallerIdAsThePbxNeeds) {
    for (const CallerIdByPbx &c : kCallerIdByPbx) {
        SCOPED_TRACE(c.set_cid_at_once);
        reset_debug_log();
        IncomingCall call;
        for (const std::string &command : c.commands) call.pbx().expect(command, "200 result=0");
        call.pbx()
            .expect("exec Dial \"Local/5559876543@internal\"", "200 result=-1")
            .expect("exec Goto \"999\"", "");
        call.start(make_rules({{1, "Dial", "Local/5559876543@internal"}}),
                   make_caller_id("Alice", "5551234"), 0, -1, c.set_cid_at_once);
        EXPECT_TRUE(call.wait_closed()) << call.pbx().transcript();
        EXPECT_TRUE(wait_for_worker_exits(1));
        EXPECT_EQ("", call.pbx().mismatch()) << call.pbx().transcript();
        EXPECT_TRUE(call.pbx().script_done()) << call.pbx().transcript();
    }
}

TEST(OutgoingThread, SetsCallerIdAsThePbxNeeds) {
    quelmo_init();
    signal(SIGPIPE, SIG_IGN);
    for (const CallerIdByPbx &c : kCallerIdByPbx) {
        SCOPED_TRACE(c.set_cid_at_once);
        reset_debug_log();
        SocketPair pair = make_socket_pair();
        AsteriskStandIn pbx(pair.pbx);
        for (const std::string &command : c.commands) pbx.expect(command, "200 result=0");
        pbx.start();
        OutgoingArgs *args = static_cast<OutgoingArgs *>(malloc(sizeof(OutgoingArgs)));
        args->ClientSock = pair.server;
        args->extension = make_caller_id("Alice", "5551234");
        args->set_cid_at_once = c.set_cid_at_once;
        pthread_t thread;
        ASSERT_EQ(0, pthread_create(&thread, nullptr, Outgoing_Thread, args));
        EXPECT_TRUE(pbx.wait_closed()) << pbx.transcript();
        EXPECT_EQ("", pbx.mismatch()) << pbx.transcript();
        EXPECT_EQ(c.commands, pbx.commands());
        EXPECT_TRUE(wait_for_log_message("Exit Outgoing Thread"));
    }
}

TEST_F(IncomingThread, CentrexKeepsLocalChannelThenInternalForwardHasNoSuffix) {
    IncomingCall call;
    call.pbx()
        .expect("exec SetCIDNum \"5551234\"", "200 result=0")
        .expect("exec Dial \"Local/555-123@internal/n\"", "200 result=0")
        .expect("exec Dial \"Local/555-777@internal/n\"", "200 result=0")
        .expect("exec Dial \"Local/205@internal\"", "200 result=0")
        .expect("exec Goto \"999\"", "");
    EXPECT_EQ("exec SetCIDNum \"5551234\"\nexec Dial \"Local/555-123@internal/n\"\n"
              "exec Dial \"Local/555-777@internal/n\"\nexec Dial \"Local/205@internal\"\n" + kGoto,
              run(call,
                  {{1, "Dial", "Local/555-123@internal"},
                   {2, "Dial", "Local/555-777@internal"},
                   {3, "Dial", "Local/205@internal"}},
                  make_caller_id(nullptr, "5551234"), 7));
    EXPECT_EQ(worker_log({"Forwarding to number: 555-123",
                          "Forwarding to external number (555-123) set CallerID",
                          "exec SetCIDNum \"5551234\"", "Return Status = 0",
                          "exec Dial Local/555-123@internal/n", "Return Status = 0",
                          "Forwarding to number: 555-777", "Skip SETCIDONFWD",
                          "exec Dial Local/555-777@internal/n", "Return Status = 0",
                          "Forwarding to number: 205", "Not external number",
                          "exec Dial Local/205@internal", "Return Status = 0"}),
              debug_messages());
}

TEST_F(IncomingThread, NumberClassesOfLocalForwards) {
    struct Case {
        const char *number;
        bool external_path; /* caller-ID step taken (second character a digit, and external) */
    } cases[] = {
        {"90", true},     {"411", true},      {"611", true},          {"911", true},
        {"9", false},     {"205-16", false},  {"5-55-123", false},    {"", false},
        {"1-800-555-12", false},              {"18005551212", true},
    };
    std::vector<Rule> rules;
    Lines expected;
    std::string sent;
    IncomingCall call;
    for (const Case &c : cases) {
        std::string number = c.number;
        rules.push_back({1, "Dial", "Local/" + number + "@internal"});
        std::string command = "exec Dial \"Local/" + number + "@internal\"";
        call.pbx().expect(command, "200 result=0");
        sent += command + "\n";
        expected.push_back("Forwarding to number: " + number);
        expected = expected + (c.external_path ? Lines{"Skip SETCIDONFWD", "Skip CENTREX"}
                                    : Lines{"Not external number"});
        expected.push_back("exec Dial Local/" + number + "@internal");
        expected.push_back("Return Status = 0");
    }
    call.pbx().default_reply("200 result=0");
    EXPECT_EQ(sent + kGoto, run(call, rules));
    EXPECT_EQ(worker_log(expected), debug_messages());
}

TEST_F(IncomingThread, CommandWithLineBreakIsRefusedAndEndsLoop) {
    struct Case {
        const char *conf;
        Rule rule;
        Lines log;
    } cases[] = {
        {"", {1, "Wait", "5\nHangup"}, {"exec Wait 5", "Hangup"}},
        {"", {1, "Dial\r", "3"}, {"exec Dial\r 3"}},
        /* A carriage return in front of the line feed is part of the line end; one
         * anywhere else stays in the device text. */
        {"exten => 205,hint,SIP/2\r05\r\n",
         {1, "Dial", "${EXTEN:205}|20"},
         found("205", kExternal, "SIP/2\r05") + Lines{"exec Dial SIP/2\r05|20|r"}},
        {"", {1, "Dial", "Local/20\r5@internal"},
         {"Forwarding to number: 20\r5", "Not external number", "exec Dial Local/20\r5@internal"}},
        /* Of the external class: refused before it was written, it still counts as -1. */
        {"", {1, "Dial", "Local/555-1234\n@internal"},
         {"Forwarding to number: 555-1234", "", "Skip SETCIDONFWD", "Skip CENTREX",
          "exec Dial Local/555-1234", "@internal"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rule.args);
        reset_debug_log();
        if (c.conf[0] != '\0') write_file(kExternal, c.conf);
        IncomingCall call;
        call.pbx().expect("exec Goto \"999\"", "");
        EXPECT_EQ(kGoto, run(call, {c.rule, {2, "Wait", "2"}}));
        EXPECT_EQ(worker_log(c.log + Lines{"Refused AGI command with a line break",
                                           "Return Status = -1"}),
                  debug_messages());
    }
}

TEST_F(IncomingThread, RepliesArrivingTogetherDoNotBlockLaterCommands) {
    IncomingCall call;
    /* The forward's reply and a stray second line reach the worker in one piece. */
    call.pbx()
        .expect("exec Dial \"Local/555-123@internal\"", "200 result=0\n200 result=0")
        .expect("exec Wait \"1\"", "200 result=4")
        .expect("exec Wait \"2\"", "200 result=0")
        .expect("exec Goto \"999\"", "");
    EXPECT_EQ("exec Dial \"Local/555-123@internal\"\nexec Wait \"1\"\nexec Wait \"2\"\n" + kGoto,
              run(call, {{1, "Dial", "Local/555-123@internal"},
                         {2, "Wait", "1"},
                         {3, "Wait", "2"},
                         {4, "Wait", "3"}}));
    /* Each read takes the oldest reply: the second Wait gets the first Wait's 4. */
    EXPECT_EQ(worker_log({"Forwarding to number: 555-123", "Skip SETCIDONFWD", "Skip CENTREX",
                          "exec Dial Local/555-123@internal", "Return Status = 0", "exec Wait 1",
                          "Return Status = 0", "exec Wait 2", "Return Status = 4"}),
              debug_messages());
}

TEST_F(IncomingThread, StreamThatCannotBeOpenedReleasesEverything) {
    int before = count_open_fds();
    int read_only = open("/dev/null", O_RDONLY);
    ASSERT_GE(read_only, 0);
    IncomingCall call;
    call.pbx().default_reply("200 result=0");
    ASSERT_TRUE(call.start(make_rules({{1, "Wait", "1"}, {2, "Dial", "${EXTEN:205}|20"}}),
                           make_caller_id("Alice", "5551234"), 0, read_only));
    ASSERT_TRUE(wait_for_worker_exits(1));
    EXPECT_FALSE(fd_is_open(read_only));
    EXPECT_EQ(before + 2, open_fds_settled_to(before + 2)); /* the call's socket pair alone */
    EXPECT_EQ((Lines{"Enter Incoming Thread",
                     "Enter Incoming Thread failed with error: Invalid argument",
                     "Exit Incoming Thread"}),
              debug_messages());
    EXPECT_EQ("", call.received());
}

}  // namespace
