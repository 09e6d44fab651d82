// A private sound server for one test, PulseAudio or PipeWire with its pulse server: its own
// folder, a 48 kHz stereo default sink "speakers", fake microphones, tones played with paplay;
// everything stopped by PID when the object goes.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
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

enum class ServerKind { pulseaudio, pipewire };

inline std::string serverName(ServerKind kind) {
    return kind == ServerKind::pulseaudio ? "PulseAudio" : "PipeWire";
}
inline void PrintTo(ServerKind kind, std::ostream* out) {
    *out << serverName(kind);
}

// A microphone the server has from its start (a sound card's), and again after a restart.
struct DeclaredMicrophone {
    std::string name;  // the source; play into "<name>.sink" to speak into it
    int rate = 48000;
    int channels = 2;
};

// PipeWire runs as a desktop runs it: a session bus, the daemon, WirePlumber (which picks default
// devices) and the pulse server; its devices are declared in a pipewire.conf.d drop-in, so they
// outlive a restart of the pulse server as a sound card's would. `kill` and `start` act on the
// pulse server only.
class SoundServer {
  public:
    explicit SoundServer(ServerKind kind, std::vector<DeclaredMicrophone> microphones = {})
        : kind_(kind), microphones_(std::move(microphones)) {
        char pattern[] = "/tmp/ovra-sound-XXXXXX";
        if (!mkdtemp(pattern)) return;
        dir_ = pattern;
        for (const char* sub : {"run", "xdg", "config/pipewire/pipewire.conf.d", "state"})
            std::filesystem::create_directories(dir_ + "/" + sub);
        std::filesystem::permissions(dir_ + "/xdg", std::filesystem::perms::owner_all);
        if (kind == ServerKind::pipewire && !startPipeWire()) return;
        start();
    }
    static std::unique_ptr<SoundServer> make(ServerKind kind,
                                             std::vector<DeclaredMicrophone> microphones = {}) {
        return std::make_unique<SoundServer>(kind, std::move(microphones));
    }
    ~SoundServer() {
        players_.clear();
        pulse_.stop();
        session_.stop();
        pipewire_.stop();
        bus_.stop();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // Removed with the server; the test's children may log there too.
    const std::string& dir() const { return dir_; }
    bool ok() {
        const bool running =
            pulse_.running() && (kind_ == ServerKind::pulseaudio ||
                                 (bus_.running() && pipewire_.running() && session_.running()));
        return running && pactl({"info"}) == 0;
    }
    std::string address() const {
        return "unix:" + dir_ +
               (kind_ == ServerKind::pulseaudio ? "/run/native" : "/xdg/pulse/native");
    }
    // The variables under which a child process talks to this server.
    std::vector<std::string> env() const {
        std::vector<std::string> vars = {"PULSE_SERVER=" + address(),
                                         "XDG_RUNTIME_DIR=" + dir_ + "/xdg", "HOME=" + dir_};
        if (kind_ == ServerKind::pulseaudio) {
            vars.push_back("PULSE_RUNTIME_PATH=" + dir_ + "/run");
            return vars;
        }
        vars.insert(vars.end(),
                    {"XDG_CONFIG_HOME=" + dir_ + "/config", "XDG_STATE_HOME=" + dir_ + "/state",
                     "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_ + "/bus",
                     "PIPEWIRE_RUNTIME_DIR=" + dir_ + "/xdg"});
        return vars;
    }
    // Points libpulse in this process (and so the library) at the server.
    void useInThisProcess() const { setenv("PULSE_SERVER", address().c_str(), 1); }

    // Starts the pulse server (again, after `kill`, with the same devices declared) and waits
    // until it answers with "speakers" as the default sink; returns whether it does.
    bool start() {
        std::vector<std::string> argv = {"pipewire-pulse"};
        if (kind_ == ServerKind::pulseaudio) {
            argv = words(
                "pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit "
                "--use-pid-file=no --realtime=no --high-priority=no --log-target=stderr -L",
                {"module-null-sink sink_name=speakers rate=48000 channels=2", "-L",
                 "module-native-protocol-unix auth-anonymous=1"});
            for (const auto& m : microphones_)
                for (const auto& module : microphoneModules(m))
                    argv.insert(argv.end(), {"-L", module});
        }
        pulse_ = ChildProcess(argv, env(), dir_ + "/" + argv[0] + ".log");
        std::string sink;
        return waitUntil(
                   [&] {
                       return (pactl({"set-default-sink", "speakers"}) == 0 &&
                               pactl({"get-default-sink"}, &sink) == 0 && sink == "speakers\n") ||
                              !pulse_.running();
                   },
                   std::chrono::milliseconds(15000)) &&
               pulse_.running();
    }
    // Ends the pulse server at once, as a crash would.
    void kill() { pulse_.killNow(); }
    pid_t pid() const { return pulse_.pid(); }

    static std::vector<std::string> words(const std::string& text,
                                          std::vector<std::string> more = {}) {
        std::istringstream in(text);
        std::vector<std::string> out;
        for (std::string w; in >> w;) out.push_back(w);
        out.insert(out.end(), more.begin(), more.end());
        return out;
    }
    // pactl against this server; its exit code, and its output in `out` when given.
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
    // real source `name`, as two modules with their arguments.
    static std::vector<std::string> microphoneModules(const DeclaredMicrophone& m) {
        return {"module-null-sink sink_name=" + m.name + ".sink rate=" + std::to_string(m.rate) +
                    " channels=" + std::to_string(m.channels),
                "module-remap-source master=" + m.name + ".sink.monitor source_name=" + m.name};
    }
    // The remap module's index (unload it to make the source go), or -1. Gone after a restart.
    int addMicrophone(const std::string& name, int rate, int channels) {
        const auto modules = microphoneModules({name, rate, channels});
        if (loadModule(modules[0]) < 0) return -1;
        pactl({"set-default-sink", "speakers"});
        return loadModule(modules[1]);
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
    // Until the file ends or the server goes. The player keeps 100 ms queued, which a busy
    // machine still feeds (a 20 ms player underran there and the tone came out 5 dB low).
    ChildProcess& play(const std::string& file, const std::string& sink = "speakers") {
        players_.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{"paplay", "--latency-msec=100", "-d", sink, file}, env(),
            dir_ + "/paplay.log"));
        return *players_.back();
    }
    // A tone in a file named after `sink`, played there.
    ChildProcess& playTone(const std::string& sink, const ToneSpec& t) {
        return play(makeTone(sink, t), sink);
    }
    bool somethingPlays() {
        std::string out;
        return pactl({"list", "short", "sink-inputs"}, &out) == 0 && !out.empty();
    }

  private:
    bool startPipeWire() {
        std::string devices =
            "context.objects = [\n"
            "  { factory = adapter args = { factory.name = support.null-audio-sink\n"
            "      node.name = speakers media.class = Audio/Sink object.linger = true\n"
            "      audio.rate = 48000 audio.position = [ FL FR ] } }\n"
            "]\ncontext.modules = [\n";
        // A microphone: a loopback whose capture end is a sink "<name>.sink" and whose playback
        // end is a real (non-monitor) source.
        for (const auto& m : microphones_) {
            const std::string rate = " audio.rate = " + std::to_string(m.rate) + " }";
            devices += "  { name = libpipewire-module-loopback args = { audio.position = " +
                       std::string(m.channels == 1 ? "[ MONO ]" : "[ FL FR ]") +
                       "\n    capture.props = { node.name = " + m.name +
                       ".sink media.class = Audio/Sink" + rate +
                       "\n    playback.props = { node.name = " + m.name +
                       " media.class = Audio/Source" + rate + " } }\n";
        }
        std::ofstream(dir_ + "/config/pipewire/pipewire.conf.d/ovra-devices.conf")
            << devices + "]\n";
        bus_ = ChildProcess(
            {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + dir_ + "/bus"}, env(),
            dir_ + "/dbus.log");
        if (!waitUntil([&] { return std::filesystem::exists(dir_ + "/bus"); })) return false;
        pipewire_ = ChildProcess({"pipewire"}, env(), dir_ + "/pipewire.log");
        if (!waitUntil([&] { return std::filesystem::exists(dir_ + "/xdg/pipewire-0"); }))
            return false;
        session_ = ChildProcess({"wireplumber"}, env(), dir_ + "/wireplumber.log");
        return true;
    }
    int run(const std::string& tool, const std::vector<std::string>& args, std::string* out) const {
        std::vector<std::string> argv = {tool};
        argv.insert(argv.end(), args.begin(), args.end());
        static std::atomic<int> runs{0};
        return runToEnd(argv, env(), dir_ + "/" + tool + "." + std::to_string(runs++) + ".out",
                        out);
    }

    ServerKind kind_;
    std::vector<DeclaredMicrophone> microphones_;
    std::string dir_;
    std::vector<std::unique_ptr<ChildProcess>> players_;
    ChildProcess bus_, pipewire_, session_, pulse_;
};

struct PulseServer : SoundServer {
    PulseServer() : SoundServer(ServerKind::pulseaudio) {}
};

}  // namespace ovra::e2e
