#include "book_flags.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The code of up to four bytes of text, first lowest, every byte past the
// text zero; `fold` holds 0x20 in each byte inside the text. All the words
// are letters, and OR-ing 0x20 turns a letter's upper case into its lower
// case and nothing else into a letter: a zero inside the text becomes a
// space, a byte of 0x80 or more keeps its top bit. So "CaLL" is a call and
// "cal", "c\0" or "c " are neither. Without branches: calls and puts come in
// random order.
inline std::int8_t CodeOfKey(std::uint32_t key, std::uint32_t fold) {
  const std::uint32_t word = key | fold;
  const bool call = (word == Key("c")) | (word == Key("call"));
  const bool put = (word == Key("p")) | (word == Key("put"));
  return static_cast<std::int8_t>(call - !(call | put));
}

// 0x20 in each nonzero byte of x: the fold of zero-padded text.
inline std::uint32_t FoldOfPadded(std::uint32_t x) {
  return ((((x & 0x7f7f7f7fu) + 0x7f7f7f7fu) | x) & 0x80808080u) >> 2;
}

// The mask of a text's bytes among four, for `size` bytes; none past four,
// so that longer text reads as no word at all.
inline std::uint32_t MaskOfSize(std::int64_t size) {
  const std::int64_t bytes = size < 0 || size > 4 ? 0 : size;
  return static_cast<std::uint32_t>((std::uint64_t{1} << (8 * bytes)) - 1);
}

// The code of `size` bytes of text that may be followed by fewer than three
// readable bytes: read one byte at a time.
inline std::int8_t CodeOfShortText(const std::uint8_t* text, std::int64_t size) {
  const std::uint32_t mask = MaskOfSize(size);
  std::uint32_t key = 0;
  for (std::int64_t i = 0; i < size && i < 4; ++i) key |= std::uint32_t{text[i]} << (8 * i);
  return CodeOfKey(key & mask, 0x20202020u & mask);
}

// The same where four bytes from `text` may be read.
inline std::int8_t CodeOfText4(const std::uint8_t* text, std::int64_t size) {
  std::uint32_t key;
  std::memcpy(&key, text, 4);
  if constexpr (std::endian::native == std::endian::big) key = __builtin_bswap32(key);
  const std::uint32_t mask = MaskOfSize(size);
  return CodeOfKey(key & mask, 0x20202020u & mask);
}

// ---- where the codes go ------------------------------------------------------------

// out holds one byte per flag: bools (format '?', 1 for a call, 0 otherwise)
// or codes (format 'b': 1, 0, or -1 for neither, so that a caller can mark
// bad rows and carry on). Codes are made a block at a time into a small
// buffer that stays in cache, then copied out, the first position of a flag
// that is neither kept.
class Codes {
 public:
  Codes(std::uint8_t* out, Py_ssize_t size, bool signed_codes)
      : out_(out), size_(size), signed_codes_(signed_codes) {}

  Py_ssize_t size() const { return size_; }
  Py_ssize_t first_bad() const { return first_bad_; }

  // Writes the codes of positions [0, count) of a part starting at `start`:
  // fill_block(begin, end, codes) writes the codes of [begin, end) of the
  // part into codes[0, end - begin).
  template <class FillBlock>
  void Fill(Py_ssize_t start, Py_ssize_t count, FillBlock&& fill_block) {
    constexpr Py_ssize_t kBlock = 4096;
    std::int8_t block[kBlock];
    for (Py_ssize_t begin = 0; begin < count; begin += kBlock) {
      const Py_ssize_t n = std::min(count - begin, kBlock);
      fill_block(begin, begin + n, block);
      std::uint8_t* out = out_ + start + begin;
      std::uint8_t bad = 0;
      for (Py_ssize_t j = 0; j < n; ++j) {
        const auto code = static_cast<std::uint8_t>(block[j]);
        out[j] = signed_codes_ ? code : std::uint8_t{code == kCall};
        bad |= code;  // the top bit: -1
      }
      if ((bad & 0x80) && first_bad_ < 0) {
        first_bad_ =
            start + begin + (std::find_if(block, block + n, [](auto c) { return c < 0; }) - block);
      }
    }
  }

  // The same with code_at(i), the code of the part's i-th flag.
  template <class CodeAt>
  void FillEach(Py_ssize_t start, Py_ssize_t count, CodeAt&& code_at) {
    Fill(start, count, [&](Py_ssize_t begin, Py_ssize_t end, std::int8_t* codes) {
      for (Py_ssize_t i = begin; i < end; ++i) codes[i - begin] = code_at(i);
    });
  }

 private:
  std::uint8_t* out_;
  Py_ssize_t size_;
  bool signed_codes_;
  Py_ssize_t first_bad_ = -1;
};

// Runs a loop that touches no Python object without the interpreter lock,
// when it is long enough for that to matter to other threads.
template <class Loop>
void WithoutLock(Py_ssize_t count, Loop&& loop) {
  if (count < (1 << 16)) {
    loop();
    return;
  }
  Py_BEGIN_ALLOW_THREADS loop();
  Py_END_ALLOW_THREADS
}

// ---- NumPy str ('<U', format "Nw") and bytes ('S', format "Ns") arrays --------
// An item is `width` characters of `size` bytes (1 or 4), padded with zeros.
// Its first four characters make the key; past them only padding may follow.
// Items need not be aligned, so characters are copied out.

template <int size>
std::uint32_t CharAt(const char* item, Py_ssize_t j) {
  using Char = std::conditional_t<size == 1, std::uint8_t, std::uint32_t>;
  Char c;
  std::memcpy(&c, item + size * j, size);
  return c;
}

// `width` is a compile-time constant for the usual widths (kWidthAny for the
// rest) so that the loop over an item's characters unrolls.
constexpr int kWidthAny = 0;

template <int size, int fixed>
std::int8_t CodeOfItem(const char* item, Py_ssize_t runtime_width) {
  const Py_ssize_t width = fixed != kWidthAny ? fixed : runtime_width;
  const Py_ssize_t head = width < 4 ? width : 4;
  std::uint32_t key = 0, wide = 0, rest = 0;
  for (Py_ssize_t j = 0; j < head; ++j) {
    const std::uint32_t c = CharAt<size>(item, j);
    wide |= c >> 8;  // a character past one byte is in no word
    key |= (c & 0xffu) << (8 * j);
  }
  for (Py_ssize_t j = 4; j < width; ++j) rest |= CharAt<size>(item, j);
  const std::uint32_t keep = (wide | rest) == 0 ? ~0u : 0u;
  return CodeOfKey(key & keep, FoldOfPadded(key) & keep);
}

template <int size, int fixed>
void FillFixed(const char* items, Py_ssize_t width, Codes& codes) {
  const Py_ssize_t stride = size * (fixed != kWidthAny ? fixed : width);
  WithoutLock(codes.size(), [&] {
    codes.FillEach(0, codes.size(), [&](Py_ssize_t i) {
      return CodeOfItem<size, fixed>(items + stride * i, width);
    });
  });
}

#if defined(__SSE2__)
// str items of 2 to 4 characters, four items at a time: their characters
// narrowed to bytes with saturation (any past 0xff turns 0xff, in no word),
// the four keys then folded and compared at once. The items past the last
// whole 16 bytes are read one at a time.
template <int width>
void FillShortStr(const char* items, Codes& codes) {
  static_assert(width >= 2 && width <= 4);
  constexpr Py_ssize_t kStride = 4 * width;
  const Py_ssize_t n = codes.size();
  const __m128i zero = _mm_setzero_si128();
  const __m128i chars = _mm_srli_si128(_mm_set1_epi32(-1), 4 * (4 - width));  // drop the next item
  const __m128i space = _mm_set1_epi8(0x20), one = _mm_set1_epi32(1);
  const __m128i c = _mm_set1_epi32(Key("c")), call = _mm_set1_epi32(Key("call"));
  const __m128i p = _mm_set1_epi32(Key("p")), put = _mm_set1_epi32(Key("put"));
  const auto item = [&](Py_ssize_t i) {
    return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(items + kStride * i)),
                         chars);
  };
  WithoutLock(n, [&] {
    codes.Fill(0, n, [&](Py_ssize_t begin, Py_ssize_t end, std::int8_t* out) {
      Py_ssize_t i = begin;
      for (; i + 4 <= end && kStride * (i + 3) + 16 <= kStride * n; i += 4) {
        const __m128i keys = _mm_packus_epi16(_mm_packs_epi32(item(i), item(i + 1)),
                                              _mm_packs_epi32(item(i + 2), item(i + 3)));
        const __m128i word =
            _mm_or_si128(keys, _mm_andnot_si128(_mm_cmpeq_epi8(keys, zero), space));
        const __m128i is_call = _mm_or_si128(_mm_cmpeq_epi32(word, c), _mm_cmpeq_epi32(word, call));
        const __m128i is_put = _mm_or_si128(_mm_cmpeq_epi32(word, p), _mm_cmpeq_epi32(word, put));
        // 1 for a call, 0 for a put, -1 (all ones) for neither.
        const __m128i code =
            _mm_or_si128(_mm_and_si128(is_call, one),
                         _mm_xor_si128(_mm_or_si128(is_call, is_put), _mm_set1_epi32(-1)));
        const __m128i bytes = _mm_packs_epi16(_mm_packs_epi32(code, zero), zero);
        const auto four = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes));
        std::memcpy(out + (i - begin), &four, 4);
      }
      for (; i < end; ++i) out[i - begin] = CodeOfItem<4, width>(items + kStride * i, width);
    });
  });
}
#endif

template <int size>
void FillFixedOfWidth(const char* items, Py_ssize_t width, Codes& codes) {
#if defined(__SSE2__)
  if constexpr (size == 4) {
    if (width == 2) return FillShortStr<2>(items, codes);
    if (width == 3) return FillShortStr<3>(items, codes);
    if (width == 4) return FillShortStr<4>(items, codes);
  }
#endif
  switch (width) {
    case 1:
      return FillFixed<size, 1>(items, width, codes);
    case 2:
      return FillFixed<size, 2>(items, width, codes);
    case 3:
      return FillFixed<size, 3>(items, width, codes);
    case 4:
      return FillFixed<size, 4>(items, width, codes);
    case 5:
      return FillFixed<size, 5>(items, width, codes);
    case 8:
      return FillFixed<size, 8>(items, width, codes);
    default:
      return FillFixed<size, kWidthAny>(items, width, codes);
  }
}

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
  const char* items = static_cast<const char*>(view.buf);
  if (kind == 's') {
    FillFixedOfWidth<1>(items, view.itemsize, codes);
  } else {
    FillFixedOfWidth<4>(items, view.itemsize / 4, codes);
  }
  return true;
}

// ---- NumPy object arrays ----------------------------------------------------------

// The code of an item that is no cached object: True and False (Python's or
// NumPy's), or a word as str or bytes; anything else is invalid.
std::int8_t CodeOfObject(PyObject* item, PyObject* np_true, PyObject* np_false) {
  if (item == nullptr) return kInvalid;
  const char* text = nullptr;
  Py_ssize_t size = 0;
  if (PyUnicode_CheckExact(item) || PyUnicode_Check(item)) {
    // The cheapest read the stable ABI offers: an ASCII str hands out its
    // own bytes, NUL-terminated.
    text = PyUnicode_AsUTF8AndSize(item, &size);
  } else if (PyBytes_Check(item)) {
    char* bytes;
    text = PyBytes_AsStringAndSize(item, &bytes, &size) < 0 ? nullptr : bytes;
  } else {
    if (item == Py_True || item == np_true) return kCall;
    if (item == Py_False || item == np_false) return kPut;
    return kInvalid;
  }
  if (text == nullptr) {  // a lone surrogate has no UTF-8: not a flag either
    PyErr_Clear();
    return kInvalid;
  }
  return CodeOfShortText(reinterpret_cast<const std::uint8_t*>(text), size);
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

// Columns hold few distinct objects, often the same ones over and over: the
// codes of recently seen objects are kept in a small table indexed by their
// address. The array holds every item for the whole loop, which runs no
// Python code, so an address names one object throughout.
class ObjectCache {
 public:
  std::int8_t CodeOf(PyObject* item, PyObject* np_true, PyObject* np_false) {
    const std::size_t slot = (reinterpret_cast<std::uintptr_t>(item) >> 4) % kSlots;
    if (seen_[slot] == item) return code_[slot];
    const std::int8_t code = CodeOfObject(item, np_true, np_false);
    seen_[slot] = item, code_[slot] = code;
    return code;
  }

 private:
  static constexpr std::size_t kSlots = 61;  // prime: addresses step by 16s
  PyObject* seen_[kSlots] = {};
  std::int8_t code_[kSlots] = {};
};

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
  ObjectCache cache;
  codes.FillEach(0, codes.size(), [&](Py_ssize_t i) {
    return cache.CodeOf(items[i], np_true.get(), np_false.get());
  });
  return true;
}

// ---- NumPy StringDType arrays, through NumPy's own string API --------------------
// The packed strings are read by NpyString_load under the array's allocator;
// their layout is NumPy's own business.

struct StaticString {
  std::size_t size;
  const char* buf;
};
using AcquireAllocator = void* (*)(PyObject * descr);
using LoadString = int (*)(void* allocator, const void* packed, StaticString* out);
using ReleaseAllocator = void (*)(void* allocator);
using FeatureVersion = unsigned int (*)();

// Slots of NumPy's C API table (NumPy 2.0 and later).
constexpr int kFeatureVersionSlot = 211;
constexpr int kLoadSlot = 313;
constexpr int kAcquireSlot = 316;
constexpr int kReleaseSlot = 318;
constexpr unsigned int kNumpy2Api = 0x12;

void* const* NumpyApi() {
  Ref module(PyImport_ImportModule("numpy._core._multiarray_umath"));
  if (!module) return nullptr;
  Ref capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  auto* api = static_cast<void* const*>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (api == nullptr) return nullptr;
  if (reinterpret_cast<FeatureVersion>(api[kFeatureVersionSlot])() < kNumpy2Api) {
    PyErr_SetString(PyExc_TypeError, "flag: NumPy strings need NumPy 2");
    return nullptr;
  }
  return api;  // the table lives as long as NumPy, which is never unloaded
}

// While the allocator is held, equal packed bytes are one string (in line,
// or the same place in the array's arena), so the codes of recently seen
// packed strings are kept by their 16 bytes: a column of a few words costs
// a comparison per item, not a call into NumPy. (Equal strings whose packed
// bytes differ are merely read again.)
class PackedCache {
 public:
  template <class Load>
  std::int8_t CodeOf(const char* packed, Load&& load) {
    std::uint64_t half[2];
    std::memcpy(half, packed, 16);
    const std::size_t slot = ((half[0] ^ half[1]) * 0x9e3779b97f4a7c15u) >> 61;
    if (used_[slot] && low_[slot] == half[0] && high_[slot] == half[1]) return code_[slot];
    const std::int8_t code = load();
    used_[slot] = true, low_[slot] = half[0], high_[slot] = half[1], code_[slot] = code;
    return code;
  }

 private:
  static constexpr std::size_t kSlots = 8;  // the top three bits of the hash
  std::uint64_t low_[kSlots] = {}, high_[kSlots] = {};
  std::int8_t code_[kSlots] = {};
  bool used_[kSlots] = {};
};

// values: a C-contiguous NumPy array of StringDType (checked by the caller's
// caller, the library, and again here through its interface).
bool ReadNumpyStrings(PyObject* values, Codes& codes) {
  if (!IsNumpyArray(values)) return false;
  Ref interface(PyObject_GetAttrString(values, "__array_interface__"));
  if (!interface) return false;
  PyObject* data = PyDict_GetItemString(interface.get(), "data");  // borrowed
  PyObject* strides = PyDict_GetItemString(interface.get(), "strides");
  Ref descr(PyObject_GetAttrString(values, "dtype"));
  Ref itemsize(descr ? PyObject_GetAttrString(descr.get(), "itemsize") : nullptr);
  Ref size(PyObject_GetAttrString(values, "size"));
  if (!itemsize || !size) return false;
  if (data == nullptr || !PyTuple_Check(data) || PyTuple_Size(data) < 1 ||
      (strides != nullptr && strides != Py_None) || PyLong_AsSsize_t(itemsize.get()) != 16 ||
      PyLong_AsSsize_t(size.get()) != codes.size()) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_ValueError, "flag: expected a C-contiguous array, one flag per byte");
    }
    return false;
  }
  const auto* items = static_cast<const char*>(PyLong_AsVoidPtr(PyTuple_GetItem(data, 0)));
  if (items == nullptr && PyErr_Occurred()) return false;
  void* const* api = NumpyApi();
  if (api == nullptr) return false;
  const auto acquire = reinterpret_cast<AcquireAllocator>(api[kAcquireSlot]);
  const auto load = reinterpret_cast<LoadString>(api[kLoadSlot]);
  const auto release = reinterpret_cast<ReleaseAllocator>(api[kReleaseSlot]);
  void* allocator = acquire(descr.get());
  PackedCache cache;
  codes.FillEach(0, codes.size(), [&](Py_ssize_t i) {
    const char* packed = items + 16 * i;
    return cache.CodeOf(packed, [&] {
      StaticString text{0, nullptr};
      // 1: a missing string; -1: unreadable. Neither is a flag.
      if (load(allocator, packed, &text) != 0 || text.buf == nullptr) return kInvalid;
      return CodeOfShortText(reinterpret_cast<const std::uint8_t*>(text.buf),
                             static_cast<std::int64_t>(text.size));
    });
  });
  release(allocator);
  return true;
}

// ---- Arrow columns through the C data and C stream interfaces -------------------
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

bool BadArray(const char* what) {
  PyErr_Format(PyExc_ValueError, "flag: malformed Arrow column (%s)", what);
  return false;
}

// The validity bit of position i (offset included), or true without a bitmap.
class Validity {
 public:
  explicit Validity(const ArrowArray& a)
      : bits_(a.null_count != 0 ? static_cast<const std::uint8_t*>(a.buffers[0]) : nullptr),
        offset_(a.offset) {}
  bool any_null() const { return bits_ != nullptr; }
  bool operator()(std::int64_t i) const {
    const std::int64_t at = offset_ + i;
    return (bits_[at >> 3] >> (at & 7)) & 1;
  }

 private:
  const std::uint8_t* bits_;
  std::int64_t offset_;
};

template <class Offset>
Offset OffsetAt(const void* offsets, std::int64_t at) {
  Offset value;
  std::memcpy(&value, static_cast<const Offset*>(offsets) + at, sizeof value);
  return value;
}

// code_at(i) for a text array's i-th string; a null is invalid. Strings of
// the usual layout are read four bytes at a time where the data goes on that
// far (its end is the last offset; nothing past it is read).
template <class Offset, class Valid>
auto OffsetsCodes(const ArrowArray& a, Valid valid) {
  const auto* data = static_cast<const std::uint8_t*>(a.buffers[2]);
  const void* offsets = a.buffers[1];
  const std::int64_t end_of_data = OffsetAt<Offset>(offsets, a.offset + a.length);
  return [=](std::int64_t i) {
    const std::int64_t at = a.offset + i;
    const std::int64_t begin = OffsetAt<Offset>(offsets, at);
    const std::int64_t size = OffsetAt<Offset>(offsets, at + 1) - begin;
    std::int8_t code = kInvalid;
    if (begin >= 0 && begin + 4 <= end_of_data) {
      code = CodeOfText4(data + begin, size);
    } else if (begin >= 0 && size <= end_of_data - begin) {  // the last few bytes
      code = CodeOfShortText(data + begin, size);
    }
    return valid(i) ? code : kInvalid;
  };
}

// 16 bytes per string: its length, then up to 12 bytes in line; a longer
// string is no flag, and its bytes elsewhere are not read.
template <class Valid>
auto ViewsCodes(const ArrowArray& a, Valid valid) {
  const auto* views = static_cast<const std::uint8_t*>(a.buffers[1]) + 16 * a.offset;
  return [=](std::int64_t i) {
    std::int32_t size;
    std::memcpy(&size, views + 16 * i, 4);
    const std::int8_t code = CodeOfText4(views + 16 * i + 4, size);
    return valid(i) ? code : kInvalid;
  };
}

bool CheckText(const ArrowArray& a, TextLayout layout) {
  if (a.length < 0 || a.offset < 0) return BadArray("negative length or offset");
  const std::int64_t needed = layout == TextLayout::kViews ? 2 : 3;
  if (a.length > 0 && (a.n_buffers < needed || a.buffers == nullptr || a.buffers[1] == nullptr ||
                       (layout != TextLayout::kViews && a.buffers[2] == nullptr))) {
    return BadArray("missing buffers");
  }
  if (a.length > 0 && a.null_count != 0 && a.buffers[0] == nullptr && a.null_count > 0) {
    return BadArray("nulls without a validity bitmap");
  }
  return true;
}

// Calls fill(code_at) with the codes of a text array, its nulls invalid.
template <class Fill>
void WithTextCodes(const ArrowArray& a, TextLayout layout, Fill&& fill) {
  const Validity validity(a);
  const auto all = [](std::int64_t) { return true; };
  const bool nulls = validity.any_null();
  switch (layout) {
    case TextLayout::kOffsets32:
      return nulls ? fill(OffsetsCodes<std::int32_t>(a, validity))
                   : fill(OffsetsCodes<std::int32_t>(a, all));
    case TextLayout::kOffsets64:
      return nulls ? fill(OffsetsCodes<std::int64_t>(a, validity))
                   : fill(OffsetsCodes<std::int64_t>(a, all));
    default:
      return nulls ? fill(ViewsCodes(a, validity)) : fill(ViewsCodes(a, all));
  }
}

template <class T>
std::uint64_t IndexOf(const void* base, std::int64_t at) {
  T value;
  std::memcpy(&value, static_cast<const T*>(base) + at, sizeof value);
  // A negative index turns huge, so that one test catches both ends.
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

// code_at(i) of a dictionary column: its words' codes looked up by index,
// one past the end (a null, or an index out of range) reading invalid.
template <class T, class Valid>
auto IndexCodes(const ArrowArray& a, const std::vector<std::int8_t>& table, Valid valid) {
  const void* indices = a.buffers[1];
  const std::uint64_t words = table.size() - 1;
  const std::int8_t* codes = table.data();
  return [=](std::int64_t i) {
    const std::uint64_t index = IndexOf<T>(indices, a.offset + i);
    const std::int8_t code = codes[index < words ? index : words];
    return valid(i) ? code : kInvalid;
  };
}

template <class Fill, class Valid>
void WithIndexCodes(const ArrowArray& a, char type, const std::vector<std::int8_t>& table,
                    Valid valid, Fill&& fill) {
  switch (type) {
    case 'c':
      return fill(IndexCodes<std::int8_t>(a, table, valid));
    case 'C':
      return fill(IndexCodes<std::uint8_t>(a, table, valid));
    case 's':
      return fill(IndexCodes<std::int16_t>(a, table, valid));
    case 'S':
      return fill(IndexCodes<std::uint16_t>(a, table, valid));
    case 'i':
      return fill(IndexCodes<std::int32_t>(a, table, valid));
    case 'I':
      return fill(IndexCodes<std::uint32_t>(a, table, valid));
    case 'l':
      return fill(IndexCodes<std::int64_t>(a, table, valid));
    default:  // an index past int64 is out of range anyway
      return fill(IndexCodes<std::uint64_t>(a, table, valid));
  }
}

bool ChunkCodes(const ArrowSchema& schema, const ArrowArray& a, Codes& codes, Py_ssize_t start) {
  if (a.length < 0 || a.length > codes.size() - start) {
    PyErr_SetString(PyExc_ValueError, "flag: the Arrow column is longer than out");
    return false;
  }
  const auto fill = [&](auto code_at) {
    WithoutLock(a.length, [&] { codes.FillEach(start, a.length, code_at); });
  };
  if (schema.dictionary == nullptr) {
    const TextLayout layout = LayoutOf(schema.format);
    if (!CheckText(a, layout)) return false;
    if (a.length > 0) WithTextCodes(a, layout, fill);
    return true;
  }
  const ArrowArray* words = a.dictionary;
  if (words == nullptr || a.n_buffers < 2 || a.buffers == nullptr ||
      (a.length > 0 && a.buffers[1] == nullptr) ||
      (a.null_count != 0 && a.length > 0 && a.buffers[0] == nullptr && a.null_count > 0)) {
    return BadArray("a dictionary column without its dictionary or indices");
  }
  const TextLayout layout = LayoutOf(schema.dictionary->format);
  if (!CheckText(*words, layout)) return false;
  // The words' codes once, then one more for a null or an index out of range.
  std::vector<std::int8_t> table(static_cast<std::size_t>(words->length) + 1, kInvalid);
  if (words->length > 0) {
    WithTextCodes(*words, layout, [&](auto code_at) {
      for (std::int64_t i = 0; i < words->length; ++i) table[i] = code_at(i);
    });
  }
  if (a.length == 0) return true;
  const Validity validity(a);
  const auto all = [](std::int64_t) { return true; };
  if (validity.any_null()) {
    WithIndexCodes(a, schema.format[0], table, validity, fill);
  } else {
    WithIndexCodes(a, schema.format[0], table, all, fill);
  }
  return true;
}

// The format check shared by both interfaces: text, or a dictionary of text
// with integer indices.
bool CheckSchema(const ArrowSchema& s) {
  const char* text_format = s.dictionary != nullptr ? s.dictionary->format : s.format;
  const bool index_ok = s.dictionary == nullptr ||
                        (s.format != nullptr && s.format[0] != '\0' && s.format[1] == '\0' &&
                         std::strchr("cCsSiIlL", s.format[0]) != nullptr);
  if (LayoutOf(text_format) == TextLayout::kNone || !index_ok) {
    PyErr_Format(PyExc_TypeError, "flag: expected an Arrow column of text, got format '%s'",
                 s.format != nullptr ? s.format : "");
    return false;
  }
  return true;
}

bool StreamError(ArrowArrayStream* stream, int errcode) {
  const char* message =
      stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
  PyErr_Format(PyExc_ValueError, "flag: reading the Arrow column failed (%s)",
               message != nullptr ? message : std::strerror(errcode));
  return false;
}

bool ShortColumn(Py_ssize_t done, const Codes& codes) {
  if (done == codes.size()) return true;
  PyErr_SetString(PyExc_ValueError, "flag: the Arrow column is shorter than out");
  return false;
}

bool ReadArrowStream(PyObject* values, Codes& codes) {
  Ref capsule(PyObject_CallMethod(values, "__arrow_c_stream__", nullptr));
  if (!capsule) return false;
  auto* stream =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (stream == nullptr) return false;
  if (stream->release == nullptr) return BadArray("a released stream");
  Released<ArrowSchema> schema;
  if (const int err = stream->get_schema(stream, &schema.value)) return StreamError(stream, err);
  if (!CheckSchema(schema.value)) return false;
  Py_ssize_t done = 0;
  for (;;) {
    Released<ArrowArray> chunk;
    if (const int err = stream->get_next(stream, &chunk.value)) return StreamError(stream, err);
    if (chunk.value.release == nullptr) break;  // the end of the stream
    if (!ChunkCodes(schema.value, chunk.value, codes, done)) return false;
    done += static_cast<Py_ssize_t>(chunk.value.length);
  }
  return ShortColumn(done, codes);
}

// One array (a pyarrow Array, say): a schema capsule and an array capsule.
bool ReadArrowArray(PyObject* values, Codes& codes) {
  Ref pair(PyObject_CallMethod(values, "__arrow_c_array__", nullptr));
  if (!pair) return false;
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
    PyErr_SetString(PyExc_TypeError, "flag: __arrow_c_array__ must return two capsules");
    return false;
  }
  auto* schema = static_cast<ArrowSchema*>(
      PyCapsule_GetPointer(PyTuple_GetItem(pair.get(), 0), "arrow_schema"));
  if (schema == nullptr) return false;
  auto* array =
      static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GetItem(pair.get(), 1), "arrow_array"));
  if (array == nullptr) return false;
  if (schema->release == nullptr || array->release == nullptr) return BadArray("released");
  if (!CheckSchema(*schema) || !ChunkCodes(*schema, *array, codes, 0)) return false;
  return ShortColumn(static_cast<Py_ssize_t>(array->length), codes);
}

// Whether values is a NumPy array of StringDType (kind 'T'), which exports no
// buffer.
bool IsNumpyStrings(PyObject* values) {
  if (!PyObject_HasAttrString(values, "dtype") ||
      !PyObject_HasAttrString(values, "__array_interface__")) {
    return false;
  }
  Ref dtype(PyObject_GetAttrString(values, "dtype"));
  Ref kind(dtype ? PyObject_GetAttrString(dtype.get(), "kind") : nullptr);
  if (!kind) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "T") == 0;
}

PyObject* FlagCodesBody(PyObject* args) {
  PyObject *values, *out_object;
  if (!PyArg_ParseTuple(args, "OO:flag_codes", &values, &out_object)) return nullptr;
  HeldBuffer out;
  if (!out.Take(out_object, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return nullptr;
  const char* out_format = out.view.format != nullptr ? out.view.format : "B";
  const bool signed_codes = std::strcmp(out_format, "b") == 0;
  if (out.view.itemsize != 1 || (!signed_codes && std::strcmp(out_format, "?") != 0)) {
    PyErr_SetString(PyExc_TypeError, "out: expected 1-byte items, bools or int8 codes");
    return nullptr;
  }
  Codes codes(static_cast<std::uint8_t*>(out.view.buf), out.view.len, signed_codes);
  bool done;
  if (IsNumpyStrings(values)) {
    done = ReadNumpyStrings(values, codes);
  } else if (PyObject_CheckBuffer(values)) {
    HeldBuffer view;
    if (!view.Take(values, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return nullptr;
    const char* format = view.view.format != nullptr ? view.view.format : "B";
    done = std::strcmp(format, "O") == 0 ? ReadObjects(values, view.view, codes)
                                         : ReadFixedWidth(view.view, codes);
  } else if (PyObject_HasAttrString(values, "__arrow_c_stream__")) {
    done = ReadArrowStream(values, codes);
  } else if (PyObject_HasAttrString(values, "__arrow_c_array__")) {
    done = ReadArrowArray(values, codes);
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
