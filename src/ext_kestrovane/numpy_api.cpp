#include "numpy_api.hpp"

#include <cstring>

#include "../ext_common/errors.hpp"
#include "../ext_common/py_ref.hpp"

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

// The C-API table versions this module is built for, per NumPy line: the
// ABI version (slot 0, PyArray_GetNDArrayCVersion) and the lowest C-API
// feature version (slot 211, PyArray_GetNDArrayCFeatureVersion), those of
// NumPy 1.26 and 2.0.
struct Line {
  int major;
  unsigned abi;
  unsigned min_feature;
  const char* numpy;
};
constexpr Line kLines[] = {{1, 0x01000009u, 0x11u, "1.26"}, {2, 0x02000000u, 0x12u, "2.0"}};

const Line* FindLine(int major) {
  for (const Line& line : kLines) {
    if (line.major == major) return &line;
  }
  return nullptr;
}

// NumPy publishes its C-API table in a capsule without a name; any named
// capsule belongs to someone else. Returns nullptr with an exception set.
void** OpenCapsule(PyObject* capsule) {
  if (!PyCapsule_CheckExact(capsule)) {
    Ref type(PyType_GetQualName(Py_TYPE(capsule)));
    if (type) PyErr_Format(PyExc_TypeError, "_ARRAY_API is a '%U', needed a capsule", type.get());
    return nullptr;
  }
  const char* name = PyCapsule_GetName(capsule);
  if (name != nullptr) {
    PyErr_Format(PyExc_TypeError, "_ARRAY_API is a capsule named '%s', needed NumPy's unnamed one",
                 name);
    return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
}

// A nameless capsule is not yet NumPy's array table (NumPy's ufunc table is
// nameless too, and its first slot is a type object, not a function). Slot 2
// must be the very ndarray type of the multiarray module -- a comparison of
// addresses, nothing dereferenced -- before any slot is called. Returns false
// with an exception set.
bool IsArrayTable(void** table, PyObject* module) {
  Ref ndarray(PyObject_GetAttrString(module, "ndarray"));
  if (!ndarray) return false;
  if (table[2] != ndarray.get()) {
    PyErr_SetString(PyExc_TypeError,
                    "_ARRAY_API is not NumPy's array C-API table: its slot 2 is not "
                    "the multiarray module's ndarray type");
    return false;
  }
  return true;
}

// The table behind `_ARRAY_API` of "<core>.multiarray", verified to be
// NumPy's array table (not yet its versions). On success `module` holds the
// multiarray module and `capsule` the capsule. Returns nullptr with an
// exception set.
void** ReadTable(const char* core, Ref& module, Ref& capsule) {
  char name[64];
  std::strcpy(name, core);
  std::strcat(name, ".multiarray");
  module = Ref(PyImport_ImportModule(name));
  if (!module) return nullptr;
  capsule = Ref(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  void** table = OpenCapsule(capsule.get());
  if (table == nullptr || !IsArrayTable(table, module.get())) return nullptr;
  return table;
}

// The ABI version fixes the layouts read here (ElementSize), so it must be
// that of the line chosen from numpy.__version__; the feature version must be
// at least that line's. Returns false with an exception set.
bool HasAbiVersion(void** table, const Line& line) {
  const unsigned abi = reinterpret_cast<unsigned (*)()>(table[0])();
  if (abi == line.abi) return true;
  PyErr_Format(PyExc_ImportError,
               "the C-API table has ABI version 0x%x, needed 0x%x (NumPy %d.x, as "
               "numpy.__version__ says)",
               abi, line.abi, line.major);
  return false;
}

bool HasFeatureVersion(void** table, const Line& line) {
  const unsigned feature = reinterpret_cast<unsigned (*)()>(table[211])();
  if (feature >= line.min_feature) return true;
  PyErr_Format(PyExc_ImportError,
               "the C-API table has feature version 0x%x, needed 0x%x (NumPy %s) or later", feature,
               line.min_feature, line.numpy);
  return false;
}

struct State {
  const char* core = nullptr;  // "numpy._core" or "numpy.core", once chosen
  const Line* line = nullptr;  // the NumPy line the core was chosen for
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
    const Line* line = FindLine(major);
    if (line == nullptr) {
      PyErr_Format(PyExc_ImportError, "found NumPy %d.x, needed NumPy 1.x (1.26) or 2.x", major);
      return false;
    }
    state.line = line;
    state.core = major >= 2 ? "numpy._core" : "numpy.core";
  }
  Ref module;
  Ref capsule;
  void** table = ReadTable(state.core, module, capsule);
  if (table == nullptr) return false;
  if (!HasAbiVersion(table, *state.line)) {
    state.core = nullptr;  // numpy.__version__ misled the choice: read it again next time
    return false;
  }
  if (!HasFeatureVersion(table, *state.line)) return false;

  Api& api = state.api;
  api.array_type = static_cast<PyTypeObject*>(table[2]);
  api.descr_from_type = reinterpret_cast<PyObject* (*)(int)>(table[45]);
  api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[94]);
  api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[182]);
  api.set_base_object = reinterpret_cast<decltype(api.set_base_object)>(table[282]);
  api.double_descr = api.descr_from_type(kDoubleTypeNum);
  if (api.double_descr == nullptr) return false;
  // Both are held for the process: the table lives as long as its capsule.
  api.multiarray = module.release();
  api.capsule = capsule.release();
  api.major = static_cast<std::uint8_t>(state.line->major);
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
