// AES-256 (algorithm 25) through ZUV_EncryptBlob and ZUV_DecryptBlob, in the host emulator's
// realistic mode, beside `openssl enc` on the same bytes in the same run, and ROT13 of a BLOB
// beside `tr`.
//
//   crypto_bench [MB]   (default 32)
//
// The plug-in's time is the command's own; the tools' the best of three runs on a file of the
// same bytes in the page cache, process start included. The cipher's speed is libmcrypt's:
// it has no AES instructions, where openssl uses the processor's.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

#include "4DPluginAPI.h"
#include "bench_tools.h"
#include "emulator.h"

namespace {

using namespace benchtools;

const char kKey[] = "0123456789abcdef0123456789abcdef";
const char kIV[] = "fedcba9876543210";

struct Mode {
  const char* name;
  int64_t index;
  const char* openssl;
};

// "cfb" is 8-bit CFB; "nofb" is full-block OFB (the plug-in's "ofb", 8-bit OFB, has no openssl
// counterpart).
const Mode kModes[] = {
    {"cbc", 0, "aes-256-cbc"},
    {"ecb", 1, "aes-256-ecb"},
    {"cfb (8-bit)", 2, "aes-256-cfb8"},
    {"nofb (full-block ofb)", 4, "aes-256-ofb"},
};

// The best of three calls of a cipher command on the bytes; out receives the BLOB after it.
double timeCipher(host::Emulator& emu, const char* command, const std::string& bytes, int64_t mode,
                  std::string& out) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    host::Outcome outcome =
        emu.call(command, {host::Value{host::Blob{true, bytes}}, host::Value{host::text(kKey)},
                           int64_t{25}, mode, host::Value{host::text(kIV)}, int64_t{1}});
    best = std::min(best, std::chrono::duration<double>(outcome.elapsed).count());
    out = outcome.blob(1).bytes;
  }
  return best;
}

double timeRot13(host::Emulator& emu, const std::string& bytes) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    host::Outcome outcome = emu.call("ZUV_Rot13Blob", {host::Value{host::Blob{true, bytes}}});
    best = std::min(best, std::chrono::duration<double>(outcome.elapsed).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  host::keepFreedMemory();
  size_t megabytes = megabytesArgument(argc, argv, 32);
  host::Emulator emu(host::Options{.strict = false});
  emu.attach(&FourDPackex);
  emu.startup();

  std::string bytes = randomBytes(megabytes * 1024 * 1024, 25);  // a whole number of AES blocks
  double mb = static_cast<double>(bytes.size()) / kMB;
  std::string path = writeTemp(bytes);
  std::string outPath = writeTemp("");
  std::printf("input: a BLOB of %.0f MB of random bytes; AES-256 (algorithm 25)\n", mb);

  for (const Mode& mode : kModes) {
    std::string encrypted, decrypted;
    double encrypt = timeCipher(emu, "ZUV_EncryptBlob", bytes, mode.index, encrypted);
    double decrypt = timeCipher(emu, "ZUV_DecryptBlob", encrypted, mode.index, decrypted);
    std::string command = std::string("openssl enc -") + mode.openssl + " -nopad -K " +
                          hexOf(kKey) + (mode.index == 1 ? "" : " -iv " + hexOf(kIV)) + " -in " +
                          path + " -out " + outPath;
    double openssl = timeShell(command);
    bool same = readAll(outPath) == encrypted;
    std::printf("%s%s%s\n", mode.name, decrypted == bytes ? "" : "  (ROUND TRIP DIFFERS)",
                same ? "" : "  (DIFFERS FROM OPENSSL)");
    printRate("plug-in encrypt", mb, encrypt);
    printRate("plug-in decrypt", mb, decrypt);
    printRate("openssl enc", mb, openssl);
    printRatio("plug-in encrypt / openssl enc", encrypt, openssl);
  }

  std::printf("rot13\n");
  double rot13 = timeRot13(emu, bytes);
  printRate("plug-in", mb, rot13);
  printRate("tr", mb, timeShell("tr 'A-Za-z' 'N-ZA-Mn-za-m' < " + path + " > " + outPath));
  unlink(path.c_str());
  unlink(outPath.c_str());
  emu.shutdown();
  return 0;
}
