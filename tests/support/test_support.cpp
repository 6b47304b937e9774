#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "quelmo-paths.h"

namespace quelmo_test {

SocketPair make_socket_pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error(std::string("socketpair: ") + strerror(errno));
    return {fds[0], fds[1]};
}

/* Whether descriptor fd of this process reaches one of the two logs (under any name a
 * rotation gave it, or deleted). */
static bool fd_reaches_a_log(const std::string &fd) {
    char target[4096];
    ssize_t length = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof(target) - 1);
    if (length < 0) return false;
    std::string path(target, static_cast<size_t>(length));
    return path.rfind(QUELMO_DEBUG_LOG, 0) == 0 || path.rfind(QUELMO_DB_ERROR_LOG, 0) == 0;
}

int count_open_fds() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && !fd_reaches_a_log(entry->d_name)) count++;
    }
    closedir(dir);
    return count - 1; /* the directory's own descriptor */
}

bool fd_is_open(int fd) {
    return (fcntl(fd, F_GETFD) != -1 || errno != EBADF) && !fd_reaches_a_log(std::to_string(fd));
}

void make_dirs(const std::string &path) {
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    if (!path.empty() && path[0] == '/') partial = "/";
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        partial += part + "/";
        mkdir(partial.c_str(), 0777);
    }
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::string dir = path.substr(0, path.rfind('/'));
    make_dirs(dir);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void remove_file(const std::string &path) { unlink(path.c_str()); }

void reset_debug_log() {
    std::string log = QUELMO_DEBUG_LOG;
    make_dirs(log.substr(0, log.rfind('/')));
    unlink(log.c_str());
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> debug_messages() {
    std::vector<std::string> messages;
    for (const std::string &line : split_lines(read_file(QUELMO_DEBUG_LOG))) {
        size_t mark = line.find("]: ");
        messages.push_back(mark == std::string::npos ? line : line.substr(mark + 3));
    }
    return messages;
}

std::string scratch_dir() {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr
                           ? std::string(info->test_suite_name()) + "." + info->name()
                           : std::string("scratch");
    std::string dir = std::string(QUELMO_ROOT) + "/scratch/" + name;
    std::string command = "rm -rf '" + dir + "'";
    if (system(command.c_str()) != 0) throw std::runtime_error("cannot clear " + dir);
    make_dirs(dir);
    return dir;
}

namespace {

std::vector<char *> c_argv(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

int wait_status(int pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

/* This process's environment with each "NAME=value" of overrides put in place of NAME's
 * current value (or added). */
static std::vector<std::string> merged_environment(const std::vector<std::string> &overrides) {
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

ProgramResult run_program(const std::vector<std::string> &argv,
                          const std::vector<std::string> &env_overrides,
                          const std::string &stdout_path) {
    static int runs = 0;
    std::string dir = std::string(QUELMO_ROOT) + "/scratch";
    make_dirs(dir);
    std::string stem = dir + "/run_program." + std::to_string(getpid()) + "." + std::to_string(runs++);
    std::string out_path = stdout_path.empty() ? stem + ".out" : stdout_path;
    std::string err_path = stem + ".err";
    std::vector<std::string> env = merged_environment(env_overrides);
    std::vector<char *> args = c_argv(argv);
    std::vector<char *> envp = c_argv(env);
    int pid = fork();
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
    ProgramResult result{pid > 0 ? wait_status(pid) : 127, "", ""};
    if (stdout_path.empty()) {
        result.out = read_file(out_path);
        unlink(out_path.c_str());
    }
    result.err = read_file(err_path);
    unlink(err_path.c_str());
    return result;
}

int spawn_program(const std::vector<std::string> &argv, void (*prepare)()) {
    std::vector<char *> args = c_argv(argv);
    int pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        if (prepare != nullptr) prepare();
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int free_tcp_port() {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0 ||
        getsockname(sock, reinterpret_cast<struct sockaddr *>(&address), &length) != 0)
        throw std::runtime_error(std::string("no free port: ") + strerror(errno));
    close(sock);
    return ntohs(address.sin_port);
}

int connect_tcp(int port, const char *address_text) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address_text, &address.sin_addr);
    if (connect(sock, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

bool wait_for_listener(int port, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        int sock = connect_tcp(port);
        if (sock >= 0) {
            close(sock);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool wait_for_log_message(const std::string &message, size_t count, int timeout_ms) {
    for (int waited = 0;; waited += 5) {
        std::vector<std::string> log = debug_messages();
        if (static_cast<size_t>(std::count(log.begin(), log.end(), message)) >= count) return true;
        if (waited >= timeout_ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace quelmo_test
