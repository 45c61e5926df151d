// The emulator's public face: life cycle of the plug-in, commands run in processes, and the
// test's view of what the host holds.
#include "emulator.h"

#include <cstring>
#include <stdexcept>

#include <dlfcn.h>
#include <unistd.h>

#include "charsets.h"
#include "emulator_impl.h"
#include "frame_impl.h"
#include "layout.h"

namespace host {

using namespace layout;

namespace {

constexpr unsigned char kStartupFill = 0x5C;
constexpr int32_t kStartUp = -1;
constexpr int32_t kStartUpAgain = -200;
constexpr int32_t kShutDown = -2;

int32_t expectedInterfaceVersion(uint32_t hostVersion) {
  return (hostVersion & 0xFFFF) > 0x1600 ? 0x1610 : 0x1400;
}

}  // namespace

Emulator::Impl::Impl(Options o)
    : options(std::move(o)),
      memory(options.strict),
      hostVersion(options.hostVersion),
      compiledFlags(options.compiled ? kCompiledBits : 0) {
  outside.number = kOutside;
  outside.state = Process::State::Running;
}

Emulator::Impl::~Impl() {
  for (auto& [handle, rec] : handles) {
    if (rec.live) memory.release(rec.block);
  }
  for (auto& [id, rec] : texts) {
    if (rec.live) memory.release(rec.units);
  }
  for (auto& [ref, doc] : documents) close(doc.fd);
}

Emulator::Emulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  setActiveHost(impl_.get());
  if (impl_->options.strict) installCrashReport();
}

Emulator::~Emulator() {
  try {
    if (impl_->started) shutdown();
  } catch (...) {
  }
  impl_->stopAll();
  impl_->unloading = true;
  if (impl_->module) dlclose(impl_->module);
  if (activeHost() == impl_.get()) setActiveHost(nullptr);
}

void Emulator::load(const std::string& modulePath) {
  void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) throw std::runtime_error("cannot load " + modulePath + ": " + dlerror());
  void* symbol = dlsym(module, "FourDPackex");
  if (!symbol) {
    dlclose(module);
    throw std::runtime_error(modulePath + " exports no FourDPackex");
  }
  impl_->module = module;
  impl_->entry = reinterpret_cast<EntryPoint>(symbol);
  impl_->unloading = false;
}

// A plug-in loaded or attached after an unload is no unload code: its host calls are answered.
void Emulator::attach(EntryPoint entry) {
  impl_->entry = entry;
  impl_->unloading = false;
}

int32_t Emulator::startup() { return startupWithSelector(kStartUp); }

int32_t Emulator::startupWithSelector(int32_t selector) {
  if (!impl_->entry) throw std::logic_error("no plug-in loaded or attached");
  if (selector != kStartUp && selector != kStartUpAgain) {
    throw std::invalid_argument("a start-up selector is -1 or -200");
  }
  setActiveHost(impl_.get());
  Block record = impl_->memory.allocate(kStartupSize, kStartupFill);
  store<uint32_t>(record.data, kStartupHostVersion, impl_->hostVersion);
  store<void*>(record.data, kStartupCallback, reinterpret_cast<void*>(&hostCallback));
  Bytes before(reinterpret_cast<const char*>(record.data), kStartupSize);
  impl_->startSent = true;
  impl_->shutDown = false;
  EntryPoint entry = impl_->entry;
  void* noAccess = impl_->memory.noAccessPage();
  impl_->runIn(
      1,
      [&] {
        uint64_t result = 0;
        entry(selector, record.data, noAccess, &result);
      },
      "start-up", false);
  int32_t written = layout::load<int32_t>(record.data, kStartupInterfaceVersion);
  for (size_t i = 0; i < kStartupSize; ++i) {
    bool interface = i >= kStartupInterfaceVersion && i < kStartupInterfaceVersion + 4;
    if (!interface && static_cast<char>(record.data[i]) != before[i]) {
      impl_->fault("start-up: the plug-in wrote byte " + std::to_string(i) +
                   " of the start-up record");
      break;
    }
  }
  if (written != expectedInterfaceVersion(impl_->hostVersion)) {
    impl_->fault("start-up: interface version " + std::to_string(written) + " for host version " +
                 std::to_string(impl_->hostVersion));
  }
  impl_->memory.release(record);
  impl_->started = true;
  return written;
}

void Emulator::shutdown() {
  if (!impl_->started) return;
  {
    // 4D ends the other processes before it quits from the first one.
    std::unique_lock<std::mutex> lock(impl_->sched);
    std::vector<int> others;
    for (auto& [number, p] : impl_->processes) {
      if (number != 1) others.push_back(number);
    }
    for (int number : others) impl_->endProcessLocked(lock, number, true);
  }
  EntryPoint entry = impl_->entry;
  void* noAccess = impl_->memory.noAccessPage();
  impl_->runIn(
      1,
      [&] {
        uint64_t result = 0;
        entry(kShutDown, noAccess, noAccess, &result);
      },
      "shut-down", false);
  impl_->started = false;
  impl_->shutDown = true;
}

void Emulator::unload() {
  if (impl_->started) shutdown();
  impl_->unloading = true;
  if (impl_->module) dlclose(impl_->module);
  impl_->module = nullptr;
  impl_->entry = nullptr;
}

bool Emulator::started() const { return impl_->started; }
uint32_t Emulator::hostVersion() const { return impl_->hostVersion; }
void Emulator::setHostVersion(uint32_t version) { impl_->hostVersion = version; }

const Manifest& Emulator::manifest() const {
  if (impl_->options.manifestPath.empty()) return Manifest::builtIn();
  if (!impl_->ownManifest) impl_->ownManifest = Manifest::load(impl_->options.manifestPath);
  return *impl_->ownManifest;
}

// ---- Commands -------------------------------------------------------------------------------

Outcome Emulator::call(std::string_view name, std::vector<Value> args, int process) {
  Pending pending = start(name, std::move(args), process);
  impl_->waitFor(pending.state_->job);
  // Nobody else holds this pending: its outcome moves out instead of copying a long text.
  return std::move(pending.state_->outcome);
}

bool Emulator::Pending::done() const { return state_ && state_->job && state_->job->done; }

Emulator::Pending Emulator::start(std::string_view name, std::vector<Value> args, int process) {
  const CommandSpec* spec = manifest().find(name);
  if (!spec) throw std::invalid_argument("no command " + std::string(name));
  if (!impl_->entry) throw std::logic_error("no plug-in loaded or attached");
  auto frame = std::make_shared<Frame::Impl>(*impl_, spec->params, spec->result, spec->name);
  frame->command = true;
  frame->build(args);
  auto state = std::make_shared<PendingState>();
  Impl* impl = impl_.get();
  int32_t selector = spec->selector;
  auto job = [impl, frame, state, selector] {
    const auto started = std::chrono::steady_clock::now();
    impl->entry(selector, frame->array.data, impl->memory.noAccessPage(), frame->resultArea.data);
    Outcome outcome;
    outcome.elapsed = std::chrono::steady_clock::now() - started;
    // Before the cells are read and released: a BLOB cell's handle left locked is the command's
    // fault too.
    if (impl->options.strict) frame->checkLocksLeft(impl->current()->number);
    for (size_t i = 1; i <= frame->specs.size(); ++i) outcome.params.push_back(frame->read(i));
    outcome.result = frame->readResult();
    frame->settle();
    std::lock_guard<std::recursive_mutex> lock(impl->state);
    // Strict checks only: the guards of the live objects.
    if (impl->options.strict) impl->checkGuards();
    state->outcome = std::move(outcome);
  };
  Process* me = impl_->current();
  Pending pending;
  pending.state_ = state;
  if (me && me->number == process) {
    state->job = std::make_shared<JobState>();
    job();
    state->job->done = true;
  } else {
    state->job = impl_->enqueue(process, job, spec->name, true);
  }
  return pending;
}

Outcome Emulator::wait(Pending& pending) {
  if (!pending.state_) throw std::logic_error("wait for a command never started");
  impl_->waitFor(pending.state_->job);
  return pending.state_->outcome;
}

void Emulator::run(int process, const std::function<void()>& fn) {
  impl_->runIn(process, fn, "", false);
}

void Emulator::callSelector(int32_t selector, Frame* frame) {
  if (!impl_->entry) throw std::logic_error("no plug-in loaded or attached");
  EntryPoint entry = impl_->entry;
  void* noAccess = impl_->memory.noAccessPage();
  void* params = frame ? static_cast<void*>(frame->parameters()) : noAccess;
  void* result = frame ? frame->result() : noAccess;
  impl_->runIn(
      1, [&] { entry(selector, params, noAccess, result); }, "selector " + std::to_string(selector),
      false);
}

Frame Emulator::makeFrame(const std::vector<ParamSpec>& params, const std::vector<Value>& args,
                          Kind result) {
  auto frame = std::make_unique<Frame::Impl>(*impl_, params, result, "frame");
  frame->build(args);
  return Frame(std::move(frame));
}

// ---- Processes ------------------------------------------------------------------------------

void Emulator::endProcess(int process) {
  Process* me = impl_->current();
  if (me && me->number == process) throw std::logic_error("a process cannot end itself");
  std::unique_lock<std::mutex> lock(impl_->sched);
  impl_->endProcessLocked(lock, process, true);
}

void Emulator::onYield(int process, int64_t k, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(impl_->sched);
  Process& p = impl_->processLocked(process);
  p.hooks.push_back(YieldHook{p.yields + k, std::move(fn)});
}

int64_t Emulator::yields(int process) const {
  std::lock_guard<std::mutex> lock(impl_->sched);
  auto found = impl_->processes.find(process);
  return found == impl_->processes.end() ? 0 : found->second->yields;
}

// ---- Failure injection and the test's view --------------------------------------------------

void Emulator::refuse(Refusal what, int64_t nth) {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  impl_->refusals.emplace_back(what, nth);
}

void Emulator::clearRefusals() {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  impl_->refusals.clear();
}

void Emulator::capHandleSize(int64_t bytes) {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  impl_->handleCap = bytes;
}

namespace {

void list(LiveCounts& counts, const std::string& what, const std::string& origin) {
  if (counts.made.size() < LiveCounts::kMaxListed)
    counts.made.push_back(what + " made at " + origin);
}

}  // namespace

LiveCounts Emulator::live() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  LiveCounts counts;
  for (char** h : impl_->liveHandles) {
    const HandleRec& rec = impl_->handles.at(h);
    if (rec.owner != Owner::Plugin) continue;
    ++counts.handles;
    list(counts, "a handle of " + std::to_string(rec.block.size) + " bytes", rec.origin);
  }
  for (uint64_t id : impl_->liveTexts) {
    const TextRec& rec = impl_->texts.at(id);
    if (rec.owner != Owner::Plugin) continue;
    ++counts.texts;
    list(counts, "a text of " + std::to_string(rec.length) + " units", rec.origin);
  }
  for (auto& [r, rec] : impl_->pictures) {
    if (!rec.live || rec.owner != Owner::Plugin) continue;
    ++counts.pictures;
    list(counts, "a picture", rec.origin);
  }
  for (auto& [r, rec] : impl_->objects) {
    if (!rec.live || rec.owner != Owner::Plugin) continue;
    ++counts.objects;
    list(counts, "an object", rec.origin);
  }
  counts.documents = static_cast<int64_t>(impl_->documents.size());
  return counts;
}

std::vector<std::string> Emulator::faults() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  return impl_->faults;
}

void Emulator::clearFaults() {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  impl_->faults.clear();
}

void Emulator::reportFault(const std::string& fault) { impl_->fault(fault); }

int64_t Emulator::entryCount(int32_t entry) const {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  auto found = impl_->counts.find(entry);
  return found == impl_->counts.end() ? 0 : found->second;
}

std::vector<int32_t> Emulator::trace() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  return impl_->trace;
}

void Emulator::resetTrace() {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  impl_->trace.clear();
  impl_->counts.clear();
}

void Emulator::setCurrentRecord(int16_t table, const Bytes& image) {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  impl_->records[table] = image;
}

std::optional<Bytes> Emulator::currentRecord(int16_t table) const {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  auto found = impl_->records.find(table);
  if (found == impl_->records.end()) return std::nullopt;
  return found->second;
}

void Emulator::setCompiled(bool compiled) {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  impl_->compiledFlags = compiled ? kCompiledBits : 0;
}

void Emulator::setCompiledFlags(int64_t flags) {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  impl_->compiledFlags = flags;
}

std::vector<std::string> Emulator::openDocuments() const {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  std::vector<std::string> paths;
  for (auto& [ref, doc] : impl_->documents) paths.push_back(doc.path);
  return paths;
}

void Emulator::closeDocuments() {
  std::lock_guard<std::recursive_mutex> lock(impl_->state);
  for (auto& [ref, doc] : impl_->documents) close(doc.fd);
  impl_->documents.clear();
}

Bytes Emulator::convert(const Bytes& source, int32_t from, int32_t to) {
  if (!charsets::known(from) || !charsets::known(to)) {
    throw std::invalid_argument("unknown character set");
  }
  Bytes out(source.size() * 4 + 4, '\0');
  charsets::Converted done =
      charsets::convert(reinterpret_cast<const unsigned char*>(source.data()), source.size(), from,
                        reinterpret_cast<unsigned char*>(out.data()), out.size(), to);
  out.resize(done.written);
  return out;
}

}  // namespace host
