/* End-to-end tests: the real quelmo.fast of this build, in the foreground on a free port,
 * with databases written by quelmo.admin and dial-plan files under the test root, driven
 * over TCP by the Asterisk stand-in; and quelmo.admin explain, which must print the very
 * exchange the daemon has with the simulated PBX. */
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>
#include <map>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "asterisk_standin.h"
#include "pbx-sim.h"
#include "quelmo-paths.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

const char kServerId[] = "e2e";
const std::string kOk = "200 result=0";

std::string var_reply(const std::string &value) {
    return value.empty() ? "200 result=0" : "200 result=1 (" + value + ")";
}

int count_process_fds(int pid) {
    int count = 0;
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') count++;
    }
    closedir(dir);
    return count;
}

/* A quelmo.fast process of this build, stopped when the test ends. */
class ServerProcess {
   public:
    ~ServerProcess() { stop(); }
    /* prepare runs in the child before the program starts (see spawn_program); options
     * go between "-d" and the operands. */
    bool start(const std::string &server_id, const char *program = QUELMO_FAST_PATH,
               void (*prepare)() = nullptr, const std::vector<std::string> &options = {}) {
        port_ = free_tcp_port();
        std::vector<std::string> argv = {program, "-d"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {server_id, std::to_string(port_)});
        pid_ = spawn_program(argv, prepare);
        return wait_for_listener(port_);
    }
    /* Waits for the process to end; returns its exit status, 128 + the signal that ended
     * it, or -1 when it still runs after timeout_ms. */
    int wait_exit(int timeout_ms) {
        for (int waited = 0; pid_ > 0 && waited < timeout_ms; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    int port() const { return port_; }
    int pid() const { return pid_; }

   private:
    int pid_ = -1;
    int port_ = 0;
};

class QuelmoFast : public ::testing::Test {
   protected:
    void SetUp() override {
        reset_debug_log();
        make_dirs(QUELMO_DB_DIR);
        write_file(QUELMO_EXTERNAL_CONF, "exten => 205,1,Macro(stdexten,SIP/205,205)\n");
        write_file(QUELMO_INTERNAL_CONF, "exten => 206,hint,SIP/206\n");
        signal(SIGPIPE, SIG_IGN);
    }

    /* Writes both databases of kServerId through quelmo.admin. */
    void load(const std::string &extensions, const std::string &forwarding) {
        std::string dir = scratch_dir();
        write_file(dir + "/extensions.txt", extensions);
        write_file(dir + "/forwarding.txt", forwarding);
        ProgramResult r = run_program({QUELMO_ADMIN_PATH, kServerId, "load",
                                       dir + "/extensions.txt", dir + "/forwarding.txt"});
        ASSERT_EQ(0, r.status) << r.err;
    }

    void start_server() { ASSERT_TRUE(server_.start(kServerId)); }

    /* Connects one call and starts the stand-in on it with the given script; the caller
     * adds the steps after the environment. */
    std::unique_ptr<AsteriskStandIn> connect_call(const EnvVars &env) {
        int sock = connect_tcp(server_.port());
        EXPECT_GE(sock, 0);
        auto pbx = std::make_unique<AsteriskStandIn>(sock);
        pbx->environment(env);
        return pbx;
    }

    /* Runs one complete call and checks that the server ended it as scripted. */
    void run_call(AsteriskStandIn *pbx) {
        pbx->start();
        ASSERT_TRUE(pbx->wait_closed()) << pbx->transcript();
        EXPECT_EQ("", pbx->mismatch()) << pbx->transcript();
        EXPECT_TRUE(pbx->script_done()) << pbx->transcript();
    }

    /* Waits until the server has dealt with the connection wait_for_listener made: it
     * closes at once, so it is served or, when it has gone before the owner check, refused. */
    void wait_for_listener_probe() {
        std::string exit_line = std::string("Exit ClientProcessCall (server_id=") + kServerId + ")";
        const std::string refused = "Call refused: owner of the connection unknown:";
        for (int waited = 0; waited < 5000; waited += 5) {
            for (const std::string &line : debug_messages())
                if (line == exit_line || line.rfind(refused, 0) == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        FAIL() << "the listener probe's connection was neither served nor refused";
    }

    /* Waits until 'count' calls' dispatchers and workers have logged their exits. */
    void wait_for_exits(size_t calls, const char *worker_exit) {
        std::string exit_line = std::string("Exit ClientProcessCall (server_id=") + kServerId + ")";
        ASSERT_TRUE(wait_for_log_message(exit_line, calls));
        if (worker_exit != nullptr) {
            ASSERT_TRUE(wait_for_log_message(worker_exit, calls));
        }
    }

    ServerProcess server_;
};

/* ---- Outgoing calls: the caller ID the worker sets ---- */

struct OutgoingCase {
    const char *name;
    const char *extensions;  /* extension database */
    const char *extension;   /* EXTENSION value */
    const char *setcidonfwd; /* "" = unset */
    std::vector<std::pair<std::string, std::string>> sent; /* expected commands, replies */
};

void PrintTo(const OutgoingCase &c, std::ostream *os) { *os << c.name; }

class OutgoingCallerId : public QuelmoFast, public ::testing::WithParamInterface<OutgoingCase> {};

TEST_P(OutgoingCallerId, SetsCallerIdOfTheTable) {
    const OutgoingCase &c = GetParam();
    load(c.extensions, "205\t1\tWait\t1\n");
    start_server();
    auto pbx = connect_call(asterisk_environment("from-internal", c.extension, "205"));
    pbx->expect("GET VARIABLE EXTENSION", var_reply(c.extension))
        .expect("GET VARIABLE SETCIDONFWD", var_reply(c.setcidonfwd));
    for (const auto &command : c.sent) pbx->expect(command.first, command.second);
    run_call(pbx.get());
    EXPECT_EQ(2 + c.sent.size(), pbx->commands().size()) << pbx->transcript();
    wait_for_exits(1, "Exit Outgoing Thread");
}

const char kOwnRecord[] = "205\tAlice\t5551234\n0\tAcme\t5550000\n";
const char kNameOnlyRecord[] = "205\tAlice\t\n0\tAcme\t5550000\n";
const char kGlobalOnly[] = "0\tAcme\t5550000\n";
const char kGlobalWithoutNumber[] = "0\tAcme\t\n";
const char kNoRecords[] = "";

INSTANTIATE_TEST_SUITE_P(
    QuelmoFast, OutgoingCallerId,
    ::testing::Values(
        OutgoingCase{"OwnRecord", kOwnRecord, "205", "",
                     {{"exec Set \"CALLERID(name)=Alice\"", kOk}, {"exec Set \"CALLERID(num)=5551234\"", kOk}}},
        OutgoingCase{"OwnNameGlobalNumber", kNameOnlyRecord, "205", "",
                     {{"exec Set \"CALLERID(name)=Alice\"", kOk}, {"exec Set \"CALLERID(num)=5550000\"", kOk}}},
        OutgoingCase{"NoOwnRecordGlobalNumber", kGlobalOnly, "205", "0",
                     {{"exec Set \"CALLERID(num)=5550000\"", kOk}}},
        OutgoingCase{"GlobalWithoutNumber", kGlobalWithoutNumber, "205", "", {}},
        OutgoingCase{"NoGlobalBlocksBoth", kNoRecords, "205", "",
                     {{"exec Set \"CALLERID(name)=UNAVAILABLE\"", kOk},
                      {"exec Set \"CALLERID(num)=UNAVAILABLE\"", kOk}}},
        OutgoingCase{"OutsideNumberSetCid1Global", kOwnRecord, "5551234567", "1",
                     {{"exec Set \"CALLERID(num)=5550000\"", kOk}}},
        OutgoingCase{"OutsideNumberSetCid1GlobalWithoutNumber", kGlobalWithoutNumber,
                     "5551234567", "1", {}},
        OutgoingCase{"OutsideNumberSetCid1NoGlobal", kNoRecords, "5551234567", "1",
                     {{"exec Set \"CALLERID(name)=UNAVAILABLE\"", kOk},
                      {"exec Set \"CALLERID(num)=UNAVAILABLE\"", kOk}}},
        OutgoingCase{"OutsideNumberSetCid2KeepsAsterisks", kOwnRecord, "5551234567", "2", {}},
        OutgoingCase{"SevenCharacterExtensionIsOutside", kOwnRecord, "2050000", "", {}}),
    [](const ::testing::TestParamInfo<OutgoingCase> &info) { return info.param.name; });

/* ---- Incoming calls: the caller ID presented on a forward to an external number ---- */

struct IncomingCase {
    const char *name;
    const char *extensions;
    const char *callerid;
    const char *setcidonfwd;
    std::vector<std::string> caller_id_commands;
};

void PrintTo(const IncomingCase &c, std::ostream *os) { *os << c.name; }

class IncomingCallerId : public QuelmoFast, public ::testing::WithParamInterface<IncomingCase> {};

TEST_P(IncomingCallerId, PresentsCallerIdOfTheTable) {
    const IncomingCase &c = GetParam();
    load(c.extensions, "205\t1\tDial\tLocal/5559999@internal\n");
    start_server();
    auto pbx = connect_call(asterisk_environment("macro-stdexten", "205", c.callerid));
    pbx->expect("GET VARIABLE EXTENSION", var_reply("205"))
        .expect("GET VARIABLE SETCIDONFWD", var_reply(c.setcidonfwd))
        .expect("GET VARIABLE CENTREX", var_reply(""));
    for (const std::string &command : c.caller_id_commands) pbx->expect(command, kOk);
    pbx->expect("exec Dial \"Local/5559999@internal\"", kOk).expect("exec Goto \"999\"", kOk);
    run_call(pbx.get());
    wait_for_exits(1, "Exit Incoming Thread");
}

INSTANTIATE_TEST_SUITE_P(
    QuelmoFast, IncomingCallerId,
    ::testing::Values(
        IncomingCase{"SetCidGlobalAsStored", kOwnRecord, "5551234567", "1",
                     {"exec Set \"CALLERID(name)=Acme\"", "exec Set \"CALLERID(num)=5550000\""}},
        IncomingCase{"SetCid2NoGlobalBlocksNumberOnly", "205\tAlice\t5551234\n", "205", "2",
                     {"exec Set \"CALLERID(num)=UNAVAILABLE\""}},
        IncomingCase{"LongCallerNumberIsNameAndNumber", kOwnRecord, "\"Bob\" <5551234567>", "",
                     {"exec Set \"CALLERID(name)=5551234567\"", "exec Set \"CALLERID(num)=5551234567\""}},
        IncomingCase{"ShortCallerUsesCalledExtensionRecord", kOwnRecord, "206", "0",
                     {"exec Set \"CALLERID(name)=Alice\"", "exec Set \"CALLERID(num)=5551234\""}},
        IncomingCase{"ExtensionNameGlobalNumber", kNameOnlyRecord, "206", "",
                     {"exec Set \"CALLERID(name)=Alice\"", "exec Set \"CALLERID(num)=5550000\""}},
        IncomingCase{"NoExtensionRecordGlobalNumberTwice", kGlobalOnly, "", "",
                     {"exec Set \"CALLERID(name)=5550000\"", "exec Set \"CALLERID(num)=5550000\""}},
        IncomingCase{"GlobalWithoutNumberKeepsName", "205\tAlice\t\n0\tAcme\t\n", "206", "",
                     {"exec Set \"CALLERID(name)=Alice\""}},
        IncomingCase{"NoRecordsBlockBoth", kNoRecords, "206", "",
                     {"exec Set \"CALLERID(name)=UNAVAILABLE\"", "exec Set \"CALLERID(num)=UNAVAILABLE\""}},
        IncomingCase{"DisplayNameWithBracketBeforeNumber", kOwnRecord, "A>B <5551234567>", "",
                     {"exec Set \"CALLERID(name)=5551234567\"", "exec Set \"CALLERID(num)=5551234567\""}},
        IncomingCase{"BracketOnlyBeforeLastOpenUsesWholeText", kOwnRecord, "A>B <5551234567", "",
                     {"exec Set \"CALLERID(name)=A>B <5551234567\"", "exec Set \"CALLERID(num)=A>B <5551234567\""}},
        IncomingCase{"SixCharacterCallerIsShort", kOwnRecord, "555123", "",
                     {"exec Set \"CALLERID(name)=Alice\"", "exec Set \"CALLERID(num)=5551234\""}},
        /* A current Asterisk's text for a call without caller ID holds no number. */
        IncomingCase{"UnknownCallerUsesCalledExtensionRecord", kOwnRecord, "unknown", "",
                     {"exec Set \"CALLERID(name)=Alice\"", "exec Set \"CALLERID(num)=5551234\""}},
        IncomingCase{"AnonymousCallerUsesCalledExtensionRecord", kOwnRecord, "anonymous", "",
                     {"exec Set \"CALLERID(name)=Alice\"", "exec Set \"CALLERID(num)=5551234\""}}),
    [](const ::testing::TestParamInfo<IncomingCase> &info) { return info.param.name; });

/* ---- Caller-ID commands by the PBX ---- */

/* The environment without "agi_version", as an Asterisk older than 1.6 sends it. */
EnvVars without_agi_version(EnvVars env) {
    env.erase(std::remove_if(env.begin(), env.end(),
                             [](const auto &pair) { return pair.first == "agi_version"; }),
              env.end());
    return env;
}

/* A PBX that sends agi_version gets Set at once; an older one SetCIDName and SetCIDNum,
 * on an outgoing call and on a forward to an outside number alike. */
TEST_F(QuelmoFast, CallerIdCommandsFollowThePbx) {
    load(kOwnRecord, "205\t1\tDial\tLocal/5559999@internal\n");
    start_server();
    const std::vector<std::string> set_at_once = {"exec Set \"CALLERID(name)=Alice\"",
                                                  "exec Set \"CALLERID(num)=5551234\""};
    const std::vector<std::string> old_apps = {"exec SetCIDName \"Alice\"",
                                               "exec SetCIDNum \"5551234\""};
    const struct {
        const char *context;
        bool agi_version;
        std::vector<std::string> caller_id_commands;
    } cases[] = {
        {"from-internal", true, set_at_once},
        {"from-internal", false, old_apps},
        {"macro-stdexten", true, set_at_once},
        {"macro-stdexten", false, old_apps},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.context) + (c.agi_version ? " with" : " without") +
                     " agi_version");
        bool incoming = std::string(c.context) == "macro-stdexten";
        EnvVars env = asterisk_environment(c.context, "205", "206");
        auto pbx = connect_call(c.agi_version ? env : without_agi_version(env));
        pbx->expect("GET VARIABLE EXTENSION", var_reply("205"))
            .expect("GET VARIABLE SETCIDONFWD", "200 result=0");
        if (incoming) pbx->expect("GET VARIABLE CENTREX", "200 result=0");
        for (const std::string &command : c.caller_id_commands) pbx->expect(command, kOk);
        if (incoming)
            pbx->expect("exec Dial \"Local/5559999@internal\"", kOk).expect("exec Goto \"999\"", kOk);
        run_call(pbx.get());
    }
}

/* ---- Dispatch ---- */

TEST_F(QuelmoFast, ExtenIsReadWhenExtensionIsUnset) {
    load(kOwnRecord, "");
    start_server();
    auto pbx = connect_call(asterisk_environment("from-internal", "205", "205"));
    pbx->expect("GET VARIABLE EXTENSION", "200 result=0")
        .expect("GET VARIABLE EXTEN", var_reply("205"))
        .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
        .expect("exec Set \"CALLERID(name)=Alice\"", kOk)
        .expect("exec Set \"CALLERID(num)=5551234\"", kOk);
    run_call(pbx.get());
    wait_for_exits(1, "Exit Outgoing Thread");
    std::vector<std::string> log = debug_messages();
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "Outgoing Call from 205"));
}

TEST_F(QuelmoFast, NoUsableExtensionEndsTheCallWithoutWorker) {
    load(kOwnRecord, "");
    start_server();
    struct {
        const char *extension_reply;
        bool reads_exten;
    } cases[] = {{"200 result=1 ()", false}, {"200 result=0", true}};
    for (const auto &c : cases) {
        auto pbx = connect_call(asterisk_environment("from-internal", "205", "205"));
        pbx->expect("GET VARIABLE EXTENSION", c.extension_reply);
        if (c.reads_exten) pbx->expect("GET VARIABLE EXTEN", "200 result=0");
        run_call(pbx.get());
    }
    wait_for_exits(2, nullptr);
    EXPECT_TRUE(wait_for_log_message("EXTEN is not valid", 2));
}

TEST_F(QuelmoFast, ExtensionWithoutRulesHasForwardingDisabled) {
    load(kOwnRecord, "206\t1\tWait\t1\n");
    start_server();
    auto pbx = connect_call(asterisk_environment("macro-stdphone", "205", "206"));
    pbx->expect("GET VARIABLE EXTENSION", var_reply("205"))
        .expect("GET VARIABLE SETCIDONFWD", "200 result=0");
    run_call(pbx.get());
    wait_for_exits(1, nullptr);
    EXPECT_TRUE(wait_for_log_message("Forwarding Disabled on 205"));
}

TEST_F(QuelmoFast, ContextMustMatchExactly) {
    load(kOwnRecord, "205\t1\tWait\t1\n");
    start_server();
    for (const char *context : {"macro-stdexten-x", "Macro-stdexten", ""}) {
        auto pbx = connect_call(asterisk_environment(context, "205", "205"));
        pbx->expect("GET VARIABLE EXTENSION", var_reply("205"))
            .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
            .expect("exec Set \"CALLERID(name)=Alice\"", kOk)
            .expect("exec Set \"CALLERID(num)=5551234\"", kOk);
        run_call(pbx.get());
    }
    wait_for_exits(3, "Exit Outgoing Thread");
}

TEST_F(QuelmoFast, IncomingCallRingsThenForwards) {
    load(kOwnRecord,
         "205\t1\tDial\t${EXTEN:205},20\n"
         "205\t2\tDial\tLocal/206@internal\n");
    start_server();
    auto pbx = connect_call(asterisk_environment("macro-stdexten", "205", "5551234567"));
    pbx->expect("GET VARIABLE EXTENSION", var_reply("205"))
        .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
        .expect("GET VARIABLE CENTREX", "200 result=0")
        .expect("exec Dial \"\"SIP/205\",20,r\"", kOk)
        .expect("exec Dial \"Local/206@internal\"", kOk)
        .expect("exec Goto \"999\"", kOk);
    run_call(pbx.get());
    wait_for_exits(1, "Exit Incoming Thread");
    std::vector<std::string> log = debug_messages();
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "Incoming Call to 205"));
}

/* The ring rule's device comes from the dial plan: a PJSIP device of a current PBX's
 * Gosub line, and extension 10's own phone though 210's line, which ends in "10,hint",
 * stands first. */
TEST_F(QuelmoFast, IncomingCallRingsTheDeviceOfTheDialPlan) {
    struct Case {
        const char *dial_plan, *rules, *extension, *dial;
        std::string dial_reply;
    } cases[] = {
        {"exten => 205,1,Gosub(macro-stdexten,s,1(PJSIP/205,205))\n",
         "205\t1\tDial\t${EXTEN:205},20\n205\t2\tWait\t1\n", "205",
         "exec Dial \"\"PJSIP/205\",20,r\"", "200 result=-1"},
        {"exten => 210,hint,PJSIP/210\nexten => 10,hint,PJSIP/10\n", "10\t1\tDial\t${EXTEN:10},20\n",
         "10", "exec Dial \"\"PJSIP/10\",20,r\"", kOk},
    };
    start_server(); /* every call reads the databases and the dial plan anew */
    for (const Case &c : cases) {
        SCOPED_TRACE(c.extension);
        write_file(QUELMO_EXTERNAL_CONF, c.dial_plan);
        load(kOwnRecord, c.rules);
        auto pbx = connect_call(asterisk_environment("macro-stdexten", c.extension, "5551234567"));
        pbx->expect("GET VARIABLE EXTENSION", var_reply(c.extension))
            .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
            .expect("GET VARIABLE CENTREX", "200 result=0")
            .expect(c.dial, c.dial_reply)
            .expect("exec Goto \"999\"", kOk);
        run_call(pbx.get());
    }
}

/* An outgoing call's script after its environment. */
void expect_outgoing_commands(AsteriskStandIn *pbx) {
    pbx->expect("GET VARIABLE EXTENSION", var_reply("205"))
        .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
        .expect("exec Set \"CALLERID(name)=Alice\"", kOk)
        .expect("exec Set \"CALLERID(num)=5551234\"", kOk);
}

TEST_F(QuelmoFast, UnopenableDatabasesGiveNoCommandAndNextCallIsServed) {
    start_server(); /* no databases loaded yet */
    remove_file(std::string(QUELMO_DB_PREFIX) + kServerId + ".db");
    remove_file(std::string(QUELMO_DB_PREFIX) + kServerId + "fw.db");
    auto pbx = connect_call(asterisk_environment("from-internal", "205", "205"));
    run_call(pbx.get());
    EXPECT_TRUE(pbx->commands().empty());
    EXPECT_TRUE(wait_for_log_message("Cannot open database, Exiting gracefully."));

    load(kOwnRecord, "");
    auto next = connect_call(asterisk_environment("from-internal", "205", "205"));
    expect_outgoing_commands(next.get());
    run_call(next.get());
}

/* The caller hangs up at each point of a call; the server survives every one and serves
 * the next call in full. */
TEST_F(QuelmoFast, CallerHangingUpAnywhereLeavesServerServing) {
    load(kOwnRecord, "205\t1\tDial\t${EXTEN:205},20\n205\t2\tWait\t1\n");
    start_server();
    EnvVars incoming = asterisk_environment("macro-stdexten", "205", "206");
    std::vector<std::function<void(AsteriskStandIn &)>> hangups = {
        [](AsteriskStandIn &p) { p.hangup(); },
        [](AsteriskStandIn &p) { p.expect("GET VARIABLE EXTENSION", "").hangup(); },
        [](AsteriskStandIn &p) {
            p.expect("GET VARIABLE EXTENSION", var_reply("205")).hangup();
        },
        [](AsteriskStandIn &p) {
            p.expect("GET VARIABLE EXTENSION", var_reply("205"))
                .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
                .expect("GET VARIABLE CENTREX", "200 result=0")
                .hangup();
        },
        [](AsteriskStandIn &p) {
            p.expect("GET VARIABLE EXTENSION", var_reply("205"))
                .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
                .expect("GET VARIABLE CENTREX", "200 result=0")
                .expect_any("HANGUP")
                .hangup();
        },
        [](AsteriskStandIn &p) {
            p.expect("GET VARIABLE EXTENSION", var_reply("205"))
                .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
                .expect("GET VARIABLE CENTREX", "200 result=0")
                .expect_any("200 result=0")
                .expect_any("")
                .hangup();
        },
    };
    /* A caller that hangs up in the middle of the environment block. */
    {
        int sock = connect_tcp(server_.port());
        ASSERT_GE(sock, 0);
        AsteriskStandIn pbx(sock);
        pbx.send("agi_network: yes\nagi_cont").hangup().start();
        EXPECT_TRUE(pbx.wait_closed());
    }
    for (auto &script : hangups) {
        int sock = connect_tcp(server_.port());
        ASSERT_GE(sock, 0);
        AsteriskStandIn pbx(sock);
        pbx.environment(incoming);
        script(pbx);
        pbx.default_reply(kOk);
        pbx.start();
        EXPECT_TRUE(pbx.wait_closed());
    }
    /* An outgoing call whose caller hangs up while the caller ID is being set. */
    {
        auto pbx = connect_call(asterisk_environment("default", "205", "205"));
        pbx->expect("GET VARIABLE EXTENSION", var_reply("205"))
            .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
            .expect("exec Set \"CALLERID(name)=Alice\"", "")
            .hangup();
        pbx->start();
        EXPECT_TRUE(pbx->wait_closed());
    }
    auto last = connect_call(incoming);
    last->expect("GET VARIABLE EXTENSION", var_reply("205"))
        .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
        .expect("GET VARIABLE CENTREX", "200 result=0")
        .expect("exec Dial \"\"SIP/205\",20,r\"", kOk)
        .expect("exec Wait \"1\"", kOk)
        .expect("exec Goto \"999\"", kOk);
    run_call(last.get());
    EXPECT_TRUE(server_.running());
}

TEST_F(QuelmoFast, ManyCallsLeaveNoDescriptorBehind) {
    load(kOwnRecord, "205\t1\tWait\t1\n");
    start_server();
    auto one_call = [this](bool incoming) {
        auto pbx = connect_call(asterisk_environment(incoming ? "macro-stdexten" : "default",
                                                     "205", "206"));
        pbx->expect("GET VARIABLE EXTENSION", var_reply("205"))
            .expect("GET VARIABLE SETCIDONFWD", "200 result=0");
        if (incoming)
            pbx->expect("GET VARIABLE CENTREX", "200 result=0")
                .expect("exec Wait \"1\"", kOk)
                .expect("exec Goto \"999\"", kOk);
        else
            pbx->expect("exec Set \"CALLERID(name)=Alice\"", kOk).expect("exec Set \"CALLERID(num)=5551234\"", kOk);
        run_call(pbx.get());
    };
    one_call(true);
    one_call(false);
    wait_for_exits(2, nullptr);
    ASSERT_TRUE(wait_for_log_message("Exit Incoming Thread", 1));
    ASSERT_TRUE(wait_for_log_message("Exit Outgoing Thread", 1));
    int before = count_process_fds(server_.pid());
    ASSERT_GT(before, 0);
    const int kCalls = 300;
    for (int i = 0; i < kCalls; i++) one_call(i % 2 == 0);
    wait_for_exits(kCalls + 2, nullptr);
    ASSERT_TRUE(wait_for_log_message("Exit Incoming Thread", kCalls / 2 + 1));
    ASSERT_TRUE(wait_for_log_message("Exit Outgoing Thread", kCalls / 2 + 1));
    EXPECT_EQ(before, count_process_fds(server_.pid()));
}

/* ---- Stalled connections, descriptor shortage, stop, privileges ---- */

const char kRingRule[] = "205\t1\tDial\t${EXTEN:205},20\n";

/* An incoming call to 205 (rules: kRingRule) whose Dial rings for ring_ms; started. */
std::unique_ptr<AsteriskStandIn> start_ringing_call(int port, int ring_ms) {
    auto pbx = std::make_unique<AsteriskStandIn>(connect_tcp(port));
    pbx->environment(asterisk_environment("macro-stdexten", "205", "5551234567"))
        .expect("GET VARIABLE EXTENSION", var_reply("205"))
        .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
        .expect("GET VARIABLE CENTREX", "200 result=0")
        .expect("exec Dial \"\"SIP/205\",20,r\"", kOk, ring_ms)
        .expect("exec Goto \"999\"", kOk);
    pbx->start();
    return pbx;
}

/* Every call got its whole command sequence. */
void expect_whole_sequences(const std::vector<std::unique_ptr<AsteriskStandIn>> &calls,
                            int timeout_ms) {
    for (const auto &pbx : calls) {
        ASSERT_TRUE(pbx->wait_closed(timeout_ms)) << pbx->transcript();
        EXPECT_EQ("", pbx->mismatch()) << pbx->transcript();
        EXPECT_TRUE(pbx->script_done()) << pbx->transcript();
    }
}

/* A connection that sends nothing, or stops answering, is dropped after 3 s; the call
 * behind it is served meanwhile. */
TEST_F(QuelmoFast, StalledConnectionHoldsNoOtherCall) {
    load(kOwnRecord, "");
    start_server();
    std::vector<std::function<void(AsteriskStandIn &)>> stalls = {
        [](AsteriskStandIn &) {},
        [](AsteriskStandIn &p) {
            p.environment(asterisk_environment("from-internal", "205", "205"))
                .expect("GET VARIABLE EXTENSION", "");
        },
    };
    for (auto &stall : stalls) {
        int sock = connect_tcp(server_.port());
        ASSERT_GE(sock, 0);
        AsteriskStandIn stalled(sock);
        stall(stalled);
        stalled.start();
        auto pbx = connect_call(asterisk_environment("from-internal", "205", "205"));
        expect_outgoing_commands(pbx.get());
        pbx->start();
        ASSERT_TRUE(pbx->wait_closed(4000)) << pbx->transcript();
        EXPECT_EQ("", pbx->mismatch()) << pbx->transcript();
        /* Its own deadline runs from its own accept, not behind the other call. */
        EXPECT_TRUE(stalled.wait_closed(4000)) << "the stalled connection stays open";
    }
    EXPECT_TRUE(wait_for_log_message("Call dropped: no reply from Asterisk within 3 s", 2));
}

/* The debug log's messages call by call: a call's lines are those its thread logs from
 * its "Enter ClientProcessCall" on (a thread id is used again once its call has ended). */
std::vector<std::vector<std::string>> messages_by_call() {
    std::map<std::string, size_t> call_of_thread;
    std::vector<std::vector<std::string>> calls;
    for (const std::string &line : split_lines(read_file(QUELMO_DEBUG_LOG))) {
        size_t mark = line.find("]: ");
        size_t open = line.rfind('[', mark);
        if (mark == std::string::npos || open == std::string::npos) continue;
        std::string thread = line.substr(open + 1, mark - open - 1);
        std::string message = line.substr(mark + 3);
        if (message.rfind("Enter ClientProcessCall ", 0) == 0) {
            call_of_thread[thread] = calls.size();
            calls.emplace_back();
        }
        auto call = call_of_thread.find(thread);
        if (call != call_of_thread.end()) calls[call->second].push_back(message);
    }
    return calls;
}

/* A PBX slow to answer one call holds no other: while the first call waits 1 s for its
 * first variable reply, a second call is served from start to end; each call gets its
 * whole command sequence and logs its own lines, on a thread of its own, in order. */
TEST_F(QuelmoFast, SlowReplyOnOneCallHoldsNoOtherCall) {
    load(kOwnRecord, "");
    start_server();
    wait_for_listener_probe();
    std::vector<std::unique_ptr<AsteriskStandIn>> calls;
    calls.push_back(connect_call(asterisk_environment("from-internal", "205", "205")));
    AsteriskStandIn *slow = calls.back().get();
    slow->expect("GET VARIABLE EXTENSION", var_reply("205"), 1000)
        .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
        .expect("exec Set \"CALLERID(name)=Alice\"", kOk)
        .expect("exec Set \"CALLERID(num)=5551234\"", kOk);
    slow->start();
    ASSERT_TRUE(wait_for_log_message("Enter GetVariable (var = EXTENSION)"));
    calls.push_back(connect_call(asterisk_environment("from-internal", "205", "205")));
    AsteriskStandIn *fast = calls.back().get();
    expect_outgoing_commands(fast);
    fast->start();
    ASSERT_TRUE(fast->wait_closed(800)) << fast->transcript();
    EXPECT_FALSE(slow->wait_closed(0)) << "the slow call ended before its reply";
    EXPECT_EQ("", fast->mismatch()) << fast->transcript();
    expect_whole_sequences(calls, 5000);
    ASSERT_TRUE(wait_for_log_message("Exit Outgoing Thread", 2));
    const std::vector<std::string> call_lines = {
        std::string("Enter ClientProcessCall (server_id=") + kServerId + ")",
        "Asterisk call 1796741624.7 on Local/205@from-internal-00000003;2",
        "Enter GetVariable (var = EXTENSION)",
        "Exit GetVariable (status = 1) (EXTENSION = 205)",
        "Enter GetVariable (var = SETCIDONFWD)",
        "Exit GetVariable (status = 0) (SETCIDONFWD = EMPTY)",
        "Outgoing Call from 205",
        std::string("Exit ClientProcessCall (server_id=") + kServerId + ")",
        "Enter Outgoing Thread",
        "exec Set \"CALLERID(name)=Alice\"",
        "Return Status = 0",
        "exec Set \"CALLERID(num)=5551234\"",
        "Return Status = 0",
        "Exit Outgoing Thread",
    };
    size_t routed = 0;
    for (const std::vector<std::string> &lines : messages_by_call()) {
        if (std::find(lines.begin(), lines.end(), call_lines[5]) == lines.end()) continue;
        routed++;
        EXPECT_EQ(call_lines, lines);
    }
    EXPECT_EQ(2u, routed);
}

TEST_F(QuelmoFast, EnvironmentInPiecesWithinDeadlineIsServed) {
    load(kOwnRecord, "");
    start_server();
    std::string block;
    for (const auto &pair : asterisk_environment("from-internal", "205", "205"))
        block += pair.first + ": " + pair.second + "\n";
    block += "\n";
    int sock = connect_tcp(server_.port());
    ASSERT_GE(sock, 0);
    const size_t kPieces = 4;
    size_t piece = block.size() / kPieces + 1;
    for (size_t start = 0; start < block.size(); start += piece) {
        std::string part = block.substr(start, piece);
        ASSERT_EQ(static_cast<ssize_t>(part.size()), write(sock, part.data(), part.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    AsteriskStandIn pbx(sock);
    expect_outgoing_commands(&pbx);
    run_call(&pbx);
    EXPECT_TRUE(wait_for_log_message("Exit Outgoing Thread"));
}

void limit_descriptors_to_64() {
    struct rlimit limit = {64, 64};
    setrlimit(RLIMIT_NOFILE, &limit);
}

/* With 64 descriptors, 200 calls ringing at once wait their turn instead of being
 * dropped, and leave no descriptor behind. Each rings 400 ms: about a dozen ring at
 * once, so the last call waits well within the stand-in's 20 s read limit. */
TEST_F(QuelmoFast, CallsWaitWhileDescriptorsRunShort) {
    load(kOwnRecord, kRingRule);
    ASSERT_TRUE(server_.start(kServerId, QUELMO_FAST_PATH, limit_descriptors_to_64));
    wait_for_listener_probe();
    int before = count_process_fds(server_.pid());
    ASSERT_GT(before, 0);
    const size_t kCalls = 200;
    std::vector<std::unique_ptr<AsteriskStandIn>> calls;
    for (size_t i = 0; i < kCalls; i++) calls.push_back(start_ringing_call(server_.port(), 400));
    expect_whole_sequences(calls, 180 * 1000);
    ASSERT_TRUE(wait_for_log_message("Exit Incoming Thread", kCalls));
    EXPECT_TRUE(wait_for_log_message("Descriptors exhausted: calls wait"));
    EXPECT_TRUE(wait_for_log_message("Descriptors available again"));
    EXPECT_EQ(before, count_process_fds(server_.pid()));
}

/* SIGTERM while calls ring: new calls are refused at once, the running ones finish their
 * rules, and the server ends with status 0. */
TEST_F(QuelmoFast, StopLetsRunningCallsFinish) {
    load(kOwnRecord, kRingRule);
    start_server();
    const size_t kCalls = 20;
    std::vector<std::unique_ptr<AsteriskStandIn>> calls;
    for (size_t i = 0; i < kCalls; i++) calls.push_back(start_ringing_call(server_.port(), 2000));
    ASSERT_TRUE(wait_for_log_message("exec Dial SIP/205,20,r", kCalls));
    ASSERT_EQ(0, kill(server_.pid(), SIGTERM));
    int in_progress = -1;
    for (int waited = 0; in_progress < 0 && waited < 5000; waited += 10) {
        for (const std::string &line : debug_messages())
            if (line.rfind("Stopping: ", 0) == 0) in_progress = atoi(line.c_str() + 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(in_progress, 0) << "no call was in progress at the stop";
    int refused = connect_tcp(server_.port());
    EXPECT_LT(refused, 0) << "a new call was accepted while stopping";
    if (refused >= 0) close(refused);
    expect_whole_sequences(calls, 30 * 1000);
    EXPECT_EQ(0, server_.wait_exit(30 * 1000));
    EXPECT_TRUE(wait_for_log_message("Stopped"));
}

/* A second SIGTERM ends the server at once, even with a call that would ring for ever. */
TEST_F(QuelmoFast, SecondStopSignalEndsAtOnce) {
    load(kOwnRecord, kRingRule);
    start_server();
    auto pbx = connect_call(asterisk_environment("macro-stdexten", "205", "5551234567"));
    pbx->expect("GET VARIABLE EXTENSION", var_reply("205"))
        .expect("GET VARIABLE SETCIDONFWD", "200 result=0")
        .expect("GET VARIABLE CENTREX", "200 result=0")
        .expect("exec Dial \"\"SIP/205\",20,r\"", "");
    pbx->start();
    ASSERT_TRUE(wait_for_log_message("exec Dial SIP/205,20,r"));
    ASSERT_EQ(0, kill(server_.pid(), SIGTERM));
    ASSERT_TRUE(wait_for_log_message("Stopping: 1 calls in progress"));
    ASSERT_EQ(0, kill(server_.pid(), SIGTERM));
    EXPECT_EQ(128 + SIGTERM, server_.wait_exit(10 * 1000));
    EXPECT_TRUE(wait_for_log_message("Stopping at once: 1 calls cut off"));
}

void join_groups_10_and_20() {
    const gid_t groups[] = {10, 20};
    setgroups(2, groups);
}

/* The value of one "Name:\t..." line of /proc/<pid>/status, blanks at its ends cut. */
std::string status_field(int pid, const std::string &name) {
    for (const std::string &line : split_lines(read_file("/proc/" + std::to_string(pid) + "/status"))) {
        if (line.rfind(name + ":", 0) != 0) continue;
        std::string value = line.substr(name.size() + 1);
        size_t first = value.find_first_not_of(" \t"), last = value.find_last_not_of(" \t");
        return first == std::string::npos ? "" : value.substr(first, last - first + 1);
    }
    return "(missing)";
}

/* Started as root with supplementary groups, a daemon built for user and group 99 keeps
 * nothing of root: ids, groups and capabilities. */
TEST(QuelmoFastPrivileges, RootGivesUpGroupsAndUser) {
    if (geteuid() != 0) GTEST_SKIP() << "only a daemon started as root changes its ids";
    reset_debug_log();
    ServerProcess server;
    ASSERT_TRUE(server.start("e2e", QUELMO_FAST_AS_99_PATH, join_groups_10_and_20));
    EXPECT_EQ("99\t99\t99\t99", status_field(server.pid(), "Uid"));
    EXPECT_EQ("99\t99\t99\t99", status_field(server.pid(), "Gid"));
    EXPECT_EQ("", status_field(server.pid(), "Groups"));
    EXPECT_EQ("0000000000000000", status_field(server.pid(), "CapEff"));
}

/* ---- Who may connect ---- */

/* One byte with room for one passed descriptor: the message of both ends of a hand-over. */
struct DescriptorMessage {
    char byte = 0;
    struct iovec data = {&byte, 1};
    alignas(struct cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr header = {};
    DescriptorMessage() {
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = space;
        header.msg_controllen = sizeof(space);
    }
    DescriptorMessage(const DescriptorMessage &) = delete;
};

/* Passes one descriptor over a Unix socket; true when sent. */
bool send_descriptor(int channel, int descriptor) {
    DescriptorMessage message;
    struct cmsghdr *control = CMSG_FIRSTHDR(&message.header);
    control->cmsg_level = SOL_SOCKET;
    control->cmsg_type = SCM_RIGHTS;
    control->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(control), &descriptor, sizeof(int));
    return sendmsg(channel, &message.header, 0) == 1;
}

/* The descriptor passed by send_descriptor, or -1. */
int receive_descriptor(int channel) {
    DescriptorMessage message;
    if (recvmsg(channel, &message.header, 0) != 1) return -1;
    struct cmsghdr *control = CMSG_FIRSTHDR(&message.header);
    if (control == nullptr || control->cmsg_type != SCM_RIGHTS) return -1;
    int descriptor = -1;
    memcpy(&descriptor, CMSG_DATA(control), sizeof(int));
    return descriptor;
}

/* A connection to the port opened by a child process running as 'uid' (the socket is
 * that user's for its whole life), handed back to this process; -1 on failure. */
int connect_as_user(int port, uid_t uid) {
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        int sock = -1;
        if (setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0)
            sock = connect_tcp(port);
        _exit(sock >= 0 && send_descriptor(channel[1], sock) ? 0 : 1);
    }
    close(channel[1]);
    int sock = child > 0 ? receive_descriptor(channel[0]) : -1;
    close(channel[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    return sock;
}

/* Root (also the user that starts the server here) and the users named with -a, by name
 * and by number, are served; any other user's connection is closed unread and logged,
 * and its caller gets no command, so no record reaches it. */
TEST_F(QuelmoFast, OnlyAllowedUsersAreServed) {
    if (geteuid() != 0) GTEST_SKIP() << "connecting as other users needs root";
    if (getpwnam("nobody") == nullptr || getpwnam("nobody")->pw_uid != 65534)
        GTEST_SKIP() << "no user nobody with uid 65534";
    load(kOwnRecord, "");
    ASSERT_TRUE(server_.start(kServerId, QUELMO_FAST_PATH, nullptr, {"-a", "nobody", "-a", "65533"}));
    const struct {
        uid_t uid;
        bool served;
    } cases[] = {{0, true}, {65534, true}, {65533, true}, {65532, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE("uid " + std::to_string(c.uid));
        int sock = connect_as_user(server_.port(), c.uid);
        ASSERT_GE(sock, 0);
        AsteriskStandIn pbx(sock);
        pbx.environment(asterisk_environment("from-internal", "205", "205"));
        if (c.served) {
            expect_outgoing_commands(&pbx);
            run_call(&pbx);
            continue;
        }
        pbx.default_reply(var_reply("205"));
        pbx.start();
        ASSERT_TRUE(pbx.wait_closed());
        EXPECT_EQ("", pbx.received());
        EXPECT_TRUE(wait_for_log_message("Call refused: connection from uid 65532"));
    }
    EXPECT_TRUE(wait_for_log_message("Exit Outgoing Thread", 3));
}

/* ---- quelmo.admin explain ---- */

/* The readable transcript of one call that the simulated PBX plays against the daemon. */
std::string daemon_transcript(int port, const SimCall &call) {
    int sock = connect_tcp(port);
    EXPECT_GE(sock, 0);
    SimTranscript transcript;
    EXPECT_EQ(0, SimPlayCall(sock, call, &transcript));
    close(sock);
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    SimPrintTranscript(out, call, transcript);
    fclose(out);
    std::string printed(text, size);
    free(text);
    return printed;
}

struct ExplainCase {
    SimCall call;                     /* as the daemon is called */
    std::vector<std::string> options; /* the same call as explain's options */
    std::string must_hold;            /* a command the exchange must show */
};

/* One incoming and one outgoing call, each played against the daemon and then explained
 * from a copy of its databases (--dir) with the daemon's own files gone: the transcripts
 * must be equal, the log lines too (their order between threads aside), and explain must
 * leave the debug and database logs alone. */
TEST_F(QuelmoFast, ExplainPrintsTheExchangeTheDaemonHas) {
    load(kOwnRecord, "205\t1\tDial\t${EXTEN:205},20\n205\t2\tDial\tLocal/5559999@internal\n");
    start_server();
    wait_for_listener_probe();
    const ExplainCase cases[] = {
        {{"macro-stdexten", "205", "\"Carol\" <5551234567>", {{"EXTENSION", "205"}}, {}, 0},
         {"--callerid", "\"Carol\" <5551234567>", "205"},
         "exec Set \"CALLERID(num)=5551234567\"\\n"},
        {{"from-internal", "5551234567", "205", {{"EXTENSION", "205"}, {"SETCIDONFWD", "1"}},
          {}, 0, ""},
         {"--context", "from-internal", "--callerid", "205", "--set", "EXTENSION=205", "--set",
          "SETCIDONFWD=1", "--no-agi-version", "5551234567"},
         "exec SetCIDName \"Alice\"\\n\nPBX  -> quelmo: 200 result=0"},
    };
    std::vector<std::string> transcripts, logs;
    for (const ExplainCase &c : cases) {
        reset_debug_log();
        transcripts.push_back(daemon_transcript(server_.port(), c.call));
        wait_for_exits(1, c.call.context == "macro-stdexten" ? "Exit Incoming Thread"
                                                            : "Exit Outgoing Thread");
        std::vector<std::string> log = debug_messages();
        std::sort(log.begin(), log.end());
        std::string sorted;
        for (const std::string &line : log) sorted += line + "\n";
        logs.push_back(sorted);
    }
    server_.stop();
    std::string copy = scratch_dir();
    for (const char *suffix : {".db", "fw.db"}) {
        std::string name = std::string("/quelmo") + kServerId + suffix;
        ASSERT_EQ(0, rename((QUELMO_DB_DIR + name).c_str(), (copy + name).c_str()));
    }
    reset_debug_log();
    std::string db_log_before = read_file(QUELMO_DB_ERROR_LOG);
    for (size_t i = 0; i < 2; i++) {
        std::vector<std::string> argv = {QUELMO_ADMIN_PATH, "--dir", copy, kServerId, "explain", "--log"};
        argv.insert(argv.end(), cases[i].options.begin(), cases[i].options.end());
        ProgramResult r = run_program(argv);
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, transcripts[i].find(cases[i].must_hold)) << transcripts[i];
        size_t log_start = r.out.find("-- debug log of the call:\n");
        ASSERT_NE(std::string::npos, log_start) << r.out;
        EXPECT_EQ(transcripts[i], r.out.substr(0, log_start));
        std::vector<std::string> log = split_lines(r.out.substr(log_start));
        log.erase(log.begin());
        for (std::string &line : log) line.erase(0, 4);
        std::sort(log.begin(), log.end());
        std::string explained;
        for (const std::string &line : log) explained += line + "\n";
        EXPECT_EQ(logs[i], explained);
    }
    EXPECT_EQ("", read_file(QUELMO_DEBUG_LOG));
    EXPECT_EQ(db_log_before, read_file(QUELMO_DB_ERROR_LOG));
}

/* ---- Command line ---- */

const std::string kUsage =
    "Usage:  quelmo.fast [ -d ] [ -a USER ]... <SERVER ID> <SERVER PORT>\n"
    "        quelmo.fast -V\n";

TEST(QuelmoFastCommandLine, VersionAndUsage) {
    struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"-V"}, 0, "quelmo.fast version 1.9\n"},
        {{"-V", "a", "b"}, 0, "quelmo.fast version 1.9\n"},
        {{"-V", "a", "b", "c"}, 1, kUsage},
        {{}, 1, kUsage},
        {{"S1"}, 1, kUsage},
        {{"-d"}, 1, kUsage},
        {{"-d", "S1"}, 1, kUsage},
        {{"-d", "S1", "4573", "x"}, 1, kUsage},
        {{"S1", "4573", "x", "y"}, 1, kUsage},
        {{"S123456789", "4573"}, 1, kUsage},
        {{"-a", "S1", "4573"}, 1, kUsage},
        {{"-d", "-a", "no-such-user-q", "S1", "4573"}, 1,
         "quelmo.fast: -a no-such-user-q: no such user\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {QUELMO_FAST_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ProgramResult r = run_program(argv);
        std::string shown = c.args.empty() ? "(none)" : c.args[0] + "...";
        EXPECT_EQ(c.status, r.status) << shown;
        EXPECT_EQ(c.err, r.err) << shown;
        EXPECT_EQ("", r.out) << shown;
    }
}

/* Finds the process whose command line is exactly argv. */
int find_process(const std::vector<std::string> &argv) {
    std::string wanted;
    for (const std::string &a : argv) wanted += a + '\0';
    DIR *proc = opendir("/proc");
    int found = -1;
    while (struct dirent *entry = readdir(proc)) {
        int pid = atoi(entry->d_name);
        if (pid > 0 && read_file("/proc/" + std::string(entry->d_name) + "/cmdline") == wanted)
            found = pid;
    }
    closedir(proc);
    return found;
}

TEST(QuelmoFastCommandLine, DaemonModeReturnsAtOnceAndServes) {
    reset_debug_log();
    int port = free_tcp_port();
    std::vector<std::string> argv = {QUELMO_FAST_PATH, "e2e", std::to_string(port), "extra"};
    ProgramResult r = run_program(argv);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    bool listening = wait_for_listener(port);
    int daemon_pid = find_process(argv);
    if (daemon_pid > 0) kill(daemon_pid, SIGKILL);
    EXPECT_TRUE(listening);
    EXPECT_GT(daemon_pid, 0);
}

TEST(QuelmoFastCommandLine, PortInUseIsLoggedWithSystemText) {
    reset_debug_log();
    ServerProcess holder;
    ASSERT_TRUE(holder.start("e2e"));
    ProgramResult r = run_program({QUELMO_FAST_PATH, "-d", "e2e", std::to_string(holder.port())});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(wait_for_log_message("bind() failed: Address already in use"));
}

TEST(QuelmoFastCommandLine, OnlyLoopbackAddressIsBound) {
    reset_debug_log();
    ServerProcess server;
    ASSERT_TRUE(server.start("e2e"));
    int other = connect_tcp(server.port(), "127.0.0.2");
    EXPECT_LT(other, 0) << "a connection to 127.0.0.2 was accepted";
    if (other >= 0) close(other);
    int local = connect_tcp(server.port());
    EXPECT_GE(local, 0);
    if (local >= 0) close(local);
}

/* ---- Log rotation ---- */

/* Lines of a log file holding 'message' (after the time, process and thread fields). */
size_t count_log_lines(const std::string &path, const std::string &message) {
    size_t count = 0;
    for (const std::string &line : split_lines(read_file(path))) {
        size_t mark = line.find("]: ");
        if (mark != std::string::npos && line.compare(mark + 3, std::string::npos, message) == 0)
            count++;
    }
    return count;
}

/* Whether user and group 99, with no other groups, can read and search directory dir (and
 * so every directory above it). */
bool user_99_reaches(const std::string &dir) {
    pid_t child = fork();
    if (child == 0) {
        bool reached = setgroups(0, nullptr) == 0 && setgid(99) == 0 && setuid(99) == 0 &&
                       access(dir.c_str(), R_OK | X_OK) == 0;
        _exit(reached ? 0 : 1);
    }
    int status = 1;
    if (child < 0 || waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/* The packaged logrotate configuration, configured for this build's root, rotates both
 * logs by renaming them while calls are served: every line of every call is in the
 * rotated file or the new one, and the calls after the rotation write to the new one.
 * As root the daemon runs as user 99 with its logs owned by 99, in a log directory that
 * is either 99's or root's (mode 0755, where the daemon cannot create the new files), and
 * logrotate must neither complain nor move a file aside. User 99 must be able to reach the
 * test root for that. */
class LogRotation : public QuelmoFast {
   protected:
    void expect_rotation_while_serving_loses_no_line(bool directory_of_root);
};

void LogRotation::expect_rotation_while_serving_loses_no_line(bool directory_of_root) {
    if (std::string(QUELMO_LOGROTATE_PROGRAM).empty()) GTEST_SKIP() << "logrotate is not installed";
    if (directory_of_root && geteuid() != 0)
        GTEST_SKIP() << "only root can give the log directory to root and the logs to uid 99";
    /* Otherwise the daemon runs with this build's ids, in a log directory of the tester. */
    bool as_root = geteuid() == 0 && user_99_reaches(QUELMO_DB_DIR);
    if (directory_of_root && !as_root)
        GTEST_SKIP() << "user 99 cannot reach the test root " << QUELMO_ROOT
                     << " (a directory above it is closed to others)";
    const std::string fast_log = QUELMO_DEBUG_LOG, db_log = QUELMO_DB_ERROR_LOG;
    const std::string log_dir = fast_log.substr(0, fast_log.rfind('/'));
    remove_file(fast_log + ".1");
    remove_file(db_log + ".1");
    write_file(fast_log, "");
    write_file(db_log, "before the rotation\n");
    const char *program = QUELMO_FAST_PATH;
    if (as_root) {
        program = QUELMO_FAST_AS_99_PATH;
        uid_t owner = directory_of_root ? 0 : 99;
        ASSERT_EQ(0, chown(log_dir.c_str(), owner, owner));
        ASSERT_EQ(0, chmod(log_dir.c_str(), 0755));
        for (const std::string &log : {fast_log, db_log}) {
            ASSERT_EQ(0, chown(log.c_str(), 99, 99));
            ASSERT_EQ(0, chmod(log.c_str(), 0640));
        }
    }
    const std::string kAllMessages[] = {"Outgoing Call from 205", "Enter Outgoing Thread",
                                        "exec Set \"CALLERID(num)=5551234\"", "Exit Outgoing Thread"};
    const std::string lookup = "Extension = 205: cidname(Alice) cidnum(5551234)";
    std::string state = scratch_dir() + "/logrotate.state";
    ProgramResult rotation{-1, "", ""};
    const size_t kCalls = 30;
    {
        load(kOwnRecord, "");
        ASSERT_TRUE(server_.start(kServerId, program));
        auto outgoing_call = [this] {
            auto pbx = connect_call(asterisk_environment("from-internal", "205", "205"));
            expect_outgoing_commands(pbx.get());
            run_call(pbx.get());
        };
        std::thread rotator([&] {
            if (wait_for_log_message("Exit Outgoing Thread", kCalls / 3))
                rotation = run_program({QUELMO_LOGROTATE_PROGRAM, "-f", "-s", state, QUELMO_LOGROTATE_CONF});
        });
        for (size_t i = 0; i < kCalls; i++) outgoing_call();
        rotator.join();
        EXPECT_EQ(0, rotation.status) << rotation.err;
        EXPECT_EQ("", rotation.err);
        outgoing_call(); /* the first call after the rotation has ended */

        auto total = [&](const std::string &message) {
            return count_log_lines(fast_log + ".1", message) + count_log_lines(fast_log, message);
        };
        for (int waited = 0; total("Exit Outgoing Thread") < kCalls + 1 && waited < 5000; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (const std::string &message : kAllMessages) EXPECT_EQ(kCalls + 1, total(message)) << message;
        EXPECT_GE(count_log_lines(fast_log + ".1", "Exit Outgoing Thread"), kCalls / 3);
        EXPECT_GE(count_log_lines(fast_log, "Exit Outgoing Thread"), 1u);

        /* The store's log: the line written before the rotation is in the rotated file, and
         * every call's lookup line is in one of the two. */
        std::vector<std::string> rotated = split_lines(read_file(db_log + ".1"));
        std::vector<std::string> current = split_lines(read_file(db_log));
        EXPECT_FALSE(rotated.empty()) << db_log << " was not rotated";
        if (!rotated.empty()) {
            EXPECT_EQ("before the rotation", rotated[0]);
        }
        EXPECT_FALSE(current.empty()) << "the last call did not write to the new " << db_log;
        EXPECT_EQ(kCalls + 1, static_cast<size_t>(std::count(rotated.begin(), rotated.end(), lookup) +
                                                  std::count(current.begin(), current.end(), lookup)));
    }
    server_.stop();
    if (as_root) {
        EXPECT_EQ(0, chown(log_dir.c_str(), 0, 0));
    }
}

TEST_F(LogRotation, DirectoryTheDaemonMayWriteLosesNoLine) {
    expect_rotation_while_serving_loses_no_line(false);
}

TEST_F(LogRotation, RootOwnedDirectoryLosesNoLine) { expect_rotation_while_serving_loses_no_line(true); }

}  // namespace
