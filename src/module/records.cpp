// The result classes Statement, Account, Interval and Document: immutable copies of the parser's
// records that build their Python values only when an attribute is read. Also the refusing slots
// that every class of the module shares.
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
#include "text.hpp"

namespace vexdal_py {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  // Built from the attributes, as some interpreters keep only the bare name in tp_name.
  auto* cls = reinterpret_cast<PyObject*>(type);
  Ref module = Ref::steal(PyObject_GetAttrString(cls, "__module__"));
  Ref qualname = module ? Ref::steal(PyObject_GetAttrString(cls, "__qualname__")) : Ref();
  if (!qualname) return nullptr;
  return PyErr_Format(PyExc_TypeError, "cannot create '%S.%S' instances", module.get(),
                      qualname.get());
}

int refuse_setattr(PyObject* self, PyObject* name, PyObject* value) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%s'",
                 Py_TYPE(name)->tp_name);
  } else {
    PyErr_Format(PyExc_AttributeError, "cannot %s attribute '%U' of immutable '%s' object",
                 value == nullptr ? "delete" : "set", name, Py_TYPE(self)->tp_name);
  }
  return -1;
}

PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
  // cls is the new subclass; name the base of ours that it tried to extend.
  const char* base_name = reinterpret_cast<PyTypeObject*>(cls)->tp_name;
  Ref bases = Ref::steal(PyObject_GetAttrString(cls, "__mro__"));
  if (bases && PyTuple_Check(bases.get())) {
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(bases.get()); ++i) {
      auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(bases.get(), i));
      if (PyType_Check(reinterpret_cast<PyObject*>(base)) && base->tp_setattro == refuse_setattr) {
        base_name = base->tp_name;
        break;
      }
    }
  }
  PyErr_Clear();
  return PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", base_name);
}

PyMethodDef refusing_methods[] = {
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(refuse_subclass)),
     METH_CLASS | METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

namespace {

PyObject* make_class(const char* name, int size, unsigned int flags, PyType_Slot* slots) {
  PyType_Spec spec = {name, size, 0, flags, slots};
  return PyType_FromSpec(&spec);
}

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

Ref to_python(const vexdal::Date& date) { return to_str(vexdal::date_text(date)); }
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
  return guarded([&] { return to_python(unbox<vexdal::Interval>(self).*member).release(); });
}

std::string interval_text(const vexdal::Interval& interval) {
  return "Interval(date_start=" + quoted(vexdal::date_text(interval.date_start)) +
         ", date_end=" + optional_quoted(interval.date_end, vexdal::date_text) +
         ", start_amount=" + quoted(vexdal::amount_text(interval.start_amount)) +
         ", end_amount=" + optional_quoted(interval.end_amount, vexdal::amount_text) + ")";
}

PyObject* interval_repr(PyObject* self) {
  if (!holds<vexdal::Interval>(self, "__repr__")) return nullptr;
  return guarded([&] { return to_str(interval_text(unbox<vexdal::Interval>(self))).release(); });
}

PyGetSetDef interval_getset[] = {
    {"date_start", interval_get<&vexdal::Interval::date_start>, nullptr, nullptr, nullptr},
    {"date_end", interval_get<&vexdal::Interval::date_end>, nullptr, nullptr, nullptr},
    {"start_amount", interval_get<&vexdal::Interval::start_amount>, nullptr, nullptr, nullptr},
    {"end_amount", interval_get<&vexdal::Interval::end_amount>, nullptr, nullptr, nullptr},
    {"total_income", interval_get<&vexdal::Interval::total_income>, nullptr, nullptr, nullptr},
    {"total_expense", interval_get<&vexdal::Interval::total_expense>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject* create_interval_class() {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, as_slot(box_dealloc<vexdal::Interval>)},
      {Py_tp_new, as_slot(refuse_new)},
      {Py_tp_setattro, as_slot(refuse_setattr)},
      {Py_tp_repr, as_slot(interval_repr)},
      {Py_tp_richcompare, as_slot(compare<vexdal::Interval, same_interval_text>)},
      {Py_tp_hash, as_slot(PyObject_HashNotImplemented)},
      {Py_tp_getset, interval_getset},
      {Py_tp_methods, refusing_methods},
      {0, nullptr}};
  return make_class("builtins.Interval", sizeof(Box<vexdal::Interval>), class_flags, slots);
}

Ref new_interval(const vexdal::Interval& interval) {
  PyObject* cls = interval_class();
  return cls ? new_box(cls, interval) : Ref();
}

// ---- Account ------------------------------------------------------------------------------------

struct AccountState {
  std::string number;
  std::vector<vexdal::Interval> intervals;
};

bool same_account(const AccountState& a, const AccountState& b) noexcept {
  if (a.number != b.number || a.intervals.size() != b.intervals.size()) return false;
  for (std::size_t i = 0; i < a.intervals.size(); ++i) {
    if (!same_interval_text(a.intervals[i], b.intervals[i])) return false;
  }
  return true;
}

PyObject* account_number(PyObject* self, void*) {
  return to_str(unbox<AccountState>(self).number).release();
}

// A new list of new Interval objects at every access: the caller may change it freely.
PyObject* account_intervals(PyObject* self, void*) {
  const std::vector<vexdal::Interval>& intervals = unbox<AccountState>(self).intervals;
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
  return guarded([&] {
    const AccountState& account = unbox<AccountState>(self);
    return to_str("Account(number=" + quoted(account.number) + ", intervals=[..." +
                  std::to_string(account.intervals.size()) + "])")
        .release();
  });
}

PyGetSetDef account_getset[] = {{"number", account_number, nullptr, nullptr, nullptr},
                                {"intervals", account_intervals, nullptr, nullptr, nullptr},
                                {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject* create_account_class() {
  PyType_Slot slots[] = {{Py_tp_dealloc, as_slot(box_dealloc<AccountState>)},
                         {Py_tp_new, as_slot(refuse_new)},
                         {Py_tp_setattro, as_slot(refuse_setattr)},
                         {Py_tp_repr, as_slot(account_repr)},
                         {Py_tp_richcompare, as_slot(compare<AccountState, same_account>)},
                         {Py_tp_hash, as_slot(PyObject_HashNotImplemented)},
                         {Py_tp_getset, account_getset},
                         {Py_tp_methods, refusing_methods},
                         {0, nullptr}};
  return make_class("builtins.Account", sizeof(Box<AccountState>), class_flags, slots);
}

// ---- Document -----------------------------------------------------------------------------------

struct DocumentAttribute {
  const char* name;
  vexdal::DocumentField field;
  constexpr vexdal::FieldKind kind() const noexcept { return vexdal::document_field_kind(field); }
};

using Field = vexdal::DocumentField;
using vexdal::FieldKind;

// The attributes in the order Python lists them, which is not the parser's key order.
constexpr std::array<DocumentAttribute, vexdal::document_field_count> document_attributes = {{
    {"doc_number", Field::DocNumber},
    {"doc_type", Field::DocType},
    {"doc_date", Field::DocDate},
    {"amount", Field::Amount},
    {"purpose", Field::Purpose},
    {"payment_type", Field::PaymentType},
    {"ordering", Field::Ordering},
    {"counterparty_inn", Field::CounterpartyInn},
    {"counterparty_kpp", Field::CounterpartyKpp},
    {"counterparty_bic", Field::CounterpartyBic},
    {"counterparty_bank1", Field::CounterpartyBank1},
    {"counterparty_account", Field::CounterpartyAccount},
    {"counterparty", Field::Counterparty},
    {"counterparty_1", Field::Counterparty1},
    {"counterparty_ras_account", Field::CounterpartyRasAccount},
    {"counterparty_cor_account", Field::CounterpartyCorAccount},
    {"outcome_date", Field::OutcomeDate},
    {"payee_inn", Field::PayeeInn},
    {"payee", Field::Payee},
    {"payee_account", Field::PayeeAccount},
    {"payee_kpp", Field::PayeeKpp},
    {"payee_bic", Field::PayeeBic},
    {"payee_bank1", Field::PayeeBank1},
    {"payee_ras_account", Field::PayeeRasAccount},
    {"payee_cor_account", Field::PayeeCorAccount},
    {"income_date", Field::IncomeDate},
}};

constexpr std::uint32_t field_bit(Field field) noexcept {
  return std::uint32_t{1} << static_cast<unsigned>(field);
}

constexpr std::uint32_t optional_fields = [] {
  std::uint32_t mask = 0;
  for (const DocumentAttribute& attribute : document_attributes) {
    if (vexdal::is_optional(attribute.kind())) {
      mask |= field_bit(attribute.field);
    }
  }
  return mask;
}();

// One document as Python sees it. Absent values are normalised (empty text, default date), so
// that equality can compare the members as they are.
struct DocumentState {
  std::unique_ptr<char[]> text;  // the text attributes back to back, in attribute order
  std::array<std::size_t, vexdal::document_field_count> text_end{};  // per attribute, into text
  std::uint32_t present = 0;                                         // optional fields only
  vexdal::Date doc_date;
  vexdal::Date outcome_date;
  vexdal::Date income_date;
  vexdal::Decimal amount;

  std::string_view text_of(std::size_t index) const noexcept {
    const std::size_t start = index == 0 ? 0 : text_end[index - 1];
    return {text.get() + start, text_end[index] - start};
  }
  bool has(Field field) const noexcept { return (present & field_bit(field)) != 0; }
};

bool carries_text(const vexdal::Document& document, const DocumentAttribute& attribute) {
  return attribute.kind() == FieldKind::Text ||
         (attribute.kind() == FieldKind::OptionalText && document.has(attribute.field));
}

DocumentState copy_document(const vexdal::Document& document) {
  DocumentState state;
  std::size_t total = 0;
  for (std::size_t i = 0; i < document_attributes.size(); ++i) {
    if (carries_text(document, document_attributes[i])) {
      total += document[document_attributes[i].field].size();
    }
    state.text_end[i] = total;
  }
  // One allocation per document: 100k of them make a large statement.
  state.text = std::make_unique<char[]>(total == 0 ? 1 : total);
  for (std::size_t i = 0; i < document_attributes.size(); ++i) {
    if (carries_text(document, document_attributes[i])) {
      const std::string_view text = document[document_attributes[i].field];
      if (!text.empty())
        std::memcpy(state.text.get() + state.text_end[i] - text.size(), text.data(), text.size());
    }
  }
  state.present = document.present & optional_fields;
  state.doc_date = document.doc_date;
  state.amount = document.amount;
  if (state.has(Field::OutcomeDate)) state.outcome_date = document.outcome_date;
  if (state.has(Field::IncomeDate)) state.income_date = document.income_date;
  return state;
}

bool same_document(const DocumentState& a, const DocumentState& b) noexcept {
  const std::size_t size = a.text_end.back();
  return a.present == b.present && a.text_end == b.text_end &&
         std::memcmp(a.text.get(), b.text.get(), size) == 0 && a.doc_date == b.doc_date &&
         a.outcome_date == b.outcome_date && a.income_date == b.income_date &&
         same_text(a.amount, b.amount);
}

std::string document_text(const DocumentState& document, std::size_t index) {
  switch (document_attributes[index].kind()) {
    case FieldKind::Date:
      return vexdal::date_text(document.doc_date);
    case FieldKind::Amount:
      return vexdal::amount_text(document.amount);
    case FieldKind::OptionalDate:
      return vexdal::date_text(document_attributes[index].field == Field::OutcomeDate
                                   ? document.outcome_date
                                   : document.income_date);
    case FieldKind::Text:
    case FieldKind::OptionalText:
      break;
  }
  return std::string(document.text_of(index));
}

// closure: the attribute's entry in document_attributes.
PyObject* document_get(PyObject* self, void* closure) {
  const auto& attribute = *static_cast<const DocumentAttribute*>(closure);
  const auto index = static_cast<std::size_t>(&attribute - document_attributes.data());
  const DocumentState& document = unbox<DocumentState>(self);
  if (vexdal::is_optional(attribute.kind())) {
    if (!document.has(attribute.field)) Py_RETURN_NONE;
  }
  if (attribute.kind() == FieldKind::Text || attribute.kind() == FieldKind::OptionalText) {
    return to_str(document.text_of(index)).release();
  }
  return guarded([&] { return to_str(document_text(document, index)).release(); });
}

PyObject* document_repr(PyObject* self) {
  if (!holds<DocumentState>(self, "__repr__")) return nullptr;
  return guarded([&] {
    const DocumentState& document = unbox<DocumentState>(self);
    std::string out = "Document(";
    // The first four attributes: doc_number, doc_type, doc_date, amount.
    for (std::size_t i = 0; i < 4; ++i) {
      if (i > 0) out += ", ";
      out += document_attributes[i].name;
      out += '=';
      vexdal::append_quoted(out, document_text(document, i));
    }
    out += ')';
    return to_str(out).release();
  });
}

// Built once from the attribute table; the interpreter keeps pointers into it for good.
PyGetSetDef* document_getset() {
  static const auto table = [] {
    std::array<PyGetSetDef, vexdal::document_field_count + 1> defs{};
    for (std::size_t i = 0; i < document_attributes.size(); ++i) {
      defs[i] = {document_attributes[i].name, document_get, nullptr, nullptr,
                 const_cast<DocumentAttribute*>(&document_attributes[i])};
    }
    return defs;
  }();
  return const_cast<PyGetSetDef*>(table.data());
}

PyObject* create_document_class() {
  PyType_Slot slots[] = {{Py_tp_dealloc, as_slot(box_dealloc<DocumentState>)},
                         {Py_tp_new, as_slot(refuse_new)},
                         {Py_tp_setattro, as_slot(refuse_setattr)},
                         {Py_tp_repr, as_slot(document_repr)},
                         {Py_tp_richcompare, as_slot(compare<DocumentState, same_document>)},
                         {Py_tp_hash, as_slot(PyObject_HashNotImplemented)},
                         {Py_tp_getset, document_getset()},
                         {Py_tp_methods, refusing_methods},
                         {0, nullptr}};
  return make_class("builtins.Document", sizeof(Box<DocumentState>), class_flags, slots);
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
  return to_str(vexdal::encoding_name(unbox<StatementState>(self).encoding)).release();
}

// None only for an instance that parse() did not make (some interpreters let object.__new__
// make one with zeroed memory).
template <std::size_t index>
PyObject* statement_container(PyObject* self, void*) {
  PyObject* container = unbox<StatementState>(self).containers[index].get();
  return Ref::borrow(container != nullptr ? container : Py_None).release();
}

// The containers may come to hold the statement itself (a caller may append it to its own
// documents list), so the collector has to see them. There is no tp_clear: the containers break
// such cycles, and the statement never loses its attributes.
int statement_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (const Ref& container : unbox<StatementState>(self).containers) Py_VISIT(container.get());
  return 0;
}

PyObject* statement_repr(PyObject* self) {
  if (!holds<StatementState>(self, "__repr__")) return nullptr;
  return guarded([&] {
    const StatementState& statement = unbox<StatementState>(self);
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

PyObject* create_statement_class() {
  PyType_Slot slots[] = {{Py_tp_dealloc, as_slot(box_dealloc<StatementState>)},
                         {Py_tp_traverse, as_slot(statement_traverse)},
                         {Py_tp_new, as_slot(refuse_new)},
                         {Py_tp_setattro, as_slot(refuse_setattr)},
                         {Py_tp_repr, as_slot(statement_repr)},
                         {Py_tp_getset, statement_getset},
                         {Py_tp_methods, refusing_methods},
                         {0, nullptr}};
  return make_class("builtins.Statement", sizeof(Box<StatementState>),
                    class_flags | Py_TPFLAGS_HAVE_GC, slots);
}

// Each class is made on first use and kept for the process; callers hold the interpreter lock.
template <PyObject* (*create)()>
PyObject* cached_class() {
  static PyObject* cls = nullptr;
  if (cls == nullptr) cls = create();
  return cls;
}

}  // namespace

PyObject* interval_class() { return cached_class<create_interval_class>(); }
PyObject* account_class() { return cached_class<create_account_class>(); }
PyObject* document_class() { return cached_class<create_document_class>(); }
PyObject* statement_class() { return cached_class<create_statement_class>(); }

Ref new_account(const vexdal::Account& account) {
  PyObject* cls = account_class();
  if (cls == nullptr) return {};
  return new_box(cls, AccountState{std::string(account.number), account.intervals});
}

Ref new_document(const vexdal::Document& document) {
  PyObject* cls = document_class();
  return cls ? new_box(cls, copy_document(document)) : Ref();
}

Ref new_statement(vexdal::Encoding encoding, Ref header, Ref accounts, Ref documents, Ref warnings,
                  std::size_t document_count, std::size_t warning_count) {
  PyObject* cls = statement_class();
  if (cls == nullptr) return {};
  return new_box(cls, StatementState{encoding,
                                     {std::move(header), std::move(accounts), std::move(documents),
                                      std::move(warnings)},
                                     document_count,
                                     warning_count});
}

}  // namespace vexdal_py
