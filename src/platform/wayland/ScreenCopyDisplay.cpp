#include "platform/wayland/ScreenCopyDisplay.h"

#include <mutex>

#include "base/Log.h"
#include "platform/wayland/ScreenCopyConnection.h"

namespace ovra::wayland {
namespace {

constexpr DisplayID kMainDisplay = 1;

class ScreenCopyRoute : public ScreenCopyDisplay {
  public:
    DisplayID mainDisplayID() override { return kMainDisplay; }

    bool offered(std::string& why) override {
        std::lock_guard lock(mutex_);
        if (!connected(why)) return false;
        if (connection_->offersScreenCopy()) return true;
        why = "the compositor does not offer zwlr_screencopy_manager_v1";
        return false;
    }

    std::shared_ptr<Image> createDisplayImage(DisplayID display) override {
        if (display != kMainDisplay) return nullptr;
        std::string why;
        {
            std::lock_guard lock(mutex_);
            // A compositor that went away is found out on first use: then one fresh connection
            // is tried, so a compositor that came back serves this very call. One that stopped
            // answering is not waited for twice.
            for (int attempt = 0; attempt < 2; ++attempt) {
                if (!connected(why)) break;
                if (auto image = connection_->capture(why)) return image;
                if (!connection_->broken()) break;
                const bool hung = connection_->timedOut();
                connection_.reset();
                if (hung) break;
            }
        }
        logLine("Error: Wayland screen-copy: " + why + "\n");
        return nullptr;
    }

  private:
    bool connected(std::string& why) {
        if (connection_ && connection_->broken()) connection_.reset();
        if (!connection_) connection_ = ScreenCopyConnection::open(why);
        return connection_ != nullptr;
    }

    std::mutex mutex_;
    std::unique_ptr<ScreenCopyConnection> connection_;
};

}  // namespace

std::unique_ptr<ScreenCopyDisplay> makeScreenCopyDisplay() {
    return std::make_unique<ScreenCopyRoute>();
}

}  // namespace ovra::wayland
