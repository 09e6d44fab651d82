// A private PulseAudio server for one test: its own runtime folder, a 48 kHz stereo null sink
// "speakers" as the default output, optional fake microphones, players started with paplay;
// everything stopped by PID when the object goes.
//
//   PulseServer server;              // starts and waits until it answers
//   server.useInThisProcess();       // the library (in this process) connects to it
//   auto tone = server.makeTone("a", {.frequency = 1000});
//   server.play(tone);               // into "speakers"
//   server.addMicrophone("mic1", 44100, 1);   // source "mic1", fed by sink "mic1.sink"
//   server.play(tone, "mic1.sink");
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/ChildProcess.h"

namespace ovra::e2e {

struct ToneSpec {
    double frequency = 1000;
    double seconds = 30;
    double gainDb = -6;  // peak level of the sine, in dBFS
    int rate = 48000;
    int channels = 2;
    // For stereo: "both", "left" (right silent) or "right" (left silent).
    std::string pan = "both";
};

class PulseServer {
  public:
    struct Options {
        int rate = 48000;
        int channels = 2;
        std::vector<std::string> extraModules;  // "module-name arg=value ..." loaded at start
    };

    PulseServer() : PulseServer(Options{}) {}
    explicit PulseServer(Options options) : options_(std::move(options)) {
        char pattern[] = "/tmp/ovra-pulse-XXXXXX";
        if (!mkdtemp(pattern)) return;
        dir_ = pattern;
        std::filesystem::create_directories(dir_ + "/run");
        std::filesystem::create_directories(dir_ + "/xdg");
        start();
    }
    ~PulseServer() {
        players_.clear();
        server_.stop();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Whether the server runs and answers.
    bool ok() { return server_.running() && pactl({"info"}) == 0; }
    const std::string& dir() const { return dir_; }
    std::string address() const { return "unix:" + dir_ + "/run/native"; }
    // The variables under which a child process (pactl, paplay, a tool) talks to this server.
    std::vector<std::string> env() const {
        return {"PULSE_SERVER=" + address(), "PULSE_RUNTIME_PATH=" + dir_ + "/run",
                "XDG_RUNTIME_DIR=" + dir_ + "/xdg", "HOME=" + dir_};
    }
    // Points libpulse in this process at the server: the library reads PULSE_SERVER when it
    // connects.
    void useInThisProcess() const { setenv("PULSE_SERVER", address().c_str(), 1); }

    // Starts the server (again, after `stop` or `kill`, with the same runtime folder) and waits
    // until it answers; returns whether it does.
    bool start() {
        std::vector<std::string> argv = {
            "pulseaudio",
            "-n",
            "--daemonize=no",
            "--exit-idle-time=-1",
            "--disallow-exit",
            "--use-pid-file=no",
            "--realtime=no",
            "--high-priority=no",
            "--log-target=stderr",
            "-L",
            "module-null-sink sink_name=speakers rate=" + std::to_string(options_.rate) +
                " channels=" + std::to_string(options_.channels),
            "-L",
            "module-native-protocol-unix auth-anonymous=1"};
        for (const auto& m : options_.extraModules) {
            argv.push_back("-L");
            argv.push_back(m);
        }
        server_ = ChildProcess(argv, env(), dir_ + "/server.log");
        if (!server_.started()) return false;
        const bool answers = waitUntil([&] { return pactl({"info"}) == 0 || !server_.running(); },
                                       std::chrono::milliseconds(15000)) &&
                             server_.running();
        return answers && pactl({"set-default-sink", "speakers"}) == 0;
    }
    // Stops it as a normal shutdown would.
    void stop() { server_.stop(); }
    // Ends it at once, as a crash would.
    void kill() { server_.killNow(); }
    pid_t pid() const { return server_.pid(); }

    // Runs pactl against this server; its exit code. Its output goes to `out` when given.
    int pactl(const std::vector<std::string>& args, std::string* out = nullptr) const {
        return run("pactl", args, out);
    }
    // Loads a module; its index, or -1.
    int loadModule(const std::string& name, const std::string& arguments = "") {
        std::string out;
        std::vector<std::string> args = {"load-module", name};
        if (!arguments.empty()) {
            std::istringstream words(arguments);
            for (std::string w; words >> w;) args.push_back(w);
        }
        if (pactl(args, &out) != 0) return -1;
        try {
            return std::stoi(out);
        } catch (...) {
            return -1;
        }
    }
    // A fake microphone paced by the server's clock: a null sink "<name>.sink" remapped into the
    // real source `name`. Play into "<name>.sink" to speak into it. Returns the remap module's
    // index (unload it to make the source disappear), or -1.
    int addMicrophone(const std::string& name, int rate, int channels) {
        const std::string sink = name + ".sink";
        if (loadModule("module-null-sink", "sink_name=" + sink + " rate=" + std::to_string(rate) +
                                               " channels=" + std::to_string(channels)) < 0)
            return -1;
        pactl({"set-default-sink", "speakers"});
        return loadModule("module-remap-source", "master=" + sink + ".monitor source_name=" + name);
    }

    // A WAV file of a sine tone, made with sox in the server's folder; its path ("" on failure).
    std::string makeTone(const std::string& name, const ToneSpec& t) const {
        const std::string path = dir_ + "/" + name + ".wav";
        std::vector<std::string> args = {"-n",
                                         "-r",
                                         std::to_string(t.rate),
                                         "-c",
                                         "1",
                                         "-b",
                                         "16",
                                         path,
                                         "synth",
                                         std::to_string(t.seconds),
                                         "sine",
                                         std::to_string(t.frequency),
                                         "gain",
                                         std::to_string(t.gainDb)};
        if (t.channels == 2) {
            args.push_back("remix");
            args.push_back(t.pan == "right" ? "0" : "1");
            args.push_back(t.pan == "left" ? "0" : "1");
        }
        return run("sox", args, nullptr) == 0 ? path : "";
    }
    // Plays `file` into `sink` until it ends or the server object goes.
    ChildProcess& play(const std::string& file, const std::string& sink = "speakers") {
        players_.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{"paplay", "-d", sink, file}, env(), dir_ + "/paplay.log"));
        return *players_.back();
    }
    // Whether some stream is playing into a sink right now.
    bool somethingPlays() {
        std::string out;
        return pactl({"list", "short", "sink-inputs"}, &out) == 0 && !out.empty();
    }

  private:
    int run(const std::string& tool, const std::vector<std::string>& args, std::string* out) const {
        std::vector<std::string> argv = {tool};
        argv.insert(argv.end(), args.begin(), args.end());
        static std::atomic<int> runs{0};
        const std::string log = dir_ + "/" + tool + "." + std::to_string(runs++) + ".out";
        ChildProcess child(argv, env(), log);
        const int code = child.wait();
        if (out) {
            std::ifstream in(log);
            std::stringstream text;
            text << in.rdbuf();
            *out = text.str();
        }
        std::error_code ignored;
        std::filesystem::remove(log, ignored);
        return code;
    }

    Options options_;
    std::string dir_;
    ChildProcess server_;
    std::vector<std::unique_ptr<ChildProcess>> players_;
};

}  // namespace ovra::e2e
