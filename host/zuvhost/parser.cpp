#include "parser.h"

#include <vector>

#include "lexer.h"

namespace zuvhost {

namespace {

class LineParser {
 public:
  explicit LineParser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  bool empty() const { return tokens_.front().type == TokenType::End; }

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
    if (peek().type != TokenType::End) fail("expected the end of the line");
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

  Expr expression() {
    const Token& token = peek();
    Expr expr;
    expr.position = token.position;
    switch (token.type) {
      case TokenType::Number:
        expr.type = ExprType::Number;
        expr.number = token.number;
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
      default:
        fail("expected a value");
    }
    take();
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
    expr.args.push_back(expression());
    while (peek().type == TokenType::Semicolon) {
      take();
      expr.args.push_back(expression());
    }
    expect(TokenType::RightParen, "';' or ')'");
    return expr;
  }

  std::vector<Token> tokens_;
  size_t next_ = 0;
};

}  // namespace

Script parseScript(std::string_view source, int firstLine) {
  Script script;
  int lineNumber = firstLine;
  size_t start = 0;
  while (start <= source.size()) {
    size_t end = source.find('\n', start);
    if (end == std::string_view::npos) end = source.size();
    LineParser line(tokenizeLine(source.substr(start, end - start), lineNumber));
    if (!line.empty()) script.push_back(line.statement());
    start = end + 1;
    ++lineNumber;
  }
  return script;
}

}  // namespace zuvhost
