#pragma once

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Library.h"
#include "SwayDesktop.h"

namespace ovra::e2e {

// A host forked from the test that runs as the desktop's user, as a real host would, with `env`
// ("NAME=value"; an empty value unsets); it loads the library with dlopen and takes one screenshot
// per `capture()`. Fork it before this process uses the library: a child inherits what it holds.
class DesktopHost {
  public:
    // `hiddenLibrary`: a soname the host does without, /dev/null mounted over it in a mount
    // namespace of its own.
    explicit DesktopHost(const std::vector<std::string>& env,
                         const std::string& hiddenLibrary = "") {
        const std::string hiddenPath = hiddenLibrary.empty() ? "" : pathOf(hiddenLibrary);
        int toChild[2], toParent[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(toParent, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(toChild[1]);
            close(toParent[0]);
            serve(env, hiddenPath, fdopen(toChild[0], "r"), fdopen(toParent[1], "w"));
        }
        close(toChild[0]);
        close(toParent[1]);
        commands_ = fdopen(toChild[1], "w");
        answers_ = fdopen(toParent[0], "r");
    }
    ~DesktopHost() {
        if (commands_) fclose(commands_);
        if (answers_) fclose(answers_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }

    // Result -1 if the host died, -2 if it could not hide the library.
    test::Shot capture() {
        test::Shot shot;
        size_t logSize = 0, textSize = 0;
        if (!commands_ || fputc('c', commands_) == EOF || fflush(commands_) != 0 ||
            fscanf(answers_, "%d %zu %zu", &shot.result, &logSize, &textSize) != 3 ||
            fgetc(answers_) != '\n')
            return {};
        shot.log.resize(logSize);
        shot.text.resize(textSize);
        if (fread(shot.log.data(), 1, logSize, answers_) != logSize ||
            fread(shot.text.data(), 1, textSize, answers_) != textSize)
            return {};
        if (shot.result == 0)
            shot.jpeg = test::decodeShot(reinterpret_cast<const uint8_t*>(shot.text.data()),
                                         int32_t(textSize));
        return shot;
    }

  private:
    // Looked up without loading it, which would make hiding it moot.
    static std::string pathOf(const std::string& soname) {
        for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu",
                                "/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib"}) {
            const std::string path = std::string(dir) + "/" + soname;
            if (access(path.c_str(), F_OK) == 0) return path;
        }
        return "/nonexistent";
    }

    // Answers each command with "result logSize textSize\n", the log and the text.
    [[noreturn]] static void serve(const std::vector<std::string>& env,
                                   const std::string& hiddenPath, FILE* in, FILE* out) {
        const bool hidden =
            hiddenPath.empty() ||
            (unshare(CLONE_NEWNS) == 0 &&
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             mount("/dev/null", hiddenPath.c_str(), nullptr, MS_BIND, nullptr) == 0);
        for (const auto& e : env) {
            const auto eq = e.find('=');
            const std::string name = e.substr(0, eq), value = e.substr(eq + 1);
            value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
        }
        if (setgroups(0, nullptr) != 0 || setgid(kDesktopGroup) != 0 || setuid(kDesktopUser) != 0)
            _exit(2);
        Library& lib = Library::get();
        while (in && out && fgetc(in) == 'c') {
            const test::Shot s = hidden ? test::takeShot(lib.captureScreen, lib.freeBuffer)
                                        : test::Shot{-2, "", "", {}};
            fprintf(out, "%d %zu %zu\n", s.result, s.log.size(), s.text.size());
            fwrite(s.log.data(), 1, s.log.size(), out);
            fwrite(s.text.data(), 1, s.text.size(), out);
            if (fflush(out) != 0) break;
        }
        _exit(0);
    }

    pid_t pid_ = -1;
    FILE *commands_ = nullptr, *answers_ = nullptr;
};

}  // namespace ovra::e2e
