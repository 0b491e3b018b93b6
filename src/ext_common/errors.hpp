#pragma once

// How failures cross into the interpreter. Every entry point returns a new
// reference or nullptr with exactly one exception set; unexpected internal
// failures become PanicException, which derives from BaseException so that an
// ordinary `except Exception` does not swallow it.

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

namespace kv {

// Raises PanicException(message). If the class or the instance cannot be
// made, the error that prevented it is raised instead, with the message as a
// note; the process never aborts.
void RaisePanic(std::string_view message);

// The interpreter failed to create an object the call needed: print its
// pending error, then raise PanicException("Python API call failed").
void RaiseApiCallFailed();

// Raises PanicException("<prefix>: <description of the pending error>").
void RaisePanicFromPending(std::string_view prefix);

// argument 'S': '<qualname of obj's type>' object cannot be converted to '<target>'
void RaiseCannotConvert(const char* parameter, PyObject* obj, const char* target);

// Re-raises the pending conversion error of `parameter`: an exact TypeError
// gets the argument's name in front and keeps its __cause__; anything else
// passes through unchanged.
void WrapArgumentError(const char* parameter);

// Runs an entry point's body, turning any C++ exception that escapes it into
// a Python exception: no native failure ever unwinds into the interpreter.
template <class Body>
PyObject* Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    RaisePanic(e.what());
  } catch (...) {
    RaisePanic("unknown native failure");
  }
  return nullptr;
}

// Calls `body` in a frame of its own, never merged into the caller's.
template <class Body>
[[gnu::noinline]] PyObject* OutOfLine(Body&& body) {
  return body();
}

}  // namespace kv
