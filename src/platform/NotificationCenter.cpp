#include "platform/NotificationCenter.h"

#include <algorithm>
#include <atomic>

namespace ovra {

struct NotificationCenter::Observer {
    std::string name;
    const void* object;
    Block block;
    std::atomic<bool> removed{false};
};

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object,
                                                          Block block) {
    auto token = std::make_shared<Observer>();
    token->name = std::move(name);
    token->object = object;
    token->block = std::move(block);
    std::lock_guard lock(mutex_);
    observers_.push_back(token);
    return token;
}

void NotificationCenter::removeObserver(const Token& token) {
    if (!token) return;
    token->removed = true;
    std::lock_guard lock(mutex_);
    observers_.erase(std::remove(observers_.begin(), observers_.end(), token), observers_.end());
}

void NotificationCenter::post(const std::string& name, const void* object) {
    std::vector<Token> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& o : observers_)
            if (o->name == name && o->object == object) matching.push_back(o);
    }
    for (const auto& o : matching)
        if (!o->removed) o->block();
}

size_t NotificationCenter::observerCount() {
    std::lock_guard lock(mutex_);
    return observers_.size();
}

}  // namespace ovra
