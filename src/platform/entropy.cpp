// Memory figures for the TLS library's extra entropy. macOS reads them with sysctlbyname
// ("vm.page_free_count", "hw.usermem"); Linux has no sysctlbyname, and sysconf gives the free
// and the total physical page counts, of the same 4-byte size.

#include <unistd.h>

#include "platform/platform.h"

namespace platform {

unsigned int freePageCount() { return static_cast<unsigned int>(sysconf(_SC_AVPHYS_PAGES)); }

unsigned int totalPageCount() { return static_cast<unsigned int>(sysconf(_SC_PHYS_PAGES)); }

}  // namespace platform
