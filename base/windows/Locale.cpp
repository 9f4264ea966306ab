// Windows has no uselocale; there nothing switches the C locale away from "C" (no GTK), so
// the process locale already gives '.'.
#include "base/Locale.h"

namespace veltrane {

ClassicLocaleForThisThread::ClassicLocaleForThisThread() = default;
ClassicLocaleForThisThread::~ClassicLocaleForThisThread() = default;

}  // namespace veltrane
