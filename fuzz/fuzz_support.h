// What every fuzz target shares: one emulator with the plug-in started for the whole run, the
// input turned into a command's text and mode, and the checks made after every call (no fault
// seen by the host, nothing leaked).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "4DPluginAPI.h"
#include "emulator.h"

namespace zuvfuzz {

inline host::Emulator& emulator() {
  static host::Emulator* emu = [] {
    auto* e = new host::Emulator();
    e->attach(&FourDPackex);
    e->startup();
    return e;
  }();
  return *emu;
}

// The first byte picks the mode and how the rest reads: with bit 7 set, as UTF-16 units (low
// byte first), so that every unit, lone surrogates included, can be reached; else one unit per
// byte, so that seeds stay readable.
struct Input {
  int mode = 0;
  host::Text text;
};

inline Input readInput(const uint8_t* data, size_t size) {
  Input input;
  if (size == 0) return input;
  input.mode = data[0] & 0x7F;
  if ((data[0] & 0x80) != 0) {
    for (size_t i = 1; i + 1 < size; i += 2) {
      input.text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
  } else {
    for (size_t i = 1; i < size; ++i) input.text.push_back(static_cast<char16_t>(data[i]));
  }
  return input;
}

[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

// Runs a command and checks the host's view afterwards.
inline host::Outcome call(const char* command, std::vector<host::Value> args) {
  host::Emulator& emu = emulator();
  host::Outcome outcome = emu.call(command, std::move(args));
  for (const std::string& fault : emu.faults()) fail(std::string(command) + ": " + fault);
  host::LiveCounts live = emu.live();
  if (!live.zero()) fail(std::string(command) + " leaked: " + host::describe(live));
  return outcome;
}

// The text up to its first zero unit, as the host hands texts to the plug-in.
inline host::Text untilZero(const host::Text& text) { return text.substr(0, text.find(u'\0')); }

// Whether a text holds only whole characters (no unpaired surrogate).
inline bool wellFormed(const host::Text& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace zuvfuzz
