// The portal route against a stand-in on a private bus, and against the real portal on sway.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "PortalHost.h"
#include "e2e/PortalDesktop.h"
#include "e2e/SwayDesktop.h"

namespace ovra::test {
namespace {

using std::filesystem::exists;

constexpr int kWidth = 2880, kHeight = 1800;

class FakePortal : public ::testing::Test {
  protected:
    std::string source() const { return folder_.path() + "/source.png"; }

    void SetUp() override {
        const auto rgb =
            paintRgb(kWidth, kHeight, {40, 40, 40}, blocksWithStrokes(kWidth, kHeight));
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = kWidth;
        image.height = kHeight;
        image.format = PNG_FORMAT_RGB;
        ASSERT_TRUE(png_image_write_to_file(&image, source().c_str(), 0, rgb.data(), 0, nullptr));
        ASSERT_EQ(mkdir(tmp_.c_str(), 0700), 0);
        bus_ = std::make_unique<e2e::SessionBus>(folder_.path());
        ASSERT_TRUE(bus_->ready());
        setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
        setenv("TMPDIR", tmp_.c_str(), 1);
    }

    // Starts the stand-in with `args` (see fake_portal.py); its output goes to portal.log.
    bool startPortal(std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/python3", OVRA_FAKE_PORTAL});
        return bus_->startService(args, {}, "org.freedesktop.portal.Desktop", portalLog());
    }
    std::string portalLog() const { return folder_.path() + "/portal.log"; }

    e2e::TempFolder folder_;
    // Outside every temporary folder, as ~/Pictures is. Not the build folder: a checkout may well
    // lie under /tmp, which counts as temporary.
    e2e::TempFolder kept_{"/var/tmp"};
    const std::string tmp_ = folder_.path() + "/tmp";
    std::unique_ptr<e2e::SessionBus> bus_;
    PortalHost host_;
};

// Where the stand-in's answer points, and what becomes of that file: only a picture made for this
// call in a temporary folder ($TMPDIR, or /tmp as the wlroots backend's out.png) is removed.
struct FileCase {
    const char* name;
    enum { tmpdir, slashTmp, pictures } folder;
    bool older;  // there an hour before the call
    bool png;    // otherwise a text file
    bool succeeds, fileKept;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class PictureFile : public FakePortal, public ::testing::WithParamInterface<FileCase> {};

TEST_P(PictureFile, PictureComesBackAndOnlyThisCallsTemporaryFileGoes) {
    const FileCase c = GetParam();
    const std::string file = (c.folder == FileCase::tmpdir     ? tmp_
                              : c.folder == FileCase::slashTmp ? folder_.path()
                                                               : kept_.path()) +
                             "/out.png";
    std::vector<std::string> args{"answer", source(), file};
    if (!c.png) {
        args[1] = folder_.path() + "/text";
        std::ofstream(args[1]) << "not a picture\n";
    }
    if (c.older) {
        std::filesystem::copy_file(source(), file);
        const timeval hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        ASSERT_EQ(utimes(file.c_str(), hourAgo), 0);
        args = {"answer", file};
    }
    ASSERT_TRUE(startPortal(args));

    const Shot shot = host_.capture();
    if (c.succeeds)
        expectStrokedPicture(shot, kWidth, kHeight, 1920, 1200);
    else
        expectFailure(shot, "Error: Screenshot portal: cannot read " + file + ": ");
    EXPECT_EQ(exists(file), c.fileKept);
}

INSTANTIATE_TEST_SUITE_P(
    Places, PictureFile,
    ::testing::Values(
        FileCase{"FreshInTemporaryFolder", FileCase::tmpdir, false, true, true, false},
        FileCase{"FreshInSlashTmp", FileCase::slashTmp, false, true, true, false},
        FileCase{"FreshInPictures", FileCase::pictures, false, true, true, true},
        FileCase{"OlderInTemporaryFolder", FileCase::tmpdir, true, true, true, true},
        FileCase{"NotPngInTemporaryFolder", FileCase::tmpdir, false, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
    const char* name;
    const char* mode;  // nullptr: no portal on the bus
    std::string why;   // the line before the nil line; without its newline, how that line begins
    bool bus = true;   // false: no session bus either, and none is started
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class Failure : public FakePortal, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failure, FailsWithOneLineSayingWhy) {
    const FailureCase c = GetParam();
    ASSERT_TRUE(!c.mode || startPortal({c.mode}));
    if (!c.bus) {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        setenv("XDG_RUNTIME_DIR", tmp_.c_str(), 1);
    }
    const auto begin = std::chrono::steady_clock::now();
    const Shot shot = host_.capture();
    const auto waited = std::chrono::steady_clock::now() - begin;

    expectFailure(shot, "Error: Screenshot portal: " + c.why);
    EXPECT_TRUE(c.why.ends_with('\n') || shot.log.find(")\n") != std::string::npos) << shot.log;
    // The wait is bounded; a silent portal is asked to drop the request it was given.
    EXPECT_LT(waited, std::chrono::seconds(8));
    if (std::string(c.mode ? c.mode : "") == "silent") {
        EXPECT_GE(waited, std::chrono::milliseconds(4900));
        EXPECT_TRUE(e2e::waitUntil([&] {
            std::string word;
            std::ifstream(portalLog()) >> word;
            return word == "closed";
        })) << "the portal was not asked to close the request";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Failure,
    ::testing::Values(FailureCase{"Refused", "refuse", "refused the screenshot (response 2)\n"},
                      FailureCase{"Cancelled", "cancel",
                                  "the screenshot was cancelled (response 1)\n"},
                      FailureCase{"NeverAnswers", "silent", "no answer within 5000 ms\n"},
                      FailureCase{"NoPortal", nullptr,
                                  "no desktop portal on the session bus "
                                  "(org.freedesktop.DBus.Error.ServiceUnknown: "},
                      FailureCase{"NoSessionBus", nullptr,
                                  "no session bus (DBUS_SESSION_BUS_ADDRESS is not set and no "
                                  "$XDG_RUNTIME_DIR/bus)\n",
                                  false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakePortal, LateAnswersFileIsRemovedOnTheNextCall) {
    const std::string late = tmp_ + "/late.png";
    ASSERT_TRUE(startPortal({"late", source(), late}));
    expectFailure(host_.capture(), "Error: Screenshot portal: no answer within 5000 ms\n");
    ASSERT_TRUE(e2e::waitUntil([&] { return exists(late); }));
    const Shot shot = host_.capture();
    EXPECT_EQ(shot.result, 0) << shot.log;
    EXPECT_FALSE(exists(late));
    EXPECT_TRUE(exists(source()));
}

TEST_F(FakePortal, CallsFromSeveralThreadsEachGetThePicture) {
    ASSERT_TRUE(startPortal({"answer", source()}));
    std::atomic<int> pictures{0};
    onThreads(3, 1, [&] {
        const auto jpeg = takeShot(ov_capture_screen, ov_free_buffer, false).jpeg;
        if (jpeg && jpeg->width == 1920 && jpeg->height == 1200) ++pictures;
    });
    EXPECT_EQ(pictures.load(), 3);
}

TEST_F(FakePortal, BusThatWentAwayIsReachedAgainOnTheNextCall) {
    ASSERT_TRUE(startPortal({"answer", source()}));
    ASSERT_EQ(host_.capture().result, 0);
    bus_.reset();
    bus_ = std::make_unique<e2e::SessionBus>(folder_.path());
    ASSERT_TRUE(bus_->ready());
    ASSERT_TRUE(startPortal({"answer", source()}));
    const Shot shot = host_.capture();
    EXPECT_EQ(shot.result, 0) << shot.log;
    EXPECT_EQ(shot.log, "");
}

TEST(RealPortal, ShownPictureComesBackAndTheTemporaryFileGoes) {
    e2e::TempFolder folder;
    e2e::SwayDesktop sway(2940, 1912);
    ASSERT_TRUE(sway.ready()) << "sway did not start";
    e2e::SessionBus bus(folder.path());
    ASSERT_TRUE(bus.ready());
    ASSERT_TRUE(e2e::startDesktopPortals(bus, folder.path(), sway.waylandSocketPath()))
        << "the portal services did not start; see " << folder.path();
    ASSERT_TRUE(sway.showPicture({40, 40, 40}, blocksWithStrokes(2940, 1912)));

    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    unsetenv("TMPDIR");
    PortalHost host;
    expectStrokedPicture(host.capture(), 2940, 1912, 1919, 1248);
    // The wlr backend's fixed out.png was written for this call into the temporary folder.
    EXPECT_FALSE(exists("/tmp/out.png"));
}

}  // namespace
}  // namespace ovra::test
