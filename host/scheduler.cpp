// 4D processes as threads that take turns: one turn (the baton) passes between them only at a
// yield (-93, -122), a sleep (-89) or when a job ends, round-robin among the ready ones, as in
// 4D's cooperative scheduler. Threads that are not processes (the test's own) hand jobs over
// and wait for them.
#include <cstdio>

#include "emulator_impl.h"

namespace host {
namespace {

thread_local Process* tProcess = nullptr;
thread_local const Emulator::Impl* tOwner = nullptr;

}  // namespace

Process* Emulator::Impl::current() const { return tOwner == this ? tProcess : nullptr; }

bool Emulator::Impl::holdsTurn() const {
  Process* me = current();
  return me && holder == me->number;
}

Process& Emulator::Impl::processLocked(int number) {
  auto found = processes.find(number);
  if (found != processes.end()) return *found->second;
  auto process = std::make_unique<Process>();
  Process* raw = process.get();
  raw->number = number;
  processes.emplace(number, std::move(process));
  raw->thread = std::thread([this, raw] { processMain(*raw); });
  return *raw;
}

bool Emulator::Impl::ready(const Process& p, Clock::time_point now) const {
  return p.state == Process::State::Ready ||
         (p.state == Process::State::Sleeping && now >= p.wakeAt);
}

void Emulator::Impl::grant(Process& p) {
  holder = p.number;
  p.state = Process::State::Running;
}

// Gives the turn to the next ready process after me; keeps it when none is and I still want
// it; else nobody holds it until a job arrives or a sleeper wakes.
void Emulator::Impl::passTurn(Process& me, bool stillWanted) {
  Clock::time_point now = Clock::now();
  Process* next = nullptr;
  for (auto it = processes.upper_bound(me.number); it != processes.end() && !next; ++it) {
    if (ready(*it->second, now)) next = it->second.get();
  }
  if (!next && me.number != kOutside && ready(outside, now)) next = &outside;
  for (auto it = processes.begin(); it != processes.end() && it->first < me.number && !next; ++it) {
    if (ready(*it->second, now)) next = it->second.get();
  }
  int before = holder;
  if (next) {
    grant(*next);
  } else if (stillWanted) {
    grant(me);
  } else {
    holder = kNobody;
  }
  // A turn that stays with me changes nothing another thread waits for: waking them all would
  // cost every yield of a lone process a round of context switches.
  if (holder != before) turn.notify_all();
}

void Emulator::Impl::awaitTurn(std::unique_lock<std::mutex>& lock, Process& me) {
  while (holder != me.number) {
    if (me.state == Process::State::Sleeping && Clock::now() < me.wakeAt) {
      turn.wait_until(lock, me.wakeAt);
    } else if (me.state == Process::State::Sleeping && holder == kNobody) {
      grant(me);
    } else {
      turn.wait(lock);
    }
  }
}

void Emulator::Impl::processMain(Process& me) {
  tProcess = &me;
  tOwner = this;
  bindThreadToHost(this);
  void* crashStack = options.strict ? takeCrashStack() : nullptr;
  std::unique_lock<std::mutex> lock(sched);
  for (;;) {
    turn.wait(lock, [&] { return holder == me.number || (me.quit && me.jobs.empty()); });
    if (holder != me.number) break;
    if (me.jobs.empty()) {
      me.state = Process::State::Idle;
      passTurn(me, false);
      continue;
    }
    Job job = std::move(me.jobs.front());
    me.jobs.pop_front();
    me.busy = true;
    me.command = job.command;
    me.jobName = job.name;
    me.jobYields = 0;
    me.jobStart = Clock::now();
    me.enteredPlugin = true;
    lock.unlock();
    try {
      job.fn();
    } catch (...) {
      job.state->error = std::current_exception();
    }
    lock.lock();
    me.busy = false;
    me.jobName.clear();
    job.state->done = true;
    if (outsideAwaits == job.state.get()) outside.state = Process::State::Ready;
    me.state = me.jobs.empty() ? Process::State::Idle : Process::State::Ready;
    passTurn(me, !me.jobs.empty());
  }
  lock.unlock();
  releaseCrashStack(crashStack);
  lock.lock();
  bindThreadToHost(nullptr);
}

std::shared_ptr<JobState> Emulator::Impl::enqueue(int number, std::function<void()> fn,
                                                  std::string name, bool command) {
  auto state = std::make_shared<JobState>();
  std::lock_guard<std::mutex> lock(sched);
  Process& p = processLocked(number);
  p.jobs.push_back(Job{std::move(fn), state, std::move(name), command});
  if (p.state == Process::State::Idle) p.state = Process::State::Ready;
  if (holder == kNobody && p.state == Process::State::Ready) grant(p);
  turn.notify_all();
  return state;
}

void Emulator::Impl::waitFor(const std::shared_ptr<JobState>& job) {
  std::unique_lock<std::mutex> lock(sched);
  Process* me = current();
  if (me && holder == me->number) {
    // A process waiting for another one lets the others run meanwhile.
    while (!job->done) {
      me->state = Process::State::Ready;
      passTurn(*me, true);
      if (holder == me->number) {
        turn.wait_for(lock, std::chrono::milliseconds(1));
      } else {
        awaitTurn(lock, *me);
      }
    }
  } else {
    waitOutside(lock, job);
  }
  lock.unlock();
  if (job->error) std::rethrow_exception(job->error);
}

// The test's thread gives up the turn until the job is done and the turn comes back to it.
void Emulator::Impl::waitOutside(std::unique_lock<std::mutex>& lock,
                                 const std::shared_ptr<JobState>& job) {
  outsideAwaits = job.get();
  if (!job->done) {
    outside.state = Process::State::Idle;
    if (holder == kOutside) passTurn(outside, false);
  }
  for (;;) {
    if (job->done) {
      if (holder == kNobody) grant(outside);
      if (holder == kOutside) break;
      outside.state = Process::State::Ready;
    }
    turn.wait_for(lock, std::chrono::seconds(1));
    for (auto& [number, p] : processes) {
      if (p->busy) watchdog(*p);
    }
  }
  outsideAwaits = nullptr;
  outside.state = Process::State::Running;
}

void Emulator::Impl::runIn(int process, std::function<void()> fn, std::string name, bool command) {
  Process* me = current();
  if (me && me->number == process) {
    fn();
    return;
  }
  waitFor(enqueue(process, std::move(fn), std::move(name), command));
}

void Emulator::Impl::watchdog(const Process& me) {
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - me.jobStart).count();
  // Every yield comes here: the words of the report are made only when there is one.
  if (me.jobYields <= options.maxYieldsPerCall && seconds <= options.maxSecondsPerCall) return;
  std::string what = "process " + std::to_string(me.number) + " running " +
                     (me.jobName.empty() ? std::string("code") : me.jobName);
  if (me.jobYields > options.maxYieldsPerCall) {
    abortRun(what + " yielded more than " + std::to_string(options.maxYieldsPerCall) +
             " times: it hangs");
  }
  if (seconds > options.maxSecondsPerCall) {
    abortRun(what + " ran longer than " + std::to_string(options.maxSecondsPerCall) +
             " seconds: it hangs");
  }
}

// Counts a yield of me and runs the hooks due at it, in my turn.
void Emulator::Impl::countYield(std::unique_lock<std::mutex>& lock, Process& me) {
  ++me.yields;
  if (me.busy) {
    ++me.jobYields;
    watchdog(me);
  }
  std::vector<std::function<void()>> due;
  for (auto it = me.hooks.begin(); it != me.hooks.end();) {
    if (it->at <= me.yields) {
      due.push_back(std::move(it->fn));
      it = me.hooks.erase(it);
    } else {
      ++it;
    }
  }
  if (due.empty()) return;
  lock.unlock();
  for (auto& fn : due) fn();
  lock.lock();
}

void Emulator::Impl::yieldTurn() {
  Process* me = current();
  if (!me) return;
  std::unique_lock<std::mutex> lock(sched);
  if (holder != me->number) return;
  countYield(lock, *me);
  me->state = Process::State::Ready;
  passTurn(*me, true);
  awaitTurn(lock, *me);
}

void Emulator::Impl::sleepTurn(int64_t ticks) {
  if (ticks <= 0) return yieldTurn();
  Process* me = current();
  if (!me) return;
  std::unique_lock<std::mutex> lock(sched);
  if (holder != me->number) return;
  countYield(lock, *me);
  me->state = Process::State::Sleeping;
  me->wakeAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(ticks / 60.0));
  passTurn(*me, false);
  awaitTurn(lock, *me);
}

void Emulator::Impl::endProcessLocked(std::unique_lock<std::mutex>& lock, int number, bool notify) {
  auto found = processes.find(number);
  if (found == processes.end()) return;
  Process& p = *found->second;
  if (notify && p.enteredPlugin && started && !shutDown && entry) {
    auto state = std::make_shared<JobState>();
    EntryPoint fn = entry;
    void* noAccess = memory.noAccessPage();
    p.jobs.push_back(Job{[fn, noAccess] {
                           uint64_t result = 0;
                           fn(-4, noAccess, noAccess, &result);
                         },
                         state, "process end", false});
    if (p.state == Process::State::Idle) p.state = Process::State::Ready;
    if (holder == kNobody && p.state == Process::State::Ready) grant(p);
    lock.unlock();
    waitFor(state);
    lock.lock();
  }
  p.quit = true;
  turn.notify_all();
  lock.unlock();
  p.thread.join();
  lock.lock();
  processes.erase(number);
}

// Lets every job already handed to a process finish, the test's thread waiting meanwhile.
void Emulator::Impl::awaitIdle(std::unique_lock<std::mutex>& lock) {
  auto busy = [&] {
    for (auto& [number, p] : processes) {
      if (p->busy || !p->jobs.empty()) return true;
    }
    return false;
  };
  while (busy()) {
    if (holder == kOutside) {
      outside.state = Process::State::Idle;
      passTurn(outside, false);
    }
    turn.wait_for(lock, std::chrono::milliseconds(10));
    for (auto& [number, p] : processes) {
      if (p->busy) watchdog(*p);
    }
  }
  if (holder == kNobody) grant(outside);
}

void Emulator::Impl::stopAll() {
  std::unique_lock<std::mutex> lock(sched);
  if (!current()) awaitIdle(lock);
  while (!processes.empty()) endProcessLocked(lock, processes.begin()->first, false);
}

}  // namespace host
