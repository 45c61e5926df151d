// zuvhost: the parser reads literals, escapes, variables, array elements, calls, operators and
// comments and names the line and column of every fault; the checks before a run refuse unknown
// names and misplaced arguments; every script in examples/ (with the server it talks to) and
// every example in README.md prints, through the built binary, what it says it prints; and the
// binary says clearly why a script could not run. The language itself: zuvhost_language_test.cpp.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include "peers/peers.h"
#include "support/sanitizers.h"
#include "support/shell_run.h"
#include "support/zuvhost_run.h"
#include "zuvhost/interpreter.h"
#include "zuvhost/parser.h"

namespace {

using zuvhost::Expr;
using zuvhost::ExprType;
using zuvhost::Script;
using zuvhost::ScriptError;
using zuvhost::Statement;
using zuvhost::StatementType;

// ---- A readable form of a parsed script --------------------------------------------------------

// Texts print between « and » with control characters as <hex>, so that a table shows that an
// escape was resolved rather than kept.
std::string renderText(const std::string& text) {
  std::string out = "\u00ab";
  for (unsigned char c : text) {
    if (c < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\u00bb";
}

std::string render(const Expr& expr) {
  switch (expr.type) {
    case ExprType::Number:
      return std::to_string(expr.number);
    case ExprType::Real:
      return zuvhost::formatReal(expr.real);
    case ExprType::Binary:
      return "(" + render(expr.args[0]) + " " + expr.text + " " + render(expr.args[1]) + ")";
    case ExprType::Negate:
      return "-" + render(expr.args[0]);
    case ExprType::Text:
      return renderText(expr.text);
    case ExprType::Date:
      return "!" + zuvhost::formatDate(expr.date) + "!";
    case ExprType::Time:
      return "?" + zuvhost::formatTime(expr.number) + "?";
    case ExprType::Variable:
      return expr.text;
    case ExprType::Element:
      return expr.text + "{" + render(expr.args[0]) + "}";
    case ExprType::Star:
      return "*";
    case ExprType::Call:
      break;
  }
  std::string out = "[" + expr.text + "]";
  if (!expr.hasParentheses) return out;
  out += "(";
  for (size_t i = 0; i < expr.args.size(); ++i) out += (i ? "; " : "") + render(expr.args[i]);
  return out + ")";
}

std::string render(const Statement& statement) {
  std::string out = std::to_string(statement.position.line) + ": ";
  if (statement.type == StatementType::Assign) out += statement.target + " := ";
  if (statement.type == StatementType::AssignElement) {
    out += statement.target + "{" + render(statement.index[0]) + "} := ";
  }
  return out + render(statement.value);
}

std::string render(const Script& script) {
  std::string out;
  for (const Statement& statement : script) out += (out.empty() ? "" : " | ") + render(statement);
  return out;
}

// "line:column: message" of the error a source raises, or its rendering when it parses.
std::string parseOutcome(const std::string& source) {
  try {
    return render(zuvhost::parseScript(source));
  } catch (const ScriptError& error) {
    return std::to_string(error.position.line) + ":" + std::to_string(error.position.column) +
           ": " + error.what();
  }
}

struct ParseCase {
  const char* source;
  const char* expected;  // the rendering, or the error's "line:column: message"
};

const ParseCase kParseCases[] = {
    // Literals.
    {"42", "1: 42"},
    {"-7", "1: -7"},
    {"+7", "1: 7"},
    {"2147483647", "1: 2147483647"},
    {"-2147483648", "1: -2147483648"},
    // Hexadecimal, as 4D writes flags: the 32 bits of a longint.
    {"0x0800", "1: 2048"},
    {"0XfF", "1: 255"},
    {"-0x10", "1: -16"},
    {"0x7FFFFFFF", "1: 2147483647"},
    {"0xFFFFFFFF", "1: -1"},
    {"0x0800+0x100000", "1: (2048 + 1048576)"},
    {"\"hello\"", "1: \u00abhello\u00bb"},
    {"\"\"", "1: \u00ab\u00bb"},
    {"\"caf\u00e9\"", "1: \u00abcaf\u00e9\u00bb"},
    {"!2000-01-31!", "1: !2000-01-31!"},
    {"!2000-02-29!", "1: !2000-02-29!"},
    {"!0000-00-00!", "1: !0000-00-00!"},
    {"?12:30:00?", "1: ?12:30:00?"},
    {"?00:00:59?", "1: ?00:00:59?"},
    {"?100:00:00?", "1: ?100:00:00?"},
    // Escapes.
    {"\"a\\tb\"", "1: \u00aba<09>b\u00bb"},
    {"\"\\r\\n\"", "1: \u00ab<0D><0A>\u00bb"},
    {"\"say \\\"hi\\\"\"", "1: \u00absay \"hi\"\u00bb"},
    {"\"back\\\\slash\"", "1: \u00abback\\slash\u00bb"},
    {"\"a//b\"", "1: \u00aba//b\u00bb"},
    // Variables, assignments, array elements.
    {"$x", "1: $x"},
    {"$x:=1", "1: $x := 1"},
    {"$long_name2 := \"v\"", "1: $long_name2 := \u00abv\u00bb"},
    {"$a{2}", "1: $a{2}"},
    {"$a{$i}:=$b{0}", "1: $a{$i} := $b{0}"},
    {"$a{1}:=$a{2}", "1: $a{1} := $a{2}"},
    // Calls and output parameters.
    {"ZUV_Text2Base64(\"hello\"; 1)", "1: [ZUV_Text2Base64](\u00abhello\u00bb; 1)"},
    {"$t:=ZUV_Text2Base64(\"x\";0)", "1: $t := [ZUV_Text2Base64](\u00abx\u00bb; 0)"},
    {"ZUV_Seconds2DateTime(0; $date; $time)", "1: [ZUV_Seconds2DateTime](0; $date; $time)"},
    {"ZUV_TCPGlobalInfo", "1: [ZUV_TCPGlobalInfo]"},
    {"ZUV_TCPGlobalInfo()", "1: [ZUV_TCPGlobalInfo]()"},
    {"BLOB TO DOCUMENT(\"out.bin\"; $blob)", "1: [BLOB TO DOCUMENT](\u00about.bin\u00bb; $blob)"},
    {"$n:=BLOB size ($blob)", "1: $n := [BLOB size]($blob)"},
    {"ARRAY TEXT($a; 3)", "1: [ARRAY TEXT]($a; 3)"},
    {"Length(ZUV_Rot13Text($a{1}))", "1: [Length]([ZUV_Rot13Text]($a{1}))"},
    {"Replace string($t; \"a\"; \"b\"; *)",
     "1: [Replace string]($t; \u00aba\u00bb; \u00abb\u00bb; *)"},
    {"Lowercase(*; $t)", "1:11: expected a value, found '*'"},
    // Comments, blank lines, line ends.
    {"// only a comment", ""},
    {"", ""},
    {"$x:=1  // the first", "1: $x := 1"},
    {"1\n\n   \n// note\n2", "1: 1 | 5: 2"},
    {"1\r\n2\r\n", "1: 1 | 2: 2"},
    {"// a method as 4D saves it\r1\r2", "2: 1 | 3: 2"},
    {"1\r\r\n2\n\r3", "1: 1 | 3: 2 | 5: 3"},
    {"\t$x:=1\t", "1: $x := 1"},
    // Errors name the line and the column (in characters).
    {"$x:=", "1:5: expected a value, found the end of the line"},
    {"\"open", "1:1: the text has no closing '\"'"},
    {"\"ends in \\", "1:10: the text has no closing '\"'"},
    {"\"\\q\"", "1:2: unknown escape '\\q' (use \\r \\n \\t \\\" \\\\)"},
    {"!2000-13-01!", "1:1: no such date"},
    {"!2001-02-29!", "1:1: no such date"},
    {"!2000-01!", "1:1: malformed date (write !YYYY-MM-DD!)"},
    {"?12:60:00?", "1:1: no such time"},
    {"?12:00?", "1:1: malformed time (write ?HH:MM:SS?)"},
    {"2147483648", "1:1: the number is out of the range of a longint"},
    {"0x", "1:3: a hexadecimal number needs digits after 0x"},
    {"0x1g", "1:4: a number cannot go on with 'g'"},
    {"0x100000000", "1:1: the number is out of the range of a longint"},
    {"-0x80000000", "1:1: the number is out of the range of a longint"},
    {"12ab", "1:3: a number cannot go on with 'a'"},
    {"$", "1:1: a variable needs a name after '$'"},
    {"#", "1:1: expected a value, found '#'"},
    {"@", "1:1: unexpected character '@'"},
    {"$x:=1 2", "1:7: expected the end of the line, found the number 2"},
    {"$x=1", "1: ($x = 1)"},
    {"ZUV_Text2Base64(\"a\" 1)", "1:21: expected ';' or ')', found the number 1"},
    {"ZUV_Text2Base64(\"a\";)", "1:21: expected a value, found ')'"},
    {"$a{1", "1:5: expected '}', found the end of the line"},
    {"$a{1}:=", "1:8: expected a value, found the end of the line"},
    {"1\n2\n$x:=:=", "3:5: expected a value, found ':='"},
    {"\"\u00e9\u00e9\" 1", "1:6: expected the end of the line, found the number 1"},
};

TEST(ZuvhostParserTest, ParsesTheTableOfCases) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(parseOutcome(c.source), c.expected);
  }
}

TEST(ZuvhostParserTest, NumbersTheFirstLineAsAsked) {
  EXPECT_EQ(zuvhost::parseScript("\n7", 10).at(0).position.line, 11);
}

// ---- Checks before a run: names and the places that need a variable ----------------------------

std::string checkOutcome(const std::string& source) {
  host::Emulator emulator;
  zuvhost::Interpreter interpreter(emulator, [](std::string_view) {});
  try {
    interpreter.check(zuvhost::parseScript(source));
    return "ok";
  } catch (const ScriptError& error) {
    return std::to_string(error.position.line) + ":" + std::to_string(error.position.column) +
           ": " + error.what();
  }
}

const ParseCase kCheckCases[] = {
    {"ZUV_Text2Base64(\"a\"; 1)", "ok"},
    {"zuv_text2base64(\"a\"; 0)", "ok"},
    // A plug-in command takes every parameter of its syntax, as 4D's compiler has it.
    {"ZUV_Text2Base64", "1:1: ZUV_Text2Base64 takes 2 parameters: parameter 1 (text) is missing"},
    {"ZUV_TCPOpen(\"127.0.0.1\"; 80)",
     "1:1: ZUV_TCPOpen takes 7 parameters: parameter 3 (bufferSize) is missing"},
    {"ZUV_TCPReceive(1; $t; \"x\"; 0; 0; \"\"; 0)",
     "1:23: parameter 3 (byteLimit) of ZUV_TCPReceive takes a Longint, not a Text"},
    {"blob SIZE($b)", "ok"},
    {"ZUV_Seconds2DateTime(0; $d; $t; 0)", "ok"},
    {"ZUV_Nope(1)", "1:1: unknown command 'ZUV_Nope'"},
    {"$x:=Frobnicate", "1:5: unknown command or constant 'Frobnicate'"},
    {"ZUV_Text2Base64(\"a\"; 1; 2)", "1:25: ZUV_Text2Base64 takes at most 2 parameters"},
    {"ZUV_Seconds2DateTime(0; !2000-01-01!; $t; 0)",
     "1:25: parameter 2 (date) of ZUV_Seconds2DateTime must be a variable"},
    {"ZUV_DigestAddBlob(1; \"x\")",
     "1:22: parameter 2 (blob) of ZUV_DigestAddBlob must be a variable"},
    {"$x:=ZUV_DigestAddText(1; \"a\"; 1)", "1:5: ZUV_DigestAddText gives no value"},
    {"Length(TEXT TO BLOB(\"a\"; $b))", "1:8: TEXT TO BLOB gives no value"},
    {"TEXT TO BLOB(\"a\")", "1:1: TEXT TO BLOB takes 2 to 4 parameters"},
    {"TEXT TO BLOB(\"a\"; \"b\")", "1:19: parameter 2 of TEXT TO BLOB must be a variable"},
    {"1\n$a{ZUV_Nope}:=1", "2:4: unknown command or constant 'ZUV_Nope'"},
};

TEST(ZuvhostCheckTest, RefusesUnknownNamesAndMisplacedArgumentsBeforeRunning) {
  for (const ParseCase& c : kCheckCases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(checkOutcome(c.source), c.expected);
  }
}

// ---- Running statements in the plug-in
// -----------------------------------------------------------

using ZuvhostRunTest = zuvtest::ZuvhostRun;

const zuvtest::ScriptCase kRunCases[] = {
    {"\"a\\tb\"\n42\n-7", "a\tb\n42\n-7\n"},
    {"!2000-01-31!\n?01:02:03?\n!0000-00-00!", "2000-01-31\n01:02:03\n0000-00-00\n"},
    {"$x:=\"caf\u00e9\"\n$x\nLength($x)", "caf\u00e9\n4\n"},
    {"$X:=1\n$x", "1\n"},
    {"ARRAY LONGINT($a; 2)\n$a{1}:=5\n$a{2}:=-1\n$a", "5\n-1\n"},
    {"ARRAY INTEGER($a; 1)\n$a{1}:=70000\n$a{1}", "4464\n"},
    {"ARRAY TEXT($a; 1)\n$a{1}:=\"x\"\nARRAY TEXT($a; 2)\n$a{1}\n$a{0}", "x\n\n"},
    {"ARRAY TEXT($a; 1)\n$a{2}", "2:4: index 2 is outside the array (0 to 1)"},
    {"ARRAY TEXT($a; 1)\n$a{1}:=3", "2:8: a Text is wanted here, not a Longint"},
    {"$x:=1\n$x{1}", "2:1: $x is not an array"},
    {"$y", "1:1: the variable $y has no value yet"},
    {"TEXT TO BLOB(\"h\u00e9\"; $b)\nBLOB size($b)\n$b", "3\nh\u00e9"},
    {"TEXT TO BLOB(\"abc\"; $b)\nBLOB to text($b)", "abc\n"},
    {"ZUV_Text2Base64(1; 1)",
     "1:17: parameter 1 (text) of ZUV_Text2Base64 takes a Text, not a Longint"},
    {"$t:=\"x\"\nZUV_Seconds2DateTime(0; $t; $h; 0)",
     "2:25: parameter 2 (date) of ZUV_Seconds2DateTime takes a Date, $t holds a Text"},
    // An output parameter creates its variable with the parameter's kind.
    {"ZUV_Seconds2DateTime(0; $d; $t; 0)\nLength($d)", "2:8: a Text is wanted here, not a Date"},
    {"ZUV_Seconds2DateTime(0; $d; $t; 0)\nLength($t)", "2:8: a Text is wanted here, not a Time"},
    {"ZUV_DigestAddBlob(1; $fresh)\nBLOB size($fresh)", "0\n"},
};

TEST_F(ZuvhostRunTest, RunsTheTableOfCases) {
  runTable(std::begin(kRunCases), std::end(kRunCases));
}

// A call whose argument the host has no memory for stops the script at that call, and the
// command does not run: no empty text is queued in place of the one the script gave.
TEST_F(ZuvhostRunTest, ACallTheHostCannotMakeStopsTheScriptAndRunsNothing) {
  emulator.refuse(host::Refusal::Argument);
  EXPECT_EQ(run("ZUV_QueuePush(7; \"payload\")\n\"after\""),
            "1:1: ZUV_QueuePush parameter 2 (text): the host has no memory for a text of 7 units; "
            "the command was not called");
  EXPECT_EQ(run("ZUV_QueueSize(7)"), "0\n");
}

// The process's address space held to what it maps now and `headroom` bytes more while the cap
// lives, so that a larger allocation fails as it does on a machine out of memory.
class AddressSpaceCap {
 public:
  explicit AddressSpaceCap(int64_t headroom) {
    ::getrlimit(RLIMIT_AS, &saved_);
    rlimit capped = saved_;
    capped.rlim_cur = static_cast<rlim_t>(mappedBytes() + headroom);
    applied_ = ::setrlimit(RLIMIT_AS, &capped) == 0;
  }
  AddressSpaceCap(const AddressSpaceCap&) = delete;
  AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;
  ~AddressSpaceCap() { ::setrlimit(RLIMIT_AS, &saved_); }
  bool applied() const { return applied_; }

 private:
  static int64_t mappedBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmSize:", 0) == 0) return std::stoll(line.substr(7)) * 1024;
    }
    return 0;
  }
  rlimit saved_{};
  bool applied_ = false;
};

// While it lives, malloc maps every block of a megabyte and more apart and unmaps it at free,
// instead of keeping what is freed for reuse as the emulator has it: a large copy then needs
// address space of its own.
class LargeBlocksMappedApart {
 public:
  LargeBlocksMappedApart() {
    applied_ = ::mallopt(M_MMAP_THRESHOLD, 1024 * 1024) == 1 && ::mallopt(M_MMAP_MAX, 65536) == 1;
  }
  LargeBlocksMappedApart(const LargeBlocksMappedApart&) = delete;
  LargeBlocksMappedApart& operator=(const LargeBlocksMappedApart&) = delete;
  ~LargeBlocksMappedApart() { ::mallopt(M_MMAP_MAX, 0); }  // the emulator's way again
  bool applied() const { return applied_; }

 private:
  bool applied_ = false;
};

// An argument the interpreter has no memory to copy for the plug-in stops the script at its call,
// with the call's line and column, as a host refusal (exit status 1), and the command does not
// run. The values are made first, without the cap; each copy then needs 4 MB or more, which
// neither the cap nor the free memory of the heap leaves.
TEST_F(ZuvhostRunTest, AnArgumentWithoutMemoryForItsCopyStopsTheScriptAtItsCall) {
  if (zuvtest::kAddressSanitizer) GTEST_SKIP() << "the sanitizer's allocator aborts instead";
  constexpr size_t kSmallestCopy = 4 * 1024 * 1024;
  LargeBlocksMappedApart mappedApart;
  ASSERT_TRUE(mappedApart.applied());
  zuvhost::Interpreter interpreter(emulator, [](std::string_view) {});
  zuvhost::Script script = zuvhost::parseScript(
      "$t:=\"0123456789abcdef\"\nFor ($i; 1; 18)\n$t:=$t+$t\nEnd for\nTEXT TO BLOB($t; $b)\n"
      "  ZUV_QueuePush(7; $t)\nZUV_DigestAddBlob(1; $b)");
  interpreter.check(script);
  interpreter.run(zuvhost::Script(script.begin(), script.end() - 2));
  if (::mallinfo2().fordblks >= kSmallestCopy) {
    GTEST_SKIP() << "earlier tests in this process left free memory a copy could reuse";
  }
  const char* const expected[] = {
      "6:3: ZUV_QueuePush parameter 2 (text): the host has no memory for a copy of the "
      "argument; the command was not called",
      "7:1: ZUV_DigestAddBlob parameter 2 (blob): the host has no memory for a copy of the "
      "argument; the command was not called",
  };
  for (size_t i = 0; i < 2; ++i) {
    const zuvhost::Statement& call = script[script.size() - 2 + i];
    std::string outcome = "ran to its end";
    {
      AddressSpaceCap cap(1024 * 1024);
      ASSERT_TRUE(cap.applied());
      try {
        interpreter.run(zuvhost::Script{call});
      } catch (const zuvhost::HostRefusal& refusal) {
        outcome = std::to_string(refusal.position.line) + ":" +
                  std::to_string(refusal.position.column) + ": " + refusal.what();
      } catch (const std::exception& other) {
        outcome = std::string("stopped with no line and column: ") + other.what();
      }
    }
    EXPECT_EQ(outcome, expected[i]);
  }
  EXPECT_EQ(run("ZUV_QueueSize(7)"), "0\n") << "the command did not run";
}

TEST_F(ZuvhostRunTest, MovesBlobsThroughDocuments) {
  std::string path = (std::filesystem::temp_directory_path() /
                      ("zuvhost_test_" + std::to_string(::getpid()) + ".bin"))
                         .string();
  EXPECT_EQ(run("TEXT TO BLOB(\"a\\r\\nb\"; $b)\nBLOB TO DOCUMENT(\"" + path +
                "\"; $b)\nDOCUMENT TO BLOB(\"" + path + "\"; $c)\nBLOB size($c)"),
            "4\n");
  std::filesystem::remove(path);
  EXPECT_EQ(run("DOCUMENT TO BLOB(\"" + path + "\"; $c)").rfind("1:1: cannot read ", 0), 0u);
}

// READ PICTURE FILE types the file's bytes as the host does: bytes of no picture format are no
// PICT, and a GIF needs its whole signature.
TEST_F(ZuvhostRunTest, ReadsAPictureFileWithTheHostsTypes) {
  std::string path = (std::filesystem::temp_directory_path() /
                      ("zuvhost_test_" + std::to_string(::getpid()) + ".pic"))
                         .string();
  const struct {
    std::string bytes;
    const char* typeCode;
  } cases[] = {{"plain words", "-1"}, {"GIF8 and no more", "-1"}, {"GIF89a\x02\x01\x03\x01", "1"}};
  for (const auto& c : cases) {
    std::ofstream(path, std::ios::binary) << c.bytes;
    EXPECT_EQ(run("READ PICTURE FILE(\"" + path +
                  "\"; $p)\n$n:=ZUV_PictureInfo($p; $t; $l; $h; $w; $type)\n$type"),
              std::string(c.typeCode) + "\n")
        << c.bytes;
  }
  std::filesystem::remove(path);
}

// ---- The built binary: examples/ and README.md
// ---------------------------------------------------

using zuvtest::ShellRun;

// Runs a shell command in the source tree, with the built zuvhost first on the PATH; its output
// is standard output, then standard error.
ShellRun shell(const std::string& command) {
  std::string dir = std::filesystem::path(ZUVHOST_PATH).parent_path().string();
  std::string script = std::filesystem::temp_directory_path() /
                       ("zuvhost_test_" + std::to_string(::getpid()) + ".sh");
  std::ofstream(script) << "cd '" << ZUV_SOURCE_DIR << "' || exit 99\nPATH='" << dir
                        << "':\"$PATH\"\nexport LC_ALL=C.UTF-8\n"
                        << command << "\n";
  ShellRun result = zuvtest::runShell("sh '" + script + "' 2>&1");
  std::filesystem::remove(script);
  return result;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// An example script shows its output in "//> " lines, in order (spaces before them allowed).
std::string expectedOutput(const std::string& script) {
  std::istringstream lines(script);
  std::string line, expected;
  while (std::getline(lines, line)) {
    line.erase(0, line.find_first_not_of(" \t"));
    if (line.rfind("//> ", 0) == 0) expected += line.substr(4) + "\n";
    if (line == "//>") expected += "\n";
  }
  return expected;
}

// What the mail server received, read back by Python's email parser: the subject, the lines of
// the text body and, for each attachment, its file name and the lines of its content.
std::string receivedMail(const std::filesystem::path& folder) {
  std::string parse =
      "import email, email.policy, sys\n"
      "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)\n"
      "print('subject:', m['subject'])\n"
      "for line in m.get_body(('plain',)).get_content().splitlines(): print('body:', line)\n"
      "for a in m.iter_attachments():\n"
      "    print('attachment:', a.get_filename())\n"
      "    for line in a.get_content().splitlines(): print('attachment:', line)\n";
  std::ofstream(folder / "parse.py") << parse;
  return shell("python3 '" + (folder / "parse.py").string() + "' '" +
               (folder / "message-1.eml").string() + "'")
      .output;
}

// What the mail of examples/mail_attachment.4dm carries, read back by Python's email parser: the
// defects it finds in any part, the attachment's bytes against the file the example sent, and the
// lengths of the attachment's Base64 lines.
std::string receivedAttachment(const std::filesystem::path& folder) {
  std::string check =
      "import email, email.policy, gzip, os, sys\n"
      "folder = sys.argv[1]\n"
      "def read(name): return open(os.path.join(folder, name), 'rb').read()\n"
      "m = email.message_from_bytes(read('message-1.eml'), policy=email.policy.default)\n"
      "print('defects:', [d.__class__.__name__ for p in m.walk() for d in p.defects])\n"
      "a = next(m.iter_attachments())\n"
      "print('attachment:', a.get_filename(), a.get_content_type())\n"
      "data = a.get_content()\n"
      "print('the file\\'s bytes:', data == read('orders.csv.gz'))\n"
      "print('gunzipped, the orders:', gzip.decompress(data) == read('orders.csv'))\n"
      "lines = a.get_payload().splitlines()\n"
      "print('lines:', len(lines) == (len(data) + 56) // 57)\n"
      "print('76 characters but the last:', all(len(l) == 76 for l in lines[:-1]))\n"
      "print('the last padded:', len(lines[-1]) % 4 == 0 and len(lines[-1]) <= 76)\n";
  std::ofstream(folder / "check.py") << check;
  return shell("python3 '" + (folder / "check.py").string() + "' '" + folder.string() + "'").output;
}

const bool kIsolated = peers::isolated();

// Every example prints what its "//>" lines show; one that talks to a server gets it from
// script/peer through script/run-example, as in script/demo. The mail the mail example sends
// arrives whole: its quoted-printable body and its Base64 attachment decode to what it wrote; the
// file that the attachment example sends arrives byte for byte in the Base64 lines of MIME.
TEST(ZuvhostExamplesTest, EveryExampleScriptPrintsWhatItShows) {
  int ran = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(ZUV_SOURCE_DIR) / "examples")) {
    if (entry.path().extension() != ".4dm") continue;
    std::string script = readFile(entry.path());
    std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    // The TLS examples need certificates made for them; the TLS tests run them.
    if (script.find("\n// Needs: a secure ") != std::string::npos) continue;
    bool needsServer = script.find("\n// Needs: a ") != std::string::npos;
    if (needsServer && !kIsolated) continue;  // servers listen only inside our own namespace
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("zuvhost_peer_" + std::to_string(::getpid()) + "_" + name);
    std::filesystem::create_directories(folder);
    ShellRun result =
        shell("ZUV_PEER_DIR='" + folder.string() + "' script/run-example zuvhost examples/" + name);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, expectedOutput(script));
    if (name == "send_mail.4dm") {
      EXPECT_EQ(receivedMail(folder),
                "subject: Order 1042\n"
                "body: Gr\u00fc\u00dfe aus K\u00f6ln,\n"
                "body: the order is attached.\n"
                "attachment: order.txt\n"
                "attachment: Order 1042\n"
                "attachment: 1 \u00d7 caf\u00e9 cr\u00e8me, 2 \u00d7 Br\u00f6tchen\n"
                "attachment: 2 \u00d7 caf\u00e9 cr\u00e8me, 4 \u00d7 Br\u00f6tchen\n"
                "attachment: 3 \u00d7 caf\u00e9 cr\u00e8me, 6 \u00d7 Br\u00f6tchen\n");
    }
    if (name == "mail_attachment.4dm") {
      EXPECT_EQ(receivedAttachment(folder),
                "defects: []\n"
                "attachment: orders.csv.gz application/gzip\n"
                "the file's bytes: True\n"
                "gunzipped, the orders: True\n"
                "lines: True\n"
                "76 characters but the last: True\n"
                "the last padded: True\n");
    }
    std::filesystem::remove_all(folder);
    ++ran;
  }
  EXPECT_GT(ran, 0) << "no example ran";
}

struct ReadmeExample {
  std::string command;
  std::string expected;
};

// The examples of the zuvhost section: "    $ command" followed by the lines it prints.
std::vector<ReadmeExample> readmeExamples() {
  std::istringstream lines(readFile(std::filesystem::path(ZUV_SOURCE_DIR) / "README.md"));
  std::vector<ReadmeExample> examples;
  std::string line;
  bool inSection = false;
  while (std::getline(lines, line)) {
    if (line.rfind("## ", 0) == 0) inSection = line == "## zuvhost";
    if (!inSection) continue;
    if (line.rfind("    $ ", 0) == 0) {
      examples.push_back({line.substr(6), ""});
    } else if (line.rfind("    ", 0) == 0 && !examples.empty()) {
      examples.back().expected += line.substr(4) + "\n";
    } else if (!examples.empty() && !examples.back().command.empty()) {
      examples.push_back({"", ""});  // a paragraph ends the example's output
    }
  }
  std::vector<ReadmeExample> complete;
  for (ReadmeExample& example : examples) {
    if (!example.command.empty()) complete.push_back(std::move(example));
  }
  return complete;
}

TEST(ZuvhostExamplesTest, EveryReadmeExampleWorksAsWritten) {
  std::vector<ReadmeExample> examples = readmeExamples();
  ASSERT_GE(examples.size(), 3u) << "the README's zuvhost section has no examples";
  for (const ReadmeExample& example : examples) {
    SCOPED_TRACE(example.command);
    EXPECT_EQ(shell(example.command).output, example.expected);
  }
}

TEST(ZuvhostBinaryTest, ExitStatusTellsHowTheScriptEnded) {
  EXPECT_EQ(shell("zuvhost -e '$x:=1' -e '$x'").status, 0);
  ShellRun syntax = shell("zuvhost -e '$x:=1' -e '$y:=\"open'");
  EXPECT_EQ(syntax.status, 2);
  EXPECT_EQ(syntax.output, "-e:2:5: the text has no closing '\"'\n");
  ShellRun unknown = shell("printf '1\\nZUV_Nope\\n' | zuvhost -");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.output, "stdin:2:1: unknown command or constant 'ZUV_Nope'\n") << "nothing ran";
  ShellRun wrongKind = shell("zuvhost -e '1' -e 'Length(2)' -e '3'");
  EXPECT_EQ(wrongKind.status, 2);
  EXPECT_EQ(wrongKind.output, "-e:2:8: a Text is wanted here, not a Longint\n") << "nothing ran";
  EXPECT_EQ(shell("zuvhost --plugin /nonexistent/zuv.so -e '1'").status, 1);
  std::string leaky = (std::filesystem::path(ZUVHOST_PATH).parent_path() / "zuvhost_leaky.so");
  ShellRun leak = shell("zuvhost --plugin '" + leaky + "' -e 'ZUV_TCPStatus(1; 0)'");
  EXPECT_EQ(leak.status, 1);
  EXPECT_NE(leak.output.find("zuvhost: the plug-in leaked: "), std::string::npos) << leak.output;
  EXPECT_EQ(shell("zuvhost").status, 2);
}

// A script that cannot be read says why, in the system's words; a byte order mark is skipped;
// control bytes never reach the terminal raw.
TEST(ZuvhostBinaryTest, SaysClearlyWhatWentWrong) {
  ShellRun folder = shell("zuvhost examples");
  EXPECT_EQ(folder.status, 2);
  EXPECT_EQ(folder.output, "zuvhost: cannot read the script examples: Is a directory\n");
  ShellRun missing = shell("zuvhost examples/none.4dm");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.output,
            "zuvhost: cannot read the script examples/none.4dm: No such file or directory\n");
  ShellRun fourD = shell("printf '// saved by 4D\\r\"ran\"\\r' | zuvhost -");
  EXPECT_EQ(fourD.status, 0);
  EXPECT_EQ(fourD.output, "ran\n") << "CR ends a line, as in 4D's methods";
  ShellRun marked = shell("printf '\\357\\273\\277\"marked\"\\n' | zuvhost -");
  EXPECT_EQ(marked.status, 0);
  EXPECT_EQ(marked.output, "marked\n");
  ShellRun control = shell("printf '1\\n\\033[2J\\n' | zuvhost -");
  EXPECT_EQ(control.status, 2);
  EXPECT_EQ(control.output, "stdin:2:1: unexpected character '\\x1B'\n");
  ShellRun version = shell("zuvhost --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.output, std::regex("zuvhost [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.output;
}

TEST(ZuvhostBinaryTest, ListsEveryCommandInFourDsNotation) {
  ShellRun list = shell("zuvhost --list");
  EXPECT_EQ(list.status, 0);
  size_t commands = 0;
  for (size_t at = list.output.find("  ZUV_"); at != std::string::npos;
       at = list.output.find("  ZUV_", at + 1)) {
    ++commands;
  }
  EXPECT_EQ(commands, host::Manifest::builtIn().commands().size());
  EXPECT_NE(
      list.output.find("ZUV_Seconds2DateTime ( seconds : Longint \u2192 ; date : Date \u2190 ; "
                       "time : Time \u2190 ; utc : Longint \u2192 )\n"),
      std::string::npos);
}

}  // namespace
