// Splits one line of a script into tokens.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "script.h"

namespace zuvhost {

enum class TokenType {
  Variable,  // $name
  Name,      // a command's name, which may hold single spaces ("BLOB TO DOCUMENT")
  Number,    // a whole number, or a real when `isReal`
  Operator,  // + - * / % = # < > <= >= & |, in `text`
  Colon,     // ":" of a declaration or a Case of branch
  Text,      // the literal's value, escapes resolved, in UTF-8
  Date,
  Time,
  Assign,  // :=
  LeftParen,
  RightParen,
  LeftBrace,
  RightBrace,
  Semicolon,
  Comma,
  End
};

struct Token {
  TokenType type = TokenType::End;
  Position position;
  std::string text;  // Variable and Name as written, Text as its value
  int64_t number = 0;
  double real = 0;
  bool isReal = false;
  host::Date date;
};

// The tokens of one line, ending with an End token; a "//" comment ends the line. Throws
// ScriptError at the offending character.
std::vector<Token> tokenizeLine(std::string_view line, int lineNumber);

std::string describe(const Token& token);

}  // namespace zuvhost
