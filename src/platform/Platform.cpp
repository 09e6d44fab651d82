#include "platform/Platform.h"

#include <mutex>

#include "platform/NotificationCenter.h"
#include "platform/audio/AudioFacilities.h"

namespace ovra {

Platform::Platform()
    : facilities_(std::make_unique<AudioFacilities>()),
      notifications_(std::make_unique<NotificationCenter>()) {}

Platform::~Platform() = default;

AudioFacilities& Platform::audioFacilities() {
    return *facilities_;
}

NotificationCenter& Platform::notificationCenter() {
    return *notifications_;
}

std::shared_ptr<DispatchQueue> Platform::createDispatchQueue(const std::string& label,
                                                             QualityOfService qos) {
    return std::make_shared<DispatchQueue>(label, qos);
}

namespace {
// Both leaked on purpose: destroying the platform from the exit handlers would close server
// connections and join threads while other threads may still call in.
std::mutex& platformMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::shared_ptr<Platform>& platformSlot() {
    static auto* p = new std::shared_ptr<Platform>;
    return *p;
}
}  // namespace

std::shared_ptr<Platform> currentPlatform() {
    std::lock_guard lock(platformMutex());
    auto& slot = platformSlot();
    if (!slot) slot = makeDefaultPlatform();
    return slot;
}

void installPlatform(std::shared_ptr<Platform> platform) {
    std::lock_guard lock(platformMutex());
    platformSlot() = std::move(platform);
}

}  // namespace ovra
