#include "host_commands.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "interpreter.h"

namespace zuvhost {

namespace {

// A script may declare an array this large at most; 4D's own limit is far above what a script
// around the plug-in needs, and the cap keeps a typing slip from eating the memory.
constexpr int64_t kMaxArraySize = 16 * 1024 * 1024;

Typed none() { return Typed{}; }

std::string pathArgument(Interpreter& in, const Expr& expr) {
  return utf8FromText(std::get<host::Text>(in.evaluateAs(expr, host::Kind::Text).value));
}

std::string readFile(const std::string& path, const Expr& call) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw ScriptError(call.position, "cannot read " + path + ": " + std::strerror(errno));
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes, const Expr& call) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (file) file.close();
  if (!file) throw ScriptError(call.position, "cannot write " + path + ": " + std::strerror(errno));
}

host::Blob& blobVariable(Interpreter& in, const Expr& expr) {
  return std::get<host::Blob>(in.bindVariable(expr, host::Kind::Blob).value);
}

// The host's type name for a picture file's bytes, read from their signature.
std::string pictureType(const std::string& bytes) {
  auto startsWith = [&](const char* signature, size_t length) {
    return bytes.compare(0, length, signature, length) == 0;
  };
  if (startsWith("\x89PNG", 4)) return ".png;image/png";
  if (startsWith("GIF8", 4)) return ".gif;image/gif";
  if (startsWith("\xFF\xD8\xFF", 3)) return ".jpg;image/jpeg";
  if (startsWith("II*\0", 4) || startsWith("MM\0*", 4)) return ".tif;image/tiff";
  if (startsWith("BM", 2)) return ".bmp;image/bmp";
  return ".pict;image/pict";
}

Typed documentToBlob(Interpreter& in, const Expr& call) {
  std::string bytes = readFile(pathArgument(in, call.args[0]), call);
  blobVariable(in, call.args[1]) = host::Blob{true, std::move(bytes)};
  return none();
}

Typed blobToDocument(Interpreter& in, const Expr& call) {
  std::string path = pathArgument(in, call.args[0]);
  const host::Blob& blob = blobVariable(in, call.args[1]);
  writeFile(path, blob.hasHandle ? blob.bytes : std::string(), call);
  return none();
}

Typed textToBlob(Interpreter& in, const Expr& call) {
  host::Value text = in.evaluateAs(call.args[0], host::Kind::Text).value;
  blobVariable(in, call.args[1]) = host::Blob{true, utf8FromText(std::get<host::Text>(text))};
  return none();
}

Typed blobToText(Interpreter& in, const Expr& call) {
  const host::Blob& blob = blobVariable(in, call.args[0]);
  return Typed{host::Kind::Text, textFromUtf8(blob.hasHandle ? blob.bytes : std::string())};
}

Typed blobSize(Interpreter& in, const Expr& call) {
  const host::Blob& blob = blobVariable(in, call.args[0]);
  return Typed{host::Kind::Longint, static_cast<int64_t>(blob.hasHandle ? blob.bytes.size() : 0)};
}

Typed length(Interpreter& in, const Expr& call) {
  host::Value text = in.evaluateAs(call.args[0], host::Kind::Text).value;
  return Typed{host::Kind::Longint, static_cast<int64_t>(std::get<host::Text>(text).size())};
}

Typed readPictureFile(Interpreter& in, const Expr& call) {
  std::string bytes = readFile(pathArgument(in, call.args[0]), call);
  host::Picture picture;
  picture.formats.push_back(host::PictureFormat{pictureType(bytes), std::move(bytes)});
  in.bindVariable(call.args[1], host::Kind::Picture).value = std::move(picture);
  return none();
}

Typed writePictureFile(Interpreter& in, const Expr& call) {
  std::string path = pathArgument(in, call.args[0]);
  const auto& picture =
      std::get<host::Picture>(in.bindVariable(call.args[1], host::Kind::Picture).value);
  writeFile(path, picture.formats.empty() ? std::string() : picture.formats.front().bytes, call);
  return none();
}

// Ticks are 1/60 s, as everywhere in 4D.
Typed delayProcess(Interpreter& in, const Expr& call) {
  int64_t ticks = std::get<int64_t>(in.evaluateAs(call.args[0], host::Kind::Longint).value);
  if (ticks > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ticks * 1000 / 60));
  return none();
}

// ARRAY declares the array, or resizes it keeping its elements when it already has that kind.
template <typename ArrayType>
Typed declareArray(Interpreter& in, const Expr& call, host::Kind kind) {
  int64_t size = std::get<int64_t>(in.evaluateAs(call.args[1], host::Kind::Longint).value);
  if (size < 0 || size > kMaxArraySize) {
    throw ScriptError(call.args[1].position,
                      "an array holds 0 to " + std::to_string(kMaxArraySize) + " elements");
  }
  Typed& variable = in.variableSlot(call.args[0]);
  if (variable.kind != kind) variable = Typed{kind, ArrayType{}};
  std::get<ArrayType>(variable.value).elements.resize(static_cast<size_t>(size) + 1);
  return none();
}

Typed arrayInteger(Interpreter& in, const Expr& call) {
  return declareArray<host::IntegerArray>(in, call, host::Kind::IntegerArray);
}
Typed arrayLongint(Interpreter& in, const Expr& call) {
  return declareArray<host::LongintArray>(in, call, host::Kind::LongintArray);
}
Typed arrayText(Interpreter& in, const Expr& call) {
  return declareArray<host::TextArray>(in, call, host::Kind::TextArray);
}

const HostCommand kHostCommands[] = {
    {"DOCUMENT TO BLOB", 2, 0b10, host::Kind::None, documentToBlob},
    {"BLOB TO DOCUMENT", 2, 0b10, host::Kind::None, blobToDocument},
    {"TEXT TO BLOB", 2, 0b10, host::Kind::None, textToBlob},
    {"BLOB to text", 1, 0b1, host::Kind::Text, blobToText},
    {"BLOB size", 1, 0b1, host::Kind::Longint, blobSize},
    {"Length", 1, 0, host::Kind::Longint, length},
    {"READ PICTURE FILE", 2, 0b10, host::Kind::None, readPictureFile},
    {"WRITE PICTURE FILE", 2, 0b10, host::Kind::None, writePictureFile},
    {"DELAY PROCESS", 1, 0, host::Kind::None, delayProcess},
    {"ARRAY INTEGER", 2, 0b1, host::Kind::None, arrayInteger},
    {"ARRAY LONGINT", 2, 0b1, host::Kind::None, arrayLongint},
    {"ARRAY TEXT", 2, 0b1, host::Kind::None, arrayText},
};

}  // namespace

const HostCommand* findHostCommand(std::string_view name) {
  std::string wanted = lowerCase(name);
  for (const HostCommand& command : kHostCommands) {
    if (lowerCase(command.name) == wanted) return &command;
  }
  return nullptr;
}

}  // namespace zuvhost
