// A host that runs as the desktop's user, for the tests on a sway desktop.
#pragma once

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Library.h"
#include "SwayDesktop.h"

namespace ovra::e2e {

// A host process that runs as the desktop's user, as a real host on that desktop would: a child
// forked from the test, with `env` ("NAME=value"; an empty value unsets), that loads the library
// with dlopen and takes one screenshot per `capture()`. Fork it before this process uses the
// library itself (ctest runs each test in a process of its own): a child inherits what it holds.
class DesktopHost {
  public:
    // `hiddenLibrary`: a shared library (soname) the host must do without, as on a machine that
    // lacks it: /dev/null is mounted over it in a mount namespace of the host's own.
    explicit DesktopHost(const std::vector<std::string>& env,
                         const std::string& hiddenLibrary = "") {
        const std::string hiddenPath = hiddenLibrary.empty() ? "" : pathOf(hiddenLibrary);
        int toChild[2], toParent[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(toParent, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(toChild[1]);
            close(toParent[0]);
            serve(env, hiddenPath, toChild[0], toParent[1]);
        }
        close(toChild[0]);
        close(toParent[1]);
        commands_ = toChild[1];
        answers_ = toParent[0];
    }
    ~DesktopHost() {
        if (commands_ >= 0) close(commands_);
        if (answers_ >= 0) close(answers_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }

    // One screenshot in the host; result -1 if the host died, -2 if it could not hide the
    // library it was to do without.
    test::Shot capture() {
        test::Shot shot;
        const char c = 'c';
        if (write(commands_, &c, 1) != 1) return shot;
        std::string text;
        if (!readAll(&shot.result, sizeof shot.result) || !readString(shot.log) ||
            !readString(text)) {
            shot.result = -1;
            return shot;
        }
        if (shot.result == 0)
            shot.jpeg = test::decodeShot(reinterpret_cast<const uint8_t*>(text.data()),
                                         int32_t(text.size()));
        return shot;
    }

  private:
    // Where the loader finds it; looked up without loading it, which would make hiding it moot.
    static std::string pathOf(const std::string& soname) {
        for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu",
                                "/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib"}) {
            const std::string path = std::string(dir) + "/" + soname;
            if (access(path.c_str(), F_OK) == 0) return path;
        }
        return "/nonexistent";
    }
    static bool hide(const std::string& path) {
        return unshare(CLONE_NEWNS) == 0 &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("/dev/null", path.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }

    [[noreturn]] static void serve(const std::vector<std::string>& env,
                                   const std::string& hiddenPath, int in, int out) {
        const bool hidden = hiddenPath.empty() || hide(hiddenPath);
        for (const auto& e : env) {
            const auto eq = e.find('=');
            const std::string name = e.substr(0, eq), value = e.substr(eq + 1);
            value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
        }
        if (setgroups(0, nullptr) != 0 || setgid(kDesktopGroup) != 0 || setuid(kDesktopUser) != 0)
            _exit(2);
        Library& lib = Library::get();
        char c;
        while (read(in, &c, 1) == 1) {
            if (!hidden) {
                const int32_t cannot = -2;
                if (!send(out, &cannot, sizeof cannot) || !sendString(out, "") ||
                    !sendString(out, ""))
                    break;
                continue;
            }
            test::Shot s =
                test::takeShot([&](uint8_t** b, int32_t* n) { return lib.captureScreen(b, n); });
            const std::string text =
                s.result == 0 ? std::string(reinterpret_cast<char*>(s.buffer), size_t(s.length))
                              : "";
            if (s.result == 0) lib.freeBuffer(s.buffer);
            if (!send(out, &s.result, sizeof s.result) || !sendString(out, s.log) ||
                !sendString(out, text))
                break;
        }
        _exit(0);
    }
    static bool send(int fd, const void* data, size_t n) {
        const auto* p = static_cast<const char*>(data);
        while (n > 0) {
            const ssize_t w = write(fd, p, n);
            if (w <= 0) return false;
            p += w, n -= size_t(w);
        }
        return true;
    }
    static bool sendString(int fd, const std::string& s) {
        const uint64_t n = s.size();
        return send(fd, &n, sizeof n) && send(fd, s.data(), s.size());
    }
    bool readAll(void* data, size_t n) {
        auto* p = static_cast<char*>(data);
        while (n > 0) {
            const ssize_t r = read(answers_, p, n);
            if (r <= 0) return false;
            p += r, n -= size_t(r);
        }
        return true;
    }
    bool readString(std::string& s) {
        uint64_t n = 0;
        if (!readAll(&n, sizeof n)) return false;
        s.resize(n);
        return readAll(s.data(), n);
    }

    pid_t pid_ = -1;
    int commands_ = -1, answers_ = -1;
};

}  // namespace ovra::e2e
