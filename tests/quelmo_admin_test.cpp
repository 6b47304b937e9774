/* Tests of quelmo.admin, run as a program on real files: load and dump formats, the round
 * trip, refusal of bad input leaving the databases in place, the command line, file modes,
 * upgrade, a reader opening the databases while load replaces them, and every kind of
 * finding of check. (explain is tested against the daemon in quelmo_fast_test.) */
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "admin-check.h"
#include "quelmo-db.h"
#include "quelmo-paths.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

const char *const EXTENSIONS =
    "# caller IDs\n"
    "\n"
    " \t \n"
    "0\tExample Corp\t5550100\n"
    "205\tAlice\t5550105\n"
    "206\t\t\n"
    "-7\tNeg\t\n";
const char *const FORWARDING =
    "205\t3\tDial\tSIP/205|20,${EXTEN}@a/b\n"
    "206\t1\tBusy\t\n"
    "205\t1\tDial\tLocal/5551234567@internal\n"
    "205\t2\tVoicemail\t205@default\n";
/* Keys in stored order are ordered by their little-endian bytes: 205 (cd), 206 (ce), -7 (f9). */
const char *const FORWARDING_DUMP =
    "# forwarding\n"
    "205\t3\tDial\tSIP/205|20,${EXTEN}@a/b\n"
    "205\t1\tDial\tLocal/5551234567@internal\n"
    "205\t2\tVoicemail\t205@default\n"
    "206\t1\tBusy\t\n";

std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *entry = d != nullptr ? readdir(d) : nullptr)
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    if (d != nullptr) closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

class QuelmoAdmin : public ::testing::Test {
   protected:
    void SetUp() override {
        dir_ = scratch_dir();
        inputs_ = dir_ + "-inputs";
        std::string clear = "rm -rf '" + inputs_ + "'";
        ASSERT_EQ(0, system(clear.c_str()));
        make_dirs(inputs_);
    }
    /* Runs quelmo.admin --dir dir_ with the given arguments. */
    ProgramResult admin(std::vector<std::string> args, const std::string &dir = "") {
        args.insert(args.begin(), {QUELMO_ADMIN_PROGRAM, "--dir", dir.empty() ? dir_ : dir});
        return run_program(args);
    }
    std::string input(const std::string &name, const std::string &content) {
        write_file(inputs_ + "/" + name, content);
        return inputs_ + "/" + name;
    }
    void load_sample(const std::string &id) {
        ProgramResult r = admin({id, "load", input("e.txt", EXTENSIONS), input("f.txt", FORWARDING)});
        ASSERT_EQ(0, r.status) << r.err;
        ASSERT_EQ("", r.err);
    }
    std::string ext_file(const std::string &id) { return dir_ + "/quelmo" + id + ".db"; }
    std::string fw_file(const std::string &id) { return dir_ + "/quelmo" + id + "fw.db"; }
    std::string dir_, inputs_;
};

TEST_F(QuelmoAdmin, DumpPrintsBothSectionsInStoredOrder) {
    load_sample("S1");
    EXPECT_EQ((std::vector<std::string>{"quelmoS1.db", "quelmoS1fw.db"}), list_dir(dir_));
    ProgramResult r = admin({"S1", "dump"});
    ASSERT_EQ(0, r.status) << r.err;
    size_t split = r.out.find("# forwarding\n");
    ASSERT_NE(std::string::npos, split);
    EXPECT_EQ(FORWARDING_DUMP, r.out.substr(split));
    /* The hash keeps its own order: compare the extension lines as a set. */
    std::vector<std::string> lines = split_lines(r.out.substr(0, split));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("# extensions", lines[0]);
    std::sort(lines.begin() + 1, lines.end());
    EXPECT_EQ((std::vector<std::string>{"# extensions", "-7\tNeg\t", "0\tExample Corp\t5550100",
                                        "205\tAlice\t5550105", "206\t\t"}),
              lines);
}

TEST_F(QuelmoAdmin, DumpLoadsBackIntoTheSameDatabases) {
    load_sample("S1");
    std::string first = admin({"S1", "dump"}).out;
    size_t split = first.find("# forwarding\n");
    ASSERT_NE(std::string::npos, split);
    std::string again = dir_ + "/again";
    make_dirs(again);
    ProgramResult r = admin({"S1", "load", input("e2.txt", first.substr(0, split)),
                             input("f2.txt", first.substr(split))},
                            again);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(first, admin({"S1", "dump"}, again).out);
}

TEST_F(QuelmoAdmin, LoadRefusesBadLinesAndLeavesTheDatabasesAlone) {
    load_sample("S1");
    std::string ext_before = read_file(ext_file("S1")), fw_before = read_file(fw_file("S1"));
    std::vector<std::string> files_before = list_dir(dir_);
    const std::string good_ext = "205\tA\tB\n", good_fw = "205\t1\tDial\tx\n";
    struct Case {
        std::string extensions, forwarding;
        bool in_forwarding;
        int line;
        std::string reason;
    } cases[] = {
        {"# c\n\n205\tAlice\n", good_fw, false, 3, "expected 3 fields separated by TAB"},
        {"205\tA\tB\tC\n", good_fw, false, 1, "expected 3 fields"},
        {"2x5\tA\tB\n", good_fw, false, 1, "EXTENSION '2x5' is not a decimal 32-bit integer"},
        {"2147483648\tA\tB\n", good_fw, false, 1, "is not a decimal 32-bit integer"},
        {" 205\tA\tB\n", good_fw, false, 1, "is not a decimal 32-bit integer"},
        {"205\tA\tB\n206\tC\tD\n205\tE\tF\n", good_fw, false, 3,
         "second record for extension 205 (first on line 1)"},
        {"205\tA\tB\r\n", good_fw, false, 1, "carriage return"},
        {std::string("205\tA\0x\tB\n", 10), good_fw, false, 1, "NUL"},
        {good_ext, "205\t1\tDial\n", true, 1, "expected 4 fields separated by TAB"},
        {good_ext, "205\t1\tDial\tx\ty\n", true, 1, "expected 4 fields"},
        {good_ext, "205\tone\tDial\tx\n", true, 1, "PRIORITY 'one' is not a decimal 32-bit integer"},
        {good_ext, "\t1\tDial\tx\n", true, 1, "EXTENSION '' is not a decimal"},
        {good_ext, "#\n205\t1\tDial\tx\r\n", true, 2, "carriage return"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        std::string e = input("bad-e.txt", c.extensions), f = input("bad-f.txt", c.forwarding);
        ProgramResult r = admin({"S1", "load", e, f});
        EXPECT_EQ(1, r.status);
        std::string where = (c.in_forwarding ? f : e) + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(0u, r.err.find(where)) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.reason)) << r.err;
        EXPECT_EQ(1u, split_lines(r.err).size()) << r.err;
        EXPECT_EQ(ext_before, read_file(ext_file("S1")));
        EXPECT_EQ(fw_before, read_file(fw_file("S1")));
        EXPECT_EQ(files_before, list_dir(dir_));
    }
}

TEST_F(QuelmoAdmin, WrongCommandLinesPrintUsageAndExitTwo) {
    std::vector<std::vector<std::string>> lines = {
        {},       {"S1"},           {"S1", "load", "e"}, {"S1", "load", "e", "f", "g"},
        {"S1", "dump", "x"},        {"S1", "frob"},      {"--dir"},
        {"--dir", "", "S1", "dump"}, {"--dir", "/tmp", "S1"},
        {"S1", "check", "x"},       {"S1", "explain"},   {"S1", "explain", "205", "206"},
        {"S1", "explain", "--reply", "Dial=x", "205"},   {"S1", "explain", "--set", "=1", "205"},
        {"S1", "explain", "--frob", "205"},              {"S1", "explain", "205", "--context"},
    };
    for (std::vector<std::string> args : lines) {
        args.insert(args.begin(), QUELMO_ADMIN_PROGRAM);
        ProgramResult r = run_program(args);
        EXPECT_EQ(2, r.status) << args.size();
        EXPECT_EQ(0u, r.err.find("usage: quelmo.admin [--dir DIR] SERVER_ID load")) << r.err;
        EXPECT_EQ("", r.out);
    }
}

TEST_F(QuelmoAdmin, UnreadableInputsAndDatabasesNameTheirFile) {
    ProgramResult r = admin({"none", "dump"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(ext_file("none"))) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("No such file or directory")) << r.err;
    EXPECT_EQ("", r.out);
    r = admin({"none", "load", inputs_ + "/missing.txt", input("f.txt", "")});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("quelmo.admin: " + inputs_ + "/missing.txt: No such file or directory\n", r.err);
    EXPECT_TRUE(list_dir(dir_).empty());
}

TEST_F(QuelmoAdmin, NewFilesAreReadableByTheServerWhateverTheUmask) {
    mode_t old_mask = umask(077);
    load_sample("S1");
    umask(old_mask);
    for (const std::string &path : {ext_file("S1"), fw_file("S1")}) {
        struct stat info;
        ASSERT_EQ(0, stat(path.c_str(), &info));
        EXPECT_EQ(0644u, info.st_mode & 0777) << path;
    }
}

TEST_F(QuelmoAdmin, DumpRefusesWhatItCouldNotLoadBack) {
    std::string path = ext_file("tab");
    QUELMO_DBS set = {nullptr, nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(0, db_create_file(const_cast<char *>("tab"), &set.extension_dbp, DB_HASH, 0,
                                path.c_str(), "", nullptr));
    EXTENSION_INFO info = {const_cast<char *>("205"), const_cast<char *>("A\tB"),
                           const_cast<char *>("1")};
    ASSERT_EQ(0, db_insert_extension(&set, &info));
    ASSERT_EQ(0, db_close(set.extension_dbp, "", nullptr));
    ASSERT_EQ(0, db_create_file(const_cast<char *>("tab"), &set.forwarding_dbp, DB_BTREE, DB_DUP,
                                fw_file("tab").c_str(), "", nullptr));
    ASSERT_EQ(0, db_close(set.forwarding_dbp, "", nullptr));
    ProgramResult r = admin({"tab", "dump"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("quelmo.admin: " + path +
                  ": extension 205 holds a TAB, CR or LF, which the text format cannot carry\n",
              r.err);
}

TEST_F(QuelmoAdmin, UpgradeKeepsCurrentDatabasesAndRefusesBrokenOnes) {
    load_sample("S1");
    std::string before = admin({"S1", "dump"}).out;
    ProgramResult r = admin({"S1", "upgrade"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(before, admin({"S1", "dump"}).out);
    EXPECT_EQ((std::vector<std::string>{"quelmoS1.db", "quelmoS1fw.db"}), list_dir(dir_));

    write_file(ext_file("S1"), std::string(8192, 'x'));
    std::string fw_before = read_file(fw_file("S1"));
    r = admin({"S1", "upgrade"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(ext_file("S1") + ": upgrade failed")) << r.err;
    EXPECT_EQ(std::string(8192, 'x'), read_file(ext_file("S1")));
    EXPECT_EQ(fw_before, read_file(fw_file("S1")));
    EXPECT_EQ((std::vector<std::string>{"quelmoS1.db", "quelmoS1fw.db"}), list_dir(dir_));
}

/* The server opens the set for every call; load must never leave it a missing or partial
 * file. A reader thread opens the set as the server does (so load, run without --dir, must
 * have written the server's files under its password) and reads records in a loop while
 * load replaces both files with one of two versions. */
TEST_F(QuelmoAdmin, ReaderNeverFailsToOpenWhileLoadReplacesTheFiles) {
    make_dirs(QUELMO_DB_DIR);
    const char *versions[] = {"205\tfirst\t1\n", "205\tsecond\t2\n"};
    std::string ext[2] = {input("v0.txt", versions[0]), input("v1.txt", versions[1])};
    std::string fw = input("fw.txt", FORWARDING);
    ProgramResult first = run_program({QUELMO_ADMIN_PROGRAM, "swap", "load", ext[0], fw});
    ASSERT_EQ(0, first.status) << first.err;

    FILE *errors = fopen((dir_ + "/errors.log").c_str(), "w");
    ASSERT_NE(nullptr, errors);
    std::atomic<bool> loading{true};
    std::atomic<int> opened{0}, failed{0}, wrong{0};
    std::thread reader([&] {
        do {
            QUELMO_DBS set;
            if (db_startup(&set, const_cast<char *>("swap"), errors) != 0) {
                failed++;
                continue;
            }
            opened++;
            EXTENSION_INFO *info = nullptr;
            FORWARDING_LIST *rules = nullptr;
            if (db_lookup_extension(&set, 205, &info) != 0 ||
                (strcmp(info->cidname, "first") != 0 && strcmp(info->cidname, "second") != 0))
                wrong++;
            if (db_lookup_forwarding_rules(&set, 205, &rules) != 0) wrong++;
            while (rules != nullptr) {
                FORWARDING_LIST *next = static_cast<FORWARDING_LIST *>(rules->next);
                free(rules->dial_plan->app), free(rules->dial_plan->args);
                free(rules->dial_plan), free(rules);
                rules = next;
            }
            if (info != nullptr) free(info->cidname), free(info->cidnum), free(info);
            db_shutdown(&set);
        } while (loading);
    });
    int load_failures = 0;
    for (int i = 1; i <= 20; i++)
        load_failures += run_program({QUELMO_ADMIN_PROGRAM, "swap", "load", ext[i % 2], fw}).status != 0;
    loading = false;
    reader.join();
    fclose(errors);
    EXPECT_EQ(0, load_failures);
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(0, wrong.load());
    EXPECT_GT(opened.load(), 0);
}

/* ---- check ---- */

const char *const CLEAN_EXTENSIONS = "0\tAcme\t5550000\n205\tAlice\t5551234\n";
const char *const CLEAN_FORWARDING =
    "205\t1\tDial\t${EXTEN:205},20\n205\t2\tDial\tLocal/5559999@internal\n";
const char *const CLEAN_EXTERNAL = "exten => 205,hint,SIP/205\n";

class QuelmoAdminCheck : public QuelmoAdmin {
   protected:
    /* Writes the databases of server C1 and the dial-plan files (null: no such file). */
    void configure(const std::string &extensions, const std::string &forwarding,
                   const char *external) {
        ProgramResult r = admin({"C1", "load", input("e.txt", extensions), input("f.txt", forwarding)});
        ASSERT_EQ(0, r.status) << r.err;
        remove_file(QUELMO_EXTERNAL_CONF);
        if (external != nullptr) write_file(QUELMO_EXTERNAL_CONF, external);
        write_file(QUELMO_INTERNAL_CONF, "exten => 206,1,Macro(stdexten,SIP/206,206)\n");
        write_file(QUELMO_SERVICE_DEFAULTS, "QUELMO_PORT=4573\nQUELMO_ALLOW_USERS=nobody\n");
    }
    std::vector<std::string> check(uid_t reader = getuid(), gid_t group = getgid()) {
        std::vector<std::string> findings;
        EXPECT_EQ(0, CheckServer({"C1", ext_file("C1"), fw_file("C1"), reader, group}, &findings));
        return findings;
    }
};

struct CheckCase {
    const char *name;
    std::string extensions, forwarding;
    const char *external;     /* external dial-plan file; null: missing */
    std::string start, end;   /* the one finding's start and end; "" for none */
};

TEST_F(QuelmoAdminCheck, EachKindOfFindingIsReportedOnce) {
    const std::string ext = QUELMO_EXTERNAL_CONF;
    const CheckCase cases[] = {
        {"clean", CLEAN_EXTENSIONS, CLEAN_FORWARDING, CLEAN_EXTERNAL, "", ""},
        {"pipe", CLEAN_EXTENSIONS, "205\t1\tDial\t${EXTEN:205}|20\n", CLEAN_EXTERNAL,
         "205: ring rule written with '|': a current Asterisk dials one device",
         "write ',' in place of '|', which only an Asterisk older than 1.6 takes"
         " (rule 1: Dial ${EXTEN:205}|20)"},
        {"malformed ring", CLEAN_EXTENSIONS, "205\t1\tWait\t1\n205\t2\tDial\t${EXTEN:205}\n",
         CLEAN_EXTERNAL, "205: the daemon skips this ring rule as malformed",
         "(rule 2: Dial ${EXTEN:205})"},
        {"malformed forward", CLEAN_EXTENSIONS, "205\t1\tDial\tLocal5559999@internal\n",
         CLEAN_EXTERNAL, "205: the daemon skips this forward rule as malformed",
         "(rule 1: Dial Local5559999@internal)"},
        {"no device", CLEAN_EXTENSIONS, "205\t1\tDial\t${EXTEN:207},20\n", CLEAN_EXTERNAL,
         "205: extension 207 has no device in " + ext, "(rule 1: Dial ${EXTEN:207},20)"},
        /* The one device line is 205's: "05,hint" inside it is no device of 05. */
        {"no device of a shorter extension", CLEAN_EXTENSIONS, "205\t1\tDial\t${EXTEN:05},20\n",
         CLEAN_EXTERNAL, "205: extension 05 has no device in " + ext,
         "(rule 1: Dial ${EXTEN:05},20)"},
        {"sip nosupport", CLEAN_EXTENSIONS, CLEAN_FORWARDING, "exten => 205,hint,SIP/NOSUPPORT/205\n",
         "205: the device of extension 205 is SIP/NOSUPPORT/205, which is never rung",
         "(rule 1: Dial ${EXTEN:205},20)"},
        {"pjsip nosupport", CLEAN_EXTENSIONS, CLEAN_FORWARDING,
         "exten => 205,hint,PJSIP/NOSUPPORT\n", "205: the device of extension 205 is ",
         "never rung, so this rule does nothing: give 205 a real device in the dial plan or"
         " remove the rule (rule 1: Dial ${EXTEN:205},20)"},
        {"missing dial-plan file", CLEAN_EXTENSIONS, "205\t1\tWait\t1\n", nullptr,
         ext + ": cannot be read (No such file or directory)", "create it, even empty"},
        {"no global record", "205\tAlice\t5551234\n", CLEAN_FORWARDING, CLEAN_EXTERNAL,
         "205: forward to the outside number 5559999 while there is no PBX-wide record",
         "(rule 2: Dial Local/5559999@internal)"},
    };
    for (const CheckCase &c : cases) {
        SCOPED_TRACE(c.name);
        configure(c.extensions, c.forwarding, c.external);
        std::vector<std::string> findings = check();
        if (c.start.empty()) {
            EXPECT_TRUE(findings.empty()) << findings[0];
            continue;
        }
        ASSERT_EQ(1u, findings.size()) << (findings.empty() ? "" : findings[0]);
        EXPECT_EQ(0u, findings[0].find(c.start)) << findings[0];
        EXPECT_EQ(findings[0].size() - c.end.size(), findings[0].rfind(c.end)) << findings[0];
    }
}

TEST_F(QuelmoAdminCheck, FileTheDaemonsUserCannotReadIsReported) {
    const uid_t other_user = 4242;
    const gid_t other_group = 4242;
    configure(CLEAN_EXTENSIONS, CLEAN_FORWARDING, CLEAN_EXTERNAL);
    if (!check(other_user, other_group).empty())
        GTEST_SKIP() << "the test tree is closed to uid 4242";
    ASSERT_EQ(0, chmod(QUELMO_EXTERNAL_CONF, 0640));
    ASSERT_EQ(0, chmod(fw_file("C1").c_str(), 0600));
    std::vector<std::string> findings = check(other_user, other_group);
    /* The daemon's one group reads what its group bits allow. */
    struct stat info;
    ASSERT_EQ(0, stat(QUELMO_EXTERNAL_CONF, &info));
    std::vector<std::string> as_file_group = check(other_user, info.st_gid);
    chmod(QUELMO_EXTERNAL_CONF, 0644);
    EXPECT_TRUE(check().empty()) << "the superuser reads every file";
    ASSERT_EQ(2u, findings.size());
    EXPECT_EQ(std::string(QUELMO_EXTERNAL_CONF) +
                  ": the daemon's user (uid 4242, gid 4242) cannot read it: its mode 0640 does"
                  " not let it read the file: give that user read (r) permission, for example"
                  " chmod o+r " + QUELMO_EXTERNAL_CONF,
              findings[0]);
    EXPECT_EQ(0u, findings[1].find(fw_file("C1") + ": the daemon's user (uid 4242, gid 4242)"))
        << findings[1];
    ASSERT_EQ(1u, as_file_group.size());
    EXPECT_EQ(0u, as_file_group[0].find(fw_file("C1"))) << as_file_group[0];
}

/* Items that no load writes: a caller-ID record without its second text, a rule too short
 * for its priority. */
TEST_F(QuelmoAdminCheck, MalformedStoredItemsAreReported) {
    configure(CLEAN_EXTENSIONS, CLEAN_FORWARDING, CLEAN_EXTERNAL);
    struct Raw {
        std::string path;
        int type;
        u_int32_t flags;
        std::string item;
    } raws[] = {{ext_file("C1"), DB_HASH, 0, std::string("Bob\0", 4)},
                {fw_file("C1"), DB_BTREE, DB_DUP, std::string("\x01\x00", 2)}};
    for (const Raw &raw : raws) {
        remove_file(raw.path);
        DB *dbp = nullptr;
        ASSERT_EQ(0, db_create_file(const_cast<char *>("C1"), &dbp, raw.type, raw.flags,
                                    raw.path.c_str(), "", nullptr));
        unsigned char key_bytes[4] = {205, 0, 0, 0};
        DBT key, data;
        memset(&key, 0, sizeof(key));
        memset(&data, 0, sizeof(data));
        key.data = key_bytes;
        key.size = 4;
        data.data = const_cast<char *>(raw.item.data());
        data.size = static_cast<u_int32_t>(raw.item.size());
        ASSERT_EQ(0, dbp->put(dbp, nullptr, &key, &data, 0));
        ASSERT_EQ(0, db_close(dbp, "", nullptr));
    }
    EXPECT_EQ((std::vector<std::string>{
                  "205: the stored caller-ID record is malformed, so calls go on as if there"
                  " were none: load the databases again from text with quelmo.admin load",
                  "205: 1 of 1 stored forwarding rules are malformed and every call skips them:"
                  " load the databases again from text with quelmo.admin load"}),
              check());
}

/* The service's users: a name that is no user stops it from starting; without asterisk or
 * a named user it would serve root alone. */
TEST_F(QuelmoAdminCheck, ServiceWithoutAsteriskUserIsReported) {
    if (getpwnam("asterisk") != nullptr) GTEST_SKIP() << "this machine has a user asterisk";
    if (getpwnam("nobody") == nullptr) GTEST_SKIP() << "this machine has no user nobody";
    configure(CLEAN_EXTENSIONS, CLEAN_FORWARDING, CLEAN_EXTERNAL);
    const std::string file = QUELMO_SERVICE_DEFAULTS;
    const std::string root_alone = file + ": there is no user asterisk and QUELMO_ALLOW_USERS"
                                          " names no other user, so quelmo.fast serves root alone";
    const struct {
        const char *settings;
        std::vector<std::string> starts;
    } cases[] = {
        {"QUELMO_ALLOW_USERS='nobody 65533'\n", {}},
        {"QUELMO_ALLOW_USERS=\n", {root_alone}},
        {"QUELMO_ALLOW_USERS=nobody\nQUELMO_ALLOW_USERS=\n", {root_alone}},
        {"QUELMO_ALLOW_USERS=root\n", {}}, /* Asterisk runs as root */
        {"QUELMO_ALLOW_USERS=\"nobody no-such-user-q\"\n",
         {file + ": QUELMO_ALLOW_USERS names no-such-user-q, which is no user here"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.settings);
        write_file(file, c.settings);
        std::vector<std::string> findings = check();
        ASSERT_EQ(c.starts.size(), findings.size()) << (findings.empty() ? "" : findings[0]);
        for (size_t i = 0; i < findings.size(); i++)
            EXPECT_EQ(0u, findings[i].find(c.starts[i])) << findings[i];
    }
}

TEST_F(QuelmoAdminCheck, ProgramPrintsFindingsAndCountAndExitsByThem) {
    configure(CLEAN_EXTENSIONS, CLEAN_FORWARDING, CLEAN_EXTERNAL);
    ProgramResult clean = admin({"C1", "check"});
    EXPECT_EQ(0, clean.status) << clean.err;
    EXPECT_EQ("no findings\n", clean.out);
    configure(CLEAN_EXTENSIONS, "205\t1\tDial\t${EXTEN:205}|20\n", CLEAN_EXTERNAL);
    ProgramResult found = admin({"C1", "check"});
    EXPECT_EQ(1, found.status) << found.err;
    std::vector<std::string> lines = split_lines(found.out);
    ASSERT_EQ(2u, lines.size()) << found.out;
    EXPECT_EQ(0u, lines[0].find("205: ring rule written with '|'"));
    EXPECT_EQ("1 finding", lines[1]);
}

}  // namespace
