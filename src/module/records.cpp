// The result classes Statement, Account, Interval and Document: immutable views of the parser's
// records (Interval a copy) that build their Python values only when an attribute is read.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "amounts.hpp"
#include "classes.hpp"
#include "dates.hpp"
#include "quote.hpp"
#include "registry.hpp"
#include "strings.hpp"

namespace vexdal_py {

namespace {

std::string quoted(std::string_view text) {
  std::string out;
  vexdal::append_quoted(out, text);
  return out;
}

template <typename Value, typename Text>
std::string optional_quoted(const std::optional<Value>& value, Text text) {
  return value ? "Some(" + quoted(text(*value)) + ")" : "None";
}

// Text equality of amounts: same sign, digits and written scale, so 10.5 differs from 10.50.
bool same_text(const vexdal::Decimal& a, const vexdal::Decimal& b) noexcept {
  return a.negative == b.negative && a.scale == b.scale && a.magnitude == b.magnitude;
}

bool same_text(const std::optional<vexdal::Decimal>& a,
               const std::optional<vexdal::Decimal>& b) noexcept {
  return a.has_value() == b.has_value() && (!a || same_text(*a, *b));
}

Ref to_python(const vexdal::Date& date) { return date_str(date); }
Ref to_python(const vexdal::Decimal& amount) { return to_str(vexdal::amount_text(amount)); }

template <typename Value>
Ref to_python(const std::optional<Value>& value) {
  return value ? to_python(*value) : Ref::borrow(Py_None);
}

// ---- Interval -----------------------------------------------------------------------------------

bool same_interval_text(const vexdal::Interval& a, const vexdal::Interval& b) noexcept {
  return a.date_start == b.date_start && a.date_end == b.date_end &&
         same_text(a.start_amount, b.start_amount) && same_text(a.end_amount, b.end_amount) &&
         same_text(a.total_income, b.total_income) && same_text(a.total_expense, b.total_expense);
}

template <auto member>
PyObject* interval_get(PyObject* self, void*) {
  const vexdal::Interval* interval = state_of<vexdal::Interval>(self);
  if (interval == nullptr) return nullptr;
  return guarded([&] { return to_python(interval->*member).release(); });
}

std::string interval_text(const vexdal::Interval& interval) {
  return "Interval(date_start=" + quoted(vexdal::date_text(interval.date_start)) +
         ", date_end=" + optional_quoted(interval.date_end, vexdal::date_text) +
         ", start_amount=" + quoted(vexdal::amount_text(interval.start_amount)) +
         ", end_amount=" + optional_quoted(interval.end_amount, vexdal::amount_text) + ")";
}

PyObject* interval_repr(PyObject* self) {
  if (!holds<vexdal::Interval>(self, "__repr__")) return nullptr;
  const vexdal::Interval* interval = state_of<vexdal::Interval>(self);
  if (interval == nullptr) return nullptr;
  return guarded([&] { return to_str(interval_text(*interval)).release(); });
}

PyGetSetDef interval_getset[] = {
    {"date_start", interval_get<&vexdal::Interval::date_start>, nullptr, nullptr, nullptr},
    {"date_end", interval_get<&vexdal::Interval::date_end>, nullptr, nullptr, nullptr},
    {"start_amount", interval_get<&vexdal::Interval::start_amount>, nullptr, nullptr, nullptr},
    {"end_amount", interval_get<&vexdal::Interval::end_amount>, nullptr, nullptr, nullptr},
    {"total_income", interval_get<&vexdal::Interval::total_income>, nullptr, nullptr, nullptr},
    {"total_expense", interval_get<&vexdal::Interval::total_expense>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

Ref new_interval(const vexdal::Interval& interval) {
  return new_box(registered(ClassId::Interval), interval);
}

// ---- What accounts and documents point into ----------------------------------------------------

// The records of one parse and the bytes their texts point into: the caller's input (or the
// bytes a str was encoded to), any text decoding made, and what hooks wrote. Every Account and
// Document of the parse holds the capsule that owns this, so one kept after its Statement still
// reads.
struct ParsedStatement {
  Ref input;
  vexdal::TextBuffer decoded;
  vexdal::TextStore store;
  std::vector<std::unique_ptr<vexdal::WideTexts>> wide_texts;
  vexdal::BlockList<vexdal::Document> documents;
  vexdal::BlockList<vexdal::Account> accounts;
  // Filled by the reads of document texts, which the const views above share.
  mutable StrCache strs;
};

constexpr const char parsed_statement_name[] = "vexdal_py.ParsedStatement";

void release_parsed_statement(PyObject* capsule) {
  delete static_cast<ParsedStatement*>(PyCapsule_GetPointer(capsule, parsed_statement_name));
}

const ParsedStatement& parsed_statement(PyObject* owner) {
  return *static_cast<const ParsedStatement*>(PyCapsule_GetPointer(owner, parsed_statement_name));
}

// ---- Account ------------------------------------------------------------------------------------

// One account as Python sees it: a pointer to its record, whose owner it keeps alive.
struct AccountState {
  Ref owner;
  const vexdal::Account* record = nullptr;
};

bool same_account(const AccountState& a, const AccountState& b) noexcept {
  const std::vector<vexdal::Interval>& x = a.record->intervals;
  const std::vector<vexdal::Interval>& y = b.record->intervals;
  if (a.record->number != b.record->number || x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!same_interval_text(x[i], y[i])) return false;
  }
  return true;
}

const vexdal::Account* account_of(PyObject* self) {
  const AccountState* state = state_of<AccountState>(self);
  return state != nullptr ? state->record : nullptr;
}

PyObject* account_number(PyObject* self, void*) {
  const vexdal::Account* account = account_of(self);
  return account ? to_str(account->number).release() : nullptr;
}

// A new list of new Interval objects at every access: the caller may change it freely.
PyObject* account_intervals(PyObject* self, void*) {
  const vexdal::Account* account = account_of(self);
  if (account == nullptr) return nullptr;
  const std::vector<vexdal::Interval>& intervals = account->intervals;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(intervals.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < intervals.size(); ++i) {
    Ref interval = new_interval(intervals[i]);
    if (!interval) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), interval.release());
  }
  return list.release();
}

PyObject* account_repr(PyObject* self) {
  if (!holds<AccountState>(self, "__repr__")) return nullptr;
  const vexdal::Account* account = account_of(self);
  if (account == nullptr) return nullptr;
  return guarded([&] {
    return to_str("Account(number=" + quoted(account->number) + ", intervals=[..." +
                  std::to_string(account->intervals.size()) + "])")
        .release();
  });
}

PyGetSetDef account_getset[] = {{"number", account_number, nullptr, nullptr, nullptr},
                                {"intervals", account_intervals, nullptr, nullptr, nullptr},
                                {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---- Document -----------------------------------------------------------------------------------

using vexdal::DocumentField;
using vexdal::FieldKind;

// One document as Python sees it: a pointer to its record, whose owner it keeps alive.
struct DocumentState {
  Ref owner;
  const vexdal::Document* record = nullptr;
  StrCache* strs = nullptr;  // the owner's
};

// Equal when every attribute reads the same: texts compared as characters, so a windows-1251
// statement and its UTF-8 copy give equal documents.
bool same_document(const DocumentState& a, const DocumentState& b) noexcept {
  const vexdal::Document& x = *a.record;
  const vexdal::Document& y = *b.record;
  for (std::size_t i = 0; i < vexdal::document_field_count; ++i) {
    const DocumentField field{static_cast<std::uint8_t>(i)};
    const FieldKind kind = vexdal::field_info(field).kind;
    if (vexdal::is_optional(kind)) {
      if (x.has(field) != y.has(field)) return false;
      if (!x.has(field)) continue;
    }
    switch (kind) {
      case FieldKind::Text:
      case FieldKind::OptionalText:
        if (!vexdal::same_characters(x[field], y[field])) return false;
        break;
      case FieldKind::Date:
      case FieldKind::OptionalDate:
        if (x.date(field) != y.date(field)) return false;
        break;
      case FieldKind::Amount:
        if (!same_text(x.amount(field), y.amount(field))) return false;
        break;
    }
  }
  return true;
}

// An attribute's value as UTF-8, for the representation.
std::string document_text(const vexdal::Document& document, DocumentField field) {
  switch (vexdal::field_info(field).kind) {
    case FieldKind::Date:
    case FieldKind::OptionalDate:
      return vexdal::date_text(document.date(field));
    case FieldKind::Amount:
      return vexdal::amount_text(document.amount(field));
    case FieldKind::Text:
    case FieldKind::OptionalText:
      break;
  }
  return vexdal::utf8_string(document[field]);
}

const vexdal::Document* document_of(PyObject* self) {
  const DocumentState* state = state_of<DocumentState>(self);
  return state != nullptr ? state->record : nullptr;
}

// closure: the field's entry in the parser's field table.
PyObject* document_get(PyObject* self, void* closure) {
  const auto* info = static_cast<const vexdal::DocumentFieldInfo*>(closure);
  const DocumentField field{static_cast<std::uint8_t>(info - vexdal::document_fields.data())};
  const DocumentState* state = state_of<DocumentState>(self);
  if (state == nullptr) return nullptr;
  const vexdal::Document& document = *state->record;
  if (vexdal::is_optional(info->kind) && !document.has(field)) Py_RETURN_NONE;
  switch (info->kind) {
    case FieldKind::Text:
    case FieldKind::OptionalText:
      return state->strs->get(document[field], vexdal::field_index(field)).release();
    case FieldKind::Date:
    case FieldKind::OptionalDate:
      return guarded([&] { return state->strs->date(document.date(field)).release(); });
    case FieldKind::Amount:
      return guarded(
          [&] { return ascii_str(vexdal::amount_text(document.amount(field))).release(); });
  }
  return nullptr;
}

#if !defined(PYPY_VERSION)
// The field names as the interpreter holds them. Code and attrgetter look attributes up by
// interned names, so a name that is one of these very objects finds its field with one hashed
// probe, and skips the type's attribute cache and the descriptor call, which cost more than
// making most values. Any other name, equal or not, goes the usual way. Made once for the
// process, like the classes; PyPy keeps the usual lookup, which its JIT does well.
class FieldNames {
 public:
  // False with the error set.
  bool make() {
    for (std::size_t i = 0; i < vexdal::document_field_count; ++i) {
      PyObject* name = PyUnicode_InternFromString(vexdal::document_fields[i].attribute);
      if (name == nullptr) return false;
      const Py_hash_t hash = PyObject_Hash(name);
      if (hash == -1) return false;
      std::size_t slot = static_cast<std::size_t>(hash) & (slot_count - 1);
      while (names_[slot] != nullptr && names_[slot] != name) slot = (slot + 1) & (slot_count - 1);
      if (names_[slot] == name) {
        Py_DECREF(name);  // made before a failed import: already held
      } else {
        names_[slot] = name;  // held for the process
      }
      fields_[slot] = static_cast<std::uint8_t>(i);
    }
    return true;
  }

  // The field table's entry for one of the names, or nullptr. name: an exact str.
  const vexdal::DocumentFieldInfo* find(PyObject* name) const noexcept {
    // Read where the str keeps it: an interned name has it, and a str without it is none of them.
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(name)->hash;
    if (hash == -1) return nullptr;
    for (std::size_t slot = static_cast<std::size_t>(hash) & (slot_count - 1);
         names_[slot] != nullptr; slot = (slot + 1) & (slot_count - 1)) {
      if (names_[slot] == name) return &vexdal::document_fields[fields_[slot]];
    }
    return nullptr;
  }

 private:
  static constexpr std::size_t slot_count = 64;  // a power of two, well above the field count
  static_assert(vexdal::document_field_count * 2 <= slot_count);
  std::array<PyObject*, slot_count> names_{};
  std::array<std::uint8_t, slot_count> fields_{};
};

FieldNames field_names;

PyObject* document_getattro(PyObject* self, PyObject* name) {
  if (PyUnicode_CheckExact(name)) {
    if (const vexdal::DocumentFieldInfo* info = field_names.find(name)) {
      return document_get(self, const_cast<vexdal::DocumentFieldInfo*>(info));
    }
  }
  return PyObject_GenericGetAttr(self, name);
}
#endif

// The attributes a representation shows.
constexpr std::array<DocumentField, 4> shown_fields = {
    vexdal::field_named("doc_number"), vexdal::field_named("doc_type"),
    vexdal::field_named("doc_date"), vexdal::field_named("amount")};

PyObject* document_repr(PyObject* self) {
  if (!holds<DocumentState>(self, "__repr__")) return nullptr;
  const vexdal::Document* document = document_of(self);
  if (document == nullptr) return nullptr;
  return guarded([&] {
    std::string out = "Document(";
    for (const DocumentField field : shown_fields) {
      if (field != shown_fields.front()) out += ", ";
      out += vexdal::field_info(field).attribute;
      out += '=';
      vexdal::append_quoted(out, document_text(*document, field));
    }
    out += ')';
    return to_str(out).release();
  });
}

// One getter per field of the table, in its order; built once, as the interpreter keeps pointers
// into it for good.
PyGetSetDef* document_getset() {
  static const auto table = [] {
    std::array<PyGetSetDef, vexdal::document_field_count + 1> defs{};
    for (std::size_t i = 0; i < vexdal::document_field_count; ++i) {
      const vexdal::DocumentFieldInfo& info = vexdal::document_fields[i];
      defs[i] = {info.attribute, document_get, nullptr, nullptr,
                 const_cast<vexdal::DocumentFieldInfo*>(&info)};
    }
    return defs;
  }();
  return const_cast<PyGetSetDef*>(table.data());
}

// ---- Statement ----------------------------------------------------------------------------------

// The containers are created once by parse() and handed out as they are, so the caller's changes
// to them stay visible; the counts are those the statement had when it was built.
struct StatementState {
  vexdal::Encoding encoding;
  std::array<Ref, 4> containers;  // header, accounts, documents, warnings
  std::size_t document_count;
  std::size_t warning_count;
};

PyObject* statement_encoding(PyObject* self, void*) {
  const StatementState* statement = state_of<StatementState>(self);
  return statement ? to_str(vexdal::encoding_name(statement->encoding)).release() : nullptr;
}

template <std::size_t index>
PyObject* statement_container(PyObject* self, void*) {
  const StatementState* statement = state_of<StatementState>(self);
  return statement ? Ref::borrow(statement->containers[index].get()).release() : nullptr;
}

// The containers may come to hold the statement itself (a caller may append it to its own
// documents list), so the collector has to see them. There is no tp_clear: the containers break
// such cycles, and the statement never loses its attributes.
int statement_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!box_of<StatementState>(self).made) return 0;
  for (const Ref& container : box_of<StatementState>(self).state.containers) {
    Py_VISIT(container.get());
  }
  return 0;
}

PyObject* statement_repr(PyObject* self) {
  if (!holds<StatementState>(self, "__repr__")) return nullptr;
  const StatementState* state = state_of<StatementState>(self);
  if (state == nullptr) return nullptr;
  return guarded([&] {
    const StatementState& statement = *state;
    return to_str("Statement(encoding=" + quoted(vexdal::encoding_name(statement.encoding)) +
                  ", documents=[..." + std::to_string(statement.document_count) +
                  "], warnings=[..." + std::to_string(statement.warning_count) + "])")
        .release();
  });
}

PyGetSetDef statement_getset[] = {{"encoding", statement_encoding, nullptr, nullptr, nullptr},
                                  {"header", statement_container<0>, nullptr, nullptr, nullptr},
                                  {"accounts", statement_container<1>, nullptr, nullptr, nullptr},
                                  {"documents", statement_container<2>, nullptr, nullptr, nullptr},
                                  {"warnings", statement_container<3>, nullptr, nullptr, nullptr},
                                  {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyObject* make_interval_class() {
  return make_class<vexdal::Interval>(
      "builtins.Interval", class_flags,
      {{Py_tp_repr, as_slot(interval_repr)},
       {Py_tp_richcompare, as_slot(compare<vexdal::Interval, same_interval_text>)},
       {Py_tp_hash, as_slot(PyObject_HashNotImplemented)},
       {Py_tp_getset, interval_getset}});
}

PyObject* make_account_class() {
  return make_class<AccountState>(
      "builtins.Account", class_flags,
      {{Py_tp_repr, as_slot(account_repr)},
       {Py_tp_richcompare, as_slot(compare<AccountState, same_account>)},
       {Py_tp_hash, as_slot(PyObject_HashNotImplemented)},
       {Py_tp_getset, account_getset}});
}

PyObject* make_document_class() {
#if !defined(PYPY_VERSION)
  if (!field_names.make()) return nullptr;
#endif
  PyObject* cls = make_class<DocumentState>(
      "builtins.Document", class_flags,
      {{Py_tp_repr, as_slot(document_repr)},
       {Py_tp_richcompare, as_slot(compare<DocumentState, same_document>)},
       {Py_tp_hash, as_slot(PyObject_HashNotImplemented)},
#if !defined(PYPY_VERSION)
       {Py_tp_getattro, as_slot(document_getattro)},
#endif
       {Py_tp_getset, document_getset()}});
#if !defined(PYPY_VERSION)
  // The slot gives the class a __getattribute__ of its own; it answers as object's does, so the
  // class shows none and inherits object's, as before. The slot itself stays.
  if (cls != nullptr) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (PyDict_DelItemString(type->tp_dict, "__getattribute__") < 0) {
      Py_DECREF(cls);
      return nullptr;
    }
    PyType_Modified(type);
  }
#endif
  return cls;
}

PyObject* make_statement_class() {
  return make_class<StatementState>("builtins.Statement", class_flags | Py_TPFLAGS_HAVE_GC,
                                    {{Py_tp_traverse, as_slot(statement_traverse)},
                                     {Py_tp_repr, as_slot(statement_repr)},
                                     {Py_tp_getset, statement_getset}});
}

Ref records_owner(Ref input, vexdal::Statement& statement) {
  auto parsed = std::make_unique<ParsedStatement>(
      ParsedStatement{std::move(input), std::move(statement.decoded), std::move(statement.store),
                      std::move(statement.wide_texts), std::move(statement.documents),
                      std::move(statement.accounts), StrCache()});
  Ref owner =
      Ref::steal(PyCapsule_New(parsed.get(), parsed_statement_name, release_parsed_statement));
  if (owner) parsed.release();  // the capsule owns it now
  return owner;
}

Ref accounts_dict(PyObject* owner) {
  PyObject* cls = registered(ClassId::Account);
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  const vexdal::BlockList<vexdal::Account>& accounts = parsed_statement(owner).accounts;
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    Ref number = to_str(accounts[i].number);
    Ref account = number ? new_box(cls, AccountState{Ref::borrow(owner), &accounts[i]}) : Ref();
    if (!account || PyDict_SetItem(dict.get(), number.get(), account.get()) < 0) return {};
  }
  return dict;
}

Ref documents_list(PyObject* owner) {
  PyObject* cls = registered(ClassId::Document);
  const ParsedStatement& parsed = parsed_statement(owner);
  const vexdal::BlockList<vexdal::Document>& documents = parsed.documents;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(documents.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < documents.size(); ++i) {
    Ref document = new_box(cls, DocumentState{Ref::borrow(owner), &documents[i], &parsed.strs});
    if (!document) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), document.release());
  }
  return list;
}

Ref new_statement(vexdal::Encoding encoding, Ref header, Ref accounts, Ref documents, Ref warnings,
                  std::size_t document_count, std::size_t warning_count) {
  PyObject* cls = registered(ClassId::Statement);
  return new_box(cls, StatementState{encoding,
                                     {std::move(header), std::move(accounts), std::move(documents),
                                      std::move(warnings)},
                                     document_count,
                                     warning_count});
}

}  // namespace vexdal_py
