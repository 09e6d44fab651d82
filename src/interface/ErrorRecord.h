// The description of the last failed microphone start, guarded by errorLock.
#pragma once

#include <string>

namespace ovra {

void setLastMicErrorDescription(std::string text);
std::string lastMicErrorDescription();

}  // namespace ovra
