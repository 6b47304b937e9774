/* Tests of quelmo.admin calls (admin-calls). Every log read here is written by the daemon's
 * own call code: ClientProcessCallWithFiles on one end of a socket pair, one thread per
 * call as the daemon runs it, with the simulated PBX or the Asterisk stand-in on the other
 * end. A log text the reader does not follow fails these tests. */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "admin-calls.h"
#include "asterisk_standin.h"
#include "pbx-sim.h"
#include "quelmo-call.h"
#include "quelmo-db.h"
#include "quelmo-paths.h"
#include "quelmo-utils.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

const char kServerId[] = "calls";

/* One call's record as --tsv prints it. */
struct Reported {
    std::string start, seconds, direction, extension, caller, call_id, outcome;
};

std::vector<std::string> split_tabs(const std::string &line) {
    std::vector<std::string> fields;
    size_t from = 0, tab;
    while ((tab = line.find('\t', from)) != std::string::npos) {
        fields.push_back(line.substr(from, tab - from));
        from = tab + 1;
    }
    fields.push_back(line.substr(from));
    return fields;
}

class AdminCalls : public ::testing::Test {
   protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        quelmo_init();
        reset_debug_log();
        dir_ = scratch_dir();
        prefix_ = dir_ + "/quelmo";
        db_log_ = dir_ + "/db.log";
        make_dirs(std::string(QUELMO_ROOT) + "/etc/asterisk/morivane");
        write_file(QUELMO_EXTERNAL_CONF, "exten => 206,hint,PJSIP/206\n");
        write_file(QUELMO_INTERNAL_CONF, "");
        write_databases();
    }

    /* Caller IDs: the PBX-wide one and extension 206's; 205 forwards outside, 206 rings
     * its phone, 207 has no rules. */
    void write_databases() {
        FILE *errors = fopen("/dev/null", "w");
        ASSERT_NE(nullptr, errors);
        DB *extensions = nullptr, *forwarding = nullptr;
        ASSERT_EQ(0, db_create_file(const_cast<char *>(kServerId), &extensions, DB_HASH, 0,
                                    (prefix_ + kServerId + QUELMO_DB_EXTENSION_SUFFIX).c_str(), "", errors));
        ASSERT_EQ(0, db_create_file(const_cast<char *>(kServerId), &forwarding, DB_BTREE, DB_DUP,
                                    (prefix_ + kServerId + QUELMO_DB_FORWARDING_SUFFIX).c_str(), "", errors));
        QUELMO_DBS set = {extensions, forwarding, nullptr, nullptr, nullptr};
        EXTENSION_INFO global = {const_cast<char *>("0"), const_cast<char *>("Acme"), const_cast<char *>("5550100")};
        EXTENSION_INFO bob = {const_cast<char *>("206"), const_cast<char *>("Bob"), const_cast<char *>("5550106")};
        EXPECT_EQ(0, db_insert_extension(&set, &global));
        EXPECT_EQ(0, db_insert_extension(&set, &bob));
        FORWARDING_INFO forward = {1, const_cast<char *>("Dial"), const_cast<char *>("Local/5559876543@internal")};
        FORWARDING_INFO ring = {1, const_cast<char *>("Dial"), const_cast<char *>("${EXTEN:206},15")};
        EXPECT_EQ(0, db_append_forwarding_rule(&set, 205, &forward));
        EXPECT_EQ(0, db_append_forwarding_rule(&set, 206, &ring));
        EXPECT_EQ(0, db_close(extensions, "", errors));
        EXPECT_EQ(0, db_close(forwarding, "", errors));
        fclose(errors);
    }

    /* Runs the daemon's call code on a thread of its own for the server end of a socket
     * pair; returns the PBX end. */
    std::thread dispatch(int *pbx_end, const std::string &db_prefix = "") {
        SocketPair pair = make_socket_pair();
        *pbx_end = pair.pbx;
        std::string prefix = db_prefix.empty() ? prefix_ : db_prefix;
        return std::thread([this, pair, prefix] {
            CallFiles files = {prefix.c_str(), db_log_.c_str()};
            ClientProcessCallWithFiles(pair.server, const_cast<char *>(kServerId), &files);
        });
    }

    /* Plays call against the daemon's call code until both ends are done. */
    void play(const SimCall &call, const std::string &db_prefix = "") {
        int pbx = -1;
        std::thread server = dispatch(&pbx, db_prefix);
        SimTranscript transcript;
        SimPlayCall(pbx, call, &transcript);
        server.join();
        close(pbx);
    }

    /* Plays the stand-in's script (already given its steps) against the call code. */
    void play_script(void (*script)(AsteriskStandIn *)) {
        int pbx = -1;
        std::thread server = dispatch(&pbx);
        AsteriskStandIn standin(pbx);
        script(&standin);
        standin.start();
        server.join();
        EXPECT_TRUE(standin.wait_closed());
    }

    /* Runs the report over logs with --tsv; returns the call records and the totals line. */
    std::vector<Reported> report(const std::vector<std::string> &logs, std::string *totals = nullptr,
                                 int *status = nullptr) {
        CallsRequest request;
        request.server_id = kServerId;
        request.logs = logs;
        request.tsv = true;
        char *text = nullptr;
        size_t size = 0;
        FILE *out = open_memstream(&text, &size);
        int result = ReportCalls(request, out);
        fclose(out);
        std::vector<std::string> lines = split_lines(std::string(text, size));
        free(text);
        if (status != nullptr) *status = result;
        std::vector<Reported> calls;
        EXPECT_GE(lines.size(), 2u);
        if (lines.size() < 2) return calls;
        EXPECT_EQ("start\tseconds\tdirection\textension\tcaller\tasterisk_call_id\toutcome", lines.front());
        if (totals != nullptr) *totals = lines.back();
        for (size_t i = 1; i + 1 < lines.size(); i++) {
            std::vector<std::string> f = split_tabs(lines[i]);
            EXPECT_EQ(7u, f.size()) << lines[i];
            f.resize(7);
            calls.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
        }
        return calls;
    }

    std::string dir_, prefix_, db_log_;
};

SimCall sim_call(const std::string &context, const std::string &extension,
                 const std::string &callerid, const std::string &id) {
    SimCall call;
    call.context = context;
    call.extension = extension;
    call.callerid = callerid;
    call.variables["EXTENSION"] = extension;
    call.uniqueid = id;
    return call;
}

/* The stand-in's calls: its environment carries Asterisk's id "1796741624.7". */
void stall_after_environment(AsteriskStandIn *standin) {
    standin->environment(asterisk_environment("from-internal", "206", "206"))
        .expect("GET VARIABLE EXTENSION", "");
}
void hang_up_after_environment(AsteriskStandIn *standin) {
    standin->environment(asterisk_environment("from-internal", "206", "206")).hangup();
}

TEST_F(AdminCalls, EachOutcomeIsToldInOneLine) {
    struct Case {
        const char *what;
        SimCall call;                         /* played with the simulated PBX... */
        void (*script)(AsteriskStandIn *);    /* ...or with this stand-in script */
        bool no_databases;
        Reported expected;                    /* start and seconds are checked apart */
    };
    SimCall forward = sim_call("macro-stdexten", "205", "\"Carol\" <5551234567>", "1796741624.3");
    forward.variables["SETCIDONFWD"] = "1";
    forward.app_results["Dial"] = -1;
    const Case cases[] = {
        {"outgoing with a record", sim_call("from-internal", "206", "206", "1796741624.1"), nullptr, false,
         {"", "", "outgoing", "206", "206", "1796741624.1", "presented \"Bob\" <5550106>"}},
        {"outgoing that keeps Asterisk's caller ID",
         sim_call("from-internal", "5551234567", "5551234567", "1796741624.2"), nullptr, false,
         {"", "", "outgoing", "5551234567", "5551234567", "1796741624.2", "left Asterisk's caller ID"}},
        {"incoming forwarded and answered", forward, nullptr, false,
         /* With SETCIDONFWD set the daemon logs no caller ID: none is shown. */
         {"", "", "incoming", "205", "", "1796741624.3",
          "forwarded to 5559876543 as \"Acme\" <5550100>: answered"}},
        {"incoming that rang without answer",
         sim_call("macro-stdexten", "206", "5551234567", "1796741624.4"), nullptr, false,
         {"", "", "incoming", "206", "5551234567", "1796741624.4", "rang PJSIP/206: no answer"}},
        {"incoming without rules", sim_call("macro-stdexten", "207", "5551234567", "1796741624.5"),
         nullptr, false,
         {"", "", "incoming", "207", "", "1796741624.5", "forwarding disabled"}},
        {"database missing", sim_call("from-internal", "206", "206", "1796741624.6"), nullptr, true,
         {"", "", "", "", "", "1796741624.6", "ended early: database missing"}},
        {"no reply within 3 s", SimCall(), stall_after_environment, false,
         {"", "", "", "", "", "1796741624.7", "ended early: no reply from Asterisk within 3 s"}},
        {"Asterisk hung up", SimCall(), hang_up_after_environment, false,
         {"", "", "", "", "", "1796741624.7", "ended early: Asterisk hung up"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        reset_debug_log();
        if (c.script != nullptr)
            play_script(c.script);
        else
            play(c.call, c.no_databases ? dir_ + "/none/quelmo" : "");
        std::string totals;
        std::vector<Reported> calls = report({QUELMO_DEBUG_LOG}, &totals);
        EXPECT_EQ(1u, calls.size()) << read_file(QUELMO_DEBUG_LOG);
        if (calls.size() != 1) continue;
        const Reported &got = calls[0];
        EXPECT_EQ(19u, got.start.size()) << got.start;
        EXPECT_FALSE(got.seconds.empty());
        EXPECT_EQ(c.expected.direction, got.direction);
        EXPECT_EQ(c.expected.extension, got.extension);
        EXPECT_EQ(c.expected.caller, got.caller);
        EXPECT_EQ(c.expected.call_id, got.call_id);
        EXPECT_EQ(c.expected.outcome, got.outcome) << read_file(QUELMO_DEBUG_LOG);
        bool early = c.expected.outcome.rfind("ended early", 0) == 0;
        bool answered = c.expected.outcome.find(": answered") != std::string::npos;
        char expected_totals[200];
        snprintf(expected_totals, sizeof(expected_totals),
                 "# 1 calls: %d incoming, %d outgoing, %d forwarded, %d answered by a forward, "
                 "%d ended early, 0 cut; 0 lines not the daemon's skipped",
                 c.expected.direction == "incoming", c.expected.direction == "outgoing", answered,
                 answered, early);
        EXPECT_EQ(expected_totals, totals);
    }
}

TEST_F(AdminCalls, InterleavedCallsAreToldApartOldestFirst) {
    SimCall ringing = sim_call("macro-stdexten", "206", "5551234567", "1796741700.1");
    ringing.ring_ms = 500;
    int pbx = -1;
    std::thread server = dispatch(&pbx);
    std::thread pbx_side([&] {
        SimTranscript transcript;
        SimPlayCall(pbx, ringing, &transcript);
    });
    /* While the first call rings, two more are played whole, and a stranger's line lands
     * in the log. */
    ASSERT_TRUE(wait_for_log_message("exec Dial PJSIP/206,15,r"));
    play(sim_call("from-internal", "206", "206", "1796741700.2"));
    play(sim_call("macro-stdexten", "207", "5551234567", "1796741700.3"));
    FILE *log = fopen(QUELMO_DEBUG_LOG, "a");
    ASSERT_NE(nullptr, log);
    fputs("not a line of the daemon\n", log);
    fclose(log);
    pbx_side.join();
    server.join();
    close(pbx);
    std::string totals;
    std::vector<Reported> calls = report({QUELMO_DEBUG_LOG}, &totals);
    ASSERT_EQ(3u, calls.size()) << read_file(QUELMO_DEBUG_LOG);
    EXPECT_EQ("1796741700.1", calls[0].call_id);
    EXPECT_EQ("rang PJSIP/206: no answer", calls[0].outcome);
    EXPECT_EQ("1796741700.2", calls[1].call_id);
    EXPECT_EQ("presented \"Bob\" <5550106>", calls[1].outcome);
    EXPECT_EQ("1796741700.3", calls[2].call_id);
    EXPECT_EQ("forwarding disabled", calls[2].outcome);
    EXPECT_EQ("# 3 calls: 2 incoming, 1 outgoing, 0 forwarded, 0 answered by a forward, "
              "0 ended early, 0 cut; 1 lines not the daemon's skipped",
              totals);
}

/* A rotated, compressed log that ends while a call rings: the call is shown as cut, and
 * the year of its lines comes from the file's modification time. */
TEST_F(AdminCalls, CallCutByTheEndOfACompressedLogIsShownAsCut) {
    play(sim_call("macro-stdexten", "206", "5551234567", "1796741800.1"));
    std::string whole = read_file(QUELMO_DEBUG_LOG);
    size_t ring = whole.find("exec Dial PJSIP/206,15,r\n");
    ASSERT_NE(std::string::npos, ring) << whole;
    std::string cut = whole.substr(0, ring + 25);
    std::string path = dir_ + "/quelmo-fast.log.2.gz";
    gzFile gz = gzopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, gz);
    ASSERT_EQ(static_cast<int>(cut.size()), gzwrite(gz, cut.data(), static_cast<unsigned>(cut.size())));
    ASSERT_EQ(Z_OK, gzclose(gz));
    /* Changed in the month before the lines' (January: in their month) of the next year. */
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    int line_year = tm.tm_year + 1900, line_month = tm.tm_mon;
    struct tm changed = {};
    changed.tm_year = tm.tm_year + 1;
    changed.tm_mon = line_month > 0 ? line_month - 1 : 0;
    changed.tm_mday = 1;
    changed.tm_hour = 12;
    changed.tm_isdst = -1;
    struct timeval times[2] = {{mktime(&changed), 0}, {mktime(&changed), 0}};
    ASSERT_EQ(0, utimes(path.c_str(), times));

    std::string totals;
    int status = -1;
    std::vector<Reported> calls = report({path}, &totals, &status);
    EXPECT_EQ(0, status);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("1796741800.1", calls[0].call_id);
    EXPECT_EQ("", calls[0].seconds);
    EXPECT_EQ("cut by the end of the log: ringing PJSIP/206", calls[0].outcome);
    EXPECT_EQ(std::to_string(line_month > 0 ? line_year : line_year + 1), calls[0].start.substr(0, 4));
    EXPECT_NE(std::string::npos, totals.find(", 1 cut;")) << totals;
}

}  // namespace
