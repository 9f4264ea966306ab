#include "app/Console.h"

namespace veltrane {

void WriteToTheStartingConsole() {}

}  // namespace veltrane
