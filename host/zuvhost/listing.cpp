#include "listing.h"

#include <algorithm>
#include <cctype>

#include "help.h"
#include "values.h"

namespace zuvhost {

namespace {

const char* arrow(host::Direction direction) {
  switch (direction) {
    case host::Direction::In:
      return "\u2192";
    case host::Direction::Out:
      return "\u2190";
    case host::Direction::InOut:
      return "\u2194";
  }
  return "";
}

// The command with its parameters, each written by `param`, and its result kind.
template <typename WriteParam>
std::string syntaxWith(const host::CommandSpec& spec, WriteParam param) {
  std::string line = spec.name;
  if (!spec.params.empty()) {
    line += " ( ";
    for (size_t i = 0; i < spec.params.size(); ++i) {
      if (i > 0) line += " ; ";
      line += param(spec.params[i]);
    }
    line += " )";
  }
  if (spec.result != host::Kind::None) line += " : " + kindDisplayName(spec.result);
  return line;
}

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool holds(std::string_view text, const std::string& loweredFilter) {
  return lowered(text).find(loweredFilter) != std::string::npos;
}

}  // namespace

std::string syntaxLine(const host::CommandSpec& spec) {
  return syntaxWith(spec, [](const host::ParamSpec& param) {
    return param.name + " : " + kindDisplayName(param.kind) + " " + arrow(param.direction);
  });
}

std::string referenceSyntax(const host::CommandSpec& spec) {
  return syntaxWith(spec, [](const host::ParamSpec& param) {
    return param.name + " : " + kindDisplayName(param.kind);
  });
}

std::string listing(const host::Manifest& manifest, std::string_view filter) {
  const CommandReference& reference = CommandReference::builtIn();
  std::string wanted = lowered(filter);
  std::string out;
  for (const std::string& theme : reference.themes()) {
    std::string lines;
    for (const std::string& name : reference.commands()) {
      const host::CommandSpec* spec = manifest.find(name);
      if (spec == nullptr || reference.themeOf(name) != theme) continue;
      if (!wanted.empty() && !holds(name, wanted) && !holds(theme, wanted)) continue;
      lines += "  " + syntaxLine(*spec) + "\n";
    }
    if (!lines.empty()) out += (out.empty() ? "" : "\n") + theme + "\n" + lines;
  }
  // A command that the reference does not file under a theme still shows.
  std::string others;
  for (const host::CommandSpec& spec : manifest.commands()) {
    if (!reference.themeOf(spec.name).empty()) continue;
    if (!wanted.empty() && !holds(spec.name, wanted)) continue;
    others += "  " + syntaxLine(spec) + "\n";
  }
  if (!others.empty()) out += (out.empty() ? "" : "\n") + std::string("Other\n") + others;
  return out;
}

}  // namespace zuvhost
