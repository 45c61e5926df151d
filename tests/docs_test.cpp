// The command reference stays true to the command table: every command of manifest.json has one
// section, under a theme, whose syntax line and parameter table say what the manifest says; and
// zuvhost serves the same reference through --help and --list.

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "emulator.h"
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

struct ShellRun {
  int status = -1;
  std::string output;
};

ShellRun zuvhost(const std::string& arguments) {
  std::string command = std::string("'") + ZUVHOST_PATH + "' " + arguments + " 2>&1";
  ShellRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
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

}  // namespace
