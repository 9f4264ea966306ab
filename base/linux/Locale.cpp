#include "base/Locale.h"

#include <locale.h>

namespace veltrane {

ClassicLocaleForThisThread::ClassicLocaleForThisThread() {
  static const locale_t classic = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  previous = uselocale(classic);
}

ClassicLocaleForThisThread::~ClassicLocaleForThisThread() {
  uselocale(static_cast<locale_t>(previous));
}

}  // namespace veltrane
