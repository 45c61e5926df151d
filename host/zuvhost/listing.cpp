#include "listing.h"

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

}  // namespace

std::string syntaxLine(const host::CommandSpec& spec) {
  std::string line = spec.name;
  if (!spec.params.empty()) {
    line += " ( ";
    for (size_t i = 0; i < spec.params.size(); ++i) {
      const host::ParamSpec& param = spec.params[i];
      if (i > 0) line += " ; ";
      line += param.name + " : " + kindDisplayName(param.kind) + " " + arrow(param.direction);
    }
    line += " )";
  }
  if (spec.result != host::Kind::None) line += " : " + kindDisplayName(spec.result);
  return line;
}

std::string listing(const host::Manifest& manifest) {
  std::string out;
  for (const host::CommandSpec& spec : manifest.commands()) out += syntaxLine(spec) + "\n";
  return out;
}

}  // namespace zuvhost
