#include "binding/value.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#include "base/coding.h"

namespace pallix::py {

namespace {

constexpr const char* kDepthMessage = "value nesting exceeds the maximum depth of 128";
constexpr const char* kIntRangeMessage = "int is outside the i64 range (engine Ints are 64-bit)";
constexpr const char* kDictKeyMessage = "dict keys must be strings (engine maps are string-keyed)";
constexpr const char* kVectorTypecodeMessage =
    "vectors must be array('f') (float32); other array typecodes are not engine Vectors";

// array.array and the typecode "f", looked up once per process. (The
// module is imported on first need; a process that replaces sys.modules
// entries afterwards keeps the original type.)
PyObject* g_array_type = nullptr;
PyObject* g_typecode_f = nullptr;

PyObject* ArrayType() {
  if (g_array_type != nullptr) return g_array_type;
  Ref module = Ref::Steal(PyImport_ImportModule("array"));
  if (!module) return nullptr;
  Ref type = Ref::Steal(PyObject_GetAttrString(module.get(), "array"));
  Ref code = Ref::Steal(PyUnicode_FromString("f"));
  if (!type || !code) return nullptr;
  g_typecode_f = code.release();
  g_array_type = type.release();
  return g_array_type;
}

// Widening a float32 to a Python float and narrowing it back, as
// array('f', list) does, quiets a signalling NaN and keeps everything else.
// Applied to raw components so the shortcuts below give the same bits.
float QuietNan(float x) {
  uint32_t bits = std::bit_cast<uint32_t>(x);
  if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0) return std::bit_cast<float>(bits | 0x00400000u);
  return x;
}

// array('f', bytes) reads its bytes in the machine's order; the bytes are
// built with the little-endian helpers, which is that order everywhere the
// module is built.
static_assert(std::endian::native == std::endian::little, "array('f') bytes are built little-endian");

// array.array("f") of `n` components, component(i) giving the i-th.
template <typename Component>
Ref NewFloatArray(size_t n, Component component) {
  PyObject* type = ArrayType();
  if (type == nullptr) return Ref();
  std::string bytes(4 * n, '\0');
  for (size_t i = 0; i < n; ++i) EncodeFloat32LE(bytes.data() + 4 * i, QuietNan(component(i)));
  Ref raw = NewBytes(bytes);
  if (!raw) return Ref();
  return Ref::Steal(PyObject_CallFunctionObjArgs(type, g_typecode_f, raw.get(), nullptr));
}

// Map keys going out. Documents of one collection repeat the same few
// field names, so the str objects of short keys are kept in a small
// direct-mapped cache and shared between the dicts built: a cached key
// costs no allocation, no UTF-8 decoding, and no hashing when it goes into
// a dict (a str keeps its hash). Bounded: kKeySlots entries of at most
// kMaxCachedKey bytes; a colliding key replaces the slot's entry. Only
// valid UTF-8 is ever cached, so a cache miss keeps the exact error path.
// The interpreter lock guards it, like every other object here.
constexpr size_t kKeySlots = 1024;
constexpr size_t kMaxCachedKey = 48;

struct KeySlot {
  std::string bytes;
  PyObject* str = nullptr;  // strong reference, kept for the process's life
};
KeySlot g_key_slots[kKeySlots];

size_t KeySlotOf(std::string_view key) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (char ch : key) h = (h ^ static_cast<uint8_t>(ch)) * 1099511628211ull;
  return static_cast<size_t>(h ^ (h >> 29)) & (kKeySlots - 1);
}

// The cached str of a valid UTF-8 key, or null when it is not cached.
Ref CachedKey(std::string_view key) {
  if (key.size() > kMaxCachedKey) return Ref();
  const KeySlot& slot = g_key_slots[KeySlotOf(key)];
  if (slot.str == nullptr || slot.bytes != key) return Ref();
  return Ref::Borrow(slot.str);
}

// Remembers `str`, the object made from the valid UTF-8 `key`.
void CacheKey(std::string_view key, const Ref& str) {
  if (key.size() > kMaxCachedKey) return;
  KeySlot& slot = g_key_slots[KeySlotOf(key)];
  Py_XDECREF(slot.str);
  slot.bytes.assign(key);
  slot.str = Ref(str).release();
}

// ------------------------------------------------------------ from Python

BResult<Value> VectorFromPy(PyObject* obj, PyObject* array_type) {
  if (Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(array_type)) {
    // The exact type: its buffer format is its typecode, and tolist() is
    // the built-in one, so the components can be read directly.
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return std::unexpected(ErrorFromPyErr());
    bool is_f = view.format != nullptr && std::strcmp(view.format, "f") == 0 && view.itemsize == 4;
    ValueVector v;
    if (is_f) {
      v.resize(static_cast<size_t>(view.len) / 4);
      if (!v.empty()) std::memcpy(v.data(), view.buf, 4 * v.size());
    }
    PyBuffer_Release(&view);
    if (!is_f) return Invalid(kVectorTypecodeMessage);
    for (float& x : v) x = QuietNan(x);
    return Value::Vector(std::move(v));
  }
  // A subclass: read typecode and tolist() through Python, as they may be
  // overridden.
  Ref code = Ref::Steal(PyObject_GetAttrString(obj, "typecode"));
  if (!code) return std::unexpected(ErrorFromPyErr());
  std::string_view text;
  bool is_f = PyUnicode_Check(code.get()) && Utf8View(code.get(), &text) && text == "f";
  if (!is_f) {
    PyErr_Clear();
    return Invalid(kVectorTypecodeMessage);
  }
  Ref list = Ref::Steal(PyObject_CallMethod(obj, "tolist", nullptr));
  if (!list) return std::unexpected(ErrorFromPyErr());
  Ref seq = Ref::Steal(PySequence_List(list.get()));
  if (!seq) return std::unexpected(ErrorFromPyErr());
  ValueVector v;
  for (Py_ssize_t i = 0; i < PyList_Size(seq.get()); ++i) {
    double d = PyFloat_AsDouble(PyList_GetItem(seq.get(), i));
    if (d == -1.0 && PyErr_Occurred()) return std::unexpected(ErrorFromPyErr());
    v.push_back(static_cast<float>(d));
  }
  return Value::Vector(std::move(v));
}

BResult<Value> ArrayFromPy(PyObject* obj, uint32_t depth, bool is_list) {
  ValueArray items;
  Py_ssize_t n = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
  items.reserve(static_cast<size_t>(std::max<Py_ssize_t>(n, 0)));
  // A list is re-measured at every step: converting an element may run
  // user code that shrinks it. Each element is held while converted.
  for (Py_ssize_t i = 0; i < (is_list ? PyList_Size(obj) : n); ++i) {
    Ref item = Ref::Borrow(is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i));
    if (!item) return std::unexpected(ErrorFromPyErr());
    BResult<Value> v = ValueFromPy(item.get(), depth + 1);
    if (!v) return v;
    items.push_back(std::move(*v));
  }
  return Value::Array(std::move(items));
}

BResult<Value> MapFromPy(PyObject* obj, uint32_t depth) {
  ValueMap map;
  map.Reserve(static_cast<size_t>(std::max<Py_ssize_t>(PyDict_Size(obj), 0)));
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(obj, &pos, &k, &v)) {
    Ref key = Ref::Borrow(k), value = Ref::Borrow(v);  // survive user code run below
    std::string_view text;
    if (!PyUnicode_Check(key.get()) || !Utf8View(key.get(), &text)) {
      PyErr_Clear();
      return Invalid(kDictKeyMessage);
    }
    std::string key_text(text);
    BResult<Value> item = ValueFromPy(value.get(), depth + 1);
    if (!item) return item;
    map.AppendUnordered(std::move(key_text), std::move(*item));
  }
  map.Normalize();
  return Value::Map(std::move(map));
}

// Text and bytes longer than the encoding's u32 length are refused before
// they are copied (the engine would refuse them anyway, after a copy of
// 4 GiB or more).
BResult<std::string> FittingCopy(const char* what, const char* data, size_t len) {
  if (len > kMaxEncodedLength) return Invalid(LengthExceeded(what, len, kMaxEncodedLength).detail());
  return std::string(data, len);
}

BResult<Value> UnsupportedKind(PyObject* obj) {
  std::string name = TypeName(Py_TYPE(obj));
  if (name.empty()) return std::unexpected(ErrorFromPyErr());
  return Invalid("unsupported Python value kind: " + name);
}

// ------------------------------------------------------------ to Python

// Decodes stored document bytes into Python objects in one pass. Mirrors
// decode_value (doc/value.cc) step for step, so that every malformed
// input fails with the same message at the same point.
class PyDecoder {
 public:
  explicit PyDecoder(std::string_view in) : in_(in) {}

  // The value, or null: then either error() is set (malformed bytes) or a
  // Python error is.
  Ref Read(uint32_t depth) {
    if (depth > kMaxValueDepth) return Fail("value nests deeper than 128");
    uint8_t tag;
    if (!in_.Byte(tag)) return Eof();
    switch (tag) {
      case 0: return None();
      case 1: {
        uint8_t b;
        if (!in_.Byte(b)) return Eof();
        return NewBool(b != 0);
      }
      case 2:
      case 3: {
        uint64_t bits;
        if (!in_.U64(bits)) return Eof();
        if (tag == 2) return Ref::Steal(PyLong_FromLongLong(static_cast<long long>(bits)));
        return Ref::Steal(PyFloat_FromDouble(std::bit_cast<double>(bits)));
      }
      case 4:
      case 5: {
        uint32_t len;
        std::string_view s;
        if (!in_.U32(len) || !in_.Take(len, s)) return Eof();
        if (tag == 5) return NewBytes(s);
        return Text(s, "invalid utf-8: ");
      }
      case 6: return ReadArray(depth);
      case 7: return ReadMap(depth);
      case 8: return ReadVector();
      default: return Fail("unknown tag " + std::to_string(tag));
    }
  }

  size_t Left() const { return in_.Left(); }
  std::optional<EngineError>& error() { return error_; }

 private:
  Ref Fail(std::string message) {
    error_ = EngineError::Decode(std::move(message));
    return Ref();
  }
  Ref Eof() { return Fail("unexpected end of input"); }

  // A str from UTF-8 bytes; invalid bytes are the decoder's error.
  Ref Text(std::string_view s, const char* context) {
    Ref str = Ref::Steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
    if (str || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return str;
    std::string err = DescribeUtf8Fault(s);
    if (err.empty()) return str;  // not a validity problem: pass it on
    PyErr_Clear();
    return Fail(context + err);
  }

  // A map key: the cached str when there is one, else a new one (cached
  // when valid).
  Ref Key(std::string_view s) {
    Ref cached = CachedKey(s);
    if (cached) return cached;
    Ref str = Text(s, "invalid utf-8 map key: ");
    if (str) CacheKey(s, str);
    return str;
  }

  Ref ReadArray(uint32_t depth) {
    uint32_t count;
    if (!in_.U32(count)) return Eof();
    // Every element takes at least one byte; a larger count is malformed,
    // and must not allocate before the first error is found in order.
    bool sized = count <= Left();
    Ref list = Ref::Steal(PyList_New(sized ? count : 0));
    if (!list) return list;
    for (uint32_t i = 0; i < count; ++i) {
      Ref item = Read(depth + 1);
      if (!item) return item;
      if (sized) {
        PyList_SetItem(list.get(), i, item.release());
      } else if (PyList_Append(list.get(), item.get()) < 0) {
        return Ref();
      }
    }
    return list;
  }

  // Stored maps are in strictly ascending key order, which goes straight
  // into the dict. A map that is not (damaged or hand-made bytes) is read
  // again from its first entry by ReadMapUnordered, which sorts and keeps
  // the last of duplicate keys, as the engine's decoder does.
  Ref ReadMap(uint32_t depth) {
    uint32_t count;
    if (!in_.U32(count)) return Eof();
    size_t first_entry = in_.Mark();
    Ref dict = Ref::Steal(PyDict_New());
    if (!dict) return dict;
    std::string_view prev;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t len;
      std::string_view key;
      if (!in_.U32(len) || !in_.Take(len, key)) return Eof();
      if (i > 0 && !(prev < key)) {
        in_.Rewind(first_entry);
        return ReadMapUnordered(depth, count);
      }
      Ref name = Key(key);
      if (!name) return name;
      Ref value = Read(depth + 1);
      if (!value) return value;
      if (PyDict_SetItem(dict.get(), name.get(), value.get()) < 0) return Ref();
      prev = key;
    }
    return dict;
  }

  Ref ReadMapUnordered(uint32_t depth, uint32_t count) {
    struct Entry {
      std::string_view key;
      Ref name;
      Ref value;
    };
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t len;
      std::string_view key;
      if (!in_.U32(len) || !in_.Take(len, key)) return Eof();
      Ref name = Key(key);
      if (!name) return name;
      Ref value = Read(depth + 1);
      if (!value) return value;
      entries.push_back(Entry{key, std::move(name), std::move(value)});
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    Ref dict = Ref::Steal(PyDict_New());
    if (!dict) return dict;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (i + 1 < entries.size() && entries[i + 1].key == entries[i].key) continue;  // the last one wins
      if (PyDict_SetItem(dict.get(), entries[i].name.get(), entries[i].value.get()) < 0) return Ref();
    }
    return dict;
  }

  Ref ReadVector() {
    uint32_t count;
    if (!in_.U32(count)) return Eof();
    std::string_view data;
    if (!in_.Take(4 * static_cast<size_t>(count), data)) return Eof();
    return NewFloatArray(count, [&](size_t i) { return DecodeFloat32LE(data.data() + 4 * i); });
  }

  ByteCursor in_;
  std::optional<EngineError> error_;
};

}  // namespace

BResult<Value> ValueFromPy(PyObject* obj, uint32_t depth) {
  if (depth > kMaxValueDepth) return Invalid(kDepthMessage);
  if (obj == Py_None) return Value::Null();
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyBool_Type) return Value::Bool(obj == Py_True);
  unsigned long flags = PyType_GetFlags(type);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
    std::string_view text;
    if (!Utf8View(obj, &text)) return std::unexpected(ErrorFromPyErr());
    ASSIGN_OR_RETURN(std::string copy, FittingCopy("text", text.data(), text.size()));
    return Value::Text(std::move(copy));
  }
  if (PyFloat_Check(obj)) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return std::unexpected(ErrorFromPyErr());
    return Value::Float(d);
  }
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return Invalid(kIntRangeMessage);
    }
    return Value::Int(v);
  }
  if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
    char* data;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return std::unexpected(ErrorFromPyErr());
    ASSIGN_OR_RETURN(std::string copy, FittingCopy("bytes", data, static_cast<size_t>(len)));
    return Value::Bytes(std::move(copy));
  }
  if (PyByteArray_Check(obj)) {
    ASSIGN_OR_RETURN(std::string copy, FittingCopy("bytes", PyByteArray_AsString(obj),
                                                   static_cast<size_t>(PyByteArray_Size(obj))));
    return Value::Bytes(std::move(copy));
  }
  // The vector test. Exact lists, tuples and dicts cannot be array.array
  // instances (their __class__ is fixed), so they skip it.
  bool plain = type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type;
  if (!plain) {
    PyObject* array_type = ArrayType();
    if (array_type == nullptr) return std::unexpected(ErrorFromPyErr());
    int is_array = PyObject_IsInstance(obj, array_type);
    if (is_array < 0) return std::unexpected(ErrorFromPyErr());
    if (is_array) return VectorFromPy(obj, array_type);
  }
  if (flags & Py_TPFLAGS_LIST_SUBCLASS) return ArrayFromPy(obj, depth, true);
  if (flags & Py_TPFLAGS_TUPLE_SUBCLASS) return ArrayFromPy(obj, depth, false);
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return MapFromPy(obj, depth);
  return UnsupportedKind(obj);
}

Ref ValueToPy(const Value& value, uint32_t depth) {
  if (depth > kMaxValueDepth) {
    RaiseError(BindingError{kDepthMessage, kInvalidArgumentCode});
    return Ref();
  }
  switch (value.kind()) {
    case ValueKind::kNull: return None();
    case ValueKind::kBool: return NewBool(value.as_bool());
    case ValueKind::kInt: return Ref::Steal(PyLong_FromLongLong(value.as_int()));
    case ValueKind::kFloat: return Ref::Steal(PyFloat_FromDouble(value.as_float()));
    case ValueKind::kText: return NewStr(value.as_text());
    case ValueKind::kBytes: return NewBytes(value.as_bytes());
    case ValueKind::kArray: {
      const ValueArray& items = value.as_array();
      Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) return list;
      for (size_t i = 0; i < items.size(); ++i) {
        Ref item = ValueToPy(items[i], depth + 1);
        if (!item) return item;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
      }
      return list;
    }
    case ValueKind::kMap: {
      Ref dict = Ref::Steal(PyDict_New());
      if (!dict) return dict;
      for (const MapEntry& e : value.as_map()) {
        Ref key = CachedKey(e.key);
        if (!key) {
          key = NewStr(e.key);
          if (key) CacheKey(e.key, key);
        }
        if (!key) return key;
        Ref item = ValueToPy(e.value, depth + 1);
        if (!item) return item;
        if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return Ref();
      }
      return dict;
    }
    case ValueKind::kVector: {
      const ValueVector& v = value.as_vector();
      return NewFloatArray(v.size(), [&](size_t i) { return v[i]; });
    }
  }
  return None();
}

Result<Ref> DocumentToPy(std::string_view stored) {
  PyDecoder decoder(stored);
  Ref obj = decoder.Read(0);
  if (decoder.error()) return Fail(std::move(*decoder.error()));
  if (obj && decoder.Left() > 0)
    return Fail(EngineError::Decode(std::to_string(decoder.Left()) + " trailing byte(s) after value"));
  return obj;
}

Ref DocumentToPyOrRaise(std::string_view stored) {
  Result<Ref> doc = DocumentToPy(stored);
  if (!doc) {
    RaiseError(FromEngineError(doc.error()));
    return Ref();
  }
  return std::move(*doc);
}

BResult<std::string> KeyFromPy(PyObject* obj) {
  unsigned long flags = PyType_GetFlags(Py_TYPE(obj));
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) {
    std::string_view text;
    if (!Utf8View(obj, &text)) return std::unexpected(ErrorFromPyErr());
    return std::string(text);
  }
  if (flags & Py_TPFLAGS_BYTES_SUBCLASS) {
    char* data;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return std::unexpected(ErrorFromPyErr());
    return std::string(data, static_cast<size_t>(len));
  }
  if (PyByteArray_Check(obj))
    return std::string(PyByteArray_AsString(obj), static_cast<size_t>(PyByteArray_Size(obj)));
  return Invalid("keys must be str or bytes");
}

BResult<Metric> ParseMetric(std::string_view name) {
  if (name == "cosine") return Metric::kCosine;
  if (name == "dot") return Metric::kDot;
  if (name == "l2") return Metric::kL2;
  return Invalid("unknown metric '" + std::string(name) + "' (want cosine|dot|l2)");
}

BResult<Quantization> ParseQuant(std::string_view name) {
  if (name == "none") return Quantization::kNone;
  if (name == "binary") return Quantization::kBinary;
  if (name == "scalar") return Quantization::kScalar;
  return Invalid("unknown quantization '" + std::string(name) + "' (want none|binary|scalar)");
}

Ref KeyToPy(std::string_view key) { return IsValidUtf8(key) ? NewStr(key) : NewBytes(key); }

Ref KeysToPyList(const std::vector<std::string>& keys) {
  Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  if (!list) return list;
  for (size_t i = 0; i < keys.size(); ++i) {
    Ref key = KeyToPy(keys[i]);
    if (!key) return key;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), key.release());
  }
  return list;
}

}  // namespace pallix::py
