// A private sound server for one test, of either kind a desktop runs: PulseAudio, or PipeWire
// with its pulse server. Its own runtime folder, a 48 kHz stereo sink "speakers" as the default
// output, fake microphones, tones played with paplay; everything stopped by PID when the object
// goes. Clients speak the pulse protocol to both.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
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

class SoundServer {
  public:
    static std::unique_ptr<SoundServer> make(ServerKind kind,
                                             std::vector<DeclaredMicrophone> microphones = {});
    virtual ~SoundServer() {
        players_.clear();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    virtual ServerKind kind() const = 0;
    // Whether the server runs and answers.
    bool ok() { return running() && pactl({"info"}) == 0; }
    virtual std::string address() const = 0;
    // The variables under which a child process talks to this server.
    virtual std::vector<std::string> env() const = 0;
    // Points libpulse in this process (and so the library) at the server.
    void useInThisProcess() const { setenv("PULSE_SERVER", address().c_str(), 1); }

    // Starts the pulse server (again, after `kill`, with the same devices declared) and waits
    // until it answers with "speakers" as the default sink; returns whether it does.
    virtual bool start() = 0;
    // Ends the pulse server at once, as a crash would.
    virtual void kill() = 0;
    virtual pid_t pid() const = 0;
    // The microphones the next `start` brings (PulseAudio; PipeWire's stay as declared).
    virtual void declareMicrophones(std::vector<DeclaredMicrophone> microphones) {
        (void)microphones;
    }

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
    // index (unload it to make the source disappear), or -1. Gone after a restart.
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
    // Plays `file` into `sink` until it ends or the server object goes. The capture's own small
    // fragments set how the sink renders; the player keeps 100 ms queued, which a busy machine
    // still feeds (a 20 ms player underran there and the tone heard came out 5 dB low).
    ChildProcess& play(const std::string& file, const std::string& sink = "speakers") {
        players_.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{"paplay", "--latency-msec=100", "-d", sink, file}, env(),
            dir_ + "/paplay.log"));
        return *players_.back();
    }
    // Whether some stream is playing into a sink right now.
    bool somethingPlays() {
        std::string out;
        return pactl({"list", "short", "sink-inputs"}, &out) == 0 && !out.empty();
    }
    // The rate and channel count at which the server runs `source` ("44100", "1"), as pactl
    // lists them: PipeWire may run a device at its graph's rate and a remapped source in stereo
    // whatever was asked for.
    std::pair<std::string, std::string> sourceFormat(const std::string& source) {
        std::string out;
        pactl({"list", "short", "sources"}, &out);
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string index, name, driver, format, channels, rate;
            fields >> index >> name >> driver >> format >> channels >> rate;
            if (name == source)
                return {rate.substr(0, rate.find("Hz")), channels.substr(0, channels.find("ch"))};
        }
        return {};
    }
    // Whether `sink` is the default sink now.
    bool defaultSinkIs(const std::string& sink) {
        std::string out;
        return pactl({"get-default-sink"}, &out) == 0 && out == sink + "\n";
    }

  protected:
    SoundServer() {
        char pattern[] = "/tmp/ovra-sound-XXXXXX";
        if (!mkdtemp(pattern)) return;
        dir_ = pattern;
    }
    virtual bool running() = 0;
    // Waits until the pulse server answers with "speakers" as its default sink.
    bool answers(ChildProcess& server) {
        return waitUntil(
                   [&] {
                       return (pactl({"info"}) == 0 && (pactl({"set-default-sink", "speakers"}),
                                                        defaultSinkIs("speakers"))) ||
                              !server.running();
                   },
                   std::chrono::milliseconds(15000)) &&
               server.running();
    }
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
    std::vector<std::unique_ptr<ChildProcess>> players_;
};

// PulseAudio: one process; declared microphones are loaded with it.
class PulseServer : public SoundServer {
  public:
    explicit PulseServer(std::vector<DeclaredMicrophone> microphones = {})
        : microphones_(std::move(microphones)) {
        if (dir_.empty()) return;
        std::filesystem::create_directories(dir_ + "/run");
        std::filesystem::create_directories(dir_ + "/xdg");
        start();
    }
    ~PulseServer() override {
        players_.clear();
        server_.stop();
    }

    ServerKind kind() const override { return ServerKind::pulseaudio; }
    std::string address() const override { return "unix:" + dir_ + "/run/native"; }
    std::vector<std::string> env() const override {
        return {"PULSE_SERVER=" + address(), "PULSE_RUNTIME_PATH=" + dir_ + "/run",
                "XDG_RUNTIME_DIR=" + dir_ + "/xdg", "HOME=" + dir_};
    }
    bool start() override {
        std::vector<std::string> modules = {
            "-L", "module-null-sink sink_name=speakers rate=48000 channels=2", "-L",
            "module-native-protocol-unix auth-anonymous=1"};
        for (const auto& m : microphones_) {
            modules.push_back("-L");
            modules.push_back("module-null-sink sink_name=" + m.name + ".sink rate=" +
                              std::to_string(m.rate) + " channels=" + std::to_string(m.channels));
            modules.push_back("-L");
            modules.push_back("module-remap-source master=" + m.name +
                              ".sink.monitor source_name=" + m.name);
        }
        server_ = ChildProcess(
            words("pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit "
                  "--use-pid-file=no --realtime=no --high-priority=no --log-target=stderr",
                  modules),
            env(), dir_ + "/server.log");
        return server_.started() && answers(server_);
    }
    void kill() override { server_.killNow(); }
    pid_t pid() const override { return server_.pid(); }
    void declareMicrophones(std::vector<DeclaredMicrophone> microphones) override {
        microphones_ = std::move(microphones);
    }

  private:
    bool running() override { return server_.running(); }

    std::vector<DeclaredMicrophone> microphones_;
    ChildProcess server_;
};

// PipeWire as a desktop runs it: a session bus, the PipeWire daemon, WirePlumber (the session
// manager, which picks default devices) and the pulse server. Devices are declared in a
// pipewire.conf.d drop-in, so they outlive a restart of the pulse server as a sound card's
// would; `kill` and `start` act on the pulse server only.
class PipeWireServer : public SoundServer {
  public:
    explicit PipeWireServer(std::vector<DeclaredMicrophone> microphones = {}) {
        if (dir_.empty()) return;
        for (const char* sub : {"xdg", "config/pipewire/pipewire.conf.d", "state"})
            std::filesystem::create_directories(dir_ + "/" + sub);
        std::filesystem::permissions(dir_ + "/xdg", std::filesystem::perms::owner_all);
        std::ofstream(dir_ + "/config/pipewire/pipewire.conf.d/ovra-devices.conf")
            << devices(microphones);
        bus_ = ChildProcess(
            {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + dir_ + "/bus"}, env(),
            dir_ + "/dbus.log");
        if (!waitUntil([&] { return std::filesystem::exists(dir_ + "/bus"); })) return;
        pipewire_ = ChildProcess({"pipewire"}, env(), dir_ + "/pipewire.log");
        if (!waitUntil([&] { return std::filesystem::exists(dir_ + "/xdg/pipewire-0"); })) return;
        session_ = ChildProcess({"wireplumber"}, env(), dir_ + "/wireplumber.log");
        start();
    }
    ~PipeWireServer() override {
        players_.clear();
        pulse_.stop();
        session_.stop();
        pipewire_.stop();
        bus_.stop();
    }

    ServerKind kind() const override { return ServerKind::pipewire; }
    std::string address() const override { return "unix:" + dir_ + "/xdg/pulse/native"; }
    std::vector<std::string> env() const override {
        return {"PULSE_SERVER=" + address(),
                "XDG_RUNTIME_DIR=" + dir_ + "/xdg",
                "HOME=" + dir_,
                "XDG_CONFIG_HOME=" + dir_ + "/config",
                "XDG_STATE_HOME=" + dir_ + "/state",
                "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_ + "/bus",
                "PIPEWIRE_RUNTIME_DIR=" + dir_ + "/xdg"};
    }
    bool start() override {
        pulse_ = ChildProcess({"pipewire-pulse"}, env(), dir_ + "/pipewire-pulse.log");
        return pulse_.started() && answers(pulse_);
    }
    void kill() override { pulse_.killNow(); }
    pid_t pid() const override { return pulse_.pid(); }

  private:
    bool running() override {
        return bus_.running() && pipewire_.running() && session_.running() && pulse_.running();
    }
    static std::string position(int channels) {
        return channels == 1   ? "[ MONO ]"
               : channels == 2 ? "[ FL FR ]"
                               : "[ FL FR FC LFE RL RR SL SR ]";
    }
    // The sinks as null-audio-sink adapters; a microphone as a loopback whose capture end is a
    // sink "<name>.sink" and whose playback end is a real (non-monitor) source.
    static std::string devices(const std::vector<DeclaredMicrophone>& microphones) {
        std::string text =
            "context.objects = [\n"
            "  { factory = adapter args = { factory.name = support.null-audio-sink\n"
            "      node.name = speakers media.class = Audio/Sink object.linger = true\n"
            "      audio.rate = 48000 audio.position = [ FL FR ] } }\n"
            "]\ncontext.modules = [\n";
        for (const auto& m : microphones)
            text +=
                "  { name = libpipewire-module-loopback args = {\n"
                "      audio.position = " +
                position(m.channels) +
                "\n"
                "      capture.props = { node.name = " +
                m.name +
                ".sink media.class = Audio/Sink"
                " audio.rate = " +
                std::to_string(m.rate) +
                " }\n"
                "      playback.props = { node.name = " +
                m.name +
                " media.class = Audio/Source"
                " audio.rate = " +
                std::to_string(m.rate) + " } } }\n";
        return text + "]\n";
    }

    ChildProcess bus_, pipewire_, session_, pulse_;
};

inline std::unique_ptr<SoundServer> SoundServer::make(ServerKind kind,
                                                      std::vector<DeclaredMicrophone> microphones) {
    if (kind == ServerKind::pulseaudio)
        return std::make_unique<PulseServer>(std::move(microphones));
    return std::make_unique<PipeWireServer>(std::move(microphones));
}

}  // namespace ovra::e2e
