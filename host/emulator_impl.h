// The emulator's inside, shared by its source files: the registries of host objects, the
// processes and their turn, and the frames of parameter cells.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "emulator.h"
#include "memory.h"

// The call block of every host entry, opaque here: the host reads its fields by its own offsets
// (layout.h), never through the plug-in's declaration. Declared so that the callback has exactly
// the function type the plug-in calls it through, void (*)(int32_t, HostCallBlock*), which
// clang's -fsanitize=function checks.
struct HostCallBlock;

namespace host {

using Clock = std::chrono::steady_clock;

enum class Owner { Host, Plugin };

struct HandleRec {
  Block block;
  int32_t locks = 0;
  int lockProcess = 0;  // the 4D process that locked it last: its command must unlock it
  Owner owner = Owner::Plugin;
  bool live = true;
  bool guardReported = false;
  std::string origin;
  int64_t releasedAt = 0;  // the host call that disposed of it
};

struct TextRec {
  Block units;  // length + 1 units, the last one zero
  int32_t length = 0;
  Owner owner = Owner::Plugin;
  bool live = true;
  bool guardReported = false;
  std::string origin;
};

struct PictureRec {
  Picture value;
  Owner owner = Owner::Plugin;
  bool live = true;
  std::string origin;
};

struct ObjectRec {
  Owner owner = Owner::Plugin;
  bool live = true;
  std::string origin;
};

struct DocumentRec {
  std::string path;
  int fd = -1;
};

// One host object that a frame must release when it is done.
struct ObjectRef {
  enum class Type { Handle, Text, Picture } type;
  uint64_t id;  // for a handle, the address of its master pointer
};

struct JobState {
  std::atomic<bool> done{false};
  std::exception_ptr error;
};

struct Job {
  std::function<void()> fn;
  std::shared_ptr<JobState> state;
  std::string name;
  bool command = false;
};

struct YieldHook {
  int64_t at;
  std::function<void()> fn;
};

struct Process {
  enum class State { Idle, Ready, Running, Sleeping };
  int number = 0;
  std::thread thread;
  std::deque<Job> jobs;
  State state = State::Idle;
  Clock::time_point wakeAt;
  int64_t yields = 0;
  std::vector<YieldHook> hooks;
  bool quit = false;
  bool enteredPlugin = false;
  // The job running now, for the watchdog and the fault reports.
  bool busy = false;
  bool command = false;
  std::string jobName;
  int64_t jobYields = 0;
  Clock::time_point jobStart;
};

struct PendingState {
  std::shared_ptr<JobState> job;
  Outcome outcome;
};

// Values of host objects that the plug-in receives as opaque 8-byte references: non-canonical
// addresses, so that dereferencing one faults.
constexpr uint64_t kPictureTag = 0xF1C0'0000'0000'0000;
constexpr uint64_t kObjectTag = 0x0B1E'0000'0000'0000;
constexpr uint64_t kTagMask = 0xFFFF'0000'0000'0000;
// What a disposed handle's master pointer and the scribbled block fields hold.
// (Strict mode points a disposed handle's master pointer into the allocator's dead slots instead,
// so that a use of it names the handle.)
constexpr uint64_t kPoisonAddress = 0xDDDD'DDDD'DDDD'DDDD;
// The tags of blocks that are no handle's (a handle's block is tagged with its master pointer's
// address, a user address below 2^47): a text's units, a call's parameter cells.
constexpr uint64_t kTextTag = uint64_t{1} << 62;
constexpr uint64_t kCellsTag = uint64_t{1} << 61;
constexpr unsigned char kScribble = 0xEE;
// What entry -56 answers when the database runs compiled.
constexpr int64_t kCompiledBits = (int64_t{1} << 27) | (int64_t{1} << 23);

struct Emulator::Impl {
  explicit Impl(Options o);
  ~Impl();

  // ---- Registries (guarded by state) ----
  std::string origin() const;
  void fault(const std::string& what);
  [[noreturn]] void abortRun(const std::string& why);
  bool refused(Refusal what);
  bool exceedsCap(int64_t size) const { return handleCap >= 0 && size > handleCap; }

  char** makeHandle(size_t size, Owner owner, const void* bytes = nullptr);
  HandleRec* findHandle(void* handle);
  void releaseHandle(char** handle);
  // Sets the size keeping the bytes (moving them in strict mode); false when memory lacks.
  bool resizeHandle(char** handle, HandleRec& rec, size_t size);
  void relocate(char** handle, HandleRec& rec);
  void relocateUnlockedHandles(const void* except);
  Bytes handleBytes(const HandleRec& rec) const;

  uint64_t makeText(const char16_t* units, size_t length, Owner owner);
  TextRec* findText(uint64_t id);
  bool replaceText(uint64_t id, TextRec& rec, const char16_t* units, size_t length);
  void releaseText(uint64_t id);
  void writeTextRecord(void* record, uint64_t id);
  Text textValue(const TextRec& rec) const;
  // The text a record names: 0 for a zeroed record; faults for a foreign or stale one.
  std::optional<uint64_t> textOfRecord(const void* record, const std::string& where);

  uint64_t makePicture(Picture value, Owner owner);
  PictureRec* findPicture(uint64_t ref);
  void releasePicture(uint64_t ref);
  uint64_t makeObject(Owner owner);

  void releaseRef(const ObjectRef& ref);
  void clearVariable(unsigned char* variable, const std::string& where);
  void releaseArrayElements(int8_t kind, const unsigned char* head, const std::string& where);
  void checkGuards();

  // ---- Crashes: what an address is, in the host's words ----
  std::string describeAddress(const void* address);
  std::string nameOfHandle(void* handle, const HandleRec& rec) const;
  std::string nameOfText(uint64_t id, const TextRec& rec) const;
  std::string describeDisposed(int64_t slot, const void* address) const;
  std::string describeOldPlace(const OldPlace& place) const;
  // Prints what a crash at address touched, the faults so far and the last host calls; the
  // caller then lets the process die of the signal.
  void reportCrash(int signal, const void* address, bool noAddress);
  void printState();

  // ---- The host callback ----
  void answer(int32_t entry, unsigned char* block);

  // ---- Processes (guarded by sched) ----
  Process& processLocked(int number);
  std::shared_ptr<JobState> enqueue(int process, std::function<void()> fn, std::string name,
                                    bool command);
  void waitFor(const std::shared_ptr<JobState>& job);
  void runIn(int process, std::function<void()> fn, std::string name, bool command);
  void processMain(Process& me);
  bool ready(const Process& p, Clock::time_point now) const;
  void grant(Process& p);
  void passTurn(Process& me, bool stillWanted);
  void awaitTurn(std::unique_lock<std::mutex>& lock, Process& me);
  void countYield(std::unique_lock<std::mutex>& lock, Process& me);
  void yieldTurn();
  void sleepTurn(int64_t ticks);
  void watchdog(const Process& me);
  void endProcessLocked(std::unique_lock<std::mutex>& lock, int number, bool notify);
  void awaitIdle(std::unique_lock<std::mutex>& lock);
  void waitOutside(std::unique_lock<std::mutex>& lock, const std::shared_ptr<JobState>& job);
  void stopAll();
  Process* current() const;
  bool holdsTurn() const;

  Options options;
  BlockAllocator memory;
  EntryPoint entry = nullptr;
  void* module = nullptr;
  std::optional<Manifest> ownManifest;
  uint32_t hostVersion;
  int64_t compiledFlags;
  std::atomic<bool> startSent{false};
  std::atomic<bool> started{false};
  std::atomic<bool> shutDown{false};
  // The plug-in is being or has been unloaded: a host call now comes from its unload code (a
  // destructor run at dlclose or at exit), and a fault recorded then would never be read.
  std::atomic<bool> unloading{false};

  mutable std::recursive_mutex state;
  // Stable addresses; a disposed handle's slot is reused only once its record is forgotten.
  std::deque<char*> masters;
  std::vector<char**> freeMasters;
  std::unordered_map<char**, HandleRec> handles;
  std::unordered_map<uint64_t, TextRec> texts;
  // The live ones among them: the registries keep every record for the faults that name a
  // released one, so the checks after each command and live() walk these instead.
  std::unordered_set<char**> liveHandles;
  std::unordered_set<uint64_t> liveTexts;
  // The records of the last kKeptReleased handles and texts released stay, so that a use of one
  // faults naming where it was made; older ones are forgotten (a use is then a fault for an
  // unknown handle or text). Bounded, so that a long run (a fuzzer's) allocates no more memory
  // per call once it is warm: libFuzzer takes calls that allocate more than they free for leaks.
  static constexpr size_t kKeptReleased = 4096;
  std::vector<char**> releasedHandles;  // rings of kKeptReleased entries
  size_t nextReleasedHandle = 0;
  std::vector<uint64_t> releasedTexts;
  size_t nextReleasedText = 0;
  uint64_t nextText = 1;
  std::unordered_map<uint64_t, PictureRec> pictures;
  uint64_t nextPicture = 1;
  std::unordered_map<uint64_t, ObjectRec> objects;
  uint64_t nextObject = 1;
  std::map<int32_t, DocumentRec> documents;
  int32_t nextDocument = 1;
  std::map<int16_t, Bytes> records;
  // The frames whose cells the plug-in may hold now, to name a cell or a cell's handle or text.
  std::unordered_set<Frame::Impl*> frames;
  std::vector<std::string> faults;
  std::vector<int32_t> trace;
  std::unordered_map<int32_t, int64_t> counts;
  int64_t hostCalls = 0;
  std::vector<std::pair<Refusal, int64_t>> refusals;
  int64_t handleCap = -1;

  std::mutex sched;
  std::condition_variable turn;
  // The threads that are no process (the test's) hold the turn as process 0 whenever they are
  // not waiting for a job, so that what they start runs only once they wait: runs are then
  // deterministic. kNobody: every process sleeps or waits.
  static constexpr int kOutside = 0;
  static constexpr int kNobody = -1;
  int holder = kOutside;
  Process outside;
  const JobState* outsideAwaits = nullptr;
  std::map<int, std::unique_ptr<Process>> processes;
};

// The callback whose address the start-up record carries. It answers for the emulator bound to
// the calling thread (a process thread), else for the active one (the last constructed).
void hostCallback(int32_t entry, ::HostCallBlock* block);
void setActiveHost(Emulator::Impl* host);
Emulator::Impl* activeHost();
void bindThreadToHost(Emulator::Impl* host);
// The emulator that answers the calling thread's host calls (as hostCallback chooses), or null.
Emulator::Impl* hostOfThisThread();
// Makes a segmentation fault or bus error report what the active emulator knows of the address
// before the process dies of it (strict emulators install it, once per process).
void installCrashReport();
// Gives the calling thread a stack of its own for that report, so that a stack overflow is
// reported too; null when it has one already. Released by releaseCrashStack.
void* takeCrashStack();
void releaseCrashStack(void* stack);

}  // namespace host
