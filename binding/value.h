// Conversions between Python objects and engine values and keys.
//
//   Value kind   from Python                         to Python
//   Null         None                                None
//   Bool         bool (tested before int)            bool
//   Int          int and subclasses, i64 range       int
//   Float        float and subclasses                float
//   Text         str and subclasses (UTF-8)          str
//   Bytes        bytes, bytearray and subclasses     bytes
//   Array        list, tuple and subclasses          list
//   Map          dict and subclasses, str keys       dict, keys in bytewise order
//   Vector       array.array with typecode "f"       array.array("f")
//
// A value may sit inside at most 128 containers, both ways. A text or
// bytes longer than 2^32 - 1 bytes is refused going in (the encoding's u32
// length), before it is copied.
//
// Reads do not go through Value at all: DocumentToPy decodes stored
// document bytes straight into Python objects, with the same results and
// the same Decode errors as decode_value followed by ValueToPy.
//
// Thread-safety: requires the interpreter lock.

#ifndef PALLIX_BINDING_VALUE_H_
#define PALLIX_BINDING_VALUE_H_

#include <string>
#include <string_view>
#include <vector>

#include "binding/error.h"
#include "binding/py.h"
#include "doc/value.h"
#include "vector/quant.h"

namespace pallix::py {

// Python object to Value. Every failure is code 12: the depth message, the
// i64 range message, the dict-key message, the vector typecode message,
// the unsupported-kind message, the length message of a text or bytes
// over the limit, or a Python exception's text.
BResult<Value> ValueFromPy(PyObject* obj, uint32_t depth = 0);

// Value to a new Python object; null with a Python error set (too deep:
// PallixError code 12; otherwise the interpreter's own exception).
Ref ValueToPy(const Value& value, uint32_t depth = 0);

// Stored document bytes to a new Python object. A malformed document is
// the engine's Decode error, with the decoder's exact message; an
// interpreter failure gives a null Ref with the Python error set.
Result<Ref> DocumentToPy(std::string_view stored);
// As DocumentToPy, raising a Decode error as PallixError (code 8).
Ref DocumentToPyOrRaise(std::string_view stored);

// A key: a str (its UTF-8 bytes), bytes or bytearray. Else code 12
// "keys must be str or bytes" (or the encoding error of a str).
BResult<std::string> KeyFromPy(PyObject* obj);
// Metric and quantization names, matched exactly: "cosine", "dot", "l2";
// "none", "binary", "scalar". Else code 12 "unknown metric '<name>' (want
// cosine|dot|l2)" or "unknown quantization '<name>' (want
// none|binary|scalar)", the name as given, with no kind prefix: a bad name
// is the caller's argument, not an engine failure.
BResult<Metric> ParseMetric(std::string_view name);
BResult<Quantization> ParseQuant(std::string_view name);
// A key to Python: str when the bytes are valid UTF-8, else bytes.
Ref KeyToPy(std::string_view key);
// Keys to a new list, each through KeyToPy, in order.
Ref KeysToPyList(const std::vector<std::string>& keys);

// A new list of result objects, one per hit in the engine's order, each made
// by make(hit, key, document) from the hit's `key` and `document`; null with
// an error set (a key or document that cannot be converted drops the objects
// made so far).
template <typename Hit, typename Make>
PyObject* HitsToPyList(const std::vector<Hit>& hits, Make make) {
  GcPause pause;
  Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    Ref key = KeyToPy(hits[i].key);
    if (!key) return nullptr;
    Ref doc = ValueToPy(hits[i].document);
    if (!doc) return nullptr;
    PyObject* item = make(hits[i], std::move(key), std::move(doc));
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace pallix::py

#endif  // PALLIX_BINDING_VALUE_H_
