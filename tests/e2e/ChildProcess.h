// A server or tool that an end-to-end test starts, and stops again by its PID.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace ovra::e2e {

template <class F>
bool waitUntil(F ready, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ready();
}

class ChildProcess {
  public:
    ChildProcess() = default;
    // Starts `argv` (looked up on PATH) with the current environment plus `extraEnv`
    // ("NAME=value"); standard output and error go to `logPath` when given.
    ChildProcess(const std::vector<std::string>& argv,
                 const std::vector<std::string>& extraEnv = {}, const std::string& logPath = "") {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        for (const auto& x : extraEnv) {
            const auto name = x.substr(0, x.find('=') + 1);
            std::erase_if(env, [&](const std::string& v) { return v.rfind(name, 0) == 0; });
            env.push_back(x);
        }
        std::vector<char*> args, envp;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string out = logPath.empty() ? "/dev/null" : logPath;
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ChildProcess(ChildProcess&& o) noexcept : pid_(o.pid_) { o.pid_ = -1; }
    ChildProcess& operator=(ChildProcess&& o) noexcept {
        if (this != &o) {
            stop();
            pid_ = o.pid_;
            o.pid_ = -1;
        }
        return *this;
    }
    ~ChildProcess() { stop(); }

    pid_t pid() const { return pid_; }
    bool running() {
        if (pid_ <= 0) return false;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == 0) return true;
        pid_ = -1;  // gone, and reaped
        return false;
    }

    // SIGTERM, then SIGKILL if it has not gone within 3 s.
    void stop() {
        if (pid_ > 0) kill(pid_, SIGTERM);
        if (!waitUntil([&] { return !running(); }, std::chrono::milliseconds(3000))) killNow();
    }
    // Ends it at once, as a crash would.
    void killNow() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        wait();
    }
    // Waits for it to exit by itself; its exit code, or -1 with the ending signal in `signal`.
    int wait(int* signal = nullptr) {
        if (pid_ <= 0) return -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (signal) *signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `argv` to its end, its output going to `logPath` and from there to `output`; its exit
// code, or -1 with the signal that ended it in `signal`.
inline int runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                    const std::string& logPath, std::string* output, int* signal = nullptr) {
    std::error_code ignored;
    std::filesystem::remove(logPath, ignored);
    ChildProcess child(argv, env, logPath);
    const int code = child.wait(signal);
    if (output) *output = readFile(logPath);
    return code;
}

}  // namespace ovra::e2e
