// The command reference stays true to the command table: every command of manifest.json has one
// section, under a theme, whose syntax line and parameter table say what the manifest says; and
// zuvhost serves the same reference through --help and --list. The examples of the reference,
// the README and examples/ receive lines as a receive ends them, and the README says what this
// build is, which libraries a build for 4D carries and where the scripts put zuvhost; and
// docs/architecture.md maps the tree as it is.

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "emulator.h"
#include "support/shell_run.h"
#include "zuvhost/help.h"
#include "zuvhost/listing.h"
#include "zuvhost/values.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const zuvhost::CommandReference& sourceReference() {
  static const zuvhost::CommandReference reference(
      readFile(std::string(ZUV_SOURCE_DIR) + "/docs/commands.md"));
  return reference;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const char* directionWord(host::Direction direction) {
  switch (direction) {
    case host::Direction::In:
      return "in";
    case host::Direction::Out:
      return "out";
    case host::Direction::InOut:
      return "in/out";
  }
  return "";
}

// The cells of a Markdown table row, trimmed: "| a | b |" gives {"a", "b"}.
std::vector<std::string> cellsOf(const std::string& row) {
  std::vector<std::string> cells;
  std::string cell;
  for (size_t i = 1; i < row.size(); ++i) {
    if (row[i] != '|') {
      cell += row[i];
      continue;
    }
    size_t first = cell.find_first_not_of(' ');
    size_t last = cell.find_last_not_of(' ');
    cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    cell.clear();
  }
  return cells;
}

// The rows of the section's parameter table, as {name, kind, direction}.
std::vector<std::vector<std::string>> parameterRows(const std::vector<std::string>& lines) {
  std::vector<std::vector<std::string>> rows;
  bool inTable = false;
  for (const std::string& line : lines) {
    if (line.rfind("| Parameter |", 0) == 0) {
      inTable = true;
      continue;
    }
    if (!inTable) continue;
    if (line.rfind("|---", 0) == 0) continue;
    if (line.rfind("|", 0) != 0) break;
    std::vector<std::string> cells = cellsOf(line);
    cells.resize(3);
    rows.push_back(cells);
  }
  return rows;
}

TEST(CommandReferenceTest, EveryCommandHasOneSectionTrueToTheManifest) {
  const host::Manifest& manifest = host::Manifest::builtIn();
  const zuvhost::CommandReference& reference = sourceReference();
  for (const host::CommandSpec& spec : manifest.commands()) {
    SCOPED_TRACE(spec.name);
    std::optional<std::string> section = reference.section(spec.name);
    ASSERT_TRUE(section.has_value()) << "docs/commands.md has no section for the command";
    EXPECT_FALSE(reference.themeOf(spec.name).empty());
    std::vector<std::string> lines = linesOf(*section);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "### " + spec.name);
    EXPECT_EQ(lines[2], "`" + zuvhost::referenceSyntax(spec) + "`");

    std::vector<std::vector<std::string>> rows = parameterRows(lines);
    ASSERT_EQ(rows.size(), spec.params.size()) << "one table row per parameter";
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i][0], spec.params[i].name);
      EXPECT_EQ(rows[i][1], zuvhost::kindDisplayName(spec.params[i].kind));
      EXPECT_EQ(rows[i][2], directionWord(spec.params[i].direction));
    }
    EXPECT_NE(section->find("**Result**"), std::string::npos);
    size_t example = section->find("**Example**");
    ASSERT_NE(example, std::string::npos);
    EXPECT_NE(section->find(spec.name, example), std::string::npos) << "the example uses it";
  }
}

TEST(CommandReferenceTest, NamesNoCommandTwiceAndNoneThatDoesNotExist) {
  const host::Manifest& manifest = host::Manifest::builtIn();
  std::vector<std::string> seen;
  for (const std::string& name : sourceReference().commands()) {
    EXPECT_NE(manifest.find(name), nullptr) << name << " is not a command";
    EXPECT_EQ(std::count(seen.begin(), seen.end(), name), 0) << name << " has two sections";
    seen.push_back(name);
  }
}

TEST(CommandReferenceTest, TheBuiltInReferenceIsTheSourceFile) {
  EXPECT_EQ(zuvhost::CommandReference::builtIn().commands(), sourceReference().commands());
  EXPECT_EQ(zuvhost::CommandReference::builtIn().section("ZUV_TCPOpen"),
            sourceReference().section("ZUV_TCPOpen"));
}

using zuvtest::ShellRun;

ShellRun zuvhost(const std::string& arguments) {
  return zuvtest::runShell(std::string("'") + ZUVHOST_PATH + "' " + arguments + " 2>&1");
}

TEST(ZuvhostHelpTest, PrintsACommandsSection) {
  ShellRun help = zuvhost("--help ZUV_Text2Base64");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output, *sourceReference().section("ZUV_Text2Base64"));
  EXPECT_EQ(zuvhost("--help text2base64").output, help.output) << "case and prefix are optional";

  ShellRun unknown = zuvhost("--help ZUV_Nope");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.output.find("no command is named 'ZUV_Nope'"), std::string::npos);
  ShellRun usage = zuvhost("--help");
  EXPECT_EQ(usage.status, 0);
  EXPECT_NE(usage.output.find("usage: zuvhost"), std::string::npos);
}

// What the README warns of TLS clients, the section that zuvhost prints for ZUV_TCPOpen says
// where it says which ports turn TLS on.
TEST(ZuvhostHelpTest, TCPOpenSaysThatItsTLSClientAuthenticatesNoServer) {
  ShellRun help = zuvhost("--help ZUV_TCPOpen");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("443, 993 or 995"), std::string::npos);
  EXPECT_NE(help.output.find("authenticates no server"), std::string::npos) << help.output;
}

TEST(ZuvhostHelpTest, ListsByThemeAndFilters) {
  ShellRun all = zuvhost("--list");
  EXPECT_EQ(all.status, 0);
  std::vector<std::string> lines = linesOf(all.output);
  size_t commands = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("  ZUV_", 0) == 0;
  });
  EXPECT_EQ(commands, host::Manifest::builtIn().commands().size());
  for (const std::string& theme : sourceReference().themes()) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), theme), lines.end()) << theme;
  }

  ShellRun udp = zuvhost("--list udp");
  EXPECT_EQ(udp.status, 0);
  EXPECT_EQ(udp.output.rfind("UDP\n", 0), 0u) << udp.output;
  EXPECT_EQ(std::count(udp.output.begin(), udp.output.end(), '\n'), 8) << "a heading, 7 commands";
  ShellRun one = zuvhost("--list base64");
  EXPECT_EQ(linesOf(one.output),
            (std::vector<std::string>{
                "Web and mail codecs",
                "  " + zuvhost::syntaxLine(*host::Manifest::builtIn().find("ZUV_Text2Base64")),
                "  " + zuvhost::syntaxLine(*host::Manifest::builtIn().find("ZUV_Base642Text"))}));
}

// ---- Examples and the README ------------------------------------------------------------------

std::string sourceFile(const std::string& relative) {
  return readFile(std::string(ZUV_SOURCE_DIR) + "/" + relative);
}

// The arguments of the call whose "(" is at `open`, split at the semicolons outside texts and
// parentheses, trimmed.
std::vector<std::string> argumentsAt(const std::string& text, size_t open) {
  std::vector<std::string> args(1);
  int depth = 0;
  bool inText = false;
  for (size_t i = open + 1; i < text.size(); ++i) {
    char c = text[i];
    if (inText) {
      if (c == '\\') args.back() += text[i++];
      if (c == '"') inText = false;
    } else if (c == '"') {
      inText = true;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && depth-- == 0) {
      break;
    } else if (c == ';' && depth == 0) {
      args.emplace_back();
      continue;
    }
    args.back() += c;
  }
  for (std::string& arg : args) {
    arg.erase(0, arg.find_first_not_of(" \t"));
    arg.erase(arg.find_last_not_of(" \t") + 1);
  }
  return args;
}

// Without a byte limit a receive returns with the first bytes, delimiter or not: every example
// that receives up to a delimiter passes a limit, or it would return with part of a line.
TEST(ExamplesTest, EveryReceiveUpToADelimiterPassesALimit) {
  std::vector<std::string> files = {"docs/commands.md", "README.md"};
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(ZUV_SOURCE_DIR) + "/examples")) {
    files.push_back("examples/" + entry.path().filename().string());
  }
  const std::regex noLimit("[-+]?[0-9]+");
  int receives = 0;
  for (const std::string& file : files) {
    std::string text = sourceFile(file);
    for (size_t at = text.find("ZUV_TCPReceive("); at != std::string::npos;
         at = text.find("ZUV_TCPReceive(", at + 1)) {
      std::vector<std::string> args = argumentsAt(text, at + std::string("ZUV_TCPReceive").size());
      SCOPED_TRACE(file + ": ZUV_TCPReceive(" + args[0] + "; ...)");
      ASSERT_EQ(args.size(), 7u);
      ++receives;
      if (args[5] == "\"\"") continue;
      bool literal = std::regex_match(args[2], noLimit);
      EXPECT_FALSE(literal && std::stol(args[2]) <= 0)
          << "a delimiter " << args[5] << " without a byte limit (" << args[2] << ")";
    }
  }
  EXPECT_GT(receives, 3);
}

// As zuvhost refuses a plug-in call without all of its parameters, as 4D's compiler does, every
// call in the reference's and the examples' code gives them all.
TEST(ExamplesTest, EveryCallOfAPluginCommandGivesAllItsParameters) {
  std::vector<std::string> files = {"docs/commands.md", "docs/constants.md"};
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(ZUV_SOURCE_DIR) + "/examples")) {
    files.push_back("examples/" + entry.path().filename().string());
  }
  const host::Manifest& manifest = host::Manifest::builtIn();
  const std::regex call("\\b(ZUV_[A-Za-z0-9]+)\\(");
  int calls = 0;
  for (const std::string& file : files) {
    std::string text = sourceFile(file);
    for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
      const host::CommandSpec* spec = manifest.find((*it)[1].str());
      SCOPED_TRACE(file + ": " + (*it)[1].str());
      ASSERT_NE(spec, nullptr);
      std::vector<std::string> args =
          argumentsAt(text, static_cast<size_t>(it->position() + it->length() - 1));
      size_t given = args.size() == 1 && args[0].empty() ? 0 : args.size();
      EXPECT_EQ(given, spec->params.size());
      ++calls;
    }
  }
  EXPECT_GT(calls, 80);
}

// The lines of a README section ("## Title"), up to the next one.
std::string readmeSection(const std::string& title) {
  std::string readme = sourceFile("README.md");
  size_t start = readme.find("\n## " + title + "\n");
  if (start == std::string::npos) return "";
  size_t end = readme.find("\n## ", start + 1);
  return readme.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
}

// The README says first that this build is no module for 4D, and names every library the
// module links, which a build for 4D would have to carry.
TEST(ReadmeTest, UsingItIn4DSaysWhatThisBuildIsAndWhatA4DBuildCarries) {
  std::string section = readmeSection("Using it in 4D");
  ASSERT_FALSE(section.empty());
  std::string firstParagraph = section.substr(0, section.find("\n\n", section.find("\n\n") + 2));
  EXPECT_NE(firstParagraph.find("no module that 4D loads"), std::string::npos) << firstParagraph;

  std::string cmake = sourceFile("CMakeLists.txt");
  std::smatch linked;
  ASSERT_TRUE(std::regex_search(cmake, linked,
                                std::regex("target_link_libraries\\(zuvcore PUBLIC([^)]*)\\)")));
  const std::map<std::string, std::string> kNamed = {{"OpenSSL::SSL", "libssl"},
                                                     {"OpenSSL::Crypto", "libcrypto"},
                                                     {"ZLIB::ZLIB", "zlib"},
                                                     {"ICU::i18n", "ICU"},
                                                     {"ICU::uc", "ICU"},
                                                     {"ICU::data", "ICU"},
                                                     {"${MCRYPT_LIBRARY}", "libmcrypt"}};
  std::istringstream libraries(linked[1].str());
  for (std::string library; libraries >> library;) {
    if (library == "Threads::Threads") continue;  // the system's own
    SCOPED_TRACE(library);
    auto named = kNamed.find(library);
    ASSERT_NE(named, kNamed.end()) << "a library the README's list does not know yet";
    EXPECT_NE(section.find(named->second), std::string::npos);
  }
}

// Every folder the README names for zuvhost is one a script builds, and the zuvhost section
// names the one script/demo builds, where a new user finds it.
TEST(ReadmeTest, NamesTheFoldersTheScriptsPutZuvhostIn) {
  std::set<std::string> built;
  const std::regex buildCall("script/build ([A-Za-z0-9_-]+)");
  std::string demoFolder;
  for (const char* script : {"script/demo", "script/test"}) {
    std::string text = sourceFile(script);
    for (std::sregex_iterator it(text.begin(), text.end(), buildCall), end; it != end; ++it) {
      built.insert((*it)[1]);
      if (std::string(script) == "script/demo" && demoFolder.empty()) demoFolder = (*it)[1];
    }
  }
  ASSERT_FALSE(demoFolder.empty());
  std::string readme = sourceFile("README.md");
  const std::regex named("([A-Za-z0-9_-]+)/zuvhost\\b");
  int folders = 0;
  for (std::sregex_iterator it(readme.begin(), readme.end(), named), end; it != end; ++it) {
    SCOPED_TRACE((*it)[0].str());
    EXPECT_EQ(built.count((*it)[1]), 1u) << "no script builds this folder";
    ++folders;
  }
  EXPECT_GT(folders, 0);
  EXPECT_NE(readmeSection("zuvhost").find(demoFolder + "/zuvhost"), std::string::npos);
}

// The streams section opens with one table of every command's time-out, whose unit is the one
// the command's own parameter row gives, and every such row links to the table.
TEST(CommandReferenceTest, EveryCommandThatTakesATimeOutHasARowOfTheTimeOutTable) {
  std::string text = sourceFile("docs/commands.md");
  size_t start = text.find("\n## Streams\n");
  ASSERT_NE(start, std::string::npos);
  std::string intro = text.substr(start, text.find("\n### ", start) - start);
  ASSERT_NE(intro.find("<a id=\"time-outs\"></a>"), std::string::npos);
  std::map<std::string, std::vector<std::string>> rows;
  for (const std::string& line : linesOf(intro)) {
    if (line.rfind("| `ZUV_", 0) != 0) continue;
    std::vector<std::string> cells = cellsOf(line);
    rows[cells[0].substr(1, cells[0].size() - 2)] = cells;
  }
  size_t commands = 0;
  for (const host::CommandSpec& spec : host::Manifest::builtIn().commands()) {
    auto parameter = std::find_if(spec.params.begin(), spec.params.end(),
                                  [](const host::ParamSpec& p) { return p.name == "timeout"; });
    if (parameter == spec.params.end()) continue;
    SCOPED_TRACE(spec.name);
    ++commands;
    ASSERT_EQ(rows.count(spec.name), 1u) << "no row in the time-out table";
    const std::vector<std::string>& row = rows[spec.name];
    ASSERT_EQ(row.size(), 5u);
    std::string section = *sourceReference().section(spec.name);
    size_t at = section.find("\n| timeout |");
    ASSERT_NE(at, std::string::npos);
    std::string timeoutRow = section.substr(at + 1, section.find('\n', at + 1) - at - 1);
    EXPECT_NE(timeoutRow.find("](#time-outs)"), std::string::npos) << timeoutRow;
    for (const char* unit : {"seconds", "ticks"}) {
      EXPECT_EQ(row[1].find(unit) != std::string::npos,
                timeoutRow.find(std::string("**") + unit + "**") != std::string::npos)
          << unit << ": " << row[1] << " / " << timeoutRow;
    }
  }
  EXPECT_EQ(rows.size(), commands) << "a row for a command without a time-out";
  EXPECT_EQ(commands, 7u);
}

// A statement "`ZUV_Command(...)` gives `result`" of the reference is run by zuvhost, which must
// print that result.
TEST(CommandReferenceTest, EveryCallThatTheReferenceSaysGivesAResultGivesIt) {
  const std::regex statement("`(ZUV_[A-Za-z0-9]+\\([^`\\n]*\\))`\\s+gives\\s+`([^`\\n]*)`");
  int statements = 0;
  for (const char* file : {"docs/commands.md", "docs/constants.md"}) {
    std::string text = sourceFile(file);
    for (std::sregex_iterator it(text.begin(), text.end(), statement), end; it != end; ++it) {
      std::string call = (*it)[1];
      SCOPED_TRACE(std::string(file) + ": " + call);
      std::string quoted = std::regex_replace(call, std::regex("'"), "'\\''");
      ShellRun run = zuvhost("-e '" + quoted + "'");
      EXPECT_EQ(run.status, 0) << run.output;
      EXPECT_EQ(run.output, (*it)[2].str() + "\n");
      ++statements;
    }
  }
  EXPECT_GE(statements, 6);
}

// What the reference says of an empty picture is what a picture variable without data gets.
TEST(CommandReferenceTest, AnEmptyPictureGetsWhatTheReferenceSays) {
  std::string section = *sourceReference().section("ZUV_PictureInfo");
  EXPECT_NE(section.find("0 for an empty picture"), std::string::npos);
  ShellRun info =
      zuvhost("-e 'var $p : Picture' -e 'ZUV_PictureInfo($p; $top; $left; $h; $w; $type)'");
  EXPECT_EQ(info.status, 0);
  EXPECT_EQ(info.output, "0\n");
}

}  // namespace

// docs/architecture.md names only files that exist, every handler file, and every theme of the
// command reference, so that its map of the tree stays the tree.
TEST(ArchitectureTest, NamesFilesThatExistEveryHandlerFileAndEveryTheme) {
  namespace fs = std::filesystem;
  const fs::path source = fs::path(ZUV_SOURCE_DIR) / "src";
  const std::string text = readFile(std::string(ZUV_SOURCE_DIR) + "/docs/architecture.md");
  ASSERT_FALSE(text.empty());
  std::set<std::string> namesInSource;
  for (const auto& entry : fs::recursive_directory_iterator(source)) {
    namesInSource.insert(entry.path().filename().string());
  }
  const std::regex fileName(R"(`([a-z_]+/)?([a-z_0-9]+\.(cpp|h))`)");
  std::set<std::string> named;
  for (std::sregex_iterator it(text.begin(), text.end(), fileName), end; it != end; ++it) {
    const std::string folder = (*it)[1];
    const std::string name = (*it)[2];
    named.insert(name);
    if (folder.empty()) {
      EXPECT_EQ(namesInSource.count(name), 1u) << name << " is no file of src/";
    } else {
      EXPECT_TRUE(fs::exists(source / (folder + name))) << folder << name << " is no file of src/";
    }
  }
  for (const auto& entry : fs::directory_iterator(source / "commands")) {
    if (entry.path().extension() != ".cpp") continue;
    EXPECT_EQ(named.count(entry.path().filename().string()), 1u)
        << "docs/architecture.md does not say which theme " << entry.path().filename() << " holds";
  }
  for (const std::string& line :
       linesOf(readFile(std::string(ZUV_SOURCE_DIR) + "/docs/commands.md"))) {
    if (line.rfind("## ", 0) != 0) continue;
    EXPECT_NE(text.find("| " + line.substr(3) + " |"), std::string::npos)
        << "docs/architecture.md has no row for the theme " << line.substr(3);
  }
}
