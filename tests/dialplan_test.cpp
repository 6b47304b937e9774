#include "dialplan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "quelmo-utils.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

const char kNone[] = "(none)";

/* One lookup: the file's content and the device text it must give. */
struct LookupCase {
    const char *extension;
    std::string content;
    const char *device; /* kNone: nothing found */
};

class Dialplan : public ::testing::Test {
   protected:
    void SetUp() override {
        quelmo_init();
        signal(SIGPIPE, SIG_IGN); /* a lock holder may be gone when told to release */
        reset_debug_log();
        path_ = scratch_dir() + "/external.conf";
    }
    /* Looks extension up in path_; returns the result and the device text or kNone. */
    int lookup(const std::string &extension, std::string *device) {
        char *devname = reinterpret_cast<char *>(&sentinel_); /* must be reset to null */
        int result = GetDEVfromConf(const_cast<char *>(extension.c_str()),
                                    const_cast<char *>(path_.c_str()), &devname);
        *device = devname != nullptr ? devname : kNone;
        free(devname);
        return result;
    }
    /* Writes the case's file and checks the lookup's device text and result. */
    void expect_lookup(const LookupCase &c) {
        write_file(path_, c.content);
        std::string device;
        int result = lookup(c.extension, &device);
        EXPECT_EQ(c.device, device) << c.extension << " in: " << c.content;
        EXPECT_EQ(c.device == kNone ? 0 : 1, result) << c.content;
    }
    std::string path_;
    int sentinel_ = 0;
};

TEST_F(Dialplan, KeyAndMarkerRules) {
    const LookupCase cases[] = {
        {"205", "exten => 205,1,Macro(stdexten,SIP/205,205)\n", "SIP/205"},
        {"205", "exten => 205,1,Macro(stdexten,SIP/205&Zap/3,205)\n", "SIP/205&Zap/3"},
        /* Current PBXes: a marker inside a longer technology name gives the whole name;
         * Gosub lines end the device text at a ',' or a ')'. */
        {"205", "exten => 205,hint,PJSIP/205\n", "PJSIP/205"},
        {"205", "exten => 205,1,Gosub(macro-stdexten,s,1(PJSIP/205))\n", "PJSIP/205"},
        {"205", "exten => 205,1,Gosub(macro-stdexten,s,1(PJSIP/205&DAHDI/1,205))\n",
         "PJSIP/205&DAHDI/1"},
        {"206", "exten => 206,hint,DAHDI/2\n", "DAHDI/2"},
        {"207", "exten => 207,1,Gosub(macro-stdexten,s,1(IAX2/gw/207))\n", "IAX2/gw/207"},
        /* CRLF line ends: the carriage return in front of the line feed is not kept. */
        {"205", "exten => 205,hint,PJSIP/205\r\n", "PJSIP/205"},
        {"205", "exten => 205,hint,SIP/2\r05\r\n", "SIP/2\r05"},
        /* "SIP" is searched first, wherever "Zap" stands. */
        {"205", "exten => 205,1,Macro(stdexten,Zap/3&SIP/205,205)\n", "SIP/205"},
        {"206", "exten => 206,1,Macro(stdexten,Zap/3,206)\n", "Zap/3"},
        {"207", "exten => 207,hint,/dev/null\n", "/dev/null"},
        {"205", "exten => 205,hint,SIP/205\n", "SIP/205"},
        {"205", "exten => 205,hint,SIP/205,x\n", "SIP/205,x"},
        {"205", "exten => 205,hint,SIP/205", "SIP/205"},
        {"205", "exten => 205,1,Macro SIP/205\n", "SIP/205"},
        /* A Macro line without a marker yields nothing; a later line still can. */
        {"205", "exten => 205,1,Macro(voicemail,205)\n", kNone},
        {"205", "exten => 205,1,Macro(voicemail,205)\nexten => 205,hint,SIP/205\n", "SIP/205"},
        /* On a line holding both keys the Macro key alone decides. */
        {"205", "exten => 205,1,Macro(stdexten,SIP/205,205) ; 205,hint,Zap/1\n", "SIP/205"},
        {"205", "; 205,hint,SIP/9 ; exten => 205,1,Macro(voicemail,205)\n", kNone},
        /* Across lines the first one in the file wins, whichever key it holds. */
        {"205", "exten => 205,hint,SIP/h205\nexten => 205,1,Macro(stdexten,SIP/205,205)\n",
         "SIP/h205"},
        /* Only text after the key counts. */
        {"205", "; SIP phone 205,hint\n", kNone},
        {"205", "; SIP 205,1,Macro(voicemail)\n", kNone},
        /* Comment lines are read like any other. */
        {"205", "; 205,hint,SIP/205\n", "SIP/205"},
        /* Keys and markers are case-sensitive. */
        {"205", "exten => 205,hint,sip/205\n", kNone},
        {"205", "exten => 205,1,macro(stdexten,SIP/205,205)\n", kNone},
        {"205", "", kNone},
        {"205", "exten => 206,hint,SIP/206\n", kNone},
    };
    for (const LookupCase &c : cases) expect_lookup(c);
}

/* A key counts only where a whole extension starts: never inside a longer one, whose line
 * stands first here each time. */
TEST_F(Dialplan, KeyCountsOnlyAtTheStartOfAWholeExtension) {
    const LookupCase cases[] = {
        {"205",
         "exten => 1205,1,Macro(stdexten,SIP/1205,1205)\n"
         "exten => 205,1,Macro(stdexten,SIP/205,205)\n",
         "SIP/205"},
        {"10",
         "exten => 210,1,Gosub(macro-stdexten,s,1(PJSIP/210))\n"
         "exten => 10,1,Gosub(macro-stdexten,s,1(PJSIP/10))\n",
         "PJSIP/10"},
        {"10", "exten => 210,hint,PJSIP/210\nexten => 10,hint,PJSIP/10\n", "PJSIP/10"},
        {"05", "exten => 205,1,Macro(stdexten,SIP/205,205)\n", kNone},
        /* Pattern and dialling characters belong to the extension too. */
        {"10", "exten => _10,hint,SIP/9\nexten => *10,hint,SIP/8\n", kNone},
        /* At the start of a line, and after "=>" with and without a blank. */
        {"10", "10,hint,PJSIP/10\n", "PJSIP/10"},
        {"10", "exten => 10,hint,PJSIP/10\n", "PJSIP/10"},
        {"10", "exten=>10,hint,PJSIP/10\n", "PJSIP/10"},
        /* A whole key later in the same line still counts. */
        {"10", "exten => 210,hint,PJSIP/210 ; 10,hint,PJSIP/10\n", "PJSIP/10"},
    };
    for (const LookupCase &c : cases) expect_lookup(c);
}

TEST_F(Dialplan, LongLineIsExaminedInPiecesOf1023) {
    std::string device;
    /* The key straddles the first piece's end, so neither piece holds it. */
    write_file(path_, std::string(1018, ' ') + "205,hint,SIP/205\n");
    EXPECT_EQ(0, lookup("205", &device));
    /* The device text ends where its piece ends. */
    write_file(path_, std::string(1000, ' ') + "205,hint,SIP/" + std::string(50, 'A') + "\n");
    EXPECT_EQ(1, lookup("205", &device));
    EXPECT_EQ("SIP/" + std::string(10, 'A'), device);
    /* The rest of a long line is a piece of its own and can hold a key. */
    write_file(path_, std::string(1023, ' ') + "205,hint,SIP/205\n");
    EXPECT_EQ(1, lookup("205", &device));
    EXPECT_EQ("SIP/205", device);
}

TEST_F(Dialplan, LogsEntryAndExit) {
    write_file(path_, "exten => 205,hint,SIP/205\n");
    std::string device;
    lookup("205", &device);
    lookup("206", &device);
    EXPECT_EQ((std::vector<std::string>{
                  "Enter GetDEVfromConf (ext = 205,conf = " + path_ + ")",
                  "Exit GetDEVfromConf (ext = 205,conf = " + path_ + ") = SIP/205",
                  "Enter GetDEVfromConf (ext = 206,conf = " + path_ + ")",
                  "Exit GetDEVfromConf (ext = 206,conf = " + path_ + ") = NOT FOUND",
              }),
              debug_messages());
}

TEST_F(Dialplan, MissingFileGivesNothingAndNoExitLine) {
    std::string device;
    EXPECT_EQ(0, lookup("205", &device));
    EXPECT_EQ(kNone, device);
    /* The failure text carries its own line break, which leaves an empty log line. */
    EXPECT_EQ((std::vector<std::string>{
                  "Enter GetDEVfromConf (ext = 205,conf = " + path_ + ")",
                  "Cannot open " + path_ + ": No such file or directory",
                  "",
              }),
              debug_messages());
}

/* A child process that holds a flock of kind 'operation' on a file. It reports 'L' on
 * its pipe once it holds the lock, and 'U' just before it releases it, which it does when
 * told (a byte on its command pipe) or after hold_ms at most. */
class LockHolder {
   public:
    LockHolder(const std::string &path, int operation, int hold_ms) {
        if (pipe(report_) != 0 || pipe(command_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) run_child(path, operation, hold_ms);
        close(report_[1]);
        close(command_[0]);
    }
    ~LockHolder() {
        release();
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        close(report_[0]);
        close(command_[1]);
    }
    bool wait_locked() { return read_report(10000) == 'L'; }
    /* The child's report if one is waiting, without blocking; 0 when none. */
    char report_now() { return read_report(0); }
    void release() {
        char go = 'g';
        if (write(command_[1], &go, 1) != 1) return;
    }

   private:
    [[noreturn]] void run_child(const std::string &path, int operation, int hold_ms) {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0 || flock(fd, operation) != 0) _exit(1);
        char mark = 'L';
        if (write(report_[1], &mark, 1) != 1) _exit(1);
        struct pollfd told = {command_[0], POLLIN, 0};
        poll(&told, 1, hold_ms);
        mark = 'U';
        if (write(report_[1], &mark, 1) != 1) _exit(1);
        flock(fd, LOCK_UN);
        _exit(0);
    }
    char read_report(int timeout_ms) {
        struct pollfd ready = {report_[0], POLLIN, 0};
        char mark = 0;
        if (poll(&ready, 1, timeout_ms) == 1 && read(report_[0], &mark, 1) == 1) return mark;
        return 0;
    }
    int report_[2] = {-1, -1};
    int command_[2] = {-1, -1};
    pid_t pid_ = -1;
};

TEST_F(Dialplan, WaitsWhileAnotherProcessHoldsExclusiveLock) {
    write_file(path_, "exten => 205,hint,SIP/205\n");
    LockHolder holder(path_, LOCK_EX, 300);
    ASSERT_TRUE(holder.wait_locked());
    std::string device;
    EXPECT_EQ(1, lookup("205", &device));
    EXPECT_EQ("SIP/205", device);
    /* The lookup came back only after the holder had started to release its lock. */
    EXPECT_EQ('U', holder.report_now());
}

TEST_F(Dialplan, ReadsBesideAnotherProcessSharedLock) {
    write_file(path_, "exten => 205,hint,SIP/205\n");
    LockHolder holder(path_, LOCK_SH, 10000);
    ASSERT_TRUE(holder.wait_locked());
    std::string device;
    EXPECT_EQ(1, lookup("205", &device));
    EXPECT_EQ("SIP/205", device);
    /* The other reader still holds its lock: the lookup did not wait for it. */
    EXPECT_EQ(0, holder.report_now());
    holder.release();
}

TEST(DialplanNumbers, ExternalClass) {
    struct Case {
        const char *number;
        int external;
    } cases[] = {
        {"555-123", 1}, {"1-800-555-12-12", 1}, {"5-55-12", 1}, {"abcdefg", 1},
        {"911", 1},     {"411", 1},             {"611", 1},     {"90", 1},
        {"205-16", 0},  {"9", 0},               {"0", 0},       {"205", 0},
        {"9110", 0},    {"0911", 0},            {"911 ", 0},    {"", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.external, IsExternalNumber(const_cast<char *>(c.number))) << c.number;
    EXPECT_EQ(0, IsExternalNumber(nullptr));
}

}  // namespace
