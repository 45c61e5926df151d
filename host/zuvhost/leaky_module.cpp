// A plug-in module that leaks: every command makes a host handle and drops it. Only the test of
// zuvhost's exit status uses it, to show that a leaked host object makes zuvhost answer 1.

#include "4DPluginAPI.h"

namespace {

constexpr int32_t kFirstCommand = 2;

}  // namespace

void PluginMain(int32_t selector, PluginBlock*) {
  if (selector >= kFirstCommand) PA_NewHandle(16);
}
