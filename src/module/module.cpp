// The module object: built once per process by PyInit_vexdal_py, which registers the classes,
// parse() and the exception classes in their fixed order. Knows nothing of parsing.
#include "module.hpp"

#include <array>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "classes.hpp"

namespace vexdal_py {
namespace {

struct ExceptionEntry {
  const char* name;
  const char* qualified_name;
};

// Indexed by ExceptionId; also the order in which the module registers them.
constexpr std::array<ExceptionEntry, 5> exceptions = {{
    {"ParseError", "vexdal_py.ParseError"},
    {"NotStatementError", "vexdal_py.NotStatementError"},
    {"EmptyInputError", "vexdal_py.EmptyInputError"},
    {"UnfinishedError", "vexdal_py.UnfinishedError"},
    {"SyntaxError", "vexdal_py.SyntaxError"},
}};

}  // namespace

PyObject* exception_class(ExceptionId id) {
  // Made on first need and kept for the process; callers hold the interpreter lock.
  static std::array<PyObject*, exceptions.size()> classes{};
  const auto index = static_cast<std::size_t>(id);
  if (classes[index] != nullptr) return classes[index];
  PyObject* base = PyExc_Exception;
  if (id != ExceptionId::ParseError) {
    base = exception_class(ExceptionId::ParseError);
    if (base == nullptr) return nullptr;
  }
  classes[index] =
      PyErr_NewExceptionWithDoc(exceptions[index].qualified_name, nullptr, base, nullptr);
  return classes[index];
}

namespace {

struct ClassEntry {
  const char* name;
  PyObject* (*get)();
};

constexpr std::array<ClassEntry, 12> classes = {{
    {"Interval", interval_class},
    {"Account", account_class},
    {"Document", document_class},
    {"Statement", statement_class},
    {"SectionType", section_type_class},
    {"UnexpectedSection", [] { return detail_class(vexdal::ErrorKind::UnexpectedSection); }},
    {"UnexpectedAttribute", [] { return detail_class(vexdal::ErrorKind::UnexpectedAttribute); }},
    {"UnrecognizedLine", [] { return detail_class(vexdal::ErrorKind::UnrecognizedLine); }},
    {"MissingField", [] { return detail_class(vexdal::ErrorKind::MissingField); }},
    {"AccountParseError", [] { return detail_class(vexdal::ErrorKind::AccountParseError); }},
    {"DocumentParseError", [] { return detail_class(vexdal::ErrorKind::DocumentParseError); }},
    {"HookError", [] { return detail_class(vexdal::ErrorKind::HookError); }},
}};

const PyMethodDef parse_method = {
    "parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(parse_function)),
    METH_VARARGS | METH_KEYWORDS, parse_doc};

// The interpreter fills in the definition's base part at creation.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vexdal_py",
    "Python-модуль для парсинга банковских выписок 1CClientBankExchange.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends name to the module's __all__ (creating the list if there is none) and stores the object
// under that name.
bool add(PyObject* module, PyObject* name, PyObject* object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "module's __all__ is not a list");
    return false;
  }
  return PyList_Append(all.get(), name) == 0 && PyObject_SetAttr(module, name, object) == 0;
}

bool add_named(PyObject* module, const char* name, PyObject* object) {
  Ref key = Ref::steal(PyUnicode_FromString(name));
  return key && add(module, key.get(), object);
}

bool add_parse(PyObject* module) {
  Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
  if (!module_name) return false;
  Ref function = Ref::steal(
      PyCFunction_NewEx(const_cast<PyMethodDef*>(&parse_method), module, module_name.get()));
  if (!function) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "parse.__name__ is not a str");
    return false;
  }
  return add(module, name.get(), function.get());
}

// A new reference to the filled module, or nullptr with the error set; the partly filled module
// is dropped on failure, while classes made so far stay cached.
PyObject* build_module() {
  Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
  if (!module) return nullptr;
  for (const ClassEntry& entry : classes) {
    PyObject* cls = entry.get();
    if (cls == nullptr || !add_named(module.get(), entry.name, cls)) return nullptr;
  }
  if (!add_parse(module.get())) return nullptr;
  for (std::size_t i = 0; i < exceptions.size(); ++i) {
    PyObject* cls = exception_class(static_cast<ExceptionId>(i));
    if (cls == nullptr || !add_named(module.get(), exceptions[i].name, cls)) return nullptr;
  }
  return module.release();
}

// Once-only creation of the module for the process. A thread that finds another one building
// waits without the interpreter lock, which the builder may need to finish; the mutex is never
// held while taking the interpreter lock, so the two cannot deadlock. A failed build is not
// cached: the next import tries again.
class ModuleLatch {
 public:
  PyObject* get() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (building_) {
      if (builder_ == std::this_thread::get_id()) {
        PyErr_SetString(PyExc_ImportError, "vexdal_py is already being initialized by this thread");
        return nullptr;
      }
      PyThreadState* state = PyEval_SaveThread();
      done_.wait(lock, [this] { return !building_; });
      lock.unlock();
      PyEval_RestoreThread(state);
      lock.lock();
    }
    if (module_ != nullptr) {
      Py_INCREF(module_);
      return module_;
    }
    building_ = true;
    builder_ = std::this_thread::get_id();
    lock.unlock();
    PyObject* module = build_module();
    lock.lock();
    building_ = false;
    builder_ = std::thread::id();
    if (module != nullptr) {
      Py_INCREF(module);  // the latch's own reference, kept for the process
      module_ = module;
    }
    lock.unlock();
    done_.notify_all();
    return module;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool building_ = false;
  std::thread::id builder_;
  PyObject* module_ = nullptr;
};

PyObject* initialize() {
#if !defined(PYPY_VERSION)
  // The module, its classes and its exception classes are made once and kept for the process,
  // and a sub-interpreter clears the modules it holds when it ends: sharing them with one would
  // leave every other interpreter a cleared module. (PyPy has no sub-interpreters.)
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "vexdal_py can only be imported in the main interpreter, not in a "
                    "sub-interpreter");
    return nullptr;
  }
#endif
  static ModuleLatch latch;
  try {
    return latch.get();
  } catch (const std::system_error& error) {
    PyErr_SetString(PyExc_ImportError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

}  // namespace
}  // namespace vexdal_py

PyMODINIT_FUNC PyInit_vexdal_py() { return vexdal_py::initialize(); }
