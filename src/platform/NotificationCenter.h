// A notification centre with block observers, in the shape of NSNotificationCenter.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ovra {

inline constexpr const char* kAudioEngineConfigurationChangeNotification =
    "AVAudioEngineConfigurationChangeNotification";

class NotificationCenter {
public:
    using Block = std::function<void()>;
    struct Observer;
    using Token = std::shared_ptr<Observer>;

    // `block` runs on the posting thread for each post of `name` by `object`.
    Token addObserver(std::string name, const void* object, Block block);
    // After this returns no new call of the observer's block begins.
    void removeObserver(const Token& token);
    // Runs the matching blocks synchronously on the calling thread, no lock held.
    void post(const std::string& name, const void* object);
    size_t observerCount();

private:
    std::mutex mutex_;
    std::vector<Token> observers_;
};

}  // namespace ovra
