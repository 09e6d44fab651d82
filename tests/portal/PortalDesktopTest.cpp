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

TEST(RealPortal, ShownPictureComesBackAndTheTemporaryFileGoes) {
    e2e::TempFolder folder;
    e2e::SwayDesktop sway(2940, 1912);
    ASSERT_TRUE(sway.ready()) << "sway did not start";
    e2e::SessionBus bus(folder.path());
    ASSERT_TRUE(bus.ready());
    ASSERT_TRUE(e2e::startDesktopPortals(bus, folder.path(), sway.waylandSocketPath()))
        << "the portal services did not start; see " << folder.path();
    const auto blocks = quarterBlocks(2940, 1912);
    ASSERT_TRUE(sway.showPicture({40, 40, 40}, blocks));

    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    unsetenv("TMPDIR");
    PortalHost host;
    const Shot shot = host.capture();
    ASSERT_EQ(shot.result, 0) << shot.log;
    EXPECT_EQ(shot.log, "");
    ASSERT_TRUE(shot.jpeg);
    EXPECT_EQ(shot.jpeg->width, 1919);
    EXPECT_EQ(shot.jpeg->height, 1248);
    expectBlocks(blocks, 2940, 1912, *shot.jpeg);
    // The wlr backend's fixed out.png was written for this call into the temporary folder.
    EXPECT_FALSE(e2e::fileExists("/tmp/out.png"));
}

}  // namespace
}  // namespace ovra::test
