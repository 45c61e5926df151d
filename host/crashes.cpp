// Crashes that say what was touched: a segmentation fault or bus error while a strict emulator
// is active prints what the host knows of the address (which handle, text or parameter it is or
// was, and what became of it) with the faults so far and the last host calls, as the other
// faults do; then the process dies of the signal as it would have (or the sanitizer reports it).
#include <csignal>
#include <cstdio>
#include <mutex>

#include <sys/mman.h>

#include "emulator_impl.h"

namespace host {
namespace {

constexpr size_t kCrashStackSize = size_t{256} << 10;

struct sigaction gPreviousSegv;
struct sigaction gPreviousBus;

void restorePrevious() {
  sigaction(SIGSEGV, &gPreviousSegv, nullptr);
  sigaction(SIGBUS, &gPreviousBus, nullptr);
}

// Best effort, as in any crash: the registries are read as they are. On return the faulting
// instruction runs again and meets the previous handler; a signal that some process sent is
// raised again instead.
void onCrash(int signal, siginfo_t* info, void*) {
  restorePrevious();
  if (Emulator::Impl* host = hostOfThisThread(); host && host->options.strict) {
    host->reportCrash(signal, info->si_addr, info->si_code == SI_KERNEL);
  }
  if (info->si_code <= 0) raise(signal);
}

}  // namespace

void installCrashReport() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action = {};
    action.sa_sigaction = &onCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &gPreviousSegv);
    sigaction(SIGBUS, &action, &gPreviousBus);
  });
}

void* takeCrashStack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return nullptr;
  void* memory = mmap(nullptr, kCrashStackSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = kCrashStackSize;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(memory, kCrashStackSize);
    return nullptr;
  }
  return memory;
}

void releaseCrashStack(void* stack) {
  if (!stack) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(stack, kCrashStackSize);
}

void Emulator::Impl::printState() {
  for (const std::string& f : faults) std::fprintf(stderr, "  fault: %s\n", f.c_str());
  size_t from = trace.size() > 64 ? trace.size() - 64 : 0;
  std::fprintf(stderr, "  last host calls:");
  for (size_t i = from; i < trace.size(); ++i) std::fprintf(stderr, " %d", trace[i]);
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
}

void Emulator::Impl::reportCrash(int signal, const void* address, bool noAddress) {
  // Another thread may hold the registries (it cannot be running plug-in code): read them anyway
  // rather than wait for ever.
  std::unique_lock<std::recursive_mutex> lock(state, std::try_to_lock);
  const std::string what =
      noAddress ? std::string(
                      "an address that no memory can have, such as a picture or object "
                      "reference or a scribbled field of a host call block used as a "
                      "pointer")
                : describeAddress(address);
  std::fprintf(stderr, "host emulator: %s at %p: %s [%s]\n",
               signal == SIGBUS ? "bus error" : "segmentation fault", address, what.c_str(),
               origin().c_str());
  printState();
}

}  // namespace host
