// A private PulseAudio server for one test: its own runtime folder, a 48 kHz stereo null sink
// "speakers" as the default output, fake microphones, tones played with paplay; everything
// stopped by PID when the object goes.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    std::string pan = "both";  // for stereo: "both", or only "left" or "right"
};

class PulseServer {
  public:
    PulseServer() {
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
    std::string address() const { return "unix:" + dir_ + "/run/native"; }
    // The variables under which a child process talks to this server.
    std::vector<std::string> env() const {
        return {"PULSE_SERVER=" + address(), "PULSE_RUNTIME_PATH=" + dir_ + "/run",
                "XDG_RUNTIME_DIR=" + dir_ + "/xdg", "HOME=" + dir_};
    }
    // Points libpulse in this process (and so the library) at the server.
    void useInThisProcess() const { setenv("PULSE_SERVER", address().c_str(), 1); }

    // Starts the server (again, after `kill`, with the same runtime folder) and waits until it
    // answers; returns whether it does.
    bool start() {
        server_ = ChildProcess(
            words("pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit "
                  "--use-pid-file=no --realtime=no --high-priority=no --log-target=stderr -L",
                  {"module-null-sink sink_name=speakers rate=48000 channels=2", "-L",
                   "module-native-protocol-unix auth-anonymous=1"}),
            env(), dir_ + "/server.log");
        if (!server_.started()) return false;
        const bool answers = waitUntil([&] { return pactl({"info"}) == 0 || !server_.running(); },
                                       std::chrono::milliseconds(15000)) &&
                             server_.running();
        return answers && pactl({"set-default-sink", "speakers"}) == 0;
    }
    // Ends it at once, as a crash would.
    void kill() { server_.killNow(); }
    pid_t pid() const { return server_.pid(); }

    // The words of `text`, then `more`.
    static std::vector<std::string> words(const std::string& text,
                                          std::vector<std::string> more = {}) {
        std::istringstream in(text);
        std::vector<std::string> out;
        for (std::string w; in >> w;) out.push_back(w);
        out.insert(out.end(), more.begin(), more.end());
        return out;
    }
    // Runs pactl against this server; its exit code. Its output goes to `out` when given.
    int pactl(const std::vector<std::string>& args, std::string* out = nullptr) const {
        return run("pactl", args, out);
    }
    // Loads a module; its index, or -1.
    int loadModule(const std::string& name, const std::string& arguments = "") {
        std::string out;
        return pactl(words("load-module " + name + " " + arguments), &out) == 0
                   ? std::atoi(out.c_str())
                   : -1;
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
        std::string command = "-n -r " + std::to_string(t.rate) + " -c 1 -b 16 " + path +
                              " synth " + std::to_string(t.seconds) + " sine " +
                              std::to_string(t.frequency) + " gain " + std::to_string(t.gainDb);
        if (t.channels == 2)  // "remix L R": which channels carry the tone
            command += std::string(" remix ") + (t.pan == "right" ? "0 " : "1 ") +
                       (t.pan == "left" ? "0" : "1");
        return run("sox", words(command), nullptr) == 0 ? path : "";
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
            *out = std::string(std::istreambuf_iterator<char>(in), {});
        }
        std::error_code ignored;
        std::filesystem::remove(log, ignored);
        return code;
    }

    std::string dir_;
    ChildProcess server_;
    std::vector<std::unique_ptr<ChildProcess>> players_;
};

}  // namespace ovra::e2e
