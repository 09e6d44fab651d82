// The one-line text of an error that is not a session's own (a platform or library exception).
#pragma once

#include <exception>
#include <string>

namespace ovra {

std::string genericErrorText(std::exception_ptr error);

}  // namespace ovra
