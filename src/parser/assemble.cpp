// The section walk: decodes, reads lines, and drives the classified lines through a six-state
// machine that fills the header, runs hooks at section ends and hands sections to their builders.
#include <utility>

#include "accounts.hpp"
#include "decode.hpp"
#include "documents.hpp"
#include "lines.hpp"
#include "mod.hpp"

namespace vexdal {
namespace {

// The states are named by the context their errors report.
using State = Context;

class Assembler {
 public:
  Assembler(Statement& statement, const std::vector<Hook*>& hooks)
      : statement_(statement), hooks_(hooks) {}

  Result<std::monostate, StatementError> walk(const std::vector<LineToken>& tokens) {
    for (const LineToken& token : tokens) {
      auto step = advance(token);
      if (!step) return step;
    }
    if (state_ != State::Finished) return fail(plain_error(ErrorKind::Unfinished));
    statement_.accounts = accounts_.take();
    return std::monostate{};
  }

 private:
  Result<std::monostate, StatementError> advance(const LineToken& token) {
    switch (state_) {
      case State::Init:
        if (token.kind == LineKind::StatementStart) return enter(State::Header);
        break;
      case State::Header:
        if (token.kind == LineKind::Attribute) {
          statement_.header.set(token.key, token.value);
          return std::monostate{};
        }
        if (token.kind == LineKind::AccountStart || token.kind == LineKind::DocumentStart) {
          return open_section(token);
        }
        break;
      case State::Document:
        if (token.kind == LineKind::Attribute) return add_attribute(token);
        if (token.kind == LineKind::DocumentEnd) return close_document(token.lineno);
        break;
      case State::Account:
        if (token.kind == LineKind::Attribute) return add_attribute(token);
        if (token.kind == LineKind::AccountEnd) return close_account(token.lineno);
        break;
      case State::ReadNextSection:
        if (token.kind == LineKind::AccountStart || token.kind == LineKind::DocumentStart) {
          return open_section(token);
        }
        if (token.kind == LineKind::FileEnd) return enter(State::Finished);
        break;
      case State::Finished:
        break;
    }
    if (token.kind == LineKind::Attribute) {
      return fail(unexpected_attribute(token.lineno, token.key, token.value));
    }
    return fail(unexpected_section(token.lineno, display_text(token), state_));
  }

  Result<std::monostate, StatementError> enter(State state) {
    state_ = state;
    return std::monostate{};
  }

  Result<std::monostate, StatementError> open_section(const LineToken& token) {
    section_.clear();
    if (token.kind == LineKind::DocumentStart) {
      doc_type_ = token.value;
      return enter(State::Document);
    }
    return enter(State::Account);
  }

  Result<std::monostate, StatementError> add_attribute(const LineToken& token) {
    section_.set(token.key, token.value);
    return std::monostate{};
  }

  // Hooks see the section before it is built; the first failure stops the parse.
  Result<std::monostate, StatementError> run_hooks(SectionType type, std::size_t lineno) {
    SectionAttributes attrs(section_, statement_.store);
    for (Hook* hook : hooks_) {
      auto outcome = hook->call(type, attrs, statement_.header);
      if (!outcome) return fail(hook_error(lineno, std::move(outcome.error())));
    }
    return std::monostate{};
  }

  Result<std::monostate, StatementError> close_document(std::size_t lineno) {
    auto hooked = run_hooks(SectionType::Document, lineno);
    if (!hooked) return hooked;
    auto document = build_document(section_, doc_type_);
    if (document) {
      statement_.documents.push_back(std::move(document.value()));
    } else {
      // A document that cannot be built is reported, not fatal.
      statement_.warnings.push_back(Warning{lineno, std::move(document.error())});
    }
    return enter(State::ReadNextSection);
  }

  Result<std::monostate, StatementError> close_account(std::size_t lineno) {
    auto hooked = run_hooks(SectionType::Account, lineno);
    if (!hooked) return hooked;
    auto added = accounts_.add_section(section_, lineno);
    if (!added) return added;
    return enter(State::ReadNextSection);
  }

  Statement& statement_;
  const std::vector<Hook*>& hooks_;
  State state_ = State::Init;
  TextMap section_;  // reused by every section, so its storage is allocated once
  std::string_view doc_type_;
  AccountBook accounts_;
};

}  // namespace

Result<Statement, StatementError> parse_statement(TextBuffer input,
                                                  const std::vector<Hook*>& hooks) {
  auto decoded = decode_statement(std::move(input));
  if (!decoded) return fail(std::move(decoded.error()));
  Statement statement;
  statement.encoding = decoded.value().encoding;
  statement.text = std::move(decoded.value().text);

  // Every line is classified before the walk starts, so an unrecognised line anywhere wins over
  // errors the walk would find earlier, and no hook runs on a file that has one.
  auto tokens = tokenize(statement.text.view());
  if (!tokens) return fail(std::move(tokens.error()));

  auto walked = Assembler(statement, hooks).walk(tokens.value());
  if (!walked) return fail(std::move(walked.error()));
  return Result<Statement, StatementError>(std::move(statement));
}

}  // namespace vexdal
