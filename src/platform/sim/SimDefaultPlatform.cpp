// Tests and benchmarks run on the simulated platform unless they install another.
#include "platform/sim/SimPlatform.h"

namespace ovra {
std::shared_ptr<Platform> makeDefaultPlatform() { return std::make_shared<sim::SimPlatform>(); }
}  // namespace ovra
