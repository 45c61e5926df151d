#include "host_commands.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "blob_texts.h"
#include "files.h"
#include "functions.h"
#include "interpreter.h"
#include "pictures.h"

namespace zuvhost {

namespace {

// A script may declare an array this large at most; 4D's own limit is far above what a script
// around the plug-in needs, and the cap keeps a typing slip from eating the memory.
constexpr int64_t kMaxArraySize = 16 * 1024 * 1024;

Typed none() { return Typed{}; }

std::string pathArgument(Interpreter& in, const Expr& expr) {
  return utf8FromText(textArgument(in, expr));
}

std::string readFile(const std::string& path, const Expr& call) {
  std::string bytes;
  std::string failure = readWholeFile(path, bytes);
  if (!failure.empty()) throw ScriptError(call.position, "cannot read " + path + ": " + failure);
  return bytes;
}

void writeFile(const std::string& path, const std::string& bytes, const Expr& call) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (file) file.close();
  if (!file) throw ScriptError(call.position, "cannot write " + path + ": " + std::strerror(errno));
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

Typed blobSize(Interpreter& in, const Expr& call) {
  const host::Blob& blob = blobVariable(in, call.args[0]);
  return Typed{Kind::Longint, static_cast<int64_t>(blob.hasHandle ? blob.bytes.size() : 0)};
}

Typed length(Interpreter& in, const Expr& call) {
  return Typed{Kind::Longint, static_cast<int64_t>(textArgument(in, call.args[0]).size())};
}

Typed readPictureFile(Interpreter& in, const Expr& call) {
  std::string bytes = readFile(pathArgument(in, call.args[0]), call);
  host::Picture picture;
  picture.formats.push_back(host::PictureFormat{host::pictures::typeName(bytes), std::move(bytes)});
  in.bindVariable(call.args[1], Kind::Picture).value = std::move(picture);
  return none();
}

Typed writePictureFile(Interpreter& in, const Expr& call) {
  std::string path = pathArgument(in, call.args[0]);
  const auto& picture = std::get<host::Picture>(in.bindVariable(call.args[1], Kind::Picture).value);
  writeFile(path, picture.formats.empty() ? std::string() : picture.formats.front().bytes, call);
  return none();
}

// A script runs in one 4D process, the first.
constexpr int64_t kScriptProcess = 1;

Typed currentProcess(Interpreter&, const Expr&) { return Typed{Kind::Longint, kScriptProcess}; }

// DELAY PROCESS(Current process; ticks), or DELAY PROCESS(ticks) for short. Ticks are 1/60 s, as
// everywhere in 4D.
Typed delayProcess(Interpreter& in, const Expr& call) {
  if (call.args.size() == 2) {
    int64_t process = wholeArgument(in, call.args[0]);
    if (process != kScriptProcess) {
      throw ScriptError(call.args[0].position, "a script can delay only its own process (" +
                                                   std::to_string(kScriptProcess) + ")");
    }
  }
  int64_t ticks = wholeArgument(in, call.args.back());
  if (ticks > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ticks * 1000 / 60));
  return none();
}

// ARRAY declares the array, or resizes it keeping its elements when it already has that kind.
template <typename ArrayType>
Typed declareArray(Interpreter& in, const Expr& call, Kind kind) {
  int64_t size = wholeArgument(in, call.args[1]);
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
  return declareArray<host::IntegerArray>(in, call, Kind::IntegerArray);
}
Typed arrayLongint(Interpreter& in, const Expr& call) {
  return declareArray<host::LongintArray>(in, call, Kind::LongintArray);
}
Typed arrayText(Interpreter& in, const Expr& call) {
  return declareArray<host::TextArray>(in, call, Kind::TextArray);
}

// APPEND TO ARRAY(array; value): a new last element that holds the value, converted to the
// elements' kind as an assignment to an element converts it.
Typed appendToArray(Interpreter& in, const Expr& call) {
  Typed value = in.evaluate(call.args[1]);
  Typed& array = in.variableSlot(call.args[0]);
  Kind element = elementKindOf(array.kind);
  if (element == Kind::None) {
    throw ScriptError(call.args[0].position, call.args[0].text + " is not an array");
  }
  Value converted = convertTo(value, element, call.args[1].position);
  auto append = [&](auto& elements, auto item) {
    if (elements.size() > static_cast<size_t>(kMaxArraySize)) {
      throw ScriptError(call.position,
                        "an array holds 0 to " + std::to_string(kMaxArraySize) + " elements");
    }
    elements.push_back(std::move(item));
  };
  if (auto* texts = std::get_if<host::TextArray>(&array.value)) {
    append(texts->elements, std::get<host::Text>(std::move(converted)));
  } else if (auto* longints = std::get_if<host::LongintArray>(&array.value)) {
    append(longints->elements, static_cast<int32_t>(std::get<int64_t>(converted)));
  } else {
    auto& integers = std::get<host::IntegerArray>(array.value).elements;
    append(integers, static_cast<int16_t>(std::get<int64_t>(converted)));
  }
  return none();
}

constexpr HostParam kText{Kind::Text, false};
constexpr HostParam kWhole{Kind::Longint, false};
constexpr HostParam kAny{Kind::None, false};
constexpr HostParam kBlobVariable{Kind::Blob, true};
constexpr HostParam kPictureVariable{Kind::Picture, true};
constexpr HostParam kWholeVariable{Kind::Longint, true};
constexpr HostParam kAnyArray{Kind::None, true};
constexpr HostParam kArrayElement{Kind::None, false, true};

const HostCommand kHostCommands[] = {
    {"DOCUMENT TO BLOB", 2, {kText, kBlobVariable}, Kind::None, documentToBlob},
    {"BLOB TO DOCUMENT", 2, {kText, kBlobVariable}, Kind::None, blobToDocument},
    {"TEXT TO BLOB", 2, {kText, kBlobVariable, kWhole, kWholeVariable}, Kind::None, textToBlob},
    {"BLOB to text", 1, {kBlobVariable, kWhole, kWholeVariable, kWhole}, Kind::Text, blobToText},
    {"BLOB size", 1, {kBlobVariable}, Kind::Longint, blobSize},
    {"Length", 1, {kText}, Kind::Longint, length},
    {"READ PICTURE FILE", 2, {kText, kPictureVariable}, Kind::None, readPictureFile},
    {"WRITE PICTURE FILE", 2, {kText, kPictureVariable}, Kind::None, writePictureFile},
    {"DELAY PROCESS", 1, {kWhole, kWhole}, Kind::None, delayProcess},
    {"Current process", 0, {}, Kind::Longint, currentProcess},
    {"ARRAY INTEGER", 2, {HostParam{Kind::IntegerArray, true}, kWhole}, Kind::None, arrayInteger},
    {"ARRAY LONGINT", 2, {HostParam{Kind::LongintArray, true}, kWhole}, Kind::None, arrayLongint},
    {"ARRAY TEXT", 2, {HostParam{Kind::TextArray, true}, kWhole}, Kind::None, arrayText},
    {"APPEND TO ARRAY", 2, {kAnyArray, kArrayElement}, Kind::None, appendToArray},
    {"String", 1, {kAny}, Kind::Text, string},
    {"Num", 1, {kAny}, Kind::Real, num},
    {"Char", 1, {kWhole}, Kind::Text, character},
    {"Character code", 1, {kText}, Kind::Longint, characterCode},
    {"Substring", 2, {kText, kWhole, kWhole}, Kind::Text, substring},
    {"Position", 2, {kText, kText, kWhole}, Kind::Longint, position},
    {"Replace string", 3, {kText, kText, kText, kWhole}, Kind::Text, replaceString, true},
    {"Lowercase", 1, {kText}, Kind::Text, lowercase, true},
    {"Uppercase", 1, {kText}, Kind::Text, uppercase, true},
    {"Size of array", 1, {kAnyArray}, Kind::Longint, sizeOfArray},
    {"Current date", 0, {}, Kind::Date, currentDate},
    {"Current time", 0, {}, Kind::Time, currentTime},
    {"Milliseconds", 0, {}, Kind::Longint, milliseconds},
    {"Not", 1, {HostParam{Kind::Boolean, false}}, Kind::Boolean, notOf},
};

struct Constant {
  const char* name;
  Typed value;
};

Typed asciiCode(int64_t code) { return Typed{Kind::Longint, code}; }

// True and False; the text formats of TEXT TO BLOB under their names old and new; and 4D's ASCII
// codes theme, the character codes of keys and control characters (Char(Carriage return)).
const Constant kConstants[] = {
    {"True", Typed{Kind::Boolean, true}},
    {"False", Typed{Kind::Boolean, false}},
    {"Mac C string", Typed{Kind::Longint, int64_t{kMacCString}}},
    {"Mac Pascal string", Typed{Kind::Longint, int64_t{kMacPascalString}}},
    {"Mac text with length", Typed{Kind::Longint, int64_t{kMacTextWithLength}}},
    {"Mac text without length", Typed{Kind::Longint, int64_t{kMacTextWithoutLength}}},
    {"C string", Typed{Kind::Longint, int64_t{kMacCString}}},
    {"Pascal string", Typed{Kind::Longint, int64_t{kMacPascalString}}},
    {"Text with length", Typed{Kind::Longint, int64_t{kMacTextWithLength}}},
    {"Text without length", Typed{Kind::Longint, int64_t{kMacTextWithoutLength}}},
    {"UTF8 C string", Typed{Kind::Longint, int64_t{kUtf8CString}}},
    {"UTF8 text with length", Typed{Kind::Longint, int64_t{kUtf8TextWithLength}}},
    {"UTF8 text without length", Typed{Kind::Longint, int64_t{kUtf8TextWithoutLength}}},
    {"Home key", asciiCode(1)},
    {"Enter", asciiCode(3)},
    {"End key", asciiCode(4)},
    {"Help key", asciiCode(5)},
    {"Backspace", asciiCode(8)},
    {"Tab", asciiCode(9)},
    {"Line feed", asciiCode(10)},
    {"Page up key", asciiCode(11)},
    {"Page down key", asciiCode(12)},
    {"Carriage return", asciiCode(13)},
    {"Escape", asciiCode(27)},
    {"Left arrow key", asciiCode(28)},
    {"Right arrow key", asciiCode(29)},
    {"Up arrow key", asciiCode(30)},
    {"Down arrow key", asciiCode(31)},
    {"Space", asciiCode(32)},
    {"Double quote", asciiCode(34)},
    {"Quote", asciiCode(39)},
    {"Period", asciiCode(46)},
    {"Delete key", asciiCode(127)},
    {"NUL ASCII", asciiCode(0)},
    {"SOH ASCII", asciiCode(1)},
    {"STX ASCII", asciiCode(2)},
    {"ETX ASCII", asciiCode(3)},
    {"EOT ASCII", asciiCode(4)},
    {"ENQ ASCII", asciiCode(5)},
    {"ACK ASCII", asciiCode(6)},
    {"BEL ASCII", asciiCode(7)},
    {"BS ASCII", asciiCode(8)},
    {"HT ASCII", asciiCode(9)},
    {"LF ASCII", asciiCode(10)},
    {"VT ASCII", asciiCode(11)},
    {"FF ASCII", asciiCode(12)},
    {"CR ASCII", asciiCode(13)},
    {"SO ASCII", asciiCode(14)},
    {"SI ASCII", asciiCode(15)},
    {"DLE ASCII", asciiCode(16)},
    {"DC1 ASCII", asciiCode(17)},
    {"DC2 ASCII", asciiCode(18)},
    {"DC3 ASCII", asciiCode(19)},
    {"DC4 ASCII", asciiCode(20)},
    {"NAK ASCII", asciiCode(21)},
    {"SYN ASCII", asciiCode(22)},
    {"ETB ASCII", asciiCode(23)},
    {"CAN ASCII", asciiCode(24)},
    {"EM ASCII", asciiCode(25)},
    {"SUB ASCII", asciiCode(26)},
    {"ESC ASCII", asciiCode(27)},
    {"FS ASCII", asciiCode(28)},
    {"GS ASCII", asciiCode(29)},
    {"RS ASCII", asciiCode(30)},
    {"US ASCII", asciiCode(31)},
    {"DEL ASCII", asciiCode(127)},
};

}  // namespace

const char kStarIsNoValue[] = "'*' is no value: it ends the call of a command that takes it";

bool endsWithStar(const Expr& call) {
  return !call.args.empty() && call.args.back().type == ExprType::Star;
}

size_t valueCount(const Expr& call) { return call.args.size() - (endsWithStar(call) ? 1 : 0); }

host::Text textArgument(Interpreter& in, const Expr& expr) {
  return std::get<host::Text>(in.evaluateAs(expr, Kind::Text).value);
}

int64_t wholeArgument(Interpreter& in, const Expr& expr) {
  return std::get<int64_t>(in.evaluateAs(expr, Kind::Longint).value);
}

host::Blob& blobVariable(Interpreter& in, const Expr& expr) {
  return std::get<host::Blob>(in.bindVariable(expr, Kind::Blob).value);
}

const HostCommand* findHostCommand(std::string_view name) {
  std::string wanted = lowerCase(name);
  for (const HostCommand& command : kHostCommands) {
    if (lowerCase(command.name) == wanted) return &command;
  }
  return nullptr;
}

std::string unknownName(const Expr& call) {
  return (call.hasParentheses ? "unknown command '" : "unknown command or constant '") + call.text +
         "'";
}

const Typed* findConstant(std::string_view name) {
  std::string wanted = lowerCase(name);
  for (const Constant& constant : kConstants) {
    if (lowerCase(constant.name) == wanted) return &constant.value;
  }
  return nullptr;
}

}  // namespace zuvhost
