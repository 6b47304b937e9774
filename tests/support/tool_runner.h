/* tool_runner: runs one of the stand-alone tools (tonemill, cardstat) as a child with
 * extra environment variables and, if asked, its standard output on a given file, and
 * collects its exit status and both output streams. Header-only; used by their tests. */
#ifndef QUELMO_TOOL_RUNNER_H
#define QUELMO_TOOL_RUNNER_H

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "quelmo-paths.h"
#include "test_support.h"

namespace quelmo_test {

/* The environment of this process with each "NAME=value" of overrides put in place of
 * NAME's current value (or added). */
inline std::vector<std::string> merged_environment(const std::vector<std::string> &overrides) {
    std::vector<std::string> merged;
    for (char **entry = environ; *entry != nullptr; entry++) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const std::string &o : overrides) replaced |= o.substr(0, o.find('=')) == name;
        if (!replaced) merged.push_back(text);
    }
    merged.insert(merged.end(), overrides.begin(), overrides.end());
    return merged;
}

inline std::vector<char *> c_strings(const std::vector<std::string> &texts) {
    std::vector<char *> pointers;
    for (const std::string &t : texts) pointers.push_back(const_cast<char *>(t.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

/* Runs argv[0] with standard input on /dev/null. Standard output goes to stdout_path when
 * given (then ProgramResult.out stays empty), else it is collected. status is the exit
 * status, 128 + the signal number, or 127 when the program could not be started. */
inline ProgramResult run_tool(const std::vector<std::string> &argv,
                              const std::vector<std::string> &env_overrides,
                              const std::string &stdout_path = "") {
    static int runs = 0;
    std::string dir = std::string(QUELMO_ROOT) + "/scratch";
    make_dirs(dir);
    std::string stem = dir + "/run_tool." + std::to_string(getpid()) + "." + std::to_string(runs++);
    std::string out_path = stdout_path.empty() ? stem + ".out" : stdout_path;
    std::string err_path = stem + ".err";
    std::vector<std::string> env = merged_environment(env_overrides);
    std::vector<char *> args = c_strings(argv);
    std::vector<char *> envp = c_strings(env);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ProgramResult result{127, "", ""};
    if (pid > 0) result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (stdout_path.empty()) {
        result.out = read_file(out_path);
        unlink(out_path.c_str());
    }
    result.err = read_file(err_path);
    unlink(err_path.c_str());
    return result;
}

}  // namespace quelmo_test

#endif
