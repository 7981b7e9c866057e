// The box's end of a serial line for integration tests: a pseudo-terminal
// whose slave is linked as $WQ_COM_DIR/COMn, and a temporary WQ_COM_DIR.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Starts `args` (the program first) with stdin from /dev/null and stdout and
// stderr appended to the files `out` and `err`; its pid, or -1.
pid_t spawn(std::vector<std::string> args, const std::string& out, const std::string& err);
// The child's exit code, or -1 when it did not exit by itself.
int wait_exit(pid_t pid);
std::string file_text(const std::string& path);
// Polls `done` until it holds, for at most `timeout`; whether it held.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// A fresh temporary directory, removed with everything in it at the end.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class scoped_env {
public:
    scoped_env(const char* name, const std::string& value);
    ~scoped_env();

private:
    std::string name_;
    std::optional<std::string> old_;  // none: it was not set
};

class pty_peer {
public:
    // Opens a pty and links its slave as `dir`/`name` (e.g. "COM3").
    pty_peer(const std::string& dir, const std::string& name);
    ~pty_peer();
    pty_peer(const pty_peer&) = delete;
    pty_peer& operator=(const pty_peer&) = delete;

    // Whether the host wrote anything to the line by the end of `within`.
    bool received(std::chrono::milliseconds within);
    void write(const std::string& data);

private:
    int master_ = -1;
    int keep_slave_ = -1;  // keeps the line up between the library's opens
    std::string link_;
};
