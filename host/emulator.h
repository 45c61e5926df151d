// The host emulator: a model of the 4D host for the plug-in, strict enough to catch what a real
// host would punish.
//
// It loads the plug-in (dlopen, or a FourDPackex linked into the caller), hands it the start-up
// record, builds parameter cells and the result area from manifest.json, answers every host entry
// the plug-in calls, and runs 4D processes as threads that take turns the way 4D's cooperative
// scheduler does: only one runs plug-in code at a time, and the turn passes only at a yield, a
// sleep, or when a command returns.
//
// In strict mode (the default, and the only mode tests use) a handle's bytes move on every resize
// and final unlock, and at every host call while it is unlocked; a block's last byte ends a page
// before an inaccessible page; freed memory is poisoned and protected, guard bytes follow every
// cell, a text gets fresh units on every change, and every object the plug-in owns is counted. A
// fault (double dispose, unknown reference, unlock at 0, resize of a locked handle, a write to an
// "in" parameter, a trampled guard) is recorded with the entry that saw it, and a crash says what
// its address was. The realistic mode, for benchmarks only, uses plain realloc with no moves and
// no guards.
//
// This header is the whole interface; host/README.md describes it with examples.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace host {

// ---- Values ---------------------------------------------------------------------------------

using Text = std::u16string;
using Bytes = std::string;  // raw bytes, any values

struct Date {
  int16_t day = 0;
  int16_t month = 0;
  int16_t year = 0;
  bool operator==(const Date& o) const {
    return day == o.day && month == o.month && year == o.year;
  }
};

struct PictureFormat {
  std::string type;  // the host's type name, such as ".png;image/png"
  Bytes bytes;
  bool operator==(const PictureFormat& o) const { return type == o.type && bytes == o.bytes; }
};

// A picture value; no formats at all is the empty picture. `null` is a cell holding no picture.
struct Picture {
  bool null = false;
  std::vector<PictureFormat> formats;
  int32_t width = 0;  // optional size answered by host command 457 when the bytes tell none
  int32_t height = 0;
  bool operator==(const Picture& o) const { return null == o.null && formats == o.formats; }
};

// A BLOB value; hasHandle = false is a BLOB without handle (the cell holds null).
struct Blob {
  bool hasHandle = true;
  Bytes bytes;
  bool operator==(const Blob& o) const {
    return hasHandle == o.hasHandle && (!hasHandle || bytes == o.bytes);
  }
};

// Arrays hold element 0 first: elements.size() is the element count + 1.
struct IntegerArray {
  std::vector<int16_t> elements{0};
};
struct LongintArray {
  std::vector<int32_t> elements{0};
};
struct TextArray {
  std::vector<Text> elements{Text()};
};

// One parameter or result value. Numbers of every kind (integer, longint, time in seconds)
// travel as int64_t; the manifest's kind decides the cell. monostate is an omitted parameter:
// the host still passes its cell, holding 0, the empty text, a null picture or a BLOB without
// handle.
using Value = std::variant<std::monostate, int64_t, Date, Text, Picture, Blob, IntegerArray,
                           LongintArray, TextArray>;

// Convenience for tests: u"..." literals and plain strings (taken as UTF-8).
Text text(std::string_view utf8);
std::string utf8(const Text& text);

// ---- The command table ----------------------------------------------------------------------

enum class Kind {
  Integer,
  Longint,
  Time,
  Date,
  Text,
  Picture,
  Blob,
  IntegerArray,
  LongintArray,
  TextArray,
  None  // result kind of a command without result
};
enum class Direction { In, Out, InOut };

struct ParamSpec {
  std::string name;
  Kind kind = Kind::Longint;
  Direction direction = Direction::In;
};

struct CommandSpec {
  int32_t selector = 0;
  std::string name;
  std::vector<ParamSpec> params;
  Kind result = Kind::None;
};

class Manifest {
 public:
  // Reads manifest.json; throws std::runtime_error naming the file and the fault.
  static Manifest load(const std::string& path);
  // The manifest.json of this source tree.
  static const Manifest& builtIn();
  const CommandSpec* find(std::string_view name) const;
  const CommandSpec* find(int32_t selector) const;
  const std::vector<CommandSpec>& commands() const { return commands_; }

 private:
  std::vector<CommandSpec> commands_;
};

std::string kindName(Kind kind);

// ---- Calls ----------------------------------------------------------------------------------

struct Outcome {
  Value result;               // monostate for a command without result
  std::vector<Value> params;  // every parameter after the call, in order
  // How long FourDPackex held the call: the command's own time, without the host's building
  // of the parameters before it and its reading of them after.
  std::chrono::nanoseconds elapsed{0};
  // Shorthands; they throw std::bad_variant_access when the value is of another kind.
  int64_t number() const { return std::get<int64_t>(result); }
  const Text& text() const { return std::get<Text>(result); }
  int64_t number(size_t param) const { return std::get<int64_t>(params.at(param - 1)); }
  const Text& text(size_t param) const { return std::get<Text>(params.at(param - 1)); }
  const Blob& blob(size_t param) const { return std::get<Blob>(params.at(param - 1)); }
};

// Live objects that the plug-in made and has not handed over or released.
struct LiveCounts {
  int64_t handles = 0;
  int64_t texts = 0;
  int64_t pictures = 0;
  int64_t objects = 0;
  int64_t documents = 0;  // documents opened by host command 264 and not closed
  // Each live handle, text, picture and object: what it is and where it was made (the host call,
  // the process and the command), such as "a handle of 12 bytes made at host call 7 in process 1
  // (ZUV_TCPOpen)"; the first kMaxListed of them.
  std::vector<std::string> made;
  static constexpr size_t kMaxListed = 20;
  bool zero() const { return handles == 0 && texts == 0 && pictures == 0 && objects == 0; }
};
// The counts, then what each live object is and where it was made.
std::string describe(const LiveCounts& counts);

// Host refusals that tests can inject: the n-th such request from now on fails.
enum class Refusal {
  NewHandle,   // -434/1 answers null
  GrowHandle,  // -434/3 to a larger size answers an error, size unchanged
  NewText,     // -612 answers a zeroed record and an error
  NewPicture,  // -617 answers null and an error
  Conversion,  // -675 writes nothing
  SetText,     // -613 answers an error and leaves the text as it was
  Argument,    // the host makes no text, handle or array storage for a call's argument or text
               // result: call() throws ArgumentNotMade and the command is not called
};

// Thrown by call() and start() when the host has no memory for an argument (a text, a BLOB's
// handle, an array's storage, or a text result's record): the command is not called, as a host
// that cannot make a call's parameters reports it instead of passing empty ones. what() names
// the parameter.
class ArgumentNotMade : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The emulator's own error numbers.
namespace error {
constexpr int16_t kNone = 0;
constexpr int16_t kUnknownCommand = -1;
constexpr int16_t kBadParameter = -50;
constexpr int16_t kNoMemory = -108;
constexpr int16_t kBadHandle = -109;
constexpr int16_t kNoSuchFormat = -9991;
constexpr int16_t kNoCurrentRecord = -10503;
constexpr int16_t kFileNotFound = -43;  // host command 264: the document cannot be opened
constexpr int16_t kNotARecord = 1006;   // -27: the bytes are no record image of that table
}  // namespace error

// The host language commands the emulator runs (entry -636).
namespace hostcommand {
constexpr int64_t kOpenDocument = 264;        // path, type, mode 2 -> time-kind reference
constexpr int64_t kPictureSize = 457;         // picture, width (out), height (out)
constexpr int64_t kNewObjectFromText = 1218;  // "{}", 38 -> object
constexpr int64_t kNewObject = 1471;          // -> object
constexpr int64_t kHostFormText = 9024;       // emulator only: its text argument as kind 24
}  // namespace hostcommand

// The process's memory as a long-running host keeps it: one malloc arena for every thread, no
// block mapped apart and nothing given back to the system, so that what a call frees the next
// one reuses, as in a host that has been running for a while. An emulator (of either mode) sets
// it up itself, but glibc gives each thread its arena at the thread's first allocation, and a
// thread that already has one of its own still maps every block above 64 MiB afresh: a benchmark
// calls this first thing in main, before it starts any thread.
void keepFreedMemory();

struct Options {
  uint32_t hostVersion = 0x1800;
  bool strict = true;     // false: the realistic mode of benchmarks
  bool compiled = false;  // what entry -56 answers
  // The result area before each call of a longint command or one without result: a pattern
  // whose halves are no sign extension of each other, so that a longint result written as 4
  // bytes instead of 8 is seen (a fault) whatever its value, and a result left as the host set
  // it reads as this value.
  uint64_t resultSentinel = 0xA5A5'A5A5'A5A5'A5A5;
  // A command that yields more often than this, or runs longer than this many seconds, is a
  // fault (a hang): the emulator records it and aborts the run with the call trace.
  int64_t maxYieldsPerCall = 50'000'000;
  int64_t maxSecondsPerCall = 120;
  std::string manifestPath{};  // empty: the source tree's manifest.json
};

// A parameter frame built by hand, for tests of the PA_ wrappers: cells of the given kinds, in
// the host's memory, and a result area. block() gives what FourDPackex receives.
class Frame {
 public:
  ~Frame();
  Frame(Frame&&) noexcept;
  Frame& operator=(Frame&&) noexcept;
  void** parameters();
  void* result();
  // The parameter's value now (reads the cell as the host would after a call).
  Value param(size_t index) const;
  Value resultValue() const;

  struct Impl;

 private:
  friend class Emulator;
  explicit Frame(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

using EntryPoint = void (*)(int32_t selector, void* params, void* data, void* result);

class Emulator {
 public:
  explicit Emulator(Options options = {});
  ~Emulator();  // shuts the plug-in down and unloads it if the test did not
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Loads a plug-in module with dlopen; throws std::runtime_error when it cannot.
  void load(const std::string& modulePath);
  // Uses a FourDPackex linked into this program.
  void attach(EntryPoint entry);

  // Life cycle: start-up (-1, on process 1), shut-down (-2), unload (dlclose after shut-down).
  // startup also checks that the plug-in wrote only the interface version into the record and
  // answers the interface version it wrote.
  int32_t startup();
  int32_t startupWithSelector(int32_t selector);  // -1 or -200
  void shutdown();
  void unload();
  bool started() const;
  uint32_t hostVersion() const;
  void setHostVersion(uint32_t version);

  const Manifest& manifest() const;

  // Runs a command by name in a 4D process (created on first use; process 1 exists from the
  // start). Arguments are converted to the declared kinds; a missing trailing argument is passed
  // empty. Throws std::invalid_argument for an unknown command or an argument of the wrong kind,
  // ArgumentNotMade when the host has no memory for an argument.
  Outcome call(std::string_view name, std::vector<Value> args = {}, int process = 1);

  // Starts a command in another process without waiting: it runs when the turn reaches it.
  class Pending {
   public:
    Pending() = default;
    bool done() const;

   private:
    friend class Emulator;
    std::shared_ptr<struct PendingState> state_;
  };
  Pending start(std::string_view name, std::vector<Value> args, int process);
  // Waits for a started command; other processes take turns meanwhile.
  Outcome wait(Pending& pending);

  // Runs any code in a process's turn, as if the host had called the plug-in there. Tests of the
  // PA_ wrappers use it so that their host calls come from a 4D process.
  void run(int process, const std::function<void()>& fn);

  // Calls FourDPackex with a raw selector and a frame (or PROT_NONE memory when frame is null),
  // in process 1. For the dispatcher's tests of selectors that must read nothing.
  void callSelector(int32_t selector, Frame* frame);
  Frame makeFrame(const std::vector<ParamSpec>& params, const std::vector<Value>& args,
                  Kind result);

  // Ends a process: the host sends -4 on its thread, then the thread ends.
  void endProcess(int process);

  // At the k-th yield (counting -93, -122 and -89) of `process` from now on, runs fn in that
  // process's turn before the turn passes; fn typically start()s a command in another process.
  void onYield(int process, int64_t k, std::function<void()> fn);
  int64_t yields(int process) const;

  // Failure injection and limits.
  void refuse(Refusal what, int64_t nth = 1);
  void clearRefusals();
  void capHandleSize(int64_t bytes);  // larger handles are refused; <0 removes the cap

  // What the plug-in holds: live objects it made, faults seen, host calls made.
  LiveCounts live() const;
  std::vector<std::string> faults() const;
  void clearFaults();
  // Records a fault that code beside the host saw (the plug-in's own check of a release, reached
  // through a test seam) as the host records its own: with the host call, the process and the
  // command at which it came.
  void reportFault(const std::string& fault);
  int64_t entryCount(int32_t entry) const;  // since the last resetTrace
  std::vector<int32_t> trace() const;       // entries in call order since resetTrace
  void resetTrace();

  // The host's databases and files.
  void setCurrentRecord(int16_t table, const Bytes& image);
  std::optional<Bytes> currentRecord(int16_t table) const;
  void setCompiled(bool compiled);
  // What entry -56 answers in param1 to the right magic number (setCompiled(true) sets bits 27
  // and 23); tests set one bit alone to tell a plug-in that reads the other.
  void setCompiledFlags(int64_t flags);
  std::vector<std::string> openDocuments() const;  // paths opened by host command 264
  void closeDocuments();

  // Converts between the host's character sets (2, 7, 100, 1005) as entry -675 does, for tests
  // that need the host's view of a text.
  static Bytes convert(const Bytes& source, int32_t from, int32_t to);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace host
