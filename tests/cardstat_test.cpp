#include <errno.h>
#include <gtest/gtest.h>
#include <link.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "test_support.h"

using namespace quelmo_test;

namespace {

const char kUsage[] = "Usage: cardstat <dev> showerrors\n";
const char kStatsRequestLine[] = "request=0x401c4a3c mode=rdwr\n";

int find_asan_runtime(struct dl_phdr_info *info, size_t, void *data) {
    if (strstr(info->dlpi_name, "/libasan.so") == nullptr) return 0;
    *static_cast<std::string *>(data) = info->dlpi_name;
    return 1;
}

/* LD_PRELOAD for cardstat. In a sanitizer build the ASan runtime must be the first
 * library of the process, so the one this test was loaded with goes before the
 * stand-in driver. */
std::string preload_list() {
    std::string asan;
    dl_iterate_phdr(find_asan_runtime, &asan);
    return asan.empty() ? FAKE_CARD_DRIVER : asan + ":" + FAKE_CARD_DRIVER;
}

/* A regular file stands for the card's device node; the preloaded stand-in answers the
 * requests made on it and logs each one. */
class Cardstat : public ::testing::Test {
   protected:
    void SetUp() override {
        dir = scratch_dir();
        device = dir + "/card0";
        log = dir + "/driver.log";
        write_file(device, "");
    }

    ProgramResult run(const std::vector<std::string> &args, const std::string &counters = "0 0 0 0 0",
                      const std::string &fail_errno = "") {
        std::vector<std::string> argv = {CARDSTAT_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, {"LD_PRELOAD=" + preload_list(), "FAKE_CARD_DEVICE=" + device,
                               "FAKE_CARD_LOG=" + log, "FAKE_CARD_COUNTERS=" + counters,
                               "FAKE_CARD_ERRNO=" + fail_errno});
    }

    std::string driver_log() const { return read_file(log); }

    std::string dir;
    std::string device;
    std::string log;
};

std::string counter_lines(const char *misses, const char *irq, const char *schedules,
                          const char *run, const char *executed) {
    return std::string("Recorded misses: ") + misses + "\nIRQ execs: " + irq +
           "\nTasklet Schedules: " + schedules + "\nTasklets Run: " + run +
           "\nTasklets Executed: " + executed + "\n";
}

TEST_F(Cardstat, PrintsTheFiveCountersInOrder) {
    ProgramResult result = run({device, "showerrors"}, "11 22 33 44 55");
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(counter_lines("11", "22", "33", "44", "55"), result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(kStatsRequestLine, driver_log());
}

TEST_F(Cardstat, CountersWithTheTopBitSetPrintUnsigned) {
    ProgramResult result = run({device, "showerrors"}, "2147483648 4294967295 3000000000 2147483647 0");
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(counter_lines("2147483648", "4294967295", "3000000000", "2147483647", "0"), result.out);
}

TEST_F(Cardstat, KeywordInAnyCase) {
    for (const char *keyword : {"showerrors", "SHOWERRORS", "ShowErrors", "sHOWeRRORs"}) {
        remove_file(log);
        ProgramResult result = run({device, keyword}, "1 2 3 4 5");
        EXPECT_EQ(0, result.status) << keyword;
        EXPECT_EQ(counter_lines("1", "2", "3", "4", "5"), result.out) << keyword;
        EXPECT_EQ(kStatsRequestLine, driver_log()) << keyword;
    }
}

TEST_F(Cardstat, FurtherArgumentsChangeNothing) {
    ProgramResult plain = run({device, "showerrors"}, "7 8 9 10 11");
    std::string plain_log = driver_log();
    remove_file(log);
    ProgramResult extra = run({device, "showerrors", "bogus", "/nonexistent"}, "7 8 9 10 11");
    EXPECT_EQ(plain.status, extra.status);
    EXPECT_EQ(plain.out, extra.out);
    EXPECT_EQ(plain.err, extra.err);
    EXPECT_EQ(plain_log, driver_log());

    remove_file(log);
    ProgramResult wrong = run({device, "showerror", "showerrors"});
    EXPECT_EQ(1, wrong.status);
    EXPECT_EQ(kUsage, wrong.err);
    EXPECT_EQ("", driver_log());
}

TEST_F(Cardstat, WrongKeywordSendsNothingToTheDriver) {
    for (const char *keyword : {"showerror", "showerrorsx", "show errors", "", "stats"}) {
        ProgramResult result = run({device, keyword});
        EXPECT_EQ(1, result.status) << keyword;
        EXPECT_EQ("", result.out) << keyword;
        EXPECT_EQ(kUsage, result.err) << keyword;
        EXPECT_EQ("", driver_log()) << keyword;
    }
}

TEST_F(Cardstat, FailedRequestIsReported) {
    for (int error : {EIO, ENODEV, EFAULT}) {
        remove_file(log);
        ProgramResult result = run({device, "showerrors"}, "1 2 3 4 5", std::to_string(error));
        EXPECT_EQ(1, result.status) << error;
        EXPECT_EQ("", result.out) << error;
        EXPECT_EQ(std::string("IOCTL failed: ") + strerror(error) + "\n", result.err);
        EXPECT_EQ(kStatsRequestLine, driver_log()) << error;
    }
}

/* Without the stand-in a plain file refuses the request, as a node without the card's
 * driver would. */
TEST_F(Cardstat, FileWithoutTheDriverRefusesTheRequest) {
    ProgramResult result = run_program({CARDSTAT_PROGRAM, device, "showerrors"}, {});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ(std::string("IOCTL failed: ") + strerror(ENOTTY) + "\n", result.err);
}

TEST_F(Cardstat, DeviceThatCannotBeOpenedIsReportedBeforeTheKeyword) {
    std::string missing = dir + "/no-such-card";
    struct Case {
        std::string path;
        const char *keyword;
        int error;
    };
    for (const Case &c : {Case{missing, "showerrors", ENOENT}, Case{missing, "wrong", ENOENT},
                          Case{dir, "wrong", EISDIR}, Case{dir, "showerrors", EISDIR}}) {
        ProgramResult result = run({c.path, c.keyword});
        EXPECT_EQ(1, result.status) << c.path << " " << c.keyword;
        EXPECT_EQ("", result.out);
        EXPECT_EQ("Unable to open " + c.path + ": " + strerror(c.error) + "\n", result.err);
    }
    EXPECT_EQ("", driver_log());
}

TEST_F(Cardstat, FewerThanTwoArgumentsGiveUsage) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {device}, {dir + "/no-such-card"}, {"showerrors"}}) {
        ProgramResult result = run(args);
        EXPECT_EQ(1, result.status) << args.size();
        EXPECT_EQ("", result.out);
        EXPECT_EQ(kUsage, result.err);
    }
    EXPECT_EQ("", driver_log());
}

}  // namespace
