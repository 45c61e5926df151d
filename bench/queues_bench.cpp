// Text queues through ZUV_QueuePush and ZUV_QueuePop, in the host emulator's realistic mode:
// 1000 queues of 1000 texts each pushed, then popped, beside the same per-text work on a few
// small queues, to show that a push and a pop take the same time whatever the number of queues
// and texts.
//
//   queues_bench [queues] [texts per queue]   (default 1000 1000)
//
// Times are the commands' own (Outcome::elapsed), summed over every call; they carry the noise
// of the emulator handing each call to a process thread. The same work is then timed inside one
// 4D process's turn, calling the queue functions in a loop: a push is host-free, a pop sets the
// result text through the host.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "4DPluginAPI.h"
#include "emulator.h"
#include "plugin/parameters.h"
#include "services/queues.h"

namespace {

struct Rates {
  double pushNanoseconds;  // per text
  double popNanoseconds;
  bool inOrder;
};

// Pushes texts round the queues (each queue grows together with the others), then pops them
// the same way, checking that every queue gives its texts back in order.
Rates run(host::Emulator& emu, int64_t queues, int64_t texts) {
  std::chrono::nanoseconds push{0}, pop{0};
  bool inOrder = true;
  for (int64_t t = 0; t < texts; ++t) {
    for (int64_t q = 0; q < queues; ++q) {
      std::u16string text = host::text("queue " + std::to_string(q) + " text " + std::to_string(t));
      push += emu.call("ZUV_QueuePush", {host::Value{q}, host::Value{text}}).elapsed;
    }
  }
  for (int64_t t = 0; t < texts; ++t) {
    for (int64_t q = 0; q < queues; ++q) {
      host::Outcome out = emu.call("ZUV_QueuePop", {host::Value{q}, int64_t{0}});
      pop += out.elapsed;
      inOrder = inOrder && host::utf8(out.text()) ==
                               "queue " + std::to_string(q) + " text " + std::to_string(t);
    }
  }
  for (int64_t q = 0; q < queues; ++q) emu.call("ZUV_QueueErase", {host::Value{q}});
  double n = static_cast<double>(queues * texts);
  return {static_cast<double>(push.count()) / n, static_cast<double>(pop.count()) / n, inOrder};
}

void print(const char* what, int64_t queues, int64_t texts, const Rates& rates) {
  std::printf("%-6s %5lld queues x %5lld texts: push %7.0f ns/text, pop %7.0f ns/text%s\n", what,
              static_cast<long long>(queues), static_cast<long long>(texts), rates.pushNanoseconds,
              rates.popNanoseconds, rates.inOrder ? "" : "  (OUT OF ORDER)");
}

// The same pushes and pops inside one process's turn, through the queue functions.
Rates runInProcess(host::Emulator& emu, int64_t queues, int64_t texts) {
  using Clock = std::chrono::steady_clock;
  host::Frame frame = emu.makeFrame({{"key", host::Kind::Longint, host::Direction::In}},
                                    {host::Value{int64_t{0}}}, host::Kind::Text);
  PluginBlock block{frame.parameters(), frame.result(), nullptr};
  Rates rates{0, 0, true};
  emu.run(1, [&] {
    std::u16string text;
    auto start = Clock::now();
    for (int64_t t = 0; t < texts; ++t) {
      for (int64_t q = 0; q < queues; ++q) {
        text = host::text("queue " + std::to_string(q) + " text " + std::to_string(t));
        PA_Unistring record{
            static_cast<int32_t>(text.size()), reinterpret_cast<PA_Unichar*>(text.data()), {}};
        queues::enqueue(static_cast<int32_t>(q), record);
      }
    }
    auto pushed = Clock::now();
    PA_Unistring& result = *resultText(&block);
    for (int64_t t = 0; t < texts; ++t) {
      for (int64_t q = 0; q < queues; ++q) queues::dequeue(result, static_cast<int32_t>(q), false);
    }
    auto popped = Clock::now();
    for (int64_t q = 0; q < queues; ++q) {
      rates.inOrder = rates.inOrder && queues::queueSize(static_cast<int32_t>(q)) == 0;
      queues::eraseQueue(static_cast<int32_t>(q));
    }
    double n = static_cast<double>(queues * texts);
    rates.pushNanoseconds = std::chrono::duration<double, std::nano>(pushed - start).count() / n;
    rates.popNanoseconds = std::chrono::duration<double, std::nano>(popped - pushed).count() / n;
  });
  return rates;
}

void printGrowth(const Rates& large, const Rates& small, const Rates& smallAgain, double ratio) {
  double smallPush = std::min(small.pushNanoseconds, smallAgain.pushNanoseconds);
  double smallPop = std::min(small.popNanoseconds, smallAgain.popNanoseconds);
  std::printf("time per text, large / small: push %.2f x, pop %.2f x, for %.0f x the texts\n",
              large.pushNanoseconds / smallPush, large.popNanoseconds / smallPop, ratio);
}

}  // namespace

int main(int argc, char** argv) {
  host::keepFreedMemory();
  int64_t queues = argc > 1 ? std::strtoll(argv[1], nullptr, 10) : 1000;
  int64_t texts = argc > 2 ? std::strtoll(argv[2], nullptr, 10) : 1000;
  if (queues <= 0) queues = 1000;
  if (texts <= 0) texts = 1000;
  host::Emulator emu(host::Options{.strict = false});
  emu.attach(&FourDPackex);
  emu.startup();
  double ratio = static_cast<double>(queues * texts) / 1000.0;

  // The small run first and last, so that a warm or a cold cache favours neither side.
  std::printf("through the commands\n");
  Rates small = run(emu, 10, 100);
  Rates large = run(emu, queues, texts);
  Rates smallAgain = run(emu, 10, 100);
  print("small", 10, 100, small);
  print("large", queues, texts, large);
  print("small", 10, 100, smallAgain);
  printGrowth(large, small, smallAgain, ratio);

  std::printf("inside one process's turn\n");
  small = runInProcess(emu, 10, 100);
  large = runInProcess(emu, queues, texts);
  smallAgain = runInProcess(emu, 10, 100);
  print("small", 10, 100, small);
  print("large", queues, texts, large);
  print("small", 10, 100, smallAgain);
  printGrowth(large, small, smallAgain, ratio);
  emu.shutdown();
  return 0;
}
