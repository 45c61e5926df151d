// Throughput of the text codec commands through the host emulator in its realistic mode, beside
// the tools a user would pick instead on the same bytes in the same run: coreutils base64 and
// python3's base64, binascii, quopri, urllib.parse and html.
//
//   codecs_bench [MB]   (default 16; the codecs also run at 1 MB and 4 MB to show linear growth:
//                        a 1 MB run still fits in a core's cache, a 4 MB run no longer does)
//
// Rates are megabytes of plain UTF-8 bytes (the encoder's input, the decoder's output) per second,
// the best of three runs.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "bench_tools.h"
#include "codecs/codecs.h"
#include "codecs/uuencode.h"
#include "emulator.h"
#include "support/peak_memory.h"

namespace {

using benchtools::Clock;
using benchtools::kMB;
using benchtools::readAll;
using benchtools::timeShell;
using benchtools::writeTemp;

// A mail-like text: words of ASCII letters on CR LF lines, with a Latin-1 letter, a markup
// character or a symbol now and then, so that every codec has some escaping to do.
std::u16string makeText(size_t units, uint32_t seed) {
  std::mt19937 random(seed);
  const std::u16string specials = u"éàü€<>&\"=%+";
  std::u16string text;
  text.reserve(units);
  size_t column = 0;
  while (text.size() < units) {
    uint32_t pick = random() % 100;
    if (pick < 80) {
      text.push_back(static_cast<char16_t>(u'a' + random() % 26));
    } else if (pick < 95) {
      text.push_back(u' ');
    } else {
      text.push_back(specials[random() % specials.size()]);
    }
    if (++column == 70) {
      text.append(u"\r\n");
      column = 0;
    }
  }
  text.resize(units);
  return text;
}

std::string utf8(const std::u16string& text) { return host::utf8(text); }

struct Codec {
  const char* name;
  const char* encoder;
  const char* decoder;
  int64_t mode;         // the encoder's second parameter; < -100: the encoder has none
  int64_t decoderMode;  // < -100: the decoder has none
};

const Codec kCodecs[] = {
    {"base64", "ZUV_Text2Base64", "ZUV_Base642Text", 1, -1000},
    {"quoted-printable", "ZUV_Text2QP", "ZUV_QP2Text", 0, -1000},
    {"url", "ZUV_Text2URL", "ZUV_URL2Text", 1, 1},
    {"html", "ZUV_Text2HTML", "ZUV_HTML2Text", 0, 0},
    {"uuencode", "ZUV_Text2UU", "ZUV_UU2Text", -1000, -1000},
};

std::vector<host::Value> args(const std::u16string& text, int64_t mode) {
  if (mode < -100) return {host::Value{text}};
  return {host::Value{text}, host::Value{mode}};
}

// Seconds of the best of three calls, each the command's own time: the emulator's copies of the
// text into the parameter and of the result out of it are no work of the plug-in's, nor of a host,
// which has the text where it is and keeps the result where the command put it. out receives the
// result text.
double timeCall(host::Emulator& emu, const char* command, const std::u16string& in, int64_t mode,
                std::u16string& out) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    host::Outcome outcome = emu.call(command, args(in, mode));
    best = std::min(best, std::chrono::duration<double>(outcome.elapsed).count());
    out = outcome.text();
  }
  return best;
}

// Python's codecs timed inside python, so that start-up does not count: prints one line per
// codec, "name encodeSeconds decodeSeconds".
std::string pythonTimes(const std::string& plainPath) {
  const char* script = R"(
import sys, time, base64, binascii, quopri, urllib.parse, html
data = open(sys.argv[1], 'rb').read()
text = data.decode()
def best(f):
    t = 1e9
    for _ in range(3):
        s = time.perf_counter(); r = f(); t = min(t, time.perf_counter() - s)
    return t, r
def uu_encode(b):
    return b''.join(binascii.b2a_uu(b[i:i+45], backtick=True) for i in range(0, len(b), 45))
def uu_decode(e):
    return b''.join(binascii.a2b_uu(l) for l in e.splitlines())
for name, enc, dec in [
    ('base64', lambda: base64.b64encode(data), base64.b64decode),
    ('quoted-printable', lambda: binascii.b2a_qp(data), binascii.a2b_qp),
    ('url', lambda: urllib.parse.quote_from_bytes(data), urllib.parse.unquote),
    ('html', lambda: html.escape(text), html.unescape),
    ('uuencode', lambda: uu_encode(data), uu_decode)]:
    te, e = best(enc)
    td, _ = best(lambda: dec(e))
    print(name, te, td)
)";
  std::string scriptPath = writeTemp(script);
  std::string outPath = writeTemp("");
  std::string command = "/usr/bin/python3 " + scriptPath + " " + plainPath + " > " + outPath;
  std::string out = std::system(command.c_str()) == 0 ? readAll(outPath) : "";
  unlink(scriptPath.c_str());
  unlink(outPath.c_str());
  return out;
}

// Seconds of the best of three runs of fn.
template <typename Fn>
double timeBest(Fn fn) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

// The codecs' own work, without the host: the pure cores on the same bytes, so that the cost of
// the emulator's calls (parameter frames, copies, conversions) can be told apart.
void printCores(const std::u16string& text, const std::string& bytes, double mb);

// Hostile texts: what a command holds at its worst, and how long it takes, on texts whose
// result is empty: 100 M units of uuencode lines of zero bytes, and 270 M units of U+FFFF, whose
// HTML, URL and quoted-printable forms (8 or 9 units a unit) pass what a text holds. They run
// first, before any thread exists, each in a process of its own.
void printHostile();

void printRate(const char* what, double mb, double seconds) {
  if (seconds <= 0) {
    std::printf("  %-34s  n/a\n", what);
    return;
  }
  std::printf("  %-34s %9.1f MB/s  (%.3f s)\n", what, mb / seconds, seconds);
}

}  // namespace

int main(int argc, char** argv) {
  host::keepFreedMemory();
  printHostile();
  size_t megabytes = benchtools::megabytesArgument(argc, argv, 16);
  host::Emulator emu(host::Options{.strict = false});
  emu.attach(&FourDPackex);
  emu.startup();

  std::u16string big = makeText(megabytes * 1024 * 1024, 16);
  std::u16string small = makeText(1024 * 1024, 1);
  std::u16string medium = makeText(4 * 1024 * 1024, 4);
  std::string plain = utf8(big);
  double mb = static_cast<double>(plain.size()) / kMB;
  double smallMB = static_cast<double>(utf8(small).size()) / kMB;
  double mediumMB = static_cast<double>(utf8(medium).size()) / kMB;
  std::printf("input: %.1f MB of UTF-8 (%zu units); linear checks at %.1f and %.1f MB\n", mb,
              big.size(), smallMB, mediumMB);

  std::string plainPath = writeTemp(plain);
  for (const Codec& codec : kCodecs) {
    std::u16string encoded;
    std::u16string decoded;
    std::u16string smallEncoded;
    std::u16string smallDecoded;
    std::u16string mediumEncoded;
    std::u16string mediumDecoded;
    double encode = timeCall(emu, codec.encoder, big, codec.mode, encoded);
    double decode = timeCall(emu, codec.decoder, encoded, codec.decoderMode, decoded);
    double smallEncode = timeCall(emu, codec.encoder, small, codec.mode, smallEncoded);
    double smallDecode =
        timeCall(emu, codec.decoder, smallEncoded, codec.decoderMode, smallDecoded);
    double mediumEncode = timeCall(emu, codec.encoder, medium, codec.mode, mediumEncoded);
    double mediumDecode =
        timeCall(emu, codec.decoder, mediumEncoded, codec.decoderMode, mediumDecoded);
    std::printf("%s%s\n", codec.name, decoded == big ? "" : "  (ROUND TRIP DIFFERS)");
    printRate("plug-in encode", mb, encode);
    printRate("plug-in decode", mb, decode);
    std::printf("  %-34s %9.1f x  (encode),  %.1f x (decode) for %.0f x the input\n",
                "time growth from the small input", encode / smallEncode, decode / smallDecode,
                mb / smallMB);
    std::printf("  %-34s %9.1f x  (encode),  %.1f x (decode) for %.0f x the input\n",
                "time growth from the 4 MB input", encode / mediumEncode, decode / mediumDecode,
                mb / mediumMB);
  }

  printCores(big, plain, mb);

  std::printf("coreutils base64 on the same bytes\n");
  std::string encodedPath = writeTemp("");
  double coreEncode = timeShell("base64 -w0 " + plainPath + " > " + encodedPath);
  double coreDecode = timeShell("base64 -d " + encodedPath + " > /dev/null");
  printRate("base64 -w0", mb, coreEncode);
  printRate("base64 -d", mb, coreDecode);

  std::printf("python3 on the same bytes\n");
  std::string times = pythonTimes(plainPath);
  char name[64];
  double te;
  double td;
  for (const char* line = times.c_str(); std::sscanf(line, "%63s %lf %lf", name, &te, &td) == 3;) {
    std::printf("%s\n", name);
    printRate("python encode", mb, te);
    printRate("python decode", mb, td);
    line = std::strchr(line, '\n');
    if (line == nullptr) break;
    ++line;
  }
  unlink(plainPath.c_str());
  unlink(encodedPath.c_str());
  emu.shutdown();
  return 0;
}

namespace {

void printCores(const std::u16string& text, const std::string& bytes, double mb) {
  std::printf("codec cores alone (no host calls, same bytes)\n");
  std::u16string out;
  std::string back;
  printRate("base64 encode", mb, timeBest([&] { base64EncodeBytes(bytes, true, out); }));
  std::u16string letters = out;
  EncodedChars decoded;
  printRate("base64 decode", mb, timeBest([&] { base64DecodeUnits(letters, decoded); }));
  printRate("quoted-printable encode", mb, timeBest([&] { quotedEncodeBytes(bytes, false, out); }));
  std::u16string qp = out;
  printRate("quoted-printable decode", mb, timeBest([&] { quotedDecodeUnits(qp, out); }));
  printRate("url encode", mb, timeBest([&] { urlEncodeUnits(text, 1, out); }));
  std::u16string url = out;
  printRate("url decode", mb, timeBest([&] { urlDecodeUnits(url, 1, out); }));
  printRate("html encode", mb, timeBest([&] { htmlEncodeUnits(text, 0, out); }));
  std::u16string html = out;
  printRate("html decode", mb, timeBest([&] { htmlDecodeUnits(html, 0, out); }));
  printRate("uuencode encode", mb, timeBest([&] { out = uu::encodeBytes(bytes); }));
  std::string lines = host::utf8(out);
  printRate("uuencode decode", mb, timeBest([&] { uu::decodeBytes(lines, back); }));
}

// Runs one command on a hostile text in a process of its own, so that no memory freed before
// is reused, and prints its time and the peak growth of the process's resident memory during
// FourDPackex alone: the text is in the host's parameter cell before, as in 4D.
void printHostileCall(const char* command, std::u16string (*makeText)(), int64_t mode) {
  std::fflush(stdout);
  pid_t child = fork();
  if (child != 0) {
    int status = 0;
    if (child > 0) waitpid(child, &status, 0);
    return;
  }
  {
    host::Emulator emu(host::Options{.strict = false});
    emu.attach(&FourDPackex);
    emu.startup();
    const host::CommandSpec* spec = emu.manifest().find(command);
    std::vector<host::Value> values;
    values.emplace_back(makeText());
    if (mode > -100) values.emplace_back(mode);
    const double units = static_cast<double>(std::get<std::u16string>(values[0]).size());
    // values stays alive: memory it freed would be reused by the command and not show.
    host::Frame frame = emu.makeFrame(spec->params, values, spec->result);
    zuvtest::resetPeakMemory();
    const double before = static_cast<double>(zuvtest::residentMemory().now);
    double seconds = 0;
    emu.run(1, [&] {
      auto start = Clock::now();
      FourDPackex(spec->selector, frame.parameters(), nullptr, frame.result());
      seconds = std::chrono::duration<double>(Clock::now() - start).count();
    });
    const double grown = static_cast<double>(zuvtest::residentMemory().peak) - before;
    const size_t result = std::get<std::u16string>(frame.resultValue()).size();
    std::printf(
        "  %-14s %4.0f M units: %6.2f s, peak growth %5.0f MB = %.2f x the text's %.0f MB;"
        " result %zu units\n",
        command, units / 1e6, seconds, grown / kMB, grown / (units * 2), units * 2 / kMB, result);
    std::fflush(stdout);
  }
  _exit(0);
}

std::u16string zeroLines() {
  std::u16string lines;
  lines.reserve(100'000'000);
  while (lines.size() < 100'000'000) lines.append(u"M\r");
  return lines;
}

std::u16string wideUnits() { return std::u16string(270'000'000, u'\uFFFF'); }

void printHostile() {
  std::printf("hostile texts whose result is empty (each in a process of its own)\n");
  printHostileCall("ZUV_UU2Text", zeroLines, -1000);
  printHostileCall("ZUV_Text2HTML", wideUnits, 0);
  printHostileCall("ZUV_Text2URL", wideUnits, 1);
  printHostileCall("ZUV_Text2QP", wideUnits, 0);
}

}  // namespace
