// zuvhost: runs the plug-in outside 4D. It loads the module into the host emulator (strict, as
// in the tests, or realistic with --realistic, for timing real jobs), sends start-up, runs a script
// of 4D statements, sends shut-down, unloads the module and exits: 0 when the script ran to its
// end, 2 for a fault of the script (syntax, an unknown name, an argument of the wrong kind), 1 when
// the emulator saw a fault, the plug-in left host objects behind, or the host had no memory for a
// call's argument.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "emulator.h"
#include "files.h"
#include "help.h"
#include "interpreter.h"
#include "listing.h"
#include "parser.h"

namespace {

constexpr int kRanToTheEnd = 0;
constexpr int kHostFault = 1;
constexpr int kScriptFault = 2;

const char kUsage[] =
    "usage: zuvhost [--plugin PATH] [--realistic] -e STATEMENT [-e STATEMENT]...\n"
    "       zuvhost [--plugin PATH] [--realistic] FILE   (- reads standard input)\n"
    "       zuvhost --list [WORD]   (the commands, by theme; WORD filters)\n"
    "       zuvhost --help COMMAND  (what a command does, its codes and an example)\n"
    "       zuvhost --version\n"
    "--realistic: plain memory and no strictness checks, as a real host; default strict\n";

struct UsageError {
  std::string message;
  bool showUsage = true;
};

struct CommandLine {
  std::string plugin = ZUVHOST_DEFAULT_PLUGIN;
  std::vector<std::string> statements;
  std::string file;
  bool list = false;
  std::string listFilter;
  bool help = false;
  std::string helpCommand;
  bool version = false;
  bool realistic = false;
};

struct Source {
  std::string name;  // how error messages name it
  std::string text;
};

std::string optionValue(int argc, char** argv, int& i) {
  if (i + 1 >= argc) throw UsageError{std::string(argv[i]) + " needs a value"};
  return argv[++i];
}

// An option's optional value: the next argument, unless it is another option.
bool nextIsWord(int argc, char** argv, int i) { return i + 1 < argc && argv[i + 1][0] != '-'; }

CommandLine parseCommandLine(int argc, char** argv) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-e") {
      line.statements.push_back(optionValue(argc, argv, i));
    } else if (arg == "--plugin") {
      line.plugin = optionValue(argc, argv, i);
    } else if (arg == "--realistic") {
      line.realistic = true;
    } else if (arg == "--list") {
      line.list = true;
      if (nextIsWord(argc, argv, i)) line.listFilter = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      line.help = true;
      if (nextIsWord(argc, argv, i)) line.helpCommand = argv[++i];
    } else if (arg == "--version") {
      line.version = true;
    } else if ((arg.size() > 1 && arg[0] == '-') || !line.file.empty()) {
      throw UsageError{"unexpected argument '" + arg + "'"};
    } else {
      line.file = arg;
    }
  }
  bool hasScript = !line.statements.empty() || !line.file.empty();
  if (!line.statements.empty() && !line.file.empty()) {
    throw UsageError{"give statements with -e or a script file, not both"};
  }
  if (!hasScript && !line.list && !line.help && !line.version) throw UsageError{"nothing to run"};
  return line;
}

std::string readAll(std::istream& in) {
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A script saved by an editor that marks UTF-8 with a byte order mark reads as without it.
std::string withoutByteOrderMark(std::string text) {
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  return text;
}

Source readSource(const CommandLine& line) {
  if (!line.statements.empty()) {
    std::string text;
    for (const std::string& statement : line.statements) text += statement + "\n";
    return Source{"-e", text};
  }
  if (line.file == "-") return Source{"stdin", withoutByteOrderMark(readAll(std::cin))};
  std::string text;
  std::string failure = zuvhost::readWholeFile(line.file, text);
  if (!failure.empty()) {
    throw UsageError{"cannot read the script " + line.file + ": " + failure, false};
  }
  return Source{line.file, withoutByteOrderMark(std::move(text))};
}

void writeToStandardOutput(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

// Control bytes of a message (a text literal's line end, an escape character) are written as
// \xHH, so that a message stays one line and cannot drive the terminal.
std::string escapedControls(std::string_view message) {
  std::string out;
  for (unsigned char c : message) {
    if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void reportScriptError(const Source& source, const zuvhost::ScriptError& error) {
  std::cerr << escapedControls(source.name) << ":" << error.position.line << ":"
            << error.position.column << ": " << escapedControls(error.what()) << "\n";
}

// Faults the emulator recorded and host objects still alive after shut-down.
bool reportHostState(const host::Emulator& emulator) {
  std::vector<std::string> faults = emulator.faults();
  for (const std::string& fault : faults)
    std::cerr << "zuvhost: host fault: " << escapedControls(fault) << "\n";
  host::LiveCounts live = emulator.live();
  if (!live.zero()) std::cerr << "zuvhost: the plug-in leaked: " << host::describe(live) << "\n";
  return !faults.empty() || !live.zero();
}

int runInPlugin(host::Emulator& emulator, zuvhost::Interpreter& interpreter,
                const zuvhost::Script& script, const CommandLine& line, const Source& source) {
  try {
    emulator.load(line.plugin);
    emulator.startup();
  } catch (const std::exception& failure) {
    std::cerr << "zuvhost: cannot start the plug-in " << escapedControls(line.plugin) << ": "
              << escapedControls(failure.what()) << "\n";
    return kHostFault;
  }
  int status = kRanToTheEnd;
  try {
    interpreter.run(script);
  } catch (const zuvhost::HostRefusal& refusal) {
    reportScriptError(source, refusal);
    status = kHostFault;
  } catch (const zuvhost::ScriptError& error) {
    reportScriptError(source, error);
    status = kScriptFault;
  } catch (const std::exception& failure) {
    std::cerr << "zuvhost: the host stopped the run: " << escapedControls(failure.what()) << "\n";
    status = kHostFault;
  }
  emulator.shutdown();
  if (reportHostState(emulator) && status == kRanToTheEnd) status = kHostFault;
  emulator.unload();
  return status;
}

// The usage, or a command's section of the reference.
int printHelp(const std::string& command) {
  if (command.empty()) {
    std::cout << kUsage;
    return kRanToTheEnd;
  }
  std::optional<std::string> section = zuvhost::CommandReference::builtIn().section(command);
  if (!section) {
    std::cerr << "zuvhost: no command is named '" << escapedControls(command)
              << "'; zuvhost --list shows them\n";
    return kScriptFault;
  }
  std::cout << *section;
  return kRanToTheEnd;
}

int runCommandLine(const CommandLine& line) {
  if (line.help) return printHelp(line.helpCommand);
  if (line.version) {
    std::cout << "zuvhost " ZUVHOST_VERSION "\n";
    return kRanToTheEnd;
  }
  host::Emulator emulator(host::Options{.strict = !line.realistic});
  if (line.list) {
    std::cout << zuvhost::listing(emulator.manifest(), line.listFilter);
    return kRanToTheEnd;
  }
  Source source = readSource(line);
  zuvhost::Interpreter interpreter(emulator, writeToStandardOutput);
  zuvhost::Script script;
  try {
    script = zuvhost::parseScript(source.text);
    interpreter.check(script);
  } catch (const zuvhost::ScriptError& error) {
    reportScriptError(source, error);
    return kScriptFault;
  }
  return runInPlugin(emulator, interpreter, script, line, source);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return runCommandLine(parseCommandLine(argc, argv));
  } catch (const UsageError& error) {
    std::cerr << "zuvhost: " << escapedControls(error.message) << "\n"
              << (error.showUsage ? kUsage : "");
    return kScriptFault;
  } catch (const std::exception& failure) {
    std::cerr << "zuvhost: " << escapedControls(failure.what()) << "\n";
    return kHostFault;
  }
}
