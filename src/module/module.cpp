// The module object: built once per process by PyInit_vexdal_py, which registers the classes,
// parse() and the exception classes in their fixed order. Knows nothing of parsing.
#include "module.hpp"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "ref.hpp"
#include "registry.hpp"

namespace vexdal_py {
namespace {

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
// is dropped on failure, while classes made so far stay made.
PyObject* build_module() {
  Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
  if (!module) return nullptr;
  if (!make_classes()) return nullptr;
  for (std::size_t i = 0; i < class_count; ++i) {
    const auto id = static_cast<ClassId>(i);
    // parse stands between the classes and the exceptions.
    if (id == first_exception && !add_parse(module.get())) return nullptr;
    if (!add_named(module.get(), registered_name(id), registered(id))) return nullptr;
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
