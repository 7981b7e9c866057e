#include "pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

extern char** environ;

pid_t spawn(std::vector<std::string> args, const std::string& out, const std::string& err) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    for (const auto& [fd, file] : {std::pair{STDOUT_FILENO, &out}, std::pair{STDERR_FILENO, &err}})
        posix_spawn_file_actions_addopen(&actions, fd, file->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

int wait_exit(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "wq-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

scoped_env::scoped_env(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
}

scoped_env::~scoped_env() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
}

pty_peer::pty_peer(const std::string& dir, const std::string& name) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        throw std::system_error(errno, std::generic_category(), "posix_openpt");
    }
    const std::string slave = ::ptsname(master_);
    // Raw on our side too, so that nothing the library sends is echoed or
    // translated before the library has configured the line.
    keep_slave_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tty{};
    ::tcgetattr(keep_slave_, &tty);
    ::cfmakeraw(&tty);
    ::tcsetattr(keep_slave_, TCSANOW, &tty);
    link_ = dir + "/" + name;
    std::filesystem::create_symlink(slave, link_);
}

pty_peer::~pty_peer() {
    std::error_code ignored;
    std::filesystem::remove(link_, ignored);
    if (keep_slave_ >= 0) ::close(keep_slave_);
    if (master_ >= 0) ::close(master_);
}

bool pty_peer::received(std::chrono::milliseconds within) {
    pollfd p{master_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(within.count())) > 0;
}

void pty_peer::write(const std::string& data) {
    // The master blocks until a write is taken whole.
    if (::write(master_, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
        throw std::system_error(errno, std::generic_category(), "write to pty");
    }
}
