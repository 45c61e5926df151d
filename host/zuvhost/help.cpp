#include "help.h"

#include <cctype>
#include <sstream>

namespace zuvhost {

// The text of docs/commands.md, from the source file that the build makes of it.
extern const char kCommandReferenceText[];

namespace {

bool startsWith(std::string_view line, std::string_view prefix) {
  return line.substr(0, prefix.size()) == prefix;
}

// Trailing blank lines of a section belong to the layout, not to the section.
std::string withoutTrailingBlankLines(std::string text) {
  while (text.size() >= 2 && text[text.size() - 1] == '\n' && text[text.size() - 2] == '\n') {
    text.pop_back();
  }
  return text;
}

// A command name without its prefix, in lower case.
std::string foldedName(std::string_view name) {
  if (name.size() >= 4 && std::tolower(static_cast<unsigned char>(name[0])) == 'z' &&
      std::tolower(static_cast<unsigned char>(name[1])) == 'u' &&
      std::tolower(static_cast<unsigned char>(name[2])) == 'v' && name[3] == '_') {
    name.remove_prefix(4);
  }
  std::string folded;
  for (unsigned char c : name) folded += static_cast<char>(std::tolower(c));
  return folded;
}

}  // namespace

CommandReference::CommandReference(std::string_view markdown) {
  std::istringstream lines{std::string(markdown)};
  std::string line;
  std::string theme;
  std::string command;
  std::string text;
  auto finishSection = [&] {
    if (command.empty()) return;
    order_.push_back(command);
    entries_[command] = Entry{theme, withoutTrailingBlankLines(text)};
    command.clear();
  };
  bool inCode = false;
  while (std::getline(lines, line)) {
    if (startsWith(line, "```")) inCode = !inCode;
    if (!inCode && startsWith(line, "## ")) {
      finishSection();
      theme = line.substr(3);
      themes_.push_back(theme);
      continue;
    }
    if (!inCode && startsWith(line, "### ")) {
      finishSection();
      command = line.substr(4);
      text.clear();
    }
    if (!command.empty()) text += line + "\n";
  }
  finishSection();
}

const CommandReference& CommandReference::builtIn() {
  static const CommandReference reference(kCommandReferenceText);
  return reference;
}

std::string CommandReference::themeOf(std::string_view command) const {
  auto found = entries_.find(command);
  return found == entries_.end() ? std::string() : found->second.theme;
}

std::optional<std::string> CommandReference::section(std::string_view command) const {
  auto found = entries_.find(command);
  if (found != entries_.end()) return found->second.text;
  // "tcpopen" and "ZUV_tcpopen" name ZUV_TCPOpen too.
  std::string wanted = foldedName(command);
  for (const auto& [name, entry] : entries_) {
    if (foldedName(name) == wanted) return entry.text;
  }
  return std::nullopt;
}

}  // namespace zuvhost
