// The command reference (docs/commands.md), built into zuvhost so that `zuvhost --help NAME`
// and `--list` work wherever the binary is copied.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zuvhost {

class CommandReference {
 public:
  // Reads the reference's Markdown: "## Theme" headings, each followed by "### ZUV_Name"
  // sections that run to the next heading of either level.
  explicit CommandReference(std::string_view markdown);
  // The reference built into this binary.
  static const CommandReference& builtIn();

  // The themes in the order of the reference.
  const std::vector<std::string>& themes() const { return themes_; }
  // The theme of a command; empty when the reference has no section for it.
  std::string themeOf(std::string_view command) const;
  // A command's whole section, its heading included; nothing when there is none.
  std::optional<std::string> section(std::string_view command) const;
  // The command names in the order of the reference, each once per section.
  const std::vector<std::string>& commands() const { return order_; }

 private:
  struct Entry {
    std::string theme;
    std::string text;
  };
  std::vector<std::string> themes_;
  std::vector<std::string> order_;
  std::map<std::string, Entry, std::less<>> entries_;
};

}  // namespace zuvhost
