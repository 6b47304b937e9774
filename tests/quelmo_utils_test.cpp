#include "quelmo-utils.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "quelmo-paths.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

class QuelmoUtils : public ::testing::Test {
   protected:
    void SetUp() override {
        quelmo_init();
        reset_debug_log();
    }
    std::vector<std::string> raw_lines() { return split_lines(read_file(QUELMO_DEBUG_LOG)); }
};

/* Whether a new thread's "other thread logs" reaches the log within five seconds; a
 * thread still blocked then is left behind. */
bool another_thread_logs() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread other([done] {
        quelmo_debug(const_cast<char *>("other thread logs"));
        *done = true;
    });
    for (int i = 0; i < 500 && !*done; i++) usleep(10000);
    if (!*done) {
        other.detach();
        return false;
    }
    other.join();
    return true;
}

TEST_F(QuelmoUtils, LineCarriesTimePidThreadAndMessage) {
    time_t before = time(nullptr);
    quelmo_debug(const_cast<char *>("hello: world [x]"));
    std::vector<std::string> lines = raw_lines();
    ASSERT_EQ(1u, lines.size());
    std::smatch m;
    std::regex form(R"(^([A-Z][a-z]{2}) (\d\d) (\d\d):(\d\d):(\d\d) \[(\d+)\] \[([0-9a-f]+)\]: (.*)$)");
    ASSERT_TRUE(std::regex_match(lines[0], m, form)) << lines[0];
    struct tm local;
    localtime_r(&before, &local);
    char expected_day[8];
    strftime(expected_day, sizeof(expected_day), "%b %d", &local);
    EXPECT_EQ(std::string(expected_day), m[1].str() + " " + m[2].str());
    EXPECT_EQ(std::to_string(getpid()), m[6].str());
    char thread_hex[32];
    snprintf(thread_hex, sizeof(thread_hex), "%lx", static_cast<unsigned long>(pthread_self()));
    EXPECT_EQ(thread_hex, m[7].str());
    EXPECT_EQ("hello: world [x]", m[8].str());
}

TEST_F(QuelmoUtils, MessageEndingInLineBreakLeavesEmptyLine) {
    quelmo_debug(const_cast<char *>("first\n"));
    quelmo_debug(const_cast<char *>("second"));
    std::vector<std::string> messages = debug_messages();
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ("first", messages[0]);
    EXPECT_EQ("", messages[1]);
    EXPECT_EQ("second", messages[2]);
}

TEST_F(QuelmoUtils, DeletedLogIsCreatedAnewWithOnlyLaterLines) {
    quelmo_debug(const_cast<char *>("before"));
    remove_file(QUELMO_DEBUG_LOG);
    quelmo_debug(const_cast<char *>("after"));
    EXPECT_EQ(std::vector<std::string>{"after"}, debug_messages());
}

TEST_F(QuelmoUtils, MissingLogDirectoryDropsMessageAndNextIsStillTried) {
    std::string log = QUELMO_DEBUG_LOG;
    std::string dir = log.substr(0, log.rfind('/'));
    std::string moved = dir + ".away";
    ASSERT_EQ(0, rename(dir.c_str(), moved.c_str()));
    quelmo_debug(const_cast<char *>("lost"));
    ASSERT_EQ(0, rename(moved.c_str(), dir.c_str()));
    quelmo_debug(const_cast<char *>("kept"));
    EXPECT_EQ(std::vector<std::string>{"kept"}, debug_messages());
}

TEST_F(QuelmoUtils, LinesOfManyThreadsNeverInterleave) {
    const int kThreads = 16, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            std::string text = "thread " + std::to_string(t) + " " + std::string(300, 'a' + t);
            for (int i = 0; i < kLines; i++) quelmo_debug(&text[0]);
        });
    }
    for (auto &thread : threads) thread.join();
    std::vector<std::string> messages = debug_messages();
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), messages.size());
    std::regex whole(R"(thread (\d+) ([a-z])\2{299})");
    for (const std::string &m : messages) ASSERT_TRUE(std::regex_match(m, whole)) << m;
}

TEST_F(QuelmoUtils, LockFileWithBadValueLogsOnceAndLeavesMutexAlone) {
    EXPECT_EQ(1, quelmo_lock_file(2));
    EXPECT_EQ(std::vector<std::string>{"quelmo_lock_file should never get here."},
              debug_messages());
    /* The mutex is free: a lock and an unlock succeed at once. */
    EXPECT_EQ(0, quelmo_lock_file(1));
    EXPECT_EQ(0, quelmo_lock_file(0));
}

TEST_F(QuelmoUtils, DebugfFormatsExactlyAndTakesTextsAsArguments) {
    quelmo_debugf("Return Status = %d (%s)", -2, "%s%n");
    EXPECT_EQ(std::vector<std::string>{"Return Status = -2 (%s%n)"}, debug_messages());
}

TEST_F(QuelmoUtils, SigpipeIsLoggedAndTheThreadGoesOn) {
    signal(SIGPIPE, sig_pipe);
    raise(SIGPIPE);
    quelmo_debug(const_cast<char *>("still here"));
    std::vector<std::string> messages = debug_messages();
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ("Caught SIGPIPE", messages[0]);
    EXPECT_EQ("", messages[1]);
    EXPECT_EQ("still here", messages[2]);
    signal(SIGPIPE, SIG_DFL);
}

TEST_F(QuelmoUtils, SigsegvEndsOnlyTheFaultingThread) {
    signal(SIGSEGV, sig_segfault);
    std::atomic<bool> after_fault{false};
    std::thread faulting([&after_fault] {
        pthread_kill(pthread_self(), SIGSEGV);
        after_fault = true;
    });
    faulting.join();
    EXPECT_FALSE(after_fault);
    quelmo_debug(const_cast<char *>("main goes on"));
    std::vector<std::string> messages = debug_messages();
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ("Caught SIGSEGV", messages[0]);
    EXPECT_EQ("", messages[1]);
    EXPECT_EQ("main goes on", messages[2]);
    /* The handler's entry carries the same time form as an ordinary line. */
    std::regex form(R"(^[A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \[\d+\] \[[0-9a-f]+\]: Caught SIGSEGV$)");
    EXPECT_TRUE(std::regex_match(split_lines(read_file(QUELMO_DEBUG_LOG))[0], form));
    signal(SIGSEGV, SIG_DFL);
}

TEST_F(QuelmoUtils, SigsegvWhileHoldingTheLogMutexReleasesIt) {
    signal(SIGSEGV, sig_segfault);
    std::thread faulting([] {
        quelmo_lock_file(1);
        pthread_kill(pthread_self(), SIGSEGV);
    });
    faulting.join();
    ASSERT_TRUE(another_thread_logs()) << "the log mutex stayed locked after the fault";
    EXPECT_EQ(std::vector<std::string>{"other thread logs"}, debug_messages());
    signal(SIGSEGV, SIG_DFL);
}

TEST_F(QuelmoUtils, FaultInsideTheWriterLeavesOtherThreadsLogging) {
    signal(SIGSEGV, sig_segfault);
    /* The fault comes while the thread holds the mutex, the log file and its file lock. */
    std::thread faulting([] { quelmo_debug(reinterpret_cast<char *>(1)); });
    faulting.join();
    ASSERT_TRUE(another_thread_logs()) << "logging stayed blocked after a fault inside the writer";
    std::vector<std::string> messages = debug_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ("other thread logs", messages.back());
    signal(SIGSEGV, SIG_DFL);
}

}  // namespace
