#include "base/Environment.h"

#include <cstdlib>

namespace veltrane {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace veltrane
