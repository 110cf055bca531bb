// vexdal._columns: parsed statements as Arrow data for Python, through the Arrow PyCapsule
// interface, so that pyarrow, Polars, DuckDB and the rest read the columns without a copy and
// without this package depending on any of them. The Python side is vexdal/tables.py.
#include <Python.h>

#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "ref.hpp"
#include "tables.hpp"

namespace vexdal_columns {
namespace {

using vexdal_py::Ref;

// A batch holds this many rows at most: a stream of a large statement comes in pieces that a
// consumer may handle one at a time, and a reference statement in one.
constexpr std::size_t batch_rows = 1 << 16;

// A table and the bytes its texts point into. Shared by the Python object and every stream it
// exported, so that a stream outlives the object; the last one may go on a thread of the
// consumer's without the GIL.
struct Source {
  Ref input;
  std::unique_ptr<Table> table;
  ~Source() {
    const PyGILState_STATE state = PyGILState_Ensure();
    input = Ref();
    PyGILState_Release(state);
  }
};

struct ColumnsObject {
  PyObject_HEAD
  std::shared_ptr<Source>* source;
  PyObject* names;     // tuple of str
  PyObject* warnings;  // list of (lineno, message)
  PyObject* accounts;  // tuple of the statement's account numbers
};

Ref to_str(std::string_view text) {
  return Ref::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// ---- Capsules -----------------------------------------------------------------------------------

constexpr const char schema_name[] = "arrow_schema";
constexpr const char array_name[] = "arrow_array";
constexpr const char stream_name[] = "arrow_array_stream";

// A capsule frees its structure, releasing it first unless the consumer moved it out.
template <typename Struct, const char* name>
void free_capsule(PyObject* capsule) {
  auto* value = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (value == nullptr) {
    PyErr_Clear();
    return;
  }
  if (value->release != nullptr) value->release(value);
  delete value;
}

template <typename Struct, const char* name>
PyObject* new_capsule(std::unique_ptr<Struct> value) {
  PyObject* capsule = PyCapsule_New(value.get(), name, free_capsule<Struct, name>);
  if (capsule == nullptr) {
    if (value->release != nullptr) value->release(value.get());
    return nullptr;
  }
  value.release();
  return capsule;
}

// ---- The stream ---------------------------------------------------------------------------------

struct StreamData {
  std::shared_ptr<Source> source;
  std::size_t next = 0;
  std::string error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  try {
    data->source->table->export_schema(*out);
    return 0;
  } catch (const std::bad_alloc&) {
    data->error = "out of memory";
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  const Table& table = *data->source->table;
  if (data->next >= table.rows()) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    const std::size_t end = table.export_batch(data->next, batch_rows, *out);
    if (end == data->next) {
      data->error = "a text of row " + std::to_string(end) +
                    " is longer than the 2 GiB an Arrow utf8 array can hold";
      return EOVERFLOW;
    }
    data->next = end;
    return 0;
  } catch (const std::bad_alloc&) {
    data->error = "out of memory";
    return ENOMEM;
  }
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  const auto* data = static_cast<const StreamData*>(stream->private_data);
  return data->error.empty() ? nullptr : data->error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  delete static_cast<StreamData*>(stream->private_data);
  stream->release = nullptr;
}

// ---- The Columns class ----------------------------------------------------------------------

const std::shared_ptr<Source>* source_of(PyObject* self) {
  const auto* object = reinterpret_cast<ColumnsObject*>(self);
  if (object->source == nullptr) {
    PyErr_SetString(PyExc_TypeError, "Columns objects come from vexdal.documents_table()");
  }
  return object->source;
}

template <typename Make>
PyObject* guarded(Make make) {
  try {
    return make();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* columns_schema(PyObject* self, PyObject*) {
  const auto* source = source_of(self);
  if (source == nullptr) return nullptr;
  return guarded([&] {
    auto schema = std::make_unique<ArrowSchema>();
    (*source)->table->export_schema(*schema);
    return new_capsule<ArrowSchema, schema_name>(std::move(schema));
  });
}

// The requested schema is a request the producer may decline: the columns come as they are,
// and a consumer that wants other types casts them.
PyObject* columns_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                   const_cast<char**>(keywords), &requested)) {
    return nullptr;
  }
  const auto* source = source_of(self);
  if (source == nullptr) return nullptr;
  return guarded([&] {
    auto stream = std::make_unique<ArrowArrayStream>();
    stream->get_schema = stream_get_schema;
    stream->get_next = stream_get_next;
    stream->get_last_error = stream_get_last_error;
    stream->release = stream_release;
    stream->private_data = new StreamData{*source, 0, {}};
    return new_capsule<ArrowArrayStream, stream_name>(std::move(stream));
  });
}

PyObject* columns_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__",
                                   const_cast<char**>(keywords), &requested)) {
    return nullptr;
  }
  const auto* source = source_of(self);
  if (source == nullptr) return nullptr;
  const Table& table = *(*source)->table;
  return guarded([&]() -> PyObject* {
    auto array = std::make_unique<ArrowArray>();
    array->release = nullptr;
    if (table.export_batch(0, table.rows(), *array) != table.rows()) {
      if (array->release != nullptr) array->release(array.get());
      PyErr_SetString(PyExc_ValueError,
                      "the texts of this table are too long for one Arrow array: read it "
                      "as a stream (__arrow_c_stream__)");
      return nullptr;
    }
    auto schema = std::make_unique<ArrowSchema>();
    table.export_schema(*schema);
    Ref schema_capsule = Ref::steal(new_capsule<ArrowSchema, schema_name>(std::move(schema)));
    if (!schema_capsule) {
      array->release(array.get());
      return nullptr;
    }
    Ref array_capsule = Ref::steal(new_capsule<ArrowArray, array_name>(std::move(array)));
    if (!array_capsule) return nullptr;
    return PyTuple_Pack(2, schema_capsule.get(), array_capsule.get());
  });
}

PyObject* columns_num_rows(PyObject* self, void*) {
  const auto* source = source_of(self);
  if (source == nullptr) return nullptr;
  return PyLong_FromSize_t((*source)->table->rows());
}

PyObject* columns_names(PyObject* self, void*) {
  if (source_of(self) == nullptr) return nullptr;
  PyObject* names = reinterpret_cast<ColumnsObject*>(self)->names;
  Py_INCREF(names);
  return names;
}

PyObject* columns_accounts(PyObject* self, void*) {
  if (source_of(self) == nullptr) return nullptr;
  PyObject* accounts = reinterpret_cast<ColumnsObject*>(self)->accounts;
  Py_INCREF(accounts);
  return accounts;
}

// A fresh list each time, so that a caller's edits stay its own.
PyObject* columns_warnings(PyObject* self, void*) {
  if (source_of(self) == nullptr) return nullptr;
  return PySequence_List(reinterpret_cast<ColumnsObject*>(self)->warnings);
}

void columns_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<ColumnsObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  delete object->source;
  Py_XDECREF(object->names);
  Py_XDECREF(object->warnings);
  Py_XDECREF(object->accounts);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef columns_methods[] = {
    {"__arrow_c_schema__", columns_schema, METH_NOARGS,
     "The table's schema as an Arrow PyCapsule (\"arrow_schema\")."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(columns_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "The table as an Arrow PyCapsule (\"arrow_array_stream\") of record batches."},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(columns_array)),
     METH_VARARGS | METH_KEYWORDS,
     "The table as one struct array: a pair of PyCapsules (\"arrow_schema\", \"arrow_array\")."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef columns_getset[] = {
    {"num_rows", columns_num_rows, nullptr, nullptr, nullptr},
    {"column_names", columns_names, nullptr, nullptr, nullptr},
    {"warnings", columns_warnings, nullptr, nullptr, nullptr},
    {"accounts", columns_accounts, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot columns_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(columns_dealloc)},
    {Py_tp_methods, columns_methods},
    {Py_tp_getset, columns_getset},
    {Py_tp_doc, const_cast<char*>("Columns of a parsed statement, read through the Arrow "
                                  "PyCapsule interface.")},
    {0, nullptr}};

PyType_Spec columns_spec = {"vexdal._columns.Columns", sizeof(ColumnsObject), 0,
                            Py_TPFLAGS_DEFAULT, columns_slots};

PyObject* columns_class = nullptr;

// ---- Making tables ------------------------------------------------------------------------------

// The input as bytes the table may keep: a str becomes its UTF-8 form, as parse() takes it.
// Empty, with no error set, for anything else, which parse() rejects with its own message.
Ref input_bytes(PyObject* data) {
  if (PyBytes_Check(data)) return Ref::borrow(data);
  if (PyUnicode_Check(data)) return Ref::steal(PyUnicode_AsUTF8String(data));
  return {};
}

Ref warnings_list(const vexdal::Statement& statement) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(statement.warnings.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < statement.warnings.size(); ++i) {
    const vexdal::Warning& warning = statement.warnings[i];
    Ref pair = Ref::steal(Py_BuildValue("(nN)", static_cast<Py_ssize_t>(warning.lineno),
                                        to_str(vexdal::failure_text(warning.reason)).release()));
    if (!pair) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list;
}

// The failure that parse() words for itself: the Python side calls parse() again to raise it.
PyObject* parse_failed() { Py_RETURN_NONE; }

PyObject* raise_unrepresentable(const std::string& message) {
  Ref module = Ref::steal(PyImport_ImportModule("vexdal_py"));
  Ref error = module ? Ref::steal(PyObject_GetAttrString(module.get(), "ParseError")) : Ref();
  if (!error) return nullptr;
  Ref text = to_str(message);
  if (text) PyErr_SetObject(error.get(), text.get());
  return nullptr;
}

PyObject* new_columns(std::shared_ptr<Source> source) {
  const Table& table = *source->table;
  Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(table.columns().size())));
  if (!names) return nullptr;
  for (std::size_t i = 0; i < table.columns().size(); ++i) {
    Ref name = to_str(table.columns()[i].name);
    if (!name) return nullptr;
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
  }
  const vexdal::Statement* statement = nullptr;
  if (const auto* documents = dynamic_cast<const DocumentsTable*>(&table)) {
    statement = &documents->statement();
  } else {
    statement = &static_cast<const IntervalsTable&>(table).statement();
  }
  Ref warnings = warnings_list(*statement);
  if (!warnings) return nullptr;
  Ref accounts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(statement->accounts.size())));
  if (!accounts) return nullptr;
  for (std::size_t i = 0; i < statement->accounts.size(); ++i) {
    Ref number = to_str(statement->accounts[i].number);
    if (!number) return nullptr;
    PyTuple_SET_ITEM(accounts.get(), static_cast<Py_ssize_t>(i), number.release());
  }
  auto* object = PyObject_New(ColumnsObject, reinterpret_cast<PyTypeObject*>(columns_class));
  if (object == nullptr) return nullptr;
  object->source = nullptr;
  object->names = names.release();
  object->warnings = warnings.release();
  object->accounts = accounts.release();
  object->source = new std::shared_ptr<Source>(std::move(source));
  return reinterpret_cast<PyObject*>(object);
}

// The names, as UTF-8 strings, of a tuple of str.
bool column_names(PyObject* names, std::vector<std::string>& out) {
  if (!PyTuple_Check(names)) {
    PyErr_SetString(PyExc_TypeError, "columns must be a tuple of str");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (utf8 == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "columns must be a tuple of str");
      return false;
    }
    out.emplace_back(utf8, static_cast<std::size_t>(size));
  }
  return true;
}

std::string_view bytes_of(const Ref& input) {
  return {PyBytes_AS_STRING(input.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(input.get()))};
}

// documents(data, columns, amount_text): a Columns object, or None when the parse fails.
PyObject* documents_function(PyObject*, PyObject* args) {
  PyObject* data = nullptr;
  PyObject* names_arg = nullptr;
  int amount_text = 0;
  if (!PyArg_ParseTuple(args, "OOp:documents", &data, &names_arg, &amount_text)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<std::string> names;
    if (!column_names(names_arg, names)) return nullptr;
    Ref input = input_bytes(data);
    if (!input) return PyErr_Occurred() ? nullptr : parse_failed();
    auto source = std::make_shared<Source>();
    bool failed = false;
    // The input is immutable bytes, and the parse touches no Python object: other threads run.
    Py_BEGIN_ALLOW_THREADS
    try {
      auto made = DocumentsTable::make(bytes_of(input), names, amount_text != 0);
      if (made) {
        source->table = std::move(made.value());
      } else {
        // Out of memory is this call's failure, not the statement's: parse() may well succeed.
        failed = made.error().kind != vexdal::ErrorKind::OutOfMemory;
      }
    } catch (const std::bad_alloc&) {
      source->table = nullptr;
    }
    Py_END_ALLOW_THREADS
    if (failed) return parse_failed();
    if (!source->table) return PyErr_NoMemory();
    const auto& table = static_cast<const DocumentsTable&>(*source->table);
    if (const auto& where = table.unrepresentable()) {
      return raise_unrepresentable(unrepresentable_text(
          table, where->first, " at line " + std::to_string(where->second)));
    }
    source->input = std::move(input);
    return new_columns(std::move(source));
  });
}

// intervals(data): a Columns object, or None when the parse fails.
PyObject* intervals_function(PyObject*, PyObject* data) {
  return guarded([&]() -> PyObject* {
    Ref input = input_bytes(data);
    if (!input) return PyErr_Occurred() ? nullptr : parse_failed();
    auto source = std::make_shared<Source>();
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
      auto made = IntervalsTable::make(bytes_of(input));
      if (made) {
        source->table = std::move(made.value());
      } else {
        failed = made.error().kind != vexdal::ErrorKind::OutOfMemory;
      }
    } catch (const std::bad_alloc&) {
      source->table = nullptr;
    }
    Py_END_ALLOW_THREADS
    if (failed) return parse_failed();
    if (!source->table) return PyErr_NoMemory();
    const auto& table = static_cast<const IntervalsTable&>(*source->table);
    if (const auto& where = table.unrepresentable()) {
      const vexdal::Account& account = table.account_of(where->row);
      return raise_unrepresentable(
          unrepresentable_text(table, *where, " of account " + account.number));
    }
    source->input = std::move(input);
    return new_columns(std::move(source));
  });
}

PyMethodDef module_methods[] = {
    {"documents", documents_function, METH_VARARGS,
     "documents(data, columns, amount_text): the documents of a statement as Columns, None if the parse "
     "fails."},
    {"intervals", intervals_function, METH_O,
     "intervals(data): the intervals of a statement's accounts as Columns, None if the parse "
     "fails."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vexdal._columns",
                          "Statements as Arrow columns; see vexdal.documents_table().", -1,
                          module_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace vexdal_columns

PyMODINIT_FUNC PyInit__columns() {
  using namespace vexdal_columns;
  if (columns_class == nullptr) {
    columns_class = PyType_FromSpec(&columns_spec);
    if (columns_class == nullptr) return nullptr;
  }
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  Py_INCREF(columns_class);
  if (PyModule_AddObject(module, "Columns", columns_class) < 0) {
    Py_DECREF(columns_class);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
