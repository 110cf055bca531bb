// The section walk: decodes, reads lines, and drives the classified lines through a six-state
// machine that fills the header, runs hooks at section ends and hands sections to their builders.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>
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
  Assembler(Statement& statement, const std::vector<Hook*>& hooks, DocumentObserver* observer)
      : statement_(statement),
        hooks_(hooks),
        observer_(observer),
        hooked_(!hooks.empty()),
        charset_(statement.charset) {
    // An empty key is none of the keys a section knows, which is what the places start with.
    document_keys_seen_.fill(SeenKey{{}, document_field_count});
    account_keys_seen_.fill(SeenKey{{}, account_keys.size()});
  }

  // Takes one line; false when the walk fails, with the reason in error().
  bool advance(const LineToken& token) {
    switch (state_) {
      case State::Init:
        if (token.kind == LineKind::StatementStart) {
          header_start_ = token.key.data() + token.key.size();
          return enter(State::Header);
        }
        break;
      case State::Header:
        // Header lines stay where they are; the header is their stretch of the text.
        if (token.kind == LineKind::Attribute) return true;
        if (token.kind == LineKind::AccountStart || token.kind == LineKind::DocumentStart) {
          const auto length = static_cast<std::size_t>(token.key.data() - header_start_);
          statement_.header = Header{std::string_view(header_start_, length), statement_.charset};
          return open_section(token);
        }
        break;
      case State::Document:
        if (token.kind == LineKind::DocumentEnd) {
          section_end_ = token.key.data() + token.key.size();
          return close_document(token.lineno);
        }
        break;
      case State::Account:
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
      return stop(unexpected_attribute(token.lineno, text(token.key), text(token.value)));
    }
    return stop(unexpected_section(token.lineno, text(display_text(token)), state_));
  }

  // Reads the next line into token; false at the end of the text. The attribute lines of an open
  // section are taken here, in a loop of their own that keeps the section's state out of the
  // walk's way, up to the first line that is not one, which is left in token. Between sections,
  // a statement that gave an account section mostly gives another.
  bool read_on(LineReader& reader, LineToken& token) {
    switch (state_) {
      case State::Account:
        return read_attributes(reader, token, account_, account_key_of, account_keys.size(),
                               account_keys_seen_, LineKind::AccountEnd);
      case State::Document:
        return read_attributes(reader, token, document_, document_field_of, document_field_count,
                               document_keys_seen_, LineKind::DocumentEnd);
      case State::ReadNextSection:
        if (last_was_account_ && reader.next_marker(LineKind::AccountStart, token)) return true;
        break;
      default:
        break;
    }
    return reader.next(token);
  }

  // After the last line: only a finished walk gives a statement.
  bool finish() {
    if (state_ != State::Finished) return stop(plain_error(ErrorKind::Unfinished));
    statement_.accounts = accounts_.take();
    return true;
  }

  StatementError& error() noexcept { return *error_; }

 private:
  Text text(std::string_view bytes) const noexcept { return {bytes, charset_}; }

  bool enter(State state) noexcept {
    state_ = state;
    return true;
  }

  bool stop(StatementError error) {
    error_ = std::move(error);
    return false;
  }

  // A key at its place in a section, as the last section of the same kind had it, and what it
  // is to the builder. Writers put the keys of a section in the same order every time, so a key
  // compared with the one at its place is mostly found without hashing it.
  struct SeenKey {
    std::string_view key;
    std::size_t index;
  };
  static constexpr std::size_t seen_places = 32;
  using SeenKeys = std::array<SeenKey, seen_places>;

  // Each value goes straight into the key it names, if the section knows that key; the others
  // are dropped at once. Hooks see every key, so with them the section is also kept whole, in
  // its order, until it ends. A line with the key the last section had at its place, where
  // every line before it had too, cannot repeat a key: those keys are the last section's, which
  // held no key twice.
  template <typename Values>
  void keep_value(const LineToken& token, Values& values, std::size_t index, std::size_t not_found,
                  bool at_place) {
    if (index != not_found) values.set(index, token.value);
    if (!hooked_) return;
    if (at_place && place_ <= distinct_) {
      section_.append(token.key, token.value);
    } else {
      distinct_ = 0;
      section_.set(token.key, token.value);
    }
  }

  // A line with the key the last section of its kind had at the same place is taken at once, as
  // that key's, and so is the section's end marker; any other line is read and looked up as
  // usual.
  template <typename Values, typename Lookup>
  bool read_attributes(LineReader& reader, LineToken& token, Values& values, Lookup key_of,
                       std::size_t not_found, SeenKeys& seen, LineKind end) {
    for (;;) {
      if (place_ < seen_places && reader.next_keyed(seen[place_].key, token)) {
        const std::size_t index = seen[place_].index;
        ++place_;
        keep_value(token, values, index, not_found, true);
        continue;
      }
      if (reader.next_marker(end, token)) return true;
      if (!reader.next(token)) return false;
      if (token.kind != LineKind::Attribute) return true;
      put_value(token, values, key_of, not_found, seen);
    }
  }

  template <typename Values, typename Lookup>
  void put_value(const LineToken& token, Values& values, Lookup key_of, std::size_t not_found,
                 SeenKeys& seen) {
    std::size_t index = not_found;
    bool at_place = false;  // the key the last section had here
    if (place_ < seen_places) {
      SeenKey& at = seen[place_];
      at_place = at.key.size() == token.key.size() &&
                 equal_bytes(at.key.data(), token.key.data(), token.key.size());
      if (at_place) {
        index = at.index;
      } else {
        index = key_of(token.key, charset_);
        at = SeenKey{token.key, index};
      }
    } else {
      index = key_of(token.key, charset_);
    }
    ++place_;
    keep_value(token, values, index, not_found, at_place);
  }

  bool open_section(const LineToken& token) {
    place_ = 0;
    last_was_account_ = token.kind == LineKind::AccountStart;
    if (hooked_) {
      section_.clear(charset_);
      distinct_ = last_was_account_ ? account_keys_distinct_ : document_keys_distinct_;
    }
    if (token.kind == LineKind::DocumentStart) {
      section_start_ = token.key.data();
      section_lineno_ = token.lineno;
      document_.clear(charset_);
      doc_type_ = text(token.value);
      return enter(State::Document);
    }
    account_.clear(charset_);
    return enter(State::Account);
  }

  // Hooks see the section before it is built; the first failure stops the parse. What they
  // write is kept only until the section is built: the record copies what it uses.
  bool run_hooks(SectionType type, std::size_t lineno) {
    // The keys at the places the section's lines reached are now its own, in its order.
    std::size_t& distinct =
        type == SectionType::Account ? account_keys_distinct_ : document_keys_distinct_;
    distinct = section_.size() == place_ ? std::min(place_, seen_places) : 0;
    hook_texts_.clear();
    SectionAttributes attrs(section_, hook_texts_, ++hooked_sections_);
    for (Hook* hook : hooks_) {
      auto outcome = hook->call(type, attrs, statement_.header);
      if (!outcome) return stop(hook_error(lineno, std::move(outcome.error())));
    }
    rewritten_ = attrs.changed();
    return true;
  }

  // The values of a section that hooks have seen, taken from its attributes as they left them.
  template <typename Values, typename Lookup>
  void take_values(Values& values, Lookup key_of, std::size_t not_found) {
    values.clear(section_.charset());
    for (const auto& [key, value] : section_) {
      const std::size_t index = key_of(key, section_.charset());
      if (index != not_found) values.set(index, value);
    }
  }

  // Hooks leave a document's values partly in the statement's text and partly among the texts
  // they wrote, which go when the section is done; a record holds spans from one base, so the
  // values it uses and the type are gathered into one piece of the statement's store, as UTF-8.
  void gather_document() {
    take_values(document_, document_field_of, document_field_count);
    std::string scratch;
    const std::string_view type = utf8_view(doc_type_, scratch);
    std::size_t total = type.size();
    for (std::size_t i = 0; i < document_field_count; ++i) {
      if (document_.has(i)) total += document_.text[i].size();
    }
    char* at = statement_.store.reserve(total);
    const auto copy = [&at](std::string_view text) {
      if (!text.empty()) std::memcpy(at, text.data(), text.size());
      at += text.size();
      return std::string_view(at - text.size(), text.size());
    };
    for (std::size_t i = 0; i < document_field_count; ++i) {
      if (document_.has(i)) document_.text[i] = copy(document_.text[i]);
    }
    doc_type_ = Text{copy(type), Charset::Utf8};
  }

  bool close_document(std::size_t lineno) {
    if (hooked_) {
      if (!run_hooks(SectionType::Document, lineno)) return false;
      // Sections the hooks left as they were read are built as if there were no hooks, from
      // the values taken as the lines were read.
      if (rewritten_) gather_document();
    }
    auto built = build_document(document_, doc_type_, statement_.documents.next_slot(),
                                statement_.wide_texts);
    if (built) {
      statement_.documents.commit();
      if (observer_ != nullptr) {
        observer_->kept(std::string_view(section_start_,
                                         static_cast<std::size_t>(section_end_ - section_start_)),
                        statement_.charset, section_lineno_);
      }
    } else {
      // A document that cannot be built is reported, not fatal.
      statement_.warnings.push_back(Warning{lineno, built.error()});
    }
    return enter(State::ReadNextSection);
  }

  bool close_account(std::size_t lineno) {
    if (hooked_) {
      if (!run_hooks(SectionType::Account, lineno)) return false;
      if (rewritten_) take_values(account_, account_key_of, account_keys.size());
    }
    auto added = accounts_.add_section(account_, lineno);
    if (!added) return stop(std::move(added.error()));
    return enter(State::ReadNextSection);
  }

  Statement& statement_;
  const std::vector<Hook*>& hooks_;
  DocumentObserver* observer_;
  // Both asked at every line, so kept here rather than behind the references above.
  bool hooked_;
  Charset charset_;
  // The keys met at each place of the last section of each kind, and the place of the next.
  SeenKeys document_keys_seen_;
  SeenKeys account_keys_seen_;
  std::size_t place_ = 0;
  // How many of the places, from the first, hold keys that differ from each other, as the last
  // section of each kind left them with hooks; for the section under way, how many its lines
  // may still take unchecked.
  std::size_t document_keys_distinct_ = 0;
  std::size_t account_keys_distinct_ = 0;
  std::size_t distinct_ = 0;
  bool last_was_account_ = false;  // the section opened last
  // The document section being read, for the observer.
  const char* section_start_ = nullptr;
  const char* section_end_ = nullptr;
  std::size_t section_lineno_ = 0;
  State state_ = State::Init;
  const char* header_start_ = nullptr;
  std::optional<StatementError> error_;
  TextMap section_;  // reused by every section, so its storage is allocated once
  TextStore hook_texts_;  // what hooks wrote into the current section
  bool rewritten_ = false;  // whether they changed it
  std::size_t hooked_sections_ = 0;
  DocumentValues document_;
  AccountValues account_;
  Text doc_type_;
  AccountBook accounts_;
};

// The first line that is neither a marker nor an attribute, if any.
std::optional<StatementError> first_unrecognized(LineReader reader, Charset charset) {
  LineToken token;
  while (reader.next(token)) {
    if (token.kind == LineKind::Unrecognized) {
      return unrecognized_line(token.lineno, Text{token.key, charset});
    }
  }
  return std::nullopt;
}

// The same for the whole text, before any hook runs. A line with "=" is an attribute or the
// start of a document whatever else it holds, so only the lines without one are classified.
std::optional<StatementError> first_unrecognized(std::string_view text, Charset charset) {
  LinesWithoutEquals lines(text);
  std::string_view line;
  while (lines.next(line)) {
    if (is_unrecognized(line, charset)) {
      return unrecognized_line(lines.number_of(line), Text{line, charset});
    }
  }
  return std::nullopt;
}

}  // namespace

void SectionAttributes::make_utf8() {
  if (map_.charset() == Charset::Utf8) return;
  TextMap utf8(Charset::Utf8);
  for (const auto& [old_key, old_value] : map_) {
    utf8.set(store_.keep(utf8_string(Text{old_key, map_.charset()})),
             store_.keep(utf8_string(Text{old_value, map_.charset()})));
  }
  map_ = std::move(utf8);
}

void SectionAttributes::put(std::string_view key, std::string_view value) {
  put_kept(Text{store_.keep(key), Charset::Utf8}, Text{store_.keep(value), Charset::Utf8});
}

void SectionAttributes::put_kept(Text key, Text value) {
  make_utf8();
  changed_ = true;
  const auto utf8 = [this](Text text) {
    return text.charset == Charset::Utf8 ? text.bytes : store_.keep(utf8_string(text));
  };
  map_.set(utf8(key), utf8(value));
}

namespace {

Result<Statement, StatementError> parse_unguarded(std::string_view input,
                                                  const std::vector<Hook*>& hooks,
                                                  DocumentObserver* observer) {
  auto decoded = decode_statement(input);
  if (!decoded) return fail(std::move(decoded.error()));
  Statement statement;
  statement.encoding = decoded.value().encoding;
  statement.charset = decoded.value().charset;
  statement.decoded = std::move(decoded.value().decoded);
  const LineReader lines(decoded.value().text, statement.charset);

  // An unrecognised line anywhere wins over every error the walk finds, and no hook may run on a
  // file that has one. So with hooks every line is classified before the walk starts. Without
  // them the walk reads the lines itself, and when it stops early the rest are still classified.
  if (!hooks.empty()) {
    if (auto unrecognized = first_unrecognized(decoded.value().text, statement.charset)) {
      return fail(std::move(*unrecognized));
    }
  }
  Assembler assembler(statement, hooks, observer);
  LineReader reader = lines;
  LineToken token;
  for (bool more = reader.next(token); more; more = assembler.read_on(reader, token)) {
    if (token.kind == LineKind::Unrecognized) {
      return fail(unrecognized_line(token.lineno, Text{token.key, statement.charset}));
    }
    if (!assembler.advance(token)) {
      if (hooks.empty()) {
        if (auto unrecognized = first_unrecognized(reader, statement.charset)) {
          return fail(std::move(*unrecognized));
        }
      }
      return fail(std::move(assembler.error()));
    }
  }
  if (!assembler.finish()) return fail(std::move(assembler.error()));
  return Result<Statement, StatementError>(std::move(statement));
}

}  // namespace

Result<Statement, StatementError> parse_statement(std::string_view input,
                                                  const std::vector<Hook*>& hooks) {
  return parse_statement(input, hooks, nullptr);
}

Result<Statement, StatementError> parse_statement(std::string_view input,
                                                  const std::vector<Hook*>& hooks,
                                                  DocumentObserver* observer) {
  // A failed allocation is a failure like the others: the caller gets a value, and the records
  // built so far go with the unwinding, so nothing half built is ever handed out. The failure
  // itself holds no text, so making it needs no memory.
  try {
    return parse_unguarded(input, hooks, observer);
  } catch (const std::bad_alloc&) {
    return fail(plain_error(ErrorKind::OutOfMemory));
  }
}

}  // namespace vexdal
