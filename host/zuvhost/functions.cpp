#include "functions.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <type_traits>

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include "host_commands.h"
#include "interpreter.h"
#include "operators.h"

namespace zuvhost {

namespace {

// Num(text) keeps the digits, the first decimal point and a leading minus sign and ignores
// every other character, as 4D does ("a1b2" is 12); Num of a Boolean is 1 or 0.
double numberInText(const host::Text& text) {
  std::string kept;
  bool point = false;
  for (char16_t c : text) {
    if (c >= u'0' && c <= u'9') {
      kept += static_cast<char>(c);
    } else if (c == u'.' && !point) {
      kept += '.';
      point = true;
    } else if (c == u'-' && kept.empty()) {
      kept += '-';
    }
  }
  return std::strtod(kept.c_str(), nullptr);
}

std::tm localNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

static_assert(std::is_same_v<UChar, char16_t>, "ICU's units are the host's");

[[noreturn]] void unicodeFailure(const Expr& call, UErrorCode status) {
  throw ScriptError(call.position, call.text + ": " + u_errorName(status));
}

// Runs an ICU function that writes a text of its own length: once into a buffer as long as the
// source, again when that was too short.
template <typename Write>
host::Text written(const host::Text& source, const Expr& call, Write write) {
  host::Text out(source.size(), u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = write(out.data(), static_cast<int32_t>(out.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<size_t>(length), u'\0');
    status = U_ZERO_ERROR;
    length = write(out.data(), length, &status);
  }
  if (U_FAILURE(status)) unicodeFailure(call, status);
  out.resize(static_cast<size_t>(length));
  return out;
}

host::Text normalized(const host::Text& text, const UNormalizer2* form, const Expr& call) {
  return written(text, call, [&](UChar* out, int32_t capacity, UErrorCode* status) {
    return unorm2_normalize(form, text.data(), static_cast<int32_t>(text.size()), out, capacity,
                            status);
  });
}

// The text with its accents taken off: decomposed, without its non-spacing marks, composed
// again ("é" is "e"; "ø", which has no accent of its own, stays).
host::Text withoutAccents(const host::Text& text, const Expr& call) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* decomposition = unorm2_getNFDInstance(&status);
  const UNormalizer2* composition = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status)) unicodeFailure(call, status);
  host::Text decomposed = normalized(text, decomposition, call);
  host::Text kept;
  for (size_t i = 0; i < decomposed.size();) {
    size_t start = i;
    UChar32 c;
    U16_NEXT(decomposed.data(), i, decomposed.size(), c);
    if (u_charType(c) != U_NON_SPACING_MARK) kept.append(decomposed, start, i - start);
  }
  return normalized(kept, composition, call);
}

using CaseMapping = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

// Lowercase and Uppercase (text {; *}): Unicode's case mappings; accented letters lose their
// accents unless "*" keeps them, as in 4D.
Typed changedCase(Interpreter& in, const Expr& call, CaseMapping map) {
  host::Text text = textArgument(in, call.args[0]);
  host::Text mapped = written(text, call, [&](UChar* out, int32_t capacity, UErrorCode* status) {
    return map(out, capacity, text.data(), static_cast<int32_t>(text.size()), "", status);
  });
  return Typed{Kind::Text, endsWithStar(call) ? mapped : withoutAccents(mapped, call)};
}

}  // namespace

// String(value): numbers, dates and times as zuvhost prints them, Booleans as True or False.
Typed string(Interpreter& in, const Expr& call) {
  Typed value = in.evaluate(call.args[0]);
  if (value.kind == Kind::Text) return value;
  std::string printed = printedForm(value);
  if (!printed.empty() && printed.back() == '\n') printed.pop_back();
  return Typed{Kind::Text, textFromUtf8(printed)};
}

Typed num(Interpreter& in, const Expr& call) {
  Typed value = in.evaluate(call.args[0]);
  if (auto* boolean = std::get_if<bool>(&value.value))
    return Typed{Kind::Real, *boolean ? 1.0 : 0.0};
  if (auto* text = std::get_if<host::Text>(&value.value)) {
    return Typed{Kind::Real, numberInText(*text)};
  }
  if (isNumberKind(value.kind)) return Typed{Kind::Real, realOf(value.value)};
  throw ScriptError(call.args[0].position, "Num takes a Text, a number or a Boolean, not a " +
                                               kindDisplayName(value.kind));
}

Typed character(Interpreter& in, const Expr& call) {
  int64_t code = wholeArgument(in, call.args[0]);
  if (code < 0 || code > 0xFFFF) {
    throw ScriptError(call.args[0].position,
                      "a character code is 0 to 65535, not " + std::to_string(code));
  }
  return Typed{Kind::Text, host::Text(1, static_cast<char16_t>(code))};
}

Typed characterCode(Interpreter& in, const Expr& call) {
  host::Text text = textArgument(in, call.args[0]);
  if (text.empty()) throw ScriptError(call.args[0].position, "Character code of an empty text");
  return Typed{Kind::Longint, int64_t{text[0]}};
}

// Substring(text; first {; count}): characters count from 1; a first before 1 counts from 1.
Typed substring(Interpreter& in, const Expr& call) {
  host::Text text = textArgument(in, call.args[0]);
  int64_t first = std::max<int64_t>(wholeArgument(in, call.args[1]), 1);
  int64_t count =
      call.args.size() > 2 ? wholeArgument(in, call.args[2]) : static_cast<int64_t>(text.size());
  if (first > static_cast<int64_t>(text.size()) || count <= 0)
    return Typed{Kind::Text, host::Text()};
  return Typed{Kind::Text, text.substr(static_cast<size_t>(first - 1), static_cast<size_t>(count))};
}

// Position(find; in {; start}): where `find` first starts, from 1, ignoring the case of letters
// as 4D does; 0 when it does not occur.
Typed position(Interpreter& in, const Expr& call) {
  host::Text wanted = foldCase(textArgument(in, call.args[0]));
  host::Text text = foldCase(textArgument(in, call.args[1]));
  int64_t start = call.args.size() > 2 ? std::max<int64_t>(wholeArgument(in, call.args[2]), 1) : 1;
  if (wanted.empty() || start > static_cast<int64_t>(text.size()))
    return Typed{Kind::Longint, int64_t{0}};
  size_t found = text.find(wanted, static_cast<size_t>(start - 1));
  return Typed{Kind::Longint,
               found == host::Text::npos ? int64_t{0} : static_cast<int64_t>(found + 1)};
}

// Replace string(source; old; new {; howMany}{; *}): the first howMany occurrences of old, from
// the left (all of them without howMany), found without regard to the case of letters as 4D
// does, or by their character codes with "*"; an empty old text changes nothing.
Typed replaceString(Interpreter& in, const Expr& call) {
  host::Text source = textArgument(in, call.args[0]);
  host::Text old = textArgument(in, call.args[1]);
  host::Text replacement = textArgument(in, call.args[2]);
  int64_t howMany =
      valueCount(call) > 3 ? wholeArgument(in, call.args[3]) : std::numeric_limits<int64_t>::max();
  bool byCodes = endsWithStar(call);
  host::Text searched = byCodes ? source : foldCase(source);
  host::Text wanted = byCodes ? old : foldCase(old);
  if (wanted.empty()) return Typed{Kind::Text, source};
  host::Text out;
  size_t from = 0;
  for (int64_t done = 0; done < howMany; ++done) {
    size_t found = searched.find(wanted, from);
    if (found == host::Text::npos) break;
    out.append(source, from, found - from);
    out += replacement;
    from = found + wanted.size();
  }
  out.append(source, from, host::Text::npos);
  return Typed{Kind::Text, out};
}

Typed lowercase(Interpreter& in, const Expr& call) { return changedCase(in, call, u_strToLower); }
Typed uppercase(Interpreter& in, const Expr& call) { return changedCase(in, call, u_strToUpper); }

Typed sizeOfArray(Interpreter& in, const Expr& call) {
  Typed& array = in.variableSlot(call.args[0]);
  int64_t size = 0;
  std::visit(
      [&](const auto& held) {
        if constexpr (std::is_same_v<std::decay_t<decltype(held)>, host::IntegerArray> ||
                      std::is_same_v<std::decay_t<decltype(held)>, host::LongintArray> ||
                      std::is_same_v<std::decay_t<decltype(held)>, host::TextArray>) {
          size = held.elements.empty() ? 0 : static_cast<int64_t>(held.elements.size() - 1);
        } else {
          throw ScriptError(call.args[0].position, call.args[0].text + " is not an array");
        }
      },
      array.value);
  return Typed{Kind::Longint, size};
}

Typed currentDate(Interpreter&, const Expr&) {
  std::tm now = localNow();
  return Typed{Kind::Date,
               host::Date{static_cast<int16_t>(now.tm_mday), static_cast<int16_t>(now.tm_mon + 1),
                          static_cast<int16_t>(now.tm_year + 1900)}};
}

Typed currentTime(Interpreter&, const Expr&) {
  std::tm now = localNow();
  return Typed{Kind::Time, int64_t{now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec}};
}

// Milliseconds since the machine started, as a Longint that wraps after about 24 days.
Typed milliseconds(Interpreter&, const Expr&) {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  return Typed{Kind::Longint, numberOfKind(ms, Kind::Longint)};
}

Typed notOf(Interpreter& in, const Expr& call) {
  return Typed{Kind::Boolean, !std::get<bool>(in.evaluateAs(call.args[0], Kind::Boolean).value)};
}

}  // namespace zuvhost
