#include "cagi.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "asterisk_standin.h"
#include "quelmo-paths.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

/* Runs AGITool_Init with the process's standard input reading 'environment' from a
 * socket, as the dispatcher arranges it, and restores the standard streams after. */
class CagiSession : public ::testing::Test {
   protected:
    void start_session(const std::string &environment, bool close_after = false) {
        SocketPair pair = make_socket_pair();
        if (close_after) {
            ASSERT_EQ(static_cast<ssize_t>(environment.size()),
                      write(pair.pbx, environment.data(), environment.size()));
            close(pair.pbx);
        } else {
            pbx_ = std::make_unique<AsteriskStandIn>(pair.pbx);
            pbx_->send(environment).start();
        }
        saved_stdin_ = stdin;
        stdin = fdopen(pair.server, "r");
        ASSERT_NE(nullptr, stdin);
        EXPECT_EQ(0, AGITool_Init(&tool_));
    }
    void TearDown() override {
        if (saved_stdin_ != nullptr) {
            fclose(stdin);
            stdin = saved_stdin_;
        }
        AGITool_Destroy(&tool_);
    }
    char *env(const char *name) { return AGITool_ListGetVal(tool_.agi_vars, const_cast<char *>(name)); }
    int pairs() {
        int n = 0;
        for (AGI_VAL_LIST *l = tool_.agi_vars; l != nullptr; l = l->next) n++;
        return n;
    }
    AGI_TOOLS tool_{};
    FILE *saved_stdin_ = nullptr;
    std::unique_ptr<AsteriskStandIn> pbx_;
};

TEST_F(CagiSession, EnvironmentIsKeptNewestFirst) {
    start_session("agi_context: macro-stdexten\nagi_dnid: 205\n\n");
    ASSERT_EQ(2, pairs());
    EXPECT_STREQ("agi_dnid", tool_.agi_vars->field);
    EXPECT_STREQ("205", env("agi_dnid"));
    EXPECT_STREQ("macro-stdexten", env("agi_context"));
    EXPECT_STREQ("", env("agi_callerid"));
    EXPECT_EQ(stdin, tool_.in);
    EXPECT_EQ(stdout, tool_.out);
}

TEST_F(CagiSession, ReadingStopsAtTheEmptyLine) {
    start_session("agi_a: 1\n\nagi_b: 2\n");
    EXPECT_EQ(1, pairs());
    EXPECT_STREQ("", env("agi_b"));
}

TEST_F(CagiSession, ParsingRulesOfEnvironmentLines) {
    start_session(
        "agi_request: agi://127.0.0.1:4573/x\n"  /* colons in the value are kept */
        "agi_twice: first\n"
        "agi_twice: second\n"                    /* the later pair wins */
        "agi_empty: \n"
        "agi_bare:\n"
        "no colon on this line\n"
        "agi_trail: value  \r\n"                 /* trailing blanks and CR go */
        "agi_lead:   three\n"                    /* one character passed over */
        "agi_tab:\tvalue\n"                      /* ... whatever it is */
        "agi_cut: " + std::string(60, 'v') + "\n" +
        std::string(60, 'n') + ": long name\n"
        "\n");
    EXPECT_STREQ("agi://127.0.0.1:4573/x", env("agi_request"));
    EXPECT_STREQ("second", env("agi_twice"));
    EXPECT_STREQ("", env("agi_empty"));
    EXPECT_STREQ("", env("agi_bare"));
    EXPECT_STREQ("value", env("agi_trail"));
    EXPECT_STREQ("  three", env("agi_lead"));
    EXPECT_STREQ("value", env("agi_tab"));
    EXPECT_EQ(std::string(49, 'v'), env("agi_cut"));
    EXPECT_STREQ("long name", env(std::string(49, 'n').c_str()));
    EXPECT_STREQ("", env(std::string(60, 'n').c_str()));
    EXPECT_EQ(10, pairs());
}

TEST_F(CagiSession, EndOfStreamWithoutEmptyLineStillGivesSettings) {
    start_session("agi_context: default\nagi_partial: no line break", true);
    EXPECT_STREQ("default", env("agi_context"));
    EXPECT_STREQ("no line break", env("agi_partial"));
    EXPECT_STREQ(QUELMO_DEFAULT_TMPDIR, AGITool_ListGetVal(tool_.settings, const_cast<char *>("tmpdir")));
}

TEST_F(CagiSession, DefaultSettingsInReverseOrderOfAdding) {
    start_session("\n");
    ASSERT_NE(nullptr, tool_.settings);
    EXPECT_STREQ("cepstral_swift", tool_.settings->field);
    EXPECT_STREQ("swift", tool_.settings->value);
    EXPECT_STREQ("text2wave", AGITool_ListGetVal(tool_.settings, const_cast<char *>("festival_text2wave")));
    EXPECT_STREQ(QUELMO_DEFAULT_TMPDIR, AGITool_ListGetVal(tool_.settings, const_cast<char *>("tmpdir")));
    EXPECT_EQ(nullptr, tool_.agi_vars);
}

TEST_F(CagiSession, OverlongLineArrivesInPiecesEachAPairOfItsOwn) {
    /* 1023 characters reach the first read; the rest is a line of its own. */
    std::string first = "agi_long: " + std::string(1013, 'x');
    start_session(first + "tail_name: tail\n\n");
    EXPECT_EQ(std::string(49, 'x'), env("agi_long"));
    EXPECT_STREQ("tail", env("tail_name"));
}

TEST(CagiList, AddFindAndCut) {
    AGI_VAL_LIST *l = nullptr;
    l = AGITool_ListAddItem(l, const_cast<char *>("tmpdir"), const_cast<char *>("/tmp/"));
    l = AGITool_ListAddItem(l, const_cast<char *>("tmpdir"), const_cast<char *>("/var/tmp/"));
    ASSERT_NE(nullptr, l);
    EXPECT_STREQ("/var/tmp/", AGITool_ListGetVal(l, const_cast<char *>("tmpdir")));
    EXPECT_STREQ("/tmp/", AGITool_ListGetVal(l->next, const_cast<char *>("tmpdir")));
    EXPECT_STREQ("", AGITool_ListGetVal(l, const_cast<char *>("TMPDIR")));
    EXPECT_STREQ("", AGITool_ListGetVal(nullptr, const_cast<char *>("tmpdir")));
    AGITool_ListDestroy(l);
    AGITool_ListDestroy(nullptr);
}

TEST(CagiList, DumpWritesVerboseLines) {
    AGI_VAL_LIST *l = AGITool_ListAddItem(nullptr, const_cast<char *>("a"), const_cast<char *>("1"));
    l = AGITool_ListAddItem(l, const_cast<char *>("b"), const_cast<char *>("2"));
    testing::internal::CaptureStdout();
    AGITool_ListDump(l);
    EXPECT_EQ("VERBOSE \"AGI Dump\"\nVERBOSE \"b : 2\"\nVERBOSE \"a : 1\"\n",
              testing::internal::GetCapturedStdout());
    AGITool_ListDestroy(l);
}

TEST(CagiText, StrimRemovesTrailingWhiteSpace) {
    char blanks[] = "   \t\r\n\v\f";
    EXPECT_EQ(-1, strim(blanks));
    EXPECT_STREQ("", blanks);
    char letters[] = "ab  ";
    EXPECT_EQ(1, strim(letters));
    EXPECT_STREQ("ab", letters);
    char empty[] = "";
    EXPECT_EQ(-1, strim(empty));
    char inner[] = " a b ";
    EXPECT_EQ(3, strim(inner));
    EXPECT_STREQ(" a b", inner);
    EXPECT_EQ(0, strim(nullptr));
}

TEST(CagiText, FileExistsFollowsLinks) {
    std::string dir = scratch_dir();
    std::string file = dir + "/present", link = dir + "/dangling";
    write_file(file, "x");
    ASSERT_EQ(0, symlink((dir + "/absent").c_str(), link.c_str()));
    EXPECT_EQ(1, FileExists(&file[0]));
    EXPECT_EQ(0, FileExists(&link[0]));
    EXPECT_EQ(1, FileExists(&dir[0]));
}

}  // namespace
