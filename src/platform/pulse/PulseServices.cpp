#include "platform/pulse/PulseServices.h"

#include "platform/pulse/PulseAudioHardware.h"
#include "platform/pulse/PulseChangeNotifier.h"
#include "platform/pulse/PulseConnection.h"
#include "platform/pulse/PulseEngine.h"
#include "platform/pulse/PulsePermission.h"

namespace ovra::pulse {

PulseServices makePulseServices(NotificationCenter& notifications) {
    PulseServices s;
    s.hardware = std::make_unique<PulseAudioHardware>(PulseConnection::shared());
    auto notifier = std::make_shared<PulseChangeNotifier>(notifications);
    s.createEngine = [notifier] { return makePulseEngine(PulseConnection::shared(), notifier); };
    s.permission = makePulsePermission();
    return s;
}

}  // namespace ovra::pulse
