// The command table read from manifest.json, and the small value helpers of the interface.
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "emulator.h"

#ifndef ZUV_MANIFEST_PATH
#define ZUV_MANIFEST_PATH "manifest.json"
#endif

namespace host {
namespace {

const std::map<std::string, Kind>& kindsByName() {
  static const std::map<std::string, Kind> kinds = {
      {"integer", Kind::Integer},
      {"longint", Kind::Longint},
      {"time", Kind::Time},
      {"date", Kind::Date},
      {"text", Kind::Text},
      {"picture", Kind::Picture},
      {"blob", Kind::Blob},
      {"integer array", Kind::IntegerArray},
      {"longint array", Kind::LongintArray},
      {"text array", Kind::TextArray},
      {"none", Kind::None},
  };
  return kinds;
}

[[noreturn]] void fail(const std::string& path, const std::string& what) {
  throw std::runtime_error(path + ": " + what);
}

Kind kindOf(const std::string& path, const std::string& name, const std::string& where) {
  auto found = kindsByName().find(name);
  if (found == kindsByName().end()) fail(path, where + ": unknown kind \"" + name + "\"");
  return found->second;
}

Direction directionOf(const std::string& path, const std::string& dir, const std::string& where) {
  if (dir == "in") return Direction::In;
  if (dir == "out") return Direction::Out;
  if (dir == "inout") return Direction::InOut;
  fail(path, where + ": unknown dir \"" + dir + "\"");
}

CommandSpec commandOf(const std::string& path, const nlohmann::json& entry) {
  CommandSpec command;
  command.selector = entry.at("selector").get<int32_t>();
  command.name = entry.at("name").get<std::string>();
  command.result = kindOf(path, entry.value("result", "none"), command.name + " result");
  if (command.result == Kind::Date || command.result == Kind::IntegerArray ||
      command.result == Kind::LongintArray || command.result == Kind::TextArray) {
    fail(path, command.name + ": a command cannot answer " + kindName(command.result));
  }
  for (const nlohmann::json& p : entry.value("params", nlohmann::json::array())) {
    ParamSpec param;
    param.name = p.at("name").get<std::string>();
    std::string where = command.name + " " + param.name;
    param.kind = kindOf(path, p.at("kind").get<std::string>(), where);
    if (param.kind == Kind::None) fail(path, where + ": a parameter needs a kind");
    param.direction = directionOf(path, p.value("dir", "in"), where);
    command.params.push_back(std::move(param));
  }
  return command;
}

}  // namespace

Manifest Manifest::load(const std::string& path) {
  std::ifstream in(path);
  if (!in) fail(path, "cannot be read");
  Manifest manifest;
  try {
    nlohmann::json json = nlohmann::json::parse(in);
    for (const nlohmann::json& entry : json.at("commands")) {
      CommandSpec command = commandOf(path, entry);
      if (manifest.find(command.name) || manifest.find(command.selector)) {
        fail(path, "command " + command.name + " or its selector appears twice");
      }
      manifest.commands_.push_back(std::move(command));
    }
  } catch (const nlohmann::json::exception& e) {
    fail(path, e.what());
  }
  return manifest;
}

const Manifest& Manifest::builtIn() {
  static const Manifest manifest = load(ZUV_MANIFEST_PATH);
  return manifest;
}

const CommandSpec* Manifest::find(std::string_view name) const {
  for (const CommandSpec& c : commands_) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

const CommandSpec* Manifest::find(int32_t selector) const {
  for (const CommandSpec& c : commands_) {
    if (c.selector == selector) return &c;
  }
  return nullptr;
}

std::string kindName(Kind kind) {
  for (const auto& [name, k] : kindsByName()) {
    if (k == kind) return name;
  }
  return "?";
}

std::string describe(const LiveCounts& c) {
  std::ostringstream out;
  out << c.handles << " handles, " << c.texts << " texts, " << c.pictures << " pictures, "
      << c.objects << " objects, " << c.documents << " documents";
  for (const std::string& object : c.made) out << "; " << object;
  const int64_t listed = static_cast<int64_t>(c.made.size());
  const int64_t all = c.handles + c.texts + c.pictures + c.objects;
  if (all > listed) out << "; and " << all - listed << " more";
  return out.str();
}

// Malformed UTF-8 becomes U+FFFD, one for each byte that starts no valid sequence.
Text text(std::string_view utf8) {
  Text out;
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    uint32_t cp = extra == 0 ? c : extra == 1 ? c & 0x1F : extra == 2 ? c & 0x0F : c & 0x07;
    bool ok = extra >= 0 && i + extra < utf8.size();
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char t = static_cast<unsigned char>(utf8[i + k]);
      ok = (t >> 6) == 2;
      cp = cp << 6 | (t & 0x3F);
    }
    if (!ok || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (cp > 0xFFFF) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

// An unpaired surrogate becomes U+FFFD.
std::string utf8(const Text& t) {
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    uint32_t cp = t[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 &&
        t[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (t[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | cp >> 6));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | cp >> 12));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | cp >> 18));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace host
