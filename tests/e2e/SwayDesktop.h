// A headless sway desktop, started and stopped by its PID. sway refuses to run as root, so it runs
// as nobody with a 0700 XDG_RUNTIME_DIR of its own. A picture is shown as the output's background
// and counts as shown once grim, the reference client, sees it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../ScreenJpeg.h"
#include "ChildProcess.h"

namespace ovra::e2e {

inline constexpr uid_t kDesktopUser = 65534;   // nobody
inline constexpr gid_t kDesktopGroup = 65534;  // nogroup

// A fresh folder under `parent` that anyone may enter, removed with everything in it at the end.
class TempFolder {
  public:
    explicit TempFolder(const std::string& parent = "/tmp") {
        std::string pattern = parent + "/ovra-e2e-XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
        chmod(path_.c_str(), 0755);
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class SwayDesktop {
  public:
    // `xwayland`: also start XWayland at once (its DISPLAY is then `xDisplay()`).
    explicit SwayDesktop(int width = 2880, int height = 1800, bool xwayland = false)
        : width_(width), height_(height) {
        if (dir_.empty() || mkdir(runtime_.c_str(), 0700) != 0 ||
            chown(runtime_.c_str(), kDesktopUser, kDesktopGroup) != 0)
            return;
        std::ofstream conf(dir_ + "/sway.conf");
        conf << "output HEADLESS-1 mode " << width << "x" << height << " position 0 0\n"
             << "xwayland " << (xwayland ? "force" : "disable") << "\n";
        conf.close();
        chmod((dir_ + "/sway.conf").c_str(), 0644);
        start();
    }
    ~SwayDesktop() { stop(); }

    bool ready() const { return !socket_.empty(); }
    const std::string& runtimeDir() const { return runtime_; }
    // The Wayland socket's name, and its full path (usable with any XDG_RUNTIME_DIR).
    const std::string& waylandDisplay() const { return socket_; }
    std::string waylandSocketPath() const { return runtime_ + "/" + socket_; }

    bool start() {
        process_ = ChildProcess(
            {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sway", "-c",
             dir_ + "/sway.conf"},
            {"XDG_RUNTIME_DIR=" + runtime_, "HOME=" + dir_, "WLR_BACKENDS=headless",
             "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1", "WAYLAND_DISPLAY=", "DISPLAY="},
            dir_ + "/sway.log");
        socket_.clear();
        waitUntil([&] {
            if (!process_.running()) return true;
            socket_ = findInRuntime("wayland-", ".lock");
            ipc_ = findInRuntime("sway-ipc.", "");
            return !socket_.empty() && !ipc_.empty();
        });
        if (ipc_.empty()) socket_.clear();
        return ready();
    }
    void stop() { process_.stop(); }
    void freeze(bool frozen) { kill(process_.pid(), frozen ? SIGSTOP : SIGCONT); }

    // Shows the picture (as a PPM) and waits until grim sees its first block's colour.
    bool showPicture(test::Rgb background, const std::vector<test::Block>& blocks) {
        const std::string path = dir_ + "/picture-" + std::to_string(++pictures_) + ".ppm";
        const auto rgb = test::paintRgb(width_, height_, background, blocks);
        std::ofstream(path, std::ios::binary)
            << "P6\n"
            << width_ << " " << height_ << "\n255\n"
            << std::string_view(reinterpret_cast<const char*>(rgb.data()), rgb.size());
        if (chmod(path.c_str(), 0644) != 0 ||
            !swaymsg({"output", "HEADLESS-1", "bg", path, "fill"}))
            return false;
        const test::Block b = blocks.empty() ? test::Block{0, 0, 1, 1, background} : blocks.front();
        return waitUntil([&] {
            const auto seen = grimPixel(b.x + b.width / 2, b.y + b.height / 2);
            return seen && test::near(*seen, b.color, 2);
        });
    }

    bool swaymsg(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"swaymsg", "-s", runtime_ + "/" + ipc_};
        argv.insert(argv.end(), args.begin(), args.end());
        return ChildProcess(argv, {}, dir_ + "/swaymsg.log").wait() == 0;
    }

    // XWayland's DISPLAY, as sway gives it to the programs it starts.
    std::string xDisplay() {
        const std::string file = runtime_ + "/display";
        if (!swaymsg({"exec", "echo $DISPLAY > " + file})) return "";
        std::string display;
        waitUntil([&] {
            std::ifstream in(file);
            return bool(std::getline(in, display)) && !display.empty();
        });
        return display;
    }

    std::vector<std::string> clientEnv() const {
        return {"XDG_RUNTIME_DIR=" + runtime_, "WAYLAND_DISPLAY=" + socket_};
    }

  private:
    std::string findInRuntime(const std::string& prefix, const std::string& notSuffix) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(runtime_, ec)) {
            const std::string name = e.path().filename();
            if (name.rfind(prefix, 0) == 0 && (notSuffix.empty() || !name.ends_with(notSuffix)))
                return name;
        }
        return "";
    }

    std::optional<test::Rgb> grimPixel(int x, int y) {
        const std::string out = dir_ + "/probe.ppm";
        std::filesystem::remove(out);
        ChildProcess grim(
            {"grim", "-t", "ppm", "-g", std::to_string(x) + "," + std::to_string(y) + " 1x1", out},
            clientEnv());
        if (grim.wait() != 0) return std::nullopt;
        std::ifstream in(out, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        if (bytes.size() < 3) return std::nullopt;
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + bytes.size() - 3);
        return test::Rgb{p[0], p[1], p[2]};
    }

    int width_, height_;
    TempFolder folder_;
    const std::string dir_ = folder_.path(), runtime_ = dir_ + "/run";
    std::string socket_, ipc_;
    ChildProcess process_;
    int pictures_ = 0;
};

}  // namespace ovra::e2e
