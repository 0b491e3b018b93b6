#include "errors.hpp"

#include "py_ref.hpp"

namespace kv {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code called from Python fails unexpectedly.\n\n"
    "Like SystemExit, it derives from BaseException, so that it will typically "
    "propagate all the way up the stack and make the interpreter exit.";

// Created on first use and kept for the process. A failed creation (deep
// recursion, no memory) is not kept: the next failure tries again. Returns
// nullptr with the interpreter's exception set.
PyObject* PanicExceptionType() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("kestrovane_runtime.PanicException", kPanicDoc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

// Appends `note` to the exception's __notes__, as add_note() does, but
// without calling a method: this runs when calls may be what fails (at the
// recursion limit). Gives up quietly: the exception matters more than its note.
void AddNote(PyObject* exception, std::string_view note) {
  Ref text(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (text) {
    Ref notes(PyObject_GetAttrString(exception, "__notes__"));
    if (!notes) {
      PyErr_Clear();
      notes = Ref(PyList_New(0));
      if (notes && PyObject_SetAttrString(exception, "__notes__", notes.get()) < 0) notes = Ref();
    }
    if (notes && PyList_Check(notes.get())) PyList_Append(notes.get(), text.get());
  }
  PyErr_Clear();
}

// Making the PanicException failed: the error that prevented it (a
// RecursionError, a MemoryError, whatever a replaced __init__ raised) is
// raised instead, carrying the failure's message as a note.
void RaiseInsteadOfPanic(std::string_view message) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    raised = PyObject_CallFunction(PyExc_SystemError, "s#", message.data(),
                                   static_cast<Py_ssize_t>(message.size()));
    if (raised == nullptr) return;  // its own failure is now set
  }
  std::string note = "while raising PanicException: ";
  note += message;
  AddNote(raised, note);
  PyErr_SetRaisedException(raised);
}

// "TypeName: message" of an exception object, for panic messages.
std::string DescribeException(PyObject* exception) {
  std::string out;
  if (exception == nullptr) return "unknown error";
  Ref name(PyType_GetQualName(Py_TYPE(exception)));
  if (name) {
    if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), nullptr)) out = s;
  }
  Ref text(PyObject_Str(exception));
  if (text) {
    if (const char* s = PyUnicode_AsUTF8AndSize(text.get(), nullptr); s && *s) {
      out += out.empty() ? "" : ": ";
      out += s;
    }
  }
  PyErr_Clear();
  return out.empty() ? "unknown error" : out;
}

}  // namespace

void RaisePanic(std::string_view message) {
  PyObject* type = PanicExceptionType();
  if (type == nullptr) return RaiseInsteadOfPanic(message);
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return RaiseInsteadOfPanic(message);
  Ref exception(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!exception) return RaiseInsteadOfPanic(message);
  PyErr_SetObject(type, exception.get());
}

void RaiseApiCallFailed() {
  if (PyErr_Occurred()) PyErr_Print();
  RaisePanic("Python API call failed");
}

void RaisePanicFromPending(std::string_view prefix) {
  Ref pending(PyErr_GetRaisedException());
  std::string message(prefix);
  message += ": ";
  message += DescribeException(pending.get());
  RaisePanic(message);
}

void RaiseCannotConvert(const char* parameter, PyObject* obj, const char* target) {
  Ref name(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", parameter,
               name.get(), target);
}

void WrapArgumentError(const char* parameter) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  Ref original(raised);
  Ref message(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
  if (!message) return;
  Ref wrapped(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!wrapped) return;
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(wrapped.get(), cause);  // steals the new reference
  }
  PyErr_SetRaisedException(wrapped.release());
}

}  // namespace kv
