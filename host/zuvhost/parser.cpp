#include "parser.h"

#include <memory>
#include <vector>

#include "interpreter.h"
#include "lexer.h"

namespace zuvhost {

namespace {

// Parentheses, calls, operators and blocks may nest this deep: far beyond what a method needs,
// and short of what the parser's, the checker's and the interpreter's stacks hold.
constexpr int kMaxNesting = 200;

// Counts one level of nesting while it lives; fails at `where` past the limit.
class NestingLevel {
 public:
  NestingLevel(int& depth, Position where) : depth_(depth) {
    if (++depth_ > kMaxNesting) {
      --depth_;
      throw ScriptError(where, "nested more than " + std::to_string(kMaxNesting) + " levels deep");
    }
  }
  NestingLevel(const NestingLevel&) = delete;
  NestingLevel& operator=(const NestingLevel&) = delete;
  ~NestingLevel() { --depth_; }

 private:
  int& depth_;
};

// The statements of one line: an assignment, a value, a declaration, or a line of a block
// (If, Else, End if...). Operators have no precedence: as in 4D, an expression is read from
// left to right, and parentheses group.
class LineParser {
 public:
  explicit LineParser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  bool empty() const { return tokens_.front().type == TokenType::End; }
  const std::string& firstText() const { return tokens_.front().text; }
  Position position() const { return tokens_.front().position; }

  // The block word the line starts with, in lower case ("if", "end if", ":" for a Case of
  // branch), or "" for an ordinary statement.
  std::string keyword() const {
    const Token& first = tokens_.front();
    if (first.type == TokenType::Colon) return ":";
    if (first.type != TokenType::Name) return "";
    std::string word = lowerCase(first.text);
    static const char* const kWords[] = {"if",        "else",    "end if",   "while",
                                         "end while", "repeat",  "until",    "for",
                                         "end for",   "case of", "end case", "var"};
    for (const char* known : kWords) {
      if (word == known) return word;
    }
    if (word.rfind("c_", 0) == 0 && tokens_[1].type == TokenType::LeftParen) return "c_";
    return "";
  }

  Statement statement() {
    Statement result;
    result.position = peek().position;
    if (peek().type == TokenType::Variable && isAssignment()) {
      result.target = take().text;
      if (peek().type == TokenType::LeftBrace) {
        result.type = StatementType::AssignElement;
        result.index.push_back(braced());
      } else {
        result.type = StatementType::Assign;
      }
      expect(TokenType::Assign, "':='");
    }
    result.value = expression();
    expectEnd();
    return result;
  }

  // A line that is one name beginning with "end" and no block word: "End iff", "Endif".
  bool looksLikeBlockEnd() const {
    const Token& first = tokens_.front();
    return tokens_.size() == 2 && first.type == TokenType::Name &&
           lowerCase(first.text).rfind("end", 0) == 0 && keyword().empty();
  }

  // "If (...)", "While (...)", "Until (...)", ": (...)": the word, then a condition.
  Expr condition() {
    take();
    Expr condition = expression();
    expectEnd();
    return condition;
  }

  // A line that is the word alone: "Else", "Repeat", "Case of", "End if"...
  void wordAlone() {
    take();
    expectEnd();
  }

  // "For ($i; start; end {; step})".
  std::vector<Expr> forHeader() {
    take();
    expect(TokenType::LeftParen, "'('");
    std::vector<Expr> args;
    if (peek().type != TokenType::Variable) fail("expected the counter variable");
    args.push_back(variableOrElement());
    if (args[0].type != ExprType::Variable) {
      throw ScriptError(args[0].position, "the counter of For must be a variable");
    }
    for (int i = 0; i < 3; ++i) {
      if (i == 2 && peek().type == TokenType::RightParen) break;
      expect(TokenType::Semicolon, "';'");
      args.push_back(expression());
    }
    expect(TokenType::RightParen, "';' or ')'");
    expectEnd();
    return args;
  }

  // "var $a, $b : Text".
  Statement var() {
    Statement result;
    result.type = StatementType::Declare;
    result.position = take().position;
    do {
      if (peek().type != TokenType::Variable) fail("expected a variable");
      result.args.push_back(variableOrElement());
    } while (peek().type == TokenType::Comma && (take(), true));
    if (peek().type != TokenType::Colon) fail("expected ':' and a kind");
    take();
    if (peek().type != TokenType::Name) fail("expected a kind");
    result.kindPosition = peek().position;
    result.kindName = take().text;
    expectEnd();
    return result;
  }

  // "C_TEXT($a; $b)".
  Statement compilerDirective() {
    Statement result;
    result.type = StatementType::Declare;
    result.position = result.kindPosition = peek().position;
    Expr directive = call();
    result.kindName = directive.text;
    result.args = std::move(directive.args);
    if (result.args.empty()) fail("expected a variable to declare");
    expectEnd();
    return result;
  }

 private:
  const Token& peek(size_t ahead = 0) const {
    return tokens_[std::min(next_ + ahead, tokens_.size() - 1)];
  }
  const Token& take() {
    const Token& token = peek();
    if (next_ < tokens_.size() - 1) ++next_;
    return token;
  }
  [[noreturn]] void fail(const std::string& expected) const {
    throw ScriptError(peek().position, expected + ", found " + describe(peek()));
  }
  void expect(TokenType type, const std::string& what) {
    if (peek().type != type) fail("expected " + what);
    take();
  }
  void expectEnd() {
    if (peek().type != TokenType::End) fail("expected the end of the line");
  }

  // "$a:=" or "$a{...}:=": the assignment sign follows the variable or its closing brace.
  bool isAssignment() const {
    if (peek(1).type == TokenType::Assign) return true;
    if (peek(1).type != TokenType::LeftBrace) return false;
    int depth = 0;
    for (size_t k = next_ + 1; k < tokens_.size(); ++k) {
      if (tokens_[k].type == TokenType::LeftBrace) ++depth;
      if (tokens_[k].type == TokenType::RightBrace && --depth == 0) {
        return k + 1 < tokens_.size() && tokens_[k + 1].type == TokenType::Assign;
      }
    }
    return false;
  }

  Expr braced() {
    expect(TokenType::LeftBrace, "'{'");
    Expr index = expression();
    expect(TokenType::RightBrace, "'}'");
    return index;
  }

  // Operands joined by operators, from left to right.
  // Each operator nests the expression one level deeper: the left operand is its first.
  Expr expression() {
    NestingLevel level(depth_, peek().position);
    std::vector<std::unique_ptr<NestingLevel>> operators;
    Expr left = operand();
    while (peek().type == TokenType::Operator) {
      operators.push_back(std::make_unique<NestingLevel>(depth_, peek().position));
      Expr binary;
      binary.type = ExprType::Binary;
      binary.position = peek().position;
      binary.text = take().text;
      binary.args.push_back(std::move(left));
      binary.args.push_back(operand());
      left = std::move(binary);
    }
    return left;
  }

  Expr operand() {
    const Token& token = peek();
    Expr expr;
    expr.position = token.position;
    switch (token.type) {
      case TokenType::Number:
        expr.type = token.isReal ? ExprType::Real : ExprType::Number;
        expr.number = token.number;
        expr.real = token.real;
        break;
      case TokenType::Text:
        expr.type = ExprType::Text;
        expr.text = token.text;
        break;
      case TokenType::Date:
        expr.type = ExprType::Date;
        expr.date = token.date;
        break;
      case TokenType::Time:
        expr.type = ExprType::Time;
        expr.number = token.number;
        break;
      case TokenType::Variable:
        return variableOrElement();
      case TokenType::Name:
        return call();
      case TokenType::LeftParen: {
        take();
        Expr inner = expression();
        expect(TokenType::RightParen, "')'");
        return inner;
      }
      case TokenType::Operator:
        if (token.text == "-" || token.text == "+") return signed_();
        fail("expected a value");
      default:
        fail("expected a value");
    }
    take();
    return expr;
  }

  // "-" or "+" before an operand that is not a plain number.
  Expr signed_() {
    NestingLevel level(depth_, peek().position);
    Expr expr;
    expr.position = peek().position;
    bool negate = take().text == "-";
    Expr inner = operand();
    if (!negate) return inner;
    expr.type = ExprType::Negate;
    expr.args.push_back(std::move(inner));
    return expr;
  }

  Expr variableOrElement() {
    Expr expr;
    expr.position = peek().position;
    expr.text = take().text;
    expr.type = ExprType::Variable;
    if (peek().type == TokenType::LeftBrace) {
      expr.type = ExprType::Element;
      expr.args.push_back(braced());
    }
    return expr;
  }

  Expr call() {
    Expr expr;
    expr.type = ExprType::Call;
    expr.position = peek().position;
    expr.text = take().text;
    if (peek().type != TokenType::LeftParen) return expr;
    take();
    expr.hasParentheses = true;
    if (peek().type == TokenType::RightParen) {
      take();
      return expr;
    }
    expr.args.push_back(argument());
    while (peek().type == TokenType::Semicolon) {
      take();
      expr.args.push_back(argument());
    }
    expect(TokenType::RightParen, "';' or ')'");
    return expr;
  }

  // An argument, or 4D's "*" alone as the last one.
  Expr argument() {
    if (peek().type != TokenType::Operator || peek().text != "*" ||
        peek(1).type != TokenType::RightParen) {
      return expression();
    }
    Expr star;
    star.type = ExprType::Star;
    star.position = take().position;
    return star;
  }

  std::vector<Token> tokens_;
  size_t next_ = 0;
  int depth_ = 0;
};

// Gathers the lines into statements, the blocks nesting their bodies.
class BlockParser {
 public:
  explicit BlockParser(std::vector<LineParser> lines) : lines_(std::move(lines)) {}

  Script script() {
    Script body = block({});
    if (next_ < lines_.size()) strayLine();
    return body;
  }

 private:
  // Statements up to a line whose word is one of `ends` (left for the caller) or the end.
  std::vector<Statement> block(std::initializer_list<const char*> ends) {
    NestingLevel level(depth_, next_ < lines_.size() ? lines_[next_].position() : Position{});
    std::vector<Statement> body;
    while (next_ < lines_.size()) {
      std::string word = lines_[next_].keyword();
      for (const char* end : ends) {
        if (word == end) return body;
      }
      body.push_back(statement(word));
    }
    return body;
  }

  Statement statement(const std::string& word) {
    LineParser& line = lines_[next_];
    if (word.empty()) return (++next_, line.statement());
    if (word == "var") return (++next_, line.var());
    if (word == "c_") return (++next_, line.compilerDirective());
    if (word == "if") return ifBlock();
    if (word == "case of") return caseBlock();
    if (word == "while") return whileBlock();
    if (word == "repeat") return repeatBlock();
    if (word == "for") return forBlock();
    strayLine();
  }

  [[noreturn]] void strayLine() const {
    static const std::pair<const char*, const char*> kOpeners[] = {
        {"else", "If or Case of"}, {"end if", "If"},   {"end while", "While"},
        {"until", "Repeat"},       {"end for", "For"}, {"end case", "Case of"},
        {":", "Case of"}};
    std::string word = lines_[next_].keyword();
    for (const auto& [closer, opener] : kOpeners) {
      if (word == closer) {
        throw ScriptError(
            lines_[next_].position(),
            std::string(word == ":" ? "':'" : displayWord(word)) + " without " + opener);
      }
    }
    throw ScriptError(lines_[next_].position(), "unexpected line");
  }

  static std::string displayWord(const std::string& word) {
    std::string out = word;
    out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
    return out;
  }

  // The line that closes a block. When the script ends first, the fault is named at a misspelt
  // block end after the opener ("End iff"), else at the opener.
  void close(const char* end, const char* opener, Position openedAt) {
    if (!at(end)) {
      if (next_ < lines_.size()) strayLine();
      std::string missing = std::string(opener) + " has no " + displayWord(end);
      if (const LineParser* misspelt = blockEndAfter(openedAt)) {
        throw ScriptError(misspelt->position(), "'" + misspelt->firstText() +
                                                    "' is no block word: the " + opener +
                                                    " of line " + std::to_string(openedAt.line) +
                                                    " has no " + displayWord(end));
      }
      throw ScriptError(openedAt, missing);
    }
    lines_[next_++].wordAlone();
  }

  const LineParser* blockEndAfter(Position openedAt) const {
    for (const LineParser& line : lines_) {
      if (line.position().line > openedAt.line && line.looksLikeBlockEnd()) return &line;
    }
    return nullptr;
  }

  Statement opened(StatementType type) {
    Statement result;
    result.type = type;
    result.position = lines_[next_].position();
    return result;
  }

  Statement::Branch conditionalBranch(std::initializer_list<const char*> ends) {
    Statement::Branch branch;
    branch.hasCondition = true;
    branch.condition = lines_[next_++].condition();
    branch.body = block(ends);
    return branch;
  }

  bool at(const char* word) const {
    return next_ < lines_.size() && lines_[next_].keyword() == word;
  }

  // "Else" and its body, up to `end`, when the next line is an Else.
  void elseBranch(Statement& statement, const char* end) {
    if (!at("else")) return;
    lines_[next_++].wordAlone();
    statement.branches.push_back(Statement::Branch{false, Expr{}, block({end})});
  }

  Statement ifBlock() {
    Statement result = opened(StatementType::If);
    result.branches.push_back(conditionalBranch({"else", "end if"}));
    elseBranch(result, "end if");
    close("end if", "If", result.position);
    return result;
  }

  Statement caseBlock() {
    Statement result = opened(StatementType::Case);
    lines_[next_++].wordAlone();
    if (next_ < lines_.size() && !at(":") && !at("else") && !at("end case")) {
      throw ScriptError(lines_[next_].position(), "a statement of Case of comes after a ':'");
    }
    while (at(":")) result.branches.push_back(conditionalBranch({":", "else", "end case"}));
    elseBranch(result, "end case");
    close("end case", "Case of", result.position);
    return result;
  }

  Statement whileBlock() {
    Statement result = opened(StatementType::While);
    result.branches.push_back(conditionalBranch({"end while"}));
    close("end while", "While", result.position);
    return result;
  }

  Statement repeatBlock() {
    Statement result = opened(StatementType::Repeat);
    lines_[next_++].wordAlone();
    Statement::Branch branch;
    branch.body = block({"until"});
    if (next_ >= lines_.size()) throw ScriptError(result.position, "Repeat has no Until");
    branch.hasCondition = true;
    branch.condition = lines_[next_++].condition();
    result.branches.push_back(std::move(branch));
    return result;
  }

  Statement forBlock() {
    Statement result = opened(StatementType::For);
    result.args = lines_[next_++].forHeader();
    result.branches.push_back(Statement::Branch{false, Expr{}, block({"end for"})});
    close("end for", "For", result.position);
    return result;
  }

  std::vector<LineParser> lines_;
  size_t next_ = 0;
  int depth_ = 0;
};

}  // namespace

Script parseScript(std::string_view source, int firstLine) {
  std::vector<LineParser> lines;
  int lineNumber = firstLine;
  size_t start = 0;
  while (start <= source.size()) {
    size_t end = source.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = source.size();
    LineParser line(tokenizeLine(source.substr(start, end - start), lineNumber));
    if (!line.empty()) lines.push_back(std::move(line));
    bool crlf = source.compare(end, 2, "\r\n") == 0;
    start = end + (crlf ? 2 : 1);
    ++lineNumber;
  }
  return BlockParser(std::move(lines)).script();
}

}  // namespace zuvhost
