// parse(): argument checks, the one parser call, and turning its result into Python objects or its
// failure into the module's exceptions.
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "classes.hpp"
#include "hooks.hpp"
#include "mod.hpp"
#include "module.hpp"
#include "registry.hpp"
#include "strings.hpp"

namespace vexdal_py {

const char parse_doc[] =
    "parse(statement, hooks=None)\n"
    "--\n"
    "\n"
    "Парсит выписку 1CClientBankExchange из байтов или строки.\n"
    "\n"
    "# Аргументы\n"
    "\n"
    "* `statement` - Сырые байты или строка файла выписки (поддерживает кодировки CP1251 и UTF-8)\n"
    "* `hooks` - Опциональный список callable для модификации секций во время парсинга.\n"
    "  Сигнатура hook: `(section_type: SectionType, attrs: dict, header: dict) -> None`\n"
    "  - `section_type`: тип секции (`SectionType.Document` или `SectionType.Account`)\n"
    "  - attrs: словарь атрибутов секции (можно модифицировать)\n"
    "  - header: словарь заголовка выписки (только для чтения)\n"
    "\n"
    "# Возвращает\n"
    "\n"
    "Объект Statement с атрибутами:\n"
    "- encoding: \"cp1251\" или \"utf-8\"\n"
    "- header: словарь пар ключ-значение заголовка\n"
    "- accounts: словарь номер счёта -> объект Account\n"
    "- documents: список объектов Document\n"
    "- warnings: список кортежей (lineno, message)\n"
    "\n"
    "# Ошибки\n"
    "\n"
    "* `NotStatementError` - Если входные данные не являются выпиской 1C\n"
    "* `EmptyInputError` - Если входные данные пусты\n"
    "* `UnfinishedError` - Если выписка не завершена корректно\n"
    "* `SyntaxError` - Если в выписке синтаксическая ошибка (включая ошибки hooks)\n"
    "* `ParseError` - Для прочих ошибок парсинга";

namespace {

// The hooks argument as callables, in order. False with an error set.
bool convert_hooks(PyObject* hooks, HookSession& session, CaughtError& escaped,
                   std::vector<HookCallable>& out) {
  if (hooks == nullptr || hooks == Py_None) return true;
  if (PyUnicode_Check(hooks)) {
    PyErr_SetString(PyExc_TypeError, "argument 'hooks': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(hooks)) {
    PyErr_Format(PyExc_TypeError, "argument 'hooks': '%s' object cannot be converted to 'Sequence'",
                 Py_TYPE(hooks)->tp_name);
    return false;
  }
  // The length is only a hint and is not trusted: a lying __len__ must not size an allocation,
  // and one that fails only spoils the hint. Ctrl-C and the like still go through.
  if (PySequence_Size(hooks) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
  }
  Ref iterator = Ref::steal(PyObject_GetIter(hooks));
  if (iterator) {
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
      out.emplace_back(std::move(item), session, escaped);
    }
  }
  if (PyErr_Occurred()) {
    wrap_argument_error("hooks");
    return false;
  }
  return true;
}

// A syntax error as the module's SyntaxError with its detail object attached.
void raise_syntax_error(const vexdal::StatementError& error) {
  PyObject* cls = registered(ClassId::SyntaxError);
  Ref message = to_str(vexdal::error_message(error));
  if (!message) return;
  Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(cls, message.get(), nullptr));
  if (!exc) return;
  // A SyntaxError always carries its detail. Making or attaching it can only fail for want of
  // memory, and then the MemoryError is what the caller gets, not an error without its detail.
  Ref detail = new_detail(error);
  if (!detail) return;
  Ref dict = Ref::steal(PyObject_GetAttrString(exc.get(), "__dict__"));
  if (!dict || PyMapping_SetItemString(dict.get(), "detail", detail.get()) < 0) return;
  PyErr_SetObject(cls, exc.get());
}

void raise_error(const vexdal::StatementError& error) {
  ClassId id = ClassId::ParseError;
  switch (error.kind) {
    case vexdal::ErrorKind::UnexpectedSection:
    case vexdal::ErrorKind::UnexpectedAttribute:
    case vexdal::ErrorKind::UnrecognizedLine:
    case vexdal::ErrorKind::MissingField:
    case vexdal::ErrorKind::AccountParseError:
    case vexdal::ErrorKind::DocumentParseError:
    case vexdal::ErrorKind::HookError:
      raise_syntax_error(error);
      return;
    case vexdal::ErrorKind::InvalidDocument:
      id = ClassId::ParseError;
      break;
    case vexdal::ErrorKind::Unfinished:
      id = ClassId::UnfinishedError;
      break;
    case vexdal::ErrorKind::NotStatement:
      id = ClassId::NotStatementError;
      break;
    case vexdal::ErrorKind::EmptyInput:
      id = ClassId::EmptyInputError;
      break;
    case vexdal::ErrorKind::OutOfMemory:
      PyErr_NoMemory();
      return;
  }
  Ref message = to_str(vexdal::error_message(error));
  if (message) PyErr_SetObject(registered(id), message.get());
}

// The messages of warnings, made once each: a statement may warn about thousands of documents
// with the same few texts, and the tuples can share their str.
class WarningTexts {
 public:
  // A new reference to the message's str, or an empty Ref with the error set.
  Ref text_of(const vexdal::SectionFailure& reason) {
    // Only the fixed texts are shared; an amount message quotes its own value.
    const bool fixed = reason.kind != vexdal::SectionFailure::Kind::BadAmount;
    const Key key{reason.kind, reason.date, reason.text.bytes.data()};
    if (fixed) {
      for (const auto& [made_key, text] : made_) {
        if (made_key == key) return Ref::borrow(text.get());
      }
    }
    Ref text = to_str(vexdal::failure_text(reason));
    if (text && fixed) made_.emplace_back(key, Ref::borrow(text.get()));
    return text;
  }

 private:
  // A date failure is told by its error; a missing field by its key, which is a constant of the
  // field tables, so its address tells it apart.
  using Key = std::tuple<vexdal::SectionFailure::Kind, vexdal::DateError, const char*>;
  std::vector<std::pair<Key, Ref>> made_;
};

// New reference to (lineno, message), or nullptr with the error indicator set.
PyObject* warning_to_tuple(const vexdal::Warning& warning, WarningTexts& texts) {
  Ref lineno = Ref::steal(PyLong_FromSize_t(warning.lineno));
  Ref message = texts.text_of(warning.reason);
  Ref pair = Ref::steal(PyTuple_New(2));
  if (!lineno || !message || !pair) return nullptr;
  PyTuple_SET_ITEM(pair.get(), 0, lineno.release());  // the tuple takes these references
  PyTuple_SET_ITEM(pair.get(), 1, message.release());
  return pair.release();
}

Ref warnings_list(const vexdal::BlockList<vexdal::Warning>& warnings) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(warnings.size())));
  if (!list) return {};
  WarningTexts texts;
  for (std::size_t i = 0; i < warnings.size(); ++i) {
    PyObject* pair = warning_to_tuple(warnings[i], texts);
    if (pair == nullptr) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

// input: the bytes the statement's texts point into.
Ref build_statement(Ref input, vexdal::Statement statement) {
  const std::size_t document_count = statement.documents.size();
  // The header and the warnings point into the texts too, which stay put in the owner.
  Ref owner = records_owner(std::move(input), statement);
  if (!owner) return {};
  Ref header = to_dict(statement.header);
  if (!header) return {};
  Ref accounts = accounts_dict(owner.get());
  if (!accounts) return {};
  Ref documents = documents_list(owner.get());
  if (!documents) return {};
  Ref warnings = warnings_list(statement.warnings);
  if (!warnings) return {};
  return new_statement(statement.encoding, std::move(header), std::move(accounts),
                       std::move(documents), std::move(warnings), document_count,
                       statement.warnings.size());
}

PyObject* parse_checked(PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"statement", "hooks"};
  PyObject* bound[2] = {nullptr, nullptr};
  if (!bind_arguments("parse()", args, kwargs, names, 2, 1, bound)) return nullptr;

  CaughtError escaped;
  HookSession session;  // outlives the callables, which refer to it
  std::vector<HookCallable> callables;
  if (!convert_hooks(bound[1], session, escaped, callables)) return nullptr;
  session.set_hook_count(callables.size());

  // The parser reads the bytes in place and the result points into them, so it keeps a
  // reference: bytes never change. A str is encoded into bytes of the call's own rather than
  // through the interpreter's UTF-8 cache, which would stay on the caller's string as long as
  // the string lives.
  Ref input;
  PyObject* statement = bound[0];
  if (PyUnicode_Check(statement)) {
    input = Ref::steal(PyUnicode_AsUTF8String(statement));
    if (!input) return nullptr;  // lone surrogates: the interpreter's own error
  } else if (PyBytes_CheckExact(statement)) {
    input = Ref::borrow(statement);
  } else if (PyBytes_Check(statement)) {
    // A subclass instance may hold the result in its attributes, a cycle the collector would
    // never see, as the result classes take no part in collection: it is copied instead.
    input = Ref::steal(
        PyBytes_FromStringAndSize(PyBytes_AS_STRING(statement), PyBytes_GET_SIZE(statement)));
    if (!input) return nullptr;
  } else {
    PyErr_SetString(PyExc_TypeError, "statement must be bytes or str");
    return nullptr;
  }
  const std::string_view bytes(PyBytes_AS_STRING(input.get()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(input.get())));

  std::vector<vexdal::Hook*> hooks;
  hooks.reserve(callables.size());
  for (HookCallable& callable : callables) hooks.push_back(&callable);

  auto parsed = vexdal::parse_statement(bytes, hooks);
  if (escaped) {
    escaped.restore();
    return nullptr;
  }
  if (!parsed) {
    raise_error(parsed.error());
    return nullptr;
  }
  return build_statement(std::move(input), std::move(parsed.value())).release();
}

}  // namespace

PyObject* parse_function(PyObject*, PyObject* args, PyObject* kwargs) {
  try {
    return parse_checked(args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace vexdal_py
