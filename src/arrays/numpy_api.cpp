#include "numpy_api.hpp"

#include <cstring>

#include "../module/errors.hpp"
#include "../module/py_ref.hpp"

namespace kv::numpy {
namespace {

constexpr const char* kCapsuleFailure = "Failed to access NumPy array API capsule";

// NumPy's major version, from numpy.lib.NumpyVersion(numpy.__version__).major.
// Returns -1 with a Python exception set on failure.
int ReadMajorVersion() {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return -1;
  Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return -1;
  Ref lib(PyImport_ImportModule("numpy.lib"));
  if (!lib) return -1;
  Ref parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) return -1;
  Ref major(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) return -1;
  const long value = PyLong_AsLong(major.get());
  if (value == -1 && PyErr_Occurred()) return -1;
  if (value < 0 || value > 255) {
    PyErr_Format(PyExc_OverflowError, "NumPy major version %ld out of range", value);
    return -1;
  }
  return static_cast<int>(value);
}

// The table behind `_ARRAY_API` of "<core>.multiarray". On success `module`
// holds the multiarray module. Returns nullptr with an exception set.
void** ReadTable(const char* core, Ref& module) {
  char name[64];
  std::strcpy(name, core);
  std::strcat(name, ".multiarray");
  module = Ref(PyImport_ImportModule(name));
  if (!module) return nullptr;
  Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
    return nullptr;
  }
  void* table = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
  if (table == nullptr) return nullptr;
  // The module keeps the capsule, and we keep the module, for the process.
  return static_cast<void**>(table);
}

struct State {
  const char* core = nullptr;  // "numpy._core" or "numpy.core", once chosen
  std::uint8_t major = 0;
  bool ready = false;
  Api api{};
};

State& GetState() {
  static State state;
  return state;
}

bool Load(State& state) {
  if (state.core == nullptr) {
    const int major = ReadMajorVersion();
    if (major < 0) return false;
    state.major = static_cast<std::uint8_t>(major);
    state.core = major >= 2 ? "numpy._core" : "numpy.core";
  }
  Ref module;
  void** table = ReadTable(state.core, module);
  if (table == nullptr) return false;

  Api& api = state.api;
  api.array_type = static_cast<PyTypeObject*>(table[2]);
  api.descr_from_type = reinterpret_cast<PyObject* (*)(int)>(table[45]);
  api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[94]);
  api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[182]);
  api.set_base_object = reinterpret_cast<decltype(api.set_base_object)>(table[282]);
  api.double_descr = api.descr_from_type(kDoubleTypeNum);
  if (api.double_descr == nullptr) return false;
  api.multiarray = module.release();
  api.major = state.major;
  state.ready = true;
  return true;
}

}  // namespace

const Api* GetApi() {
  State& state = GetState();
  if (state.ready) return &state.api;
  if (!Load(state)) {
    RaisePanicFromPending(kCapsuleFailure);
    return nullptr;
  }
  return &state.api;
}

// The descriptor's element size: an int after the type number in NumPy 1.x,
// an npy_intp after a 64-bit flags field in NumPy 2.x.
npy_intp ElementSize(const Api& api, PyObject* array) {
  struct DescrHead1 {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
    int elsize;
  };
  struct DescrHead2 {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
    std::uint64_t flags;
    npy_intp elsize;
  };
  const PyObject* descr = Fields(array)->descr;
  if (api.major >= 2) return reinterpret_cast<const DescrHead2*>(descr)->elsize;
  return reinterpret_cast<const DescrHead1*>(descr)->elsize;
}

}  // namespace kv::numpy
