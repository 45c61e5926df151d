#include "lexer.h"

#include <cctype>
#include <cstdlib>

namespace zuvhost {

namespace {

constexpr int64_t kLongintMin = -2147483648LL;
constexpr int64_t kLongintMax = 2147483647LL;
constexpr int64_t kLongintBits = 0xFFFFFFFFLL;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
int hexValue(char c) {
  return isDigit(c) ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}
bool isNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || isDigit(c); }

int daysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

class LineLexer {
 public:
  LineLexer(std::string_view line, int lineNumber) : line_(line), lineNumber_(lineNumber) {}

  std::vector<Token> run() {
    std::vector<Token> tokens;
    for (skipSpaces(); !atEnd() && !atComment(); skipSpaces()) {
      afterValue_ = !tokens.empty() && endsValue(tokens.back().type);
      tokens.push_back(next());
    }
    tokens.push_back(make(TokenType::End, here()));
    return tokens;
  }

 private:
  // After a value, "-" and "+" are operators; elsewhere they sign the number that follows.
  static bool endsValue(TokenType type) {
    switch (type) {
      case TokenType::Variable:
      case TokenType::Name:
      case TokenType::Number:
      case TokenType::Text:
      case TokenType::Date:
      case TokenType::Time:
      case TokenType::RightParen:
      case TokenType::RightBrace:
        return true;
      default:
        return false;
    }
  }

  bool atEnd() const { return i_ >= line_.size(); }
  bool atComment() const { return line_.compare(i_, 2, "//") == 0; }
  char peek(size_t ahead = 0) const { return i_ + ahead < line_.size() ? line_[i_ + ahead] : '\0'; }

  // Columns count characters: UTF-8 continuation bytes do not start one. Counted on from the
  // last position asked for, so that a long line costs no more than its length.
  Position positionOf(size_t byte) const {
    if (byte < countedTo_) countedTo_ = 0, column_ = 1;
    for (; countedTo_ < byte && countedTo_ < line_.size(); ++countedTo_) {
      if ((static_cast<unsigned char>(line_[countedTo_]) & 0xC0) != 0x80) ++column_;
    }
    return Position{lineNumber_, column_};
  }
  Position here() const { return positionOf(i_); }

  [[noreturn]] void fail(size_t byte, const std::string& message) const {
    throw ScriptError(positionOf(byte), message);
  }

  void skipSpaces() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t')) ++i_;
  }

  Token make(TokenType type, Position where) const {
    Token token;
    token.type = type;
    token.position = where;
    return token;
  }

  Token next() {
    char c = peek();
    if (c == '$') return variable();
    if (c == '"') return text();
    if (c == '!') return date();
    if (c == '?') return time();
    if (isDigit(c) || (!afterValue_ && (c == '-' || c == '+') && isDigit(peek(1)))) {
      return number();
    }
    if (isNameStart(c)) return name();
    return punctuation();
  }

  Token punctuation() {
    Token token = make(TokenType::End, here());
    char c = peek();
    if (c == ':' && peek(1) == '=') {
      token.type = TokenType::Assign;
      i_ += 2;
      return token;
    }
    if ((c == '<' || c == '>') && peek(1) == '=') {
      token.type = TokenType::Operator;
      token.text = std::string(1, c) + "=";
      i_ += 2;
      return token;
    }
    if (std::string_view("+-*/%=#<>&|").find(c) != std::string_view::npos) {
      token.type = TokenType::Operator;
      token.text = std::string(1, c);
      ++i_;
      return token;
    }
    switch (c) {
      case ':':
        token.type = TokenType::Colon;
        break;
      case '(':
        token.type = TokenType::LeftParen;
        break;
      case ')':
        token.type = TokenType::RightParen;
        break;
      case '{':
        token.type = TokenType::LeftBrace;
        break;
      case '}':
        token.type = TokenType::RightBrace;
        break;
      case ';':
        token.type = TokenType::Semicolon;
        break;
      case ',':
        token.type = TokenType::Comma;
        break;
      default:
        fail(i_, "unexpected character '" + std::string(1, c) + "'");
    }
    ++i_;
    return token;
  }

  Token variable() {
    Token token = make(TokenType::Variable, here());
    size_t start = i_++;
    while (!atEnd() && isNameChar(peek())) ++i_;
    if (i_ == start + 1) fail(start, "a variable needs a name after '$'");
    token.text = std::string(line_.substr(start, i_ - start));
    return token;
  }

  // A name runs over letters, digits, underscores and single spaces that a letter follows, so
  // that "BLOB TO DOCUMENT" is one name; the space before "(" is not part of it.
  Token name() {
    Token token = make(TokenType::Name, here());
    size_t start = i_;
    while (!atEnd()) {
      if (isNameChar(peek())) {
        ++i_;
      } else if (peek() == ' ' && isNameStart(peek(1))) {
        ++i_;
      } else {
        break;
      }
    }
    token.text = std::string(line_.substr(start, i_ - start));
    return token;
  }

  int64_t digits(size_t& count) {
    int64_t value = 0;
    count = 0;
    while (!atEnd() && isDigit(peek())) {
      if (value <= kLongintMax) value = value * 10 + (peek() - '0');
      ++i_;
      ++count;
    }
    return value;
  }

  Token number() {
    Token token = make(TokenType::Number, here());
    size_t start = i_;
    bool negative = peek() == '-';
    if (peek() == '-' || peek() == '+') ++i_;
    if (peek() == '0' && (peek(1) == 'x' || peek(1) == 'X')) {
      return hexadecimal(token, start, negative);
    }
    size_t count = 0;
    int64_t value = digits(count);
    if (peek() == '.' && isDigit(peek(1))) return real(token, start);
    if (isNameChar(peek())) fail(i_, "a number cannot go on with '" + std::string(1, peek()) + "'");
    value = negative ? -value : value;
    if (value < kLongintMin || value > kLongintMax) {
      fail(start, "the number is out of the range of a longint");
    }
    token.number = value;
    return token;
  }

  // 4D's hexadecimal literals (0x0800): up to 32 bits, which are the longint's own, so that a
  // mask such as 0xFFFFFFFF is -1 as in 4D's bitwise operations.
  Token hexadecimal(Token token, size_t start, bool negative) {
    i_ += 2;
    if (!isHexDigit(peek())) fail(i_, "a hexadecimal number needs digits after 0x");
    int64_t value = 0;
    while (!atEnd() && isHexDigit(peek())) {
      if (value <= kLongintBits) value = value * 16 + hexValue(peek());
      ++i_;
    }
    if (isNameChar(peek())) fail(i_, "a number cannot go on with '" + std::string(1, peek()) + "'");
    if (value > kLongintBits) fail(start, "the number is out of the range of a longint");
    value = static_cast<int32_t>(static_cast<uint32_t>(value));
    token.number = negative ? -value : value;
    if (token.number > kLongintMax) fail(start, "the number is out of the range of a longint");
    return token;
  }

  // A real: digits, a point and digits, read again in full by strtod.
  Token real(Token token, size_t start) {
    ++i_;
    while (!atEnd() && isDigit(peek())) ++i_;
    if (isNameChar(peek())) fail(i_, "a number cannot go on with '" + std::string(1, peek()) + "'");
    token.isReal = true;
    token.real = std::strtod(std::string(line_.substr(start, i_ - start)).c_str(), nullptr);
    return token;
  }

  char escaped(size_t backslash) {
    switch (peek()) {
      case 'r':
        return '\r';
      case 'n':
        return '\n';
      case 't':
        return '\t';
      case '"':
        return '"';
      case '\\':
        return '\\';
      case '\0':
        if (atEnd()) fail(backslash, "the text has no closing '\"'");
        break;
      default:
        break;
    }
    fail(backslash,
         "unknown escape '\\" + std::string(1, peek()) + "' (use \\r \\n \\t \\\" \\\\)");
  }

  Token text() {
    Token token = make(TokenType::Text, here());
    size_t start = i_++;
    while (true) {
      if (atEnd()) fail(start, "the text has no closing '\"'");
      char c = peek();
      if (c == '"') break;
      if (c == '\\') {
        size_t backslash = i_++;
        token.text += escaped(backslash);
      } else {
        token.text += c;
      }
      ++i_;
    }
    ++i_;
    return token;
  }

  // Reads a field of digits ending at `separator`; fails at the literal's start otherwise.
  int64_t field(size_t start, char separator, const char* what) {
    size_t count = 0;
    int64_t value = digits(count);
    if (count == 0 || peek() != separator) fail(start, std::string("malformed ") + what);
    ++i_;
    return value;
  }

  Token date() {
    Token token = make(TokenType::Date, here());
    size_t start = i_++;
    const char* what = "date (write !YYYY-MM-DD!)";
    int64_t year = field(start, '-', what);
    int64_t month = field(start, '-', what);
    int64_t day = field(start, '!', what);
    bool empty = year == 0 && month == 0 && day == 0;
    bool valid = year <= 32767 && month >= 1 && month <= 12 && day >= 1 &&
                 day <= daysInMonth(static_cast<int>(year), static_cast<int>(month));
    if (!empty && !valid) fail(start, "no such date");
    token.date = host::Date{static_cast<int16_t>(day), static_cast<int16_t>(month),
                            static_cast<int16_t>(year)};
    return token;
  }

  Token time() {
    Token token = make(TokenType::Time, here());
    size_t start = i_++;
    const char* what = "time (write ?HH:MM:SS?)";
    int64_t hours = field(start, ':', what);
    int64_t minutes = field(start, ':', what);
    int64_t seconds = field(start, '?', what);
    if (minutes > 59 || seconds > 59) fail(start, "no such time");
    token.number = hours * 3600 + minutes * 60 + seconds;
    if (token.number > kLongintMax) fail(start, "the time is out of the range of a longint");
    return token;
  }

  std::string_view line_;
  int lineNumber_;
  size_t i_ = 0;
  bool afterValue_ = false;
  mutable size_t countedTo_ = 0;
  mutable int column_ = 1;
};

}  // namespace

std::vector<Token> tokenizeLine(std::string_view line, int lineNumber) {
  return LineLexer(line, lineNumber).run();
}

std::string describe(const Token& token) {
  switch (token.type) {
    case TokenType::Variable:
    case TokenType::Name:
      return "'" + token.text + "'";
    case TokenType::Number:
      return token.isReal ? "a number" : "the number " + std::to_string(token.number);
    case TokenType::Operator:
      return "'" + token.text + "'";
    case TokenType::Colon:
      return "':'";
    case TokenType::Text:
      return "a text";
    case TokenType::Date:
      return "a date";
    case TokenType::Time:
      return "a time";
    case TokenType::Assign:
      return "':='";
    case TokenType::LeftParen:
      return "'('";
    case TokenType::RightParen:
      return "')'";
    case TokenType::LeftBrace:
      return "'{'";
    case TokenType::RightBrace:
      return "'}'";
    case TokenType::Semicolon:
      return "';'";
    case TokenType::Comma:
      return "','";
    case TokenType::End:
      break;
  }
  return "the end of the line";
}

}  // namespace zuvhost
