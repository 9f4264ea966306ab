#pragma once
// The process environment. Any thread, as long as nothing changes the environment.

#include <string>

namespace veltrane {

// The variable's value; empty when it is not set.
std::string Environment(const char* name);

}  // namespace veltrane
