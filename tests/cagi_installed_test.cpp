/* The AGI library as other people's programs get it: installed with "cmake --install"
 * into a scratch root, a C program built against that root alone with cc and pkg-config,
 * and run as an AGI program against the PBX stand-in. */
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "asterisk_standin.h"
#include "quelmo-paths.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

/* Installs the library's component below root/ as DESTDIR, the way a package is staged.
 * Returns what cmake printed when it failed, "" on success. */
std::string install_library(const std::string &root) {
    ProgramResult install = run_program(
        {QUELMO_CMAKE_COMMAND, "--install", QUELMO_BUILD_DIR, "--component", "agi_dev"},
        {"DESTDIR=" + root});
    return install.status == 0 ? "" : install.out + install.err;
}

/* Builds the C program with the build line the README gives, pkg-config looking into
 * root only. The library's own link flags (a sanitizer's runtime) are added. */
ProgramResult build_program(const std::string &root, const std::string &program) {
    return run_program(
        {"/bin/sh", "-c",
         "flags=$(pkg-config --cflags --libs quelmo-agi) && "
         "cc -std=c99 -pedantic -Wall -Wextra -Werror -o \"$1\" \"$2\" $flags $3",
         "sh", program, QUELMO_AGI_PROGRAM_SOURCE, QUELMO_LINK_FLAGS},
        {"PKG_CONFIG_LIBDIR=" + root + QUELMO_PKGCONFIG_DIR, "PKG_CONFIG_PATH=",
         "PKG_CONFIG_SYSROOT_DIR=" + root, "PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1",
         "PKG_CONFIG_ALLOW_SYSTEM_LIBS=1"});
}

/* Runs program with fd as its standard input and output, as Asterisk runs an AGI
 * program; returns its exit status (128 + signal number after a signal). */
int run_as_agi_program(const std::string &program, const std::string &report, int fd) {
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        execl(program.c_str(), program.c_str(), report.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fd);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(CagiInstalled, CProgramBuiltFromInstalledFilesRunsAgi) {
    std::string dir = scratch_dir();
    std::string root = dir + "/root";
    ASSERT_EQ("", install_library(root));
    std::string program = dir + "/agi-program";
    ProgramResult build = build_program(root, program);
    ASSERT_EQ(0, build.status) << build.out << build.err;

    SocketPair pair = make_socket_pair();
    AsteriskStandIn pbx(pair.pbx);
    pbx.environment(asterisk_environment("from-internal", "206", "\"Ann\" <201>"))
        .expect("ANSWER", "200 result=0")
        .expect("GET VARIABLE FOO", "HANGUP\n200 result=1 (bar baz)")
        .expect("EXEC Dial SIP/205@pbx,30,L(600000:80000:20000)", "200 result=0")
        .expect("SAY DIGITS 123 \"#\"",
                "520-Invalid command syntax.  Proper usage follows:\n"
                "Usage: SAY DIGITS <number> <escape digits>\n"
                "520 End of proper usage.")
        .start();
    std::string report = dir + "/report";
    EXPECT_EQ(0, run_as_agi_program(program, report, pair.server));
    EXPECT_TRUE(pbx.wait_closed());
    EXPECT_EQ("", pbx.mismatch()) << pbx.transcript();
    EXPECT_TRUE(pbx.script_done()) << pbx.transcript();
    /* The installed library has the daemon's defaults compiled in. */
    EXPECT_EQ(std::string("extension 206\n"
                          "tmpdir ") + QUELMO_DEFAULT_TMPDIR + "\n"
                          "answer 0 200 0 ()\n"
                          "get_variable2 1 200 1 (bar baz)\n"
                          "value bar baz\n"
                          "exec_dial 0 200 0 ()\n"
                          "say_digits -1 520 -1 (Invalid command syntax.  Proper usage follows:)\n",
              read_file(report));
}

}  // namespace
