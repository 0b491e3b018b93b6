// kestrovane._book: the whole-book kernels behind kestrovane.greeks and
// kestrovane.implied_volatility. The Python layer broadcasts the inputs and
// allocates the outputs; this module takes them all through the buffer
// protocol (no NumPy headers), checks them, and computes with the interpreter
// lock released, on as many threads as it is given.

#include <Python.h>

#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>

#include "../american/american_run.hpp"
#include "../ext_common/errors.hpp"
#include "../ext_common/py_ref.hpp"
#include "../kernels/run.hpp"
#include "book_flags.hpp"

namespace kv::book {
namespace {

constexpr int kMaxOutputs = 64;

// A buffer view held for one call, released on every path.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  bool Take(PyObject* object, const char* name) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0) {
      held_ = true;
      return true;
    }
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_TypeError, "%s: expected an object with the buffer protocol (%S)", name,
                 cause);
    Py_XDECREF(cause);
    return false;
  }

  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Whether the items have struct code `code`, in native byte order.
bool HasFormat(const Py_buffer& view, char code, Py_ssize_t itemsize) {
  const char* format = view.format != nullptr ? view.format : "B";
  const bool one_byte = itemsize == 1;
  const char native = std::endian::native == std::endian::little ? '<' : '>';
  if (*format == '@' || *format == '=' || *format == native ||
      (one_byte && (*format == '<' || *format == '>' || *format == '!'))) {
    ++format;
  }
  return view.itemsize == itemsize && format[0] == code && format[1] == '\0';
}

std::string ShapeText(const Py_buffer& view) {
  std::string text = "(";
  for (int d = 0; d < view.ndim; ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(view.shape[d]);
  }
  return text + (view.ndim == 1 ? ",)" : ")");
}

bool SameShape(const Py_buffer& a, const Py_buffer& b) {
  if (a.ndim != b.ndim) return false;
  for (int d = 0; d < a.ndim; ++d) {
    if (a.shape[d] != b.shape[d]) return false;
  }
  return true;
}

bool FormatError(const Py_buffer& view, const char* name, const char* expected) {
  PyErr_Format(PyExc_TypeError, "%s: expected %s, got items of format '%s' and size %zd", name,
               expected, view.format != nullptr ? view.format : "B", view.itemsize);
  return false;
}

bool CheckShape(const Py_buffer& view, const char* name, const Py_buffer& reference) {
  if (view.ndim > kMaxDims) {
    PyErr_Format(PyExc_ValueError, "%s: more than %d dimensions", name, kMaxDims);
    return false;
  }
  if (!SameShape(view, reference)) {
    PyErr_Format(PyExc_ValueError, "%s: shape %s differs from the output shape %s", name,
                 ShapeText(view).c_str(), ShapeText(reference).c_str());
    return false;
  }
  return true;
}

// Item type and shape of one operand, against the reference shape.
bool CheckOperand(const Buffer& buffer, const char* name, char code, Py_ssize_t itemsize,
                  const char* expected, const Py_buffer& reference) {
  if (!HasFormat(buffer.view(), code, itemsize)) return FormatError(buffer.view(), name, expected);
  return CheckShape(buffer.view(), name, reference);
}

bool CheckFloat64(const Buffer& b, const char* name, const Py_buffer& reference) {
  return CheckOperand(b, name, 'd', 8, "float64 items (format 'd')", reference);
}

// Booleans or bytes, nonzero for a call.
bool CheckFlag(const Buffer& b, const Py_buffer& reference) {
  const Py_buffer& view = b.view();
  if (!HasFormat(view, '?', 1) && !HasFormat(view, 'B', 1)) {
    return FormatError(view, "flag", "1-byte items (format '?' or 'B')");
  }
  return CheckShape(view, "flag", reference);
}

// An output: the reference's shape, writable and C-contiguous.
bool CheckOutput(const Buffer& b, const char* name, char code, Py_ssize_t itemsize,
                 const char* expected, const Py_buffer& reference) {
  if (!CheckOperand(b, name, code, itemsize, expected, reference)) return false;
  if (b.view().readonly) {
    PyErr_Format(PyExc_ValueError, "%s: the buffer is read-only", name);
    return false;
  }
  if (!PyBuffer_IsContiguous(&b.view(), 'C')) {
    PyErr_Format(PyExc_ValueError, "%s: the buffer is not C-contiguous", name);
    return false;
  }
  return true;
}

// The models by number (model_list.hpp): name, name for people, symbol of
// the underlying, whether q is taken, the price function's name.
struct ModelRow {
  const char* name;
  const char* title;
  const char* underlying;
  bool q;
  const char* price;
};
constexpr auto kModels = [] {
  std::array<ModelRow, kModelCount> rows{};
#define KV_MODEL_ROW(name, Enum, number, price, title, underlying, q, ...) \
  rows[number] = {#name, title, underlying, q, #price};
  KV_ALL_MODELS(KV_MODEL_ROW)
#undef KV_MODEL_ROW
  return rows;
}();

bool CheckModel(int model) {
  if (model >= 0 && model < kModelCount) return true;
  std::string valid;
  for (int m = 0; m < kModelCount; ++m) {
    valid += (m == 0                 ? ""
              : m + 1 == kModelCount ? " or "
                                     : ", ") +
             std::to_string(m) + " (" + kModels[m].name + ")";
  }
  PyErr_Format(PyExc_ValueError, "model must be %s, not %d", valid.c_str(), model);
  return false;
}

// The kernel's view of the inputs, in kernel order, coalesced into *layout;
// `raw` is scratch space (both are heap-held by the caller).
void MakeLayout(const Buffer* const (&inputs)[kInputs], Layout* raw, Layout* layout) {
  const Py_buffer& first = inputs[0]->view();
  raw->ndim = first.ndim;
  for (int d = 0; d < first.ndim; ++d) raw->shape[d] = first.shape[d];
  for (int k = 0; k < kInputs; ++k) {
    const Py_buffer& view = inputs[k]->view();
    raw->data[k] = static_cast<const char*>(view.buf);
    for (int d = 0; d < view.ndim; ++d) raw->stride[k][d] = view.strides[d];
  }
  Coalesce(*raw, layout);
}

// The thread count: an int in [1, INT_MAX], named when it is not one.
bool ReadThreads(PyObject* object, int* threads) {
  if (!PyLong_Check(object) || PyBool_Check(object)) {
    PyErr_Format(PyExc_TypeError, "threads must be an int, not %R", object);
    return false;
  }
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 1)) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %S", object);
    return false;
  }
  if (overflow > 0 || value > INT_MAX) {
    PyErr_Format(PyExc_ValueError, "threads must be at most %d, not %S", INT_MAX, object);
    return false;
  }
  *threads = static_cast<int>(value);
  return true;
}

// The integer quantity indices of a tuple.
bool ReadQuantities(PyObject* quantities, int* out, Py_ssize_t* count) {
  if (!PyTuple_Check(quantities)) {
    PyErr_SetString(PyExc_TypeError, "quantities must be a tuple of int");
    return false;
  }
  *count = PyTuple_Size(quantities);
  if (*count > kMaxOutputs) {
    PyErr_Format(PyExc_ValueError, "at most %d quantities per call", kMaxOutputs);
    return false;
  }
  for (Py_ssize_t i = 0; i < *count; ++i) {
    const long index = PyLong_AsLong(PyTuple_GetItem(quantities, i));
    if (index == -1 && PyErr_Occurred()) return false;
    if (index < 0 || index >= kQuantityCount) {
      PyErr_Format(PyExc_ValueError, "quantity index %ld is outside [0, %d)", index,
                   kQuantityCount);
      return false;
    }
    out[i] = static_cast<int>(index);
  }
  return true;
}

// The thread that runs Python's signal handlers (that of the main
// interpreter's main thread), found at import; 0 if it could not be.
unsigned long main_thread = 0;

unsigned long FindMainThread() {
  Ref module(PyImport_ImportModule("_thread"));
  if (module && PyObject_HasAttrString(module.get(), "_get_main_thread_ident")) {
    Ref ident(PyObject_CallMethod(module.get(), "_get_main_thread_ident", nullptr));
    const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    PyErr_Clear();
    return value;
  }
  PyErr_Clear();  // before 3.13: the thread threading calls the main one
  module = Ref(PyImport_ImportModule("threading"));
  Ref thread(module ? PyObject_CallMethod(module.get(), "main_thread", nullptr) : nullptr);
  Ref ident(thread ? PyObject_GetAttrString(thread.get(), "ident") : nullptr);
  const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  PyErr_Clear();
  return value;
}

// Runs work with the interpreter lock released; the work never throws, and
// every buffer it reads or writes stays held by the caller meanwhile. On the
// thread that handles signals, the work may take the lock back for a moment
// between pieces of the book to run the handlers of pending signals: once
// one raises (Ctrl-C's KeyboardInterrupt), the work stops and the exception
// is left set. Returns false then.
template <class Work>
bool WithoutGil(const Work& work) {
  struct Unlocked {
    PyThreadState* state = nullptr;
    bool raised = false;
  } unlocked;
  StopCheck check;
  if (main_thread != 0 && PyThread_get_thread_ident() == main_thread) {
    check.context = &unlocked;
    check.stop = [](void* context) {
      Unlocked& self = *static_cast<Unlocked*>(context);
      PyEval_RestoreThread(self.state);
      self.raised = PyErr_CheckSignals() != 0;
      self.state = PyEval_SaveThread();
      return self.raised;
    };
  }
  unlocked.state = PyEval_SaveThread();
  const bool completed = work(check);
  PyEval_RestoreThread(unlocked.state);
  return completed && !unlocked.raised;
}

// The Python objects a whole-book call takes, its buffer views and the
// kernel's layout: about 12 KiB, on the heap rather than the caller's stack
// (a thread may have 32 KiB in all).
struct GreeksCall {
  Buffer inputs[kInputs];
  Buffer outs[kMaxOutputs];
  double* out_data[kMaxOutputs];
  char names[kMaxOutputs][16];
  int indices[kMaxOutputs];
  Layout raw, layout;
};

struct IvCall {
  Buffer inputs[kInputs];
  Buffer out, status;
  Layout raw, layout;
};

// Takes a Greeks call's inputs and its `count` outputs (a tuple) into *call,
// checks them against each other and lays the inputs out for the kernel.
bool TakeGreeksBuffers(PyObject* const (&objects)[kInputs], PyObject* outs, Py_ssize_t count,
                       GreeksCall* call) {
  if (!PyTuple_Check(outs) || PyTuple_Size(outs) != count) {
    PyErr_SetString(PyExc_ValueError, "outs must be a tuple with one buffer per quantity");
    return false;
  }
  static constexpr const char* kNames[kInputs] = {"flag", "X", "K", "t", "r", "sigma", "q"};
  Buffer(&inputs)[kInputs] = call->inputs;
  for (int k = 0; k < kInputs; ++k) {
    if (!inputs[k].Take(objects[k], kNames[k])) return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    char* name = call->names[i];
    std::snprintf(name, sizeof call->names[i], "outs[%d]", static_cast<int>(i));
    if (!call->outs[i].Take(PyTuple_GetItem(outs, i), name)) return false;
    call->out_data[i] = static_cast<double*>(call->outs[i].view().buf);
  }
  const Py_buffer& reference = count > 0 ? call->outs[0].view() : inputs[1].view();
  if (!CheckFlag(inputs[0], reference)) return false;
  for (int k = 1; k < kInputs; ++k) {
    if (!CheckFloat64(inputs[k], kNames[k], reference)) return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!CheckOutput(call->outs[i], call->names[i], 'd', 8, "float64 items (format 'd')",
                     reference)) {
      return false;
    }
  }
  const Buffer* const order[kInputs] = {&inputs[0], &inputs[1], &inputs[2], &inputs[3],
                                        &inputs[4], &inputs[5], &inputs[6]};
  MakeLayout(order, &call->raw, &call->layout);
  return true;
}

// The same for an implied-volatility call: its inputs, `out` and, unless
// None, `status`.
bool TakeIvBuffers(PyObject* const (&objects)[kInputs], PyObject* out_object,
                   PyObject* status_object, IvCall* call) {
  static constexpr const char* kNames[kInputs] = {"flag", "price", "X", "K", "t", "r", "q"};
  Buffer(&inputs)[kInputs] = call->inputs;
  for (int k = 0; k < kInputs; ++k) {
    if (!inputs[k].Take(objects[k], kNames[k])) return false;
  }
  Buffer &out = call->out, &status = call->status;
  if (!out.Take(out_object, "out")) return false;
  const bool with_status = status_object != Py_None;
  if (with_status && !status.Take(status_object, "status")) return false;
  const Py_buffer& reference = out.view();
  if (!CheckFlag(inputs[0], reference)) return false;
  for (int k = 1; k < kInputs; ++k) {
    if (!CheckFloat64(inputs[k], kNames[k], reference)) return false;
  }
  if (!CheckOutput(out, "out", 'd', 8, "float64 items (format 'd')", reference)) return false;
  if (with_status && !CheckOutput(status, "status", 'b', 1, "int8 items (format 'b')", reference)) {
    return false;
  }
  const Buffer* const order[kInputs] = {&inputs[0], &inputs[1], &inputs[2], &inputs[3],
                                        &inputs[4], &inputs[5], &inputs[6]};
  MakeLayout(order, &call->raw, &call->layout);
  return true;
}

PyObject* GreeksBody(PyObject* args) {
  int model, threads;
  PyObject *quantities, *outs, *thread_count, *objects[kInputs];
  if (!PyArg_ParseTuple(args, "iOOOOOOOOOO:greeks", &model, &quantities, &objects[0], &objects[1],
                        &objects[2], &objects[3], &objects[4], &objects[5], &objects[6], &outs,
                        &thread_count)) {
    return nullptr;
  }
  if (!CheckModel(model) || !ReadThreads(thread_count, &threads)) return nullptr;
  const auto call = std::make_unique<GreeksCall>();
  Py_ssize_t count;
  if (!ReadQuantities(quantities, call->indices, &count)) return nullptr;
  if (!TakeGreeksBuffers(objects, outs, count, call.get())) return nullptr;
  const GreeksJob job{static_cast<Model>(model), static_cast<int>(count), call->indices,
                      call->out_data};
  const Layout& layout = call->layout;
  if (count > 0 &&
      !WithoutGil([&](const StopCheck& check) { return RunGreeks(job, layout, threads, check); })) {
    return nullptr;  // a signal handler raised
  }
  Py_RETURN_NONE;
}

PyObject* ImpliedVolBody(PyObject* args) {
  int model, threads, method;
  PyObject *out_object, *status_object, *thread_count, *objects[kInputs];
  if (!PyArg_ParseTuple(args, "iOOOOOOOOOOi:implied_volatility", &model, &objects[0], &objects[1],
                        &objects[2], &objects[3], &objects[4], &objects[5], &objects[6],
                        &out_object, &status_object, &thread_count, &method)) {
    return nullptr;
  }
  if (method != 0 && method != 1) {
    PyErr_Format(PyExc_ValueError, "unknown method code %d: 0 is newton, 1 rational", method);
    return nullptr;
  }
  if (!CheckModel(model) || !ReadThreads(thread_count, &threads)) return nullptr;
  const auto call = std::make_unique<IvCall>();
  if (!TakeIvBuffers(objects, out_object, status_object, call.get())) return nullptr;
  const IvJob job{
      static_cast<Model>(model), static_cast<double*>(call->out.view().buf),
      status_object != Py_None ? static_cast<std::int8_t*>(call->status.view().buf) : nullptr,
      method == 1};
  const Layout& layout = call->layout;
  if (!WithoutGil([&](const StopCheck& check) { return RunIv(job, layout, threads, check); })) {
    return nullptr;  // a signal handler raised
  }
  Py_RETURN_NONE;
}

// ---- American exercise -------------------------------------------------------

bool CheckAccuracy(int accuracy) {
  if (accuracy >= 0 && accuracy < american::kAccuracyCount) return true;
  PyErr_Format(PyExc_ValueError, "accuracy must be 0 (fast), 1 (accurate) or 2 (high), not %d",
               accuracy);
  return false;
}

// The American quantity of each whole-book quantity index, or -1 where
// American exercise has none.
int AmericanQuantity(int index) {
  switch (index) {
    case Index::price:
      return american::kPrice;
    case Index::delta:
      return american::kDelta;
    case Index::gamma:
      return american::kGamma;
    case Index::theta:
      return american::kTheta;
    case Index::vega:
      return american::kVega;
    case Index::rho:
      return american::kRho;
    case Index::dual_delta:
      return american::kDualDelta;
    case Index::dual_gamma:
      return american::kDualGamma;
    default:
      return -1;
  }
}

PyObject* AmericanGreeksBody(PyObject* args) {
  int model, accuracy, threads;
  PyObject *quantities, *outs, *thread_count, *objects[kInputs];
  if (!PyArg_ParseTuple(args, "iiOOOOOOOOOO:american_greeks", &model, &accuracy, &quantities,
                        &objects[0], &objects[1], &objects[2], &objects[3], &objects[4],
                        &objects[5], &objects[6], &outs, &thread_count)) {
    return nullptr;
  }
  if (!CheckModel(model) || !CheckAccuracy(accuracy) || !ReadThreads(thread_count, &threads)) {
    return nullptr;
  }
  const auto call = std::make_unique<GreeksCall>();
  int (&indices)[kMaxOutputs] = call->indices;
  Py_ssize_t count;
  if (!ReadQuantities(quantities, indices, &count)) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const int mapped = AmericanQuantity(indices[i]);
    if (mapped < 0) {
      PyErr_Format(PyExc_ValueError, "quantity index %d has no American value", indices[i]);
      return nullptr;
    }
    indices[i] = mapped;
  }
  if (!TakeGreeksBuffers(objects, outs, count, call.get())) return nullptr;
  const AmericanJob job{static_cast<american::Model>(model),
                        static_cast<american::Accuracy>(accuracy), static_cast<int>(count), indices,
                        call->out_data};
  const Layout& layout = call->layout;
  if (count > 0 && !WithoutGil([&](const StopCheck& check) {
        return RunAmerican(job, layout, threads, check);
      })) {
    return nullptr;  // a signal handler raised
  }
  Py_RETURN_NONE;
}

PyObject* AmericanIvBody(PyObject* args) {
  int model, accuracy, threads;
  PyObject *out_object, *status_object, *thread_count, *objects[kInputs];
  if (!PyArg_ParseTuple(args, "iiOOOOOOOOOO:american_implied_volatility", &model, &accuracy,
                        &objects[0], &objects[1], &objects[2], &objects[3], &objects[4],
                        &objects[5], &objects[6], &out_object, &status_object, &thread_count)) {
    return nullptr;
  }
  if (!CheckModel(model) || !CheckAccuracy(accuracy) || !ReadThreads(thread_count, &threads)) {
    return nullptr;
  }
  const auto call = std::make_unique<IvCall>();
  if (!TakeIvBuffers(objects, out_object, status_object, call.get())) return nullptr;
  const AmericanIvJob job{
      static_cast<american::Model>(model), static_cast<american::Accuracy>(accuracy),
      static_cast<double*>(call->out.view().buf),
      status_object != Py_None ? static_cast<std::int8_t*>(call->status.view().buf) : nullptr};
  const Layout& layout = call->layout;
  if (!WithoutGil(
          [&](const StopCheck& check) { return RunAmericanIv(job, layout, threads, check); })) {
    return nullptr;  // a signal handler raised
  }
  Py_RETURN_NONE;
}

PyObject* AmericanGreeks(PyObject*, PyObject* args) noexcept {
  return Guarded([&] { return AmericanGreeksBody(args); });
}

PyObject* AmericanImpliedVol(PyObject*, PyObject* args) noexcept {
  return Guarded([&] { return AmericanIvBody(args); });
}

PyObject* Greeks(PyObject*, PyObject* args) noexcept {
  return Guarded([&] { return GreeksBody(args); });
}

PyObject* ImpliedVol(PyObject*, PyObject* args) noexcept {
  return Guarded([&] { return ImpliedVolBody(args); });
}

// Which kernels this process runs: the SIMD target, and whether their exp
// and log are the vector ones or the platform's, lane by lane.
PyObject* SimdInfo(PyObject*, PyObject*) noexcept {
  return Guarded([]() -> PyObject* {
    const bool vector = VectorMathInUse();
    return Py_BuildValue("{ssss}", "target", TargetName(ActiveTarget()), "vector_math",
                         vector ? "vector" : "platform");
  });
}

PyMethodDef kMethods[] = {
    {"greeks", Greeks, METH_VARARGS,
     "greeks(model, quantities, flag, X, K, t, r, sigma, q, outs, threads, /)\n--\n\n"
     "Writes each listed quantity (indices into QUANTITIES) of every option into\n"
     "its output buffer. model: 0 bs, 1 bsm, 2 black76. Every input has the\n"
     "outputs' shape (strides may be 0)."},
    {"implied_volatility", ImpliedVol, METH_VARARGS,
     "implied_volatility(model, flag, price, X, K, t, r, q, out, status, threads, method, /)\n"
     "--\n\n"
     "Writes every option's implied volatility into out and, unless status is\n"
     "None, the reason code into status. method: 0 newton (NaN where the scalar\n"
     "function raises), 1 rational."},
    {"flag_codes", FlagCodes, METH_VARARGS,
     "flag_codes(values, out, /)\n--\n\n"
     "Writes 1 (call) or 0 (put) per flag into out (bools; int8 out also gets -1\n"
     "for neither) and returns the position of the first flag that is neither, or\n"
     "-1. values: a C-contiguous buffer of str or bytes items, a NumPy object or\n"
     "StringDType array, or an Arrow text column (__arrow_c_stream__ or\n"
     "__arrow_c_array__). A flag is 'c', 'call', 'p' or 'put' in any case, or a bool."},
    {"simd_info", SimdInfo, METH_NOARGS,
     "simd_info()\n--\n\n"
     "The SIMD target of the kernels this process runs ('baseline', 'avx2',\n"
     "'avx512') and their exp and log: 'vector', or 'platform' (lane by lane)."},
    {"american_greeks", AmericanGreeks, METH_VARARGS,
     "american_greeks(model, accuracy, quantities, flag, X, K, t, r, sigma, q, outs, threads, /)\n"
     "--\n\n"
     "As greeks, for American exercise. accuracy: 0 fast, 1 accurate, 2 high.\n"
     "Only price, delta, gamma, theta, vega, rho, dual_delta and dual_gamma."},
    {"american_implied_volatility", AmericanImpliedVol, METH_VARARGS,
     "american_implied_volatility(model, accuracy, flag, price, X, K, t, r, q, out, status,\n"
     "                            threads, /)\n--\n\n"
     "As implied_volatility, for American exercise; status 8 marks a price below\n"
     "the immediate-exercise value."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_book",
    "Whole-book kernels: many options and quantities per call, off the interpreter lock.",
    0,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The models in their numbering, each as (name, title, underlying, takes q,
// price function): the one list the Python layer takes.
PyObject* ModelRows() {
  Ref rows(PyTuple_New(kModelCount));
  if (!rows) return nullptr;
  for (int m = 0; m < kModelCount; ++m) {
    const ModelRow& row = kModels[m];
    PyObject* item = Py_BuildValue("(sssOs)", row.name, row.title, row.underlying,
                                   row.q ? Py_True : Py_False, row.price);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(rows.get(), m, item);  // steals item
  }
  return rows.release();
}

// The quantities' names in index order: the one list the Python layer takes.
PyObject* QuantityNames() {
  static constexpr const char* kNames[] = {
#define KV_QUANTITY_NAME(name, Routine) #name,
      KV_ALL_QUANTITIES(KV_QUANTITY_NAME)
#undef KV_QUANTITY_NAME
  };
  Ref names(PyTuple_New(std::size(kNames)));
  if (!names) return nullptr;
  for (Py_ssize_t i = 0; i < std::ssize(kNames); ++i) {
    PyObject* name = PyUnicode_FromString(kNames[i]);
    if (name == nullptr) return nullptr;
    PyTuple_SetItem(names.get(), i, name);  // steals name
  }
  return names.release();
}

PyObject* CreateModule() {
  main_thread = FindMainThread();
  // The kernels' one-time checks run here, on the importing thread, and not
  // in the first call, which may come from a thread with a small stack.
  PrepareBookKernels();
  Ref module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  Ref names(QuantityNames());
  if (!names || PyModule_AddObjectRef(module.get(), "QUANTITIES", names.get()) < 0) return nullptr;
  Ref models(ModelRows());
  if (!models || PyModule_AddObjectRef(module.get(), "MODELS", models.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace kv::book

PyMODINIT_FUNC PyInit__book() {
  return kv::Guarded([] { return kv::book::CreateModule(); });
}
