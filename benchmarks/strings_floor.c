/* The least CPython does to make the strings a read of every attribute makes, and to look the
   attributes up: measured in C, so that no interpreter loop counts on this side. The benchmark
   builds this file into its cache folder and times each function over a whole statement. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* make_strings(texts, table): a str from each bytes object of the list, by CPython's own
   decoders: UTF-8 when table is None, else the charmap decoder with table, a str of the 256
   characters of the code page. Each str is dropped at once, as a read that keeps nothing. */
static PyObject* make_strings(PyObject* self, PyObject* args) {
  PyObject* texts;
  PyObject* table;
  if (!PyArg_ParseTuple(args, "O!O", &PyList_Type, &texts, &table)) return NULL;
  const Py_ssize_t count = PyList_GET_SIZE(texts);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* text = PyList_GET_ITEM(texts, i);
    if (!PyBytes_Check(text)) {
      PyErr_SetString(PyExc_TypeError, "texts must be bytes");
      return NULL;
    }
    PyObject* str = table == Py_None
        ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(text), PyBytes_GET_SIZE(text), "strict")
        : PyUnicode_DecodeCharmap(PyBytes_AS_STRING(text), PyBytes_GET_SIZE(text), table,
                                  "strict");
    if (str == NULL) return NULL;
    Py_DECREF(str);
  }
  Py_RETURN_NONE;
}

/* get_attributes(objects, names): every name of the tuple looked up on every object of the
   list, each value dropped at once. */
static PyObject* get_attributes(PyObject* self, PyObject* args) {
  PyObject* objects;
  PyObject* names;
  if (!PyArg_ParseTuple(args, "O!O!", &PyList_Type, &objects, &PyTuple_Type, &names)) {
    return NULL;
  }
  const Py_ssize_t count = PyList_GET_SIZE(objects);
  const Py_ssize_t name_count = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* object = PyList_GET_ITEM(objects, i);
    for (Py_ssize_t j = 0; j < name_count; ++j) {
      PyObject* value = PyObject_GetAttr(object, PyTuple_GET_ITEM(names, j));
      if (value == NULL) return NULL;
      Py_DECREF(value);
    }
  }
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"make_strings", make_strings, METH_VARARGS, NULL},
    {"get_attributes", get_attributes, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "strings_floor", NULL, -1, methods};

PyMODINIT_FUNC PyInit_strings_floor(void) { return PyModule_Create(&module); }
