// The plug-in module that the host loads. Its code is the zuvcore library, linked whole; this
// file only gives the module a translation unit of its own. FourDPackex is its one export.
#include "4DPluginAPI.h"

namespace {
[[maybe_unused]] const auto kEntryPoint = &FourDPackex;
}
