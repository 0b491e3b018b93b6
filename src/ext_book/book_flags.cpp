#include "book_flags.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <type_traits>
#include <vector>

#include "../ext_common/py_ref.hpp"

namespace kv::book {
namespace {

// What a flag reads as: a call, a put, or neither.
constexpr std::int8_t kPut = 0;
constexpr std::int8_t kCall = 1;
constexpr std::int8_t kInvalid = -1;

// A word of up to four ASCII bytes as one number, its first byte lowest.
constexpr std::uint32_t Key(const char* word) {
  std::uint32_t key = 0;
  for (int i = 0; word[i] != '\0'; ++i) key |= std::uint32_t{std::uint8_t(word[i])} << (8 * i);
  return key;
}

// ASCII upper-case letters to lower case; every other value as it is.
inline std::uint32_t Lower(std::uint32_t c) {
  return c | (std::uint32_t{c - 'A' < 26u} << 5);
}

// Without branches: calls and puts come in random order.
inline std::int8_t CodeOfKey(std::uint32_t key) {
  const bool call = (key == Key("c")) | (key == Key("call"));
  const bool put = (key == Key("p")) | (key == Key("put"));
  return static_cast<std::int8_t>(call - !(call | put));
}

// The words are compared whole, ASCII letters folded to lower case, so that a
// typo such as "cal" or "pt" is refused rather than read by its first letter.
template <class Char>
std::int8_t CodeOfText(const Char* text, Py_ssize_t count) {
  if (count < 1 || count > 4) return kInvalid;
  std::uint32_t key = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const std::uint32_t c = text[i];
    if (c == 0 || c >= 0x80) return kInvalid;
    key |= Lower(c) << (8 * i);
  }
  return CodeOfKey(key);
}

// A NumPy fixed-width item of `width` characters of `size` bytes each (1 or
// 4), padded with zeros. Its first four characters form the key, zeros kept:
// no word has a zero inside, so "c" padded matches "c" and "c\0l" nothing.
// Past four characters only padding may follow. Items need not be aligned,
// so each character is copied out.
template <int size>
std::int8_t CodeOfItem(const char* item, Py_ssize_t width) {
  using Char = std::conditional_t<size == 1, std::uint8_t, std::uint32_t>;
  const Py_ssize_t head = width < 4 ? width : 4;
  std::uint32_t key = 0, any = 0, rest = 0;
  for (Py_ssize_t j = 0; j < head; ++j) {
    Char c;
    std::memcpy(&c, item + size * j, size);
    any |= c;
    key |= Lower(c) << (8 * j);
  }
  for (Py_ssize_t j = 4; j < width; ++j) {
    Char c;
    std::memcpy(&c, item + size * j, size);
    rest |= c;
  }
  return any >= 0x80 || rest != 0 ? kInvalid : CodeOfKey(key);
}

// Collects the codes: 1 or 0 per flag into out, and the first position of one
// that is neither (its byte is left 0).
class Codes {
 public:
  Codes(std::uint8_t* out, Py_ssize_t size) : out_(out), size_(size) {}

  void Put(Py_ssize_t i, std::int8_t code) {
    out_[i] = code == kCall;
    if (code == kInvalid && first_bad_ < 0) first_bad_ = i;
  }
  Py_ssize_t size() const { return size_; }
  Py_ssize_t first_bad() const { return first_bad_; }

 private:
  std::uint8_t* out_;
  Py_ssize_t size_;
  Py_ssize_t first_bad_ = -1;
};

// ---- NumPy str ('<U', format "Nw") and bytes ('S', format "Ns") arrays --------

bool ReadFixedWidth(const Py_buffer& view, Codes& codes) {
  const char* format = view.format != nullptr ? view.format : "B";
  const std::size_t length = std::strlen(format);
  const char kind = length > 0 ? format[length - 1] : '\0';
  const bool foreign_order =
      format[0] == (std::endian::native == std::endian::little ? '>' : '<') || format[0] == '!';
  if ((kind != 'w' && kind != 's') || (kind == 'w' && foreign_order) || view.itemsize < 1 ||
      (kind == 'w' && view.itemsize % 4 != 0)) {
    PyErr_Format(PyExc_TypeError, "flag: expected str or bytes items, got format '%s'", format);
    return false;
  }
  if (view.len / view.itemsize != codes.size()) {
    PyErr_SetString(PyExc_ValueError, "flag: out must have one byte per flag");
    return false;
  }
  const char* item = static_cast<const char*>(view.buf);
  if (kind == 's') {
    for (Py_ssize_t i = 0; i < codes.size(); ++i, item += view.itemsize) {
      codes.Put(i, CodeOfItem<1>(item, view.itemsize));
    }
  } else {
    for (Py_ssize_t i = 0; i < codes.size(); ++i, item += view.itemsize) {
      codes.Put(i, CodeOfItem<4>(item, view.itemsize / 4));
    }
  }
  return true;
}

// ---- NumPy object arrays ----------------------------------------------------------

// The item's code: True and False (Python's or NumPy's), or a word as str or
// bytes; anything else is invalid.
std::int8_t CodeOfObject(PyObject* item, PyObject* np_true, PyObject* np_false) {
  if (item == Py_True || item == np_true) return kCall;
  if (item == Py_False || item == np_false) return kPut;
  if (item != nullptr && PyUnicode_Check(item)) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) {  // a lone surrogate has no UTF-8: not a flag either
      PyErr_Clear();
      return kInvalid;
    }
    return CodeOfText(reinterpret_cast<const std::uint8_t*>(text), size);
  }
  if (item != nullptr && PyBytes_Check(item)) {
    char* text;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(item, &text, &size) < 0) {
      PyErr_Clear();
      return kInvalid;
    }
    return CodeOfText(reinterpret_cast<const std::uint8_t*>(text), size);
  }
  return kInvalid;
}

// Whether values is exactly a NumPy array (not a subclass, nor anything else
// that exports items of format 'O'): only NumPy's own objects are trusted to
// hold object pointers.
bool IsNumpyArray(PyObject* values) {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  Ref ndarray(PyObject_GetAttrString(numpy.get(), "ndarray"));
  if (!ndarray) return false;
  if (reinterpret_cast<PyObject*>(Py_TYPE(values)) == ndarray.get()) return true;
  PyErr_SetString(PyExc_TypeError, "flag: objects are read from a NumPy array only");
  return false;
}

bool ReadObjects(PyObject* values, const Py_buffer& view, Codes& codes) {
  if (!IsNumpyArray(values)) return false;
  if (view.itemsize != sizeof(PyObject*) || view.len / view.itemsize != codes.size()) {
    PyErr_SetString(PyExc_ValueError, "flag: out must have one byte per flag");
    return false;
  }
  PyObject* const* items = static_cast<PyObject* const*>(view.buf);
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  Ref np_true(PyObject_GetAttrString(numpy.get(), "True_"));
  Ref np_false(PyObject_GetAttrString(numpy.get(), "False_"));
  if (!np_true || !np_false) return false;
  // Columns hold few distinct objects, often the same two over and over:
  // the last two seen are kept with their codes, and a hit picks between
  // them without a branch. The array holds every item for the whole loop,
  // which runs no Python code, so an address names one object throughout.
  PyObject* seen[2] = {nullptr, nullptr};
  std::int8_t seen_code[2] = {kInvalid, kInvalid};
  for (Py_ssize_t i = 0; i < codes.size(); ++i) {
    PyObject* item = items[i];
    const bool first = item == seen[0];
    if (item != nullptr && (first | (item == seen[1]))) {
      codes.Put(i, first ? seen_code[0] : seen_code[1]);
      continue;
    }
    seen[1] = seen[0], seen_code[1] = seen_code[0];
    seen[0] = item, seen_code[0] = CodeOfObject(item, np_true.get(), np_false.get());
    codes.Put(i, seen_code[0]);
  }
  return true;
}

// ---- Arrow columns through the C stream interface ------------------------------
// The structures of the Arrow C data interface, as that interface defines them.

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

struct ArrowArrayStream {
  int (*get_schema)(ArrowArrayStream*, ArrowSchema*);
  int (*get_next)(ArrowArrayStream*, ArrowArray*);
  const char* (*get_last_error)(ArrowArrayStream*);
  void (*release)(ArrowArrayStream*);
  void* private_data;
};

// Releases what the producer handed over, on every path.
template <class T>
class Released {
 public:
  Released() = default;
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;
  ~Released() {
    if (value.release != nullptr) value.release(&value);
  }
  T value{};
};

// A buffer view held until the end of the scope.
struct HeldBuffer {
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held) PyBuffer_Release(&view);
  }
  bool Take(PyObject* object, int flags) {
    return held = PyObject_GetBuffer(object, &view, flags) == 0;
  }
  Py_buffer view{};
  bool held = false;
};

enum class TextLayout { kOffsets32, kOffsets64, kViews, kNone };

TextLayout LayoutOf(const char* format) {
  if (format == nullptr) return TextLayout::kNone;
  if (!std::strcmp(format, "u") || !std::strcmp(format, "z")) return TextLayout::kOffsets32;
  if (!std::strcmp(format, "U") || !std::strcmp(format, "Z")) return TextLayout::kOffsets64;
  if (!std::strcmp(format, "vu") || !std::strcmp(format, "vz")) return TextLayout::kViews;
  return TextLayout::kNone;
}

bool IsValid(const ArrowArray& a, std::int64_t i) {
  const auto* bits = static_cast<const std::uint8_t*>(a.buffers[0]);
  if (bits == nullptr) return true;
  const std::int64_t at = a.offset + i;
  return (bits[at >> 3] >> (at & 7)) & 1;
}

bool BadArray(const char* what) {
  PyErr_Format(PyExc_ValueError, "flag: malformed Arrow column (%s)", what);
  return false;
}

// The codes of a text array's strings, in order; a null is invalid.
bool TextCodes(const ArrowArray& a, TextLayout layout, std::int8_t* out) {
  if (a.length < 0 || a.offset < 0) return BadArray("negative length or offset");
  if (a.length == 0) return true;
  const std::int64_t needed = layout == TextLayout::kViews ? 2 : 3;
  if (a.n_buffers < needed || a.buffers == nullptr || a.buffers[1] == nullptr) {
    return BadArray("missing buffers");
  }
  const auto* data =
      static_cast<const std::uint8_t*>(layout == TextLayout::kViews ? nullptr : a.buffers[2]);
  for (std::int64_t i = 0; i < a.length; ++i) {
    if (!IsValid(a, i)) {
      out[i] = kInvalid;
      continue;
    }
    const std::int64_t at = a.offset + i;
    if (layout == TextLayout::kViews) {
      // 16 bytes per string: its length, then up to 12 bytes in line; a
      // longer string is no flag, and its bytes elsewhere are not read.
      const auto* view = static_cast<const std::uint8_t*>(a.buffers[1]) + 16 * at;
      std::int32_t size;
      std::memcpy(&size, view, 4);
      out[i] = size <= 12 ? CodeOfText(view + 4, size) : kInvalid;
      continue;
    }
    std::int64_t begin, end;
    if (layout == TextLayout::kOffsets32) {
      std::int32_t bounds[2];
      std::memcpy(bounds, static_cast<const std::int32_t*>(a.buffers[1]) + at, sizeof bounds);
      begin = bounds[0], end = bounds[1];
    } else {
      std::memcpy(&begin, static_cast<const std::int64_t*>(a.buffers[1]) + at, 8);
      std::memcpy(&end, static_cast<const std::int64_t*>(a.buffers[1]) + at + 1, 8);
    }
    out[i] = data != nullptr && end - begin <= 4 ? CodeOfText(data + begin, end - begin) : kInvalid;
  }
  return true;
}

template <class T>
std::int64_t ReadIndex(const char* base, std::int64_t at) {
  T value;
  std::memcpy(&value, base + at * static_cast<std::int64_t>(sizeof value), sizeof value);
  if constexpr (std::is_signed_v<T>) {
    return value < 0 ? -1 : static_cast<std::int64_t>(value);
  } else {  // an index past int64 is out of range anyway
    return static_cast<std::uint64_t>(value) > std::uint64_t{INT64_MAX}
               ? -1
               : static_cast<std::int64_t>(value);
  }
}

// A dictionary's index at position i, or -1 where it is null.
std::int64_t IndexAt(const ArrowArray& a, char type, std::int64_t i) {
  if (!IsValid(a, i)) return -1;
  const char* base = static_cast<const char*>(a.buffers[1]);
  const std::int64_t at = a.offset + i;
  switch (type) {
    case 'c':
      return ReadIndex<std::int8_t>(base, at);
    case 'C':
      return ReadIndex<std::uint8_t>(base, at);
    case 's':
      return ReadIndex<std::int16_t>(base, at);
    case 'S':
      return ReadIndex<std::uint16_t>(base, at);
    case 'i':
      return ReadIndex<std::int32_t>(base, at);
    case 'I':
      return ReadIndex<std::uint32_t>(base, at);
    case 'l':
      return ReadIndex<std::int64_t>(base, at);
    default:
      return ReadIndex<std::uint64_t>(base, at);
  }
}

bool ChunkCodes(const ArrowSchema& schema, const ArrowArray& a, Codes& codes, Py_ssize_t start) {
  if (a.length < 0 || a.length > codes.size() - start) {
    PyErr_SetString(PyExc_ValueError, "flag: the Arrow column is longer than out");
    return false;
  }
  std::vector<std::int8_t> chunk(static_cast<std::size_t>(a.length));
  if (schema.dictionary == nullptr) {
    if (!TextCodes(a, LayoutOf(schema.format), chunk.data())) return false;
  } else {
    const ArrowArray* words = a.dictionary;
    if (words == nullptr || a.n_buffers < 2 || a.buffers == nullptr ||
        (a.length > 0 && a.buffers[1] == nullptr)) {
      return BadArray("a dictionary column without its dictionary or indices");
    }
    std::vector<std::int8_t> table(static_cast<std::size_t>(words->length < 0 ? 0 : words->length));
    if (!TextCodes(*words, LayoutOf(schema.dictionary->format), table.data())) return false;
    for (std::int64_t i = 0; i < a.length; ++i) {
      const std::int64_t index = IndexAt(a, schema.format[0], i);
      chunk[i] = index >= 0 && index < words->length ? table[index] : kInvalid;
    }
  }
  for (std::int64_t i = 0; i < a.length; ++i) codes.Put(start + i, chunk[i]);
  return true;
}

bool StreamError(ArrowArrayStream* stream, int errcode) {
  const char* message =
      stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
  PyErr_Format(PyExc_ValueError, "flag: reading the Arrow column failed (%s)",
               message != nullptr ? message : std::strerror(errcode));
  return false;
}

bool ReadArrow(PyObject* values, Codes& codes) {
  Ref capsule(PyObject_CallMethod(values, "__arrow_c_stream__", nullptr));
  if (!capsule) return false;
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (stream == nullptr) return false;
  if (stream->release == nullptr) return BadArray("a released stream");
  Released<ArrowSchema> schema;
  if (const int err = stream->get_schema(stream, &schema.value)) return StreamError(stream, err);
  const ArrowSchema& s = schema.value;
  const char* text_format = s.dictionary != nullptr ? s.dictionary->format : s.format;
  const bool index_ok = s.dictionary == nullptr ||
                        (s.format != nullptr && s.format[0] != '\0' && s.format[1] == '\0' &&
                         std::strchr("cCsSiIlL", s.format[0]) != nullptr);
  if (LayoutOf(text_format) == TextLayout::kNone || !index_ok) {
    PyErr_Format(PyExc_TypeError, "flag: expected an Arrow column of text, got format '%s'",
                 s.format != nullptr ? s.format : "");
    return false;
  }
  Py_ssize_t done = 0;
  for (;;) {
    Released<ArrowArray> chunk;
    if (const int err = stream->get_next(stream, &chunk.value)) return StreamError(stream, err);
    if (chunk.value.release == nullptr) break;  // the end of the stream
    if (!ChunkCodes(s, chunk.value, codes, done)) return false;
    done += static_cast<Py_ssize_t>(chunk.value.length);
  }
  if (done != codes.size()) {
    PyErr_SetString(PyExc_ValueError, "flag: the Arrow column is shorter than out");
    return false;
  }
  return true;
}

PyObject* FlagCodesBody(PyObject* args) {
  PyObject *values, *out_object;
  if (!PyArg_ParseTuple(args, "OO:flag_codes", &values, &out_object)) return nullptr;
  HeldBuffer out;
  if (!out.Take(out_object, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) return nullptr;
  if (out.view.itemsize != 1) {
    PyErr_SetString(PyExc_TypeError, "out: expected 1-byte items");
    return nullptr;
  }
  Codes codes(static_cast<std::uint8_t*>(out.view.buf), out.view.len);
  bool done;
  if (PyObject_CheckBuffer(values)) {
    HeldBuffer view;
    if (!view.Take(values, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return nullptr;
    const char* format = view.view.format != nullptr ? view.view.format : "B";
    done = std::strcmp(format, "O") == 0 ? ReadObjects(values, view.view, codes)
                                         : ReadFixedWidth(view.view, codes);
  } else if (PyObject_HasAttrString(values, "__arrow_c_stream__")) {
    done = ReadArrow(values, codes);
  } else {
    PyErr_SetString(PyExc_TypeError,
                    "flag: expected a buffer of str, bytes or objects, or an Arrow text column");
    return nullptr;
  }
  return done ? PyLong_FromSsize_t(codes.first_bad()) : nullptr;
}

}  // namespace

PyObject* FlagCodes(PyObject*, PyObject* args) noexcept {
  try {
    return FlagCodesBody(args);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal failure: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal failure");
  }
  return nullptr;
}

}  // namespace kv::book
