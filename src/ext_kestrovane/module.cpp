// Module initialisation: the owning-interpreter check, one module object per
// process, and registration of the function table.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "../ext_common/py_ref.hpp"
#include "array_entry.hpp"
#include "function_list.hpp"
#include "scalar_entry.hpp"

namespace kv {
namespace {

struct FunctionRow {
  const char* name;
  const char* const* params;
  int count;
  PyCFunctionWithKeywords entry;
};

#define KV_SCALAR_ROW(name, Shape, Routine, Model, quantity) \
  FunctionRow{#name, Shape::kNames, Shape::kCount, &ScalarEntry<Shape, routines::name, #name>},
#define KV_ARRAY_ROW(name, Shape, Routine, Enum, quantity)  \
  FunctionRow{#name "_array", Shape::kNames, Shape::kCount, \
              &ArrayEntry<Shape, kernels::Model::Enum, row_quantity::quantity, #name "_array">},

constexpr FunctionRow kFunctions[] = {KV_ALL_FUNCTIONS(KV_SCALAR_ROW, KV_ARRAY_ROW)};
static_assert(std::size(kFunctions) == 2 * kArrayFunctions);  // a scalar and an _array twin each

#undef KV_SCALAR_ROW
#undef KV_ARRAY_ROW

// The package version, from pyproject.toml through the build.
constexpr const char* kVersion = KESTROVANE_VERSION;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kestrovane",
    "",       // __doc__ is the empty string
    0,        // no per-module state
    nullptr,  // functions are added one by one after creation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

// "name(p1, p2, ...)\n--\n\n": the interpreter takes the part before the
// marker as __text_signature__ and leaves __doc__ None.
const char* MakeDoc(const FunctionRow& row) {
  std::string doc = row.name;
  doc += '(';
  for (int i = 0; i < row.count; ++i) {
    if (i > 0) doc += ", ";
    doc += row.params[i];
  }
  doc += ")\n--\n\n";
  char* copy = new char[doc.size() + 1];
  std::memcpy(copy, doc.c_str(), doc.size() + 1);
  return copy;
}

// Appends `name` to the module's __all__, creating the list if absent.
bool AppendToAll(PyObject* module, PyObject* name) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return false;
    }
  }
  Ref list(all);
  if (!PyList_Check(list.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return false;
  }
  return PyList_Append(list.get(), name) == 0;
}

bool AddFunction(PyObject* module, PyObject* module_name, const FunctionRow& row) {
  // Never freed: the function object refers to it for the process.
  auto* def = new PyMethodDef{
      row.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row.entry)),
      METH_VARARGS | METH_KEYWORDS, MakeDoc(row)};
  Ref function(PyCMethod_New(def, module, module_name, nullptr));
  if (!function) return false;
  Ref name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
    return false;
  }
  if (!AppendToAll(module, name.get())) return false;
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

bool Register(PyObject* module) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (const FunctionRow& row : kFunctions) {
    if (!AddFunction(module, module_name.get(), row)) return false;
  }
  Ref version_name(PyUnicode_FromString("__version__"));
  Ref version(PyUnicode_FromString(kVersion));
  if (!version_name || !version) return false;
  if (!AppendToAll(module, version_name.get())) return false;
  return PyObject_SetAttr(module, version_name.get(), version.get()) == 0;
}

PyObject* Init() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "kestrovane does not support sub-interpreters: it can only be imported "
                    "once per process, in the interpreter that first imported it");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  Ref module(PyModule_Create2(&module_def, 3));
  if (!module || !Register(module.get())) return nullptr;
  module_object = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace kv

PyMODINIT_FUNC PyInit__kestrovane() {
  return kv::Guarded([] { return kv::Init(); });
}
