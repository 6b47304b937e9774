#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

int count_open_fds() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') count++;
    }
    closedir(dir);
    return count - 1; /* the directory's own descriptor */
}

bool fd_is_open(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

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

}  // namespace quelmo_test
