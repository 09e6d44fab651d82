// The portal route against the real xdg-desktop-portal (wlr backend for Screenshot, gtk for
// Access) on a headless sway that shows a known picture: the picture comes back at the encoded
// size, and the file the wlr backend wrote into the temporary folder is gone afterwards.
#include <gtest/gtest.h>

#include <cstdlib>

#include "PortalHost.h"
#include "e2e/PortalDesktop.h"
#include "e2e/SwayDesktop.h"

namespace ovra::test {
namespace {

struct SizeCase {
    int width, height, encodedWidth, encodedHeight;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.width << "x" << c.height;
}

class RealPortal : public ::testing::TestWithParam<SizeCase> {
  protected:
    static void SetUpTestSuite() {
        folder_ = new e2e::TempFolder;
        sway_ = new e2e::SwayDesktop(2880, 1800);
        ASSERT_TRUE(sway_->ready()) << "sway did not start";
        bus_ = new e2e::SessionBus(folder_->path());
        ASSERT_TRUE(bus_->ready());
        ASSERT_TRUE(e2e::startDesktopPortals(*bus_, folder_->path(), sway_->waylandSocketPath()))
            << "the portal services did not start; see " << folder_->path();
    }
    static void TearDownTestSuite() {
        delete bus_;
        delete sway_;
        delete folder_;
    }

    static e2e::TempFolder* folder_;
    static e2e::SwayDesktop* sway_;
    static e2e::SessionBus* bus_;
};

e2e::TempFolder* RealPortal::folder_ = nullptr;
e2e::SwayDesktop* RealPortal::sway_ = nullptr;
e2e::SessionBus* RealPortal::bus_ = nullptr;

TEST_P(RealPortal, ShownPictureComesBackAndTheTemporaryFileGoes) {
    const SizeCase c = GetParam();
    ASSERT_TRUE(bus_ && bus_->ready());
    const auto blocks = quarterBlocks(c.width, c.height);
    ASSERT_TRUE(sway_->resize(c.width, c.height));
    ASSERT_TRUE(sway_->showPicture({40, 40, 40}, blocks));

    setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
    unsetenv("TMPDIR");
    PortalHost host;
    const Shot shot = host.capture();
    ASSERT_EQ(shot.result, 0) << shot.log;
    EXPECT_EQ(shot.log, "");
    ASSERT_TRUE(shot.jpeg);
    EXPECT_EQ(shot.jpeg->width, c.encodedWidth);
    EXPECT_EQ(shot.jpeg->height, c.encodedHeight);
    expectBlocks(blocks, c.width, c.height, *shot.jpeg);
    // The wlr backend's fixed out.png was written for this call into the temporary folder.
    EXPECT_FALSE(e2e::fileExists("/tmp/out.png"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RealPortal,
                         ::testing::Values(SizeCase{2880, 1800, 1920, 1200},
                                           SizeCase{2940, 1912, 1919, 1248}));

}  // namespace
}  // namespace ovra::test
