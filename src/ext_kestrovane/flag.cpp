#include "flag.hpp"

#include <cstdio>
#include <string>

#include "../ext_common/errors.hpp"
#include "../ext_common/py_ref.hpp"

namespace kv {
namespace {

void AppendUtf8(std::string& out, Py_UCS4 cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Whether a non-ASCII character is written as-is inside the quotes: it must
// be printable and not combining, as the interpreter's own Unicode database
// says (str.isprintable; categories Mn and Me, or a combining class). The
// unicodedata module is imported on the first non-ASCII character only, and
// whatever sits under that name in sys.modules is not trusted to return a
// str. Returns -1 with an exception set if the interpreter fails.
int ShowsLiterally(Ref& unicodedata, Py_UCS4 cp) {
  Ref ch(PyUnicode_FromOrdinal(static_cast<int>(cp)));
  if (!ch) return -1;
  Ref printable(PyObject_CallMethod(ch.get(), "isprintable", nullptr));
  if (!printable) return -1;
  const int is_printable = PyObject_IsTrue(printable.get());
  if (is_printable <= 0) return is_printable;
  if (!unicodedata) {
    unicodedata = Ref(PyImport_ImportModule("unicodedata"));
    if (!unicodedata) return -1;
  }
  Ref category(PyObject_CallMethod(unicodedata.get(), "category", "O", ch.get()));
  if (!category) return -1;
  if (!PyUnicode_Check(category.get())) {
    PyErr_SetString(PyExc_TypeError, "unicodedata.category() did not return a str");
    return -1;
  }
  if (PyUnicode_CompareWithASCIIString(category.get(), "Mn") == 0 ||
      PyUnicode_CompareWithASCIIString(category.get(), "Me") == 0) {
    return 0;
  }
  Ref combining(PyObject_CallMethod(unicodedata.get(), "combining", "O", ch.get()));
  if (!combining) return -1;
  const long cls = PyLong_AsLong(combining.get());
  if (cls == -1 && PyErr_Occurred()) return -1;
  return cls == 0 ? 1 : 0;
}

void AppendCodePointEscape(std::string& out, Py_UCS4 cp) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(cp));
  out += buffer;
}

// Appends one character as it stands inside the double quotes of the message.
bool AppendQuoted(std::string& out, Ref& unicodedata, Py_UCS4 cp) {
  switch (cp) {
    case '"':
      out += "\\\"";
      return true;
    case '\\':
      out += "\\\\";
      return true;
    case '\t':
      out += "\\t";
      return true;
    case '\r':
      out += "\\r";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\0':
      out += "\\0";
      return true;
    default:
      break;
  }
  if (cp < 0x80) {
    if (cp >= 0x20 && cp < 0x7F) {
      out += static_cast<char>(cp);
    } else {
      AppendCodePointEscape(out, cp);
    }
    return true;
  }
  const int literal = ShowsLiterally(unicodedata, cp);
  if (literal < 0) return false;
  if (literal) {
    AppendUtf8(out, cp);
  } else {
    AppendCodePointEscape(out, cp);
  }
  return true;
}

}  // namespace

bool ConvertFlag(PyObject* obj, FlagText* out) {
  if (!PyUnicode_Check(obj)) {
    RaiseCannotConvert("flag", obj, "PyString");
    return false;
  }
  out->object = obj;
  out->utf8 = PyUnicode_AsUTF8AndSize(obj, &out->size);
  return out->utf8 != nullptr;
}

void RaiseInvalidFlag(const FlagText& flag) {
  Ref unicodedata;  // imported when first needed
  const Py_ssize_t length = PyUnicode_GetLength(flag.object);
  if (length < 0) return;
  std::string message = "flag must be 'c' or 'p', got \"";
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 cp = PyUnicode_ReadChar(flag.object, i);
    if (cp == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) return;
    if (!AppendQuoted(message, unicodedata, cp)) return;
  }
  message += '"';
  PyErr_SetString(PyExc_ValueError, message.c_str());
}

}  // namespace kv
