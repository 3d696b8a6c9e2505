// The declaration side of a Collection: index declarations
// (create_scalar_index, create_compound_index, create_geo_index, the text
// and vector kinds), and set_schema and schema.
//
// A vector declaration parses its metric and quantization names under the
// lock, after the closed check (an unknown name is code 12, the metric
// reported first); a product-quantized one trains its codebook inside the
// engine call (index/vector_index.h).
//
// An index declaration takes its names before the lock (a str, or a
// sequence of str for a compound index, else TypeError) and hands them to
// the engine, which checks them, records the index and builds it over the
// stored rows before returning (index/*.h); like every write, without the
// interpreter lock on a file database.
//
// set_schema checks its argument before the lock (a sequence of
// SchemaField objects, else TypeError), parses every field's type name
// under the lock (an unknown name is code 12 and nothing is written) and
// hands the list to the engine, which checks the names and stores the
// schema (db/schema.h). schema() copies the engine's list under the
// lock and builds the SchemaField objects after it.

#include "binding/collection.h"
#include "binding/value.h"
#include "db/schema.h"
#include "index/compound_index.h"
#include "index/geo_index.h"
#include "index/scalar_index.h"
#include "index/text_index.h"
#include "index/vector_index.h"

namespace pallix::py {

namespace {

constexpr const char* kFieldTypeNames = "any|bool|int|float|text|bytes|vector|array|map";

// The engine fields of the given SchemaField data, in order; the first
// unknown type name fails the whole list.
BResult<std::vector<SchemaField>> EngineFields(std::vector<SchemaFieldData>& given) {
  std::vector<SchemaField> fields;
  fields.reserve(given.size());
  for (SchemaFieldData& f : given) {
    std::optional<FieldType> type = field_type_from_name(f.ty);
    if (!type) return Invalid("unknown field type '" + f.ty + "' (want " + kFieldTypeNames + ")");
    fields.push_back(SchemaField{std::move(f.name), *type, f.required, f.unique});
  }
  return fields;
}

// A single-field declaration: parse `field`, then call create(engine,
// collection, field) under the lock.
template <Status (*create)(Engine&, std::string_view, std::string_view)>
PyObject* DeclareFieldIndex(const Params& params, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* a[1];
  std::string field;
  if (!MatchArgs(params, args, nargs, kwnames, a) || !ArgStr(params, 0, a[0], &field)) return nullptr;
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    return EngineWrite(engine, [&] { return create(engine, name, field); });
  }));
}

// The str elements of a sequence argument, in order; TypeError otherwise.
bool StrList(const Params& params, PyObject* arg, std::vector<std::string>* out) {
  Ref list;
  if (!ArgSequence(params, 0, arg, &list)) return false;
  for (Py_ssize_t i = 0; i < PyList_Size(list.get()); ++i) {
    PyObject* item = PyList_GetItem(list.get(), i);
    if (!PyUnicode_Check(item)) {
      std::string type = TypeName(Py_TYPE(item));
      if (type.empty()) PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must hold str objects, not %s", params.name,
                   params.names[0], type.empty() ? "object" : type.c_str());
      return false;
    }
    std::string s;
    if (!Utf8Of(item, &s)) return false;
    out->push_back(std::move(s));
  }
  return true;
}

// Matches `field` and `count` more str arguments (metric, quant).
bool FieldAndNames(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::string* field, std::string* names, int count) {
  PyObject* a[3];
  if (!MatchArgs(params, args, nargs, kwnames, a) || !ArgStr(params, 0, a[0], field)) return false;
  for (int i = 0; i < count; ++i)
    if (!ArgStr(params, i + 1, a[i + 1], &names[i])) return false;
  return true;
}

// A vector declaration with a metric and a quantization name: parse both
// under the lock (metric first), then create(engine, collection, field,
// metric, quant).
template <class Create>
PyObject* DeclareVectorIndex(PyObject* self, const std::string& field, const std::string& metric_name,
                             const std::string& quant_name, Create create) {
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    ASSIGN_OR_RETURN(Metric metric, ParseMetric(metric_name));
    ASSIGN_OR_RETURN(Quantization quant, ParseQuant(quant_name));
    return EngineWrite(engine, [&]() -> BResult<void> { return create(engine, name, field, metric, quant); });
  }));
}

// A product-quantized declaration: field, metric, m, k.
template <Status (*create)(Engine&, std::string_view, std::string_view, Metric, uint64_t, uint64_t)>
PyObject* DeclarePqIndex(const Params& params, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* a[4];
  std::string field, metric_name;
  uint64_t m, k;
  if (!MatchArgs(params, args, nargs, kwnames, a) || !ArgStr(params, 0, a[0], &field) ||
      !ArgStr(params, 1, a[1], &metric_name) || !ArgU64(params, 2, a[2], &m) || !ArgU64(params, 3, a[3], &k))
    return nullptr;
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    ASSIGN_OR_RETURN(Metric metric, ParseMetric(metric_name));
    return EngineWrite(engine, [&]() -> BResult<void> { return create(engine, name, field, metric, m, k); });
  }));
}

}  // namespace

PyObject* CollectionCreateTextIndex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_text_index", 1, "field");
  return DeclareFieldIndex<create_text_index>(kParams, self, args, nargs, kwnames);
}

PyObject* CollectionCreateTextIndexOndisk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_text_index_ondisk", 1, "field");
  return DeclareFieldIndex<create_text_index_ondisk>(kParams, self, args, nargs, kwnames);
}

PyObject* CollectionCreateVectorIndex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_vector_index", 2, "field", "metric");
  std::string field, names[1];
  if (!FieldAndNames(kParams, args, nargs, kwnames, &field, names, 1)) return nullptr;
  return DeclareVectorIndex(self, field, names[0], "none", create_vector_index_quantized);
}

PyObject* CollectionCreateVectorIndexQuantized(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_vector_index_quantized", 3, "field", "metric", "quant");
  std::string field, names[2];
  if (!FieldAndNames(kParams, args, nargs, kwnames, &field, names, 2)) return nullptr;
  return DeclareVectorIndex(self, field, names[0], names[1], create_vector_index_quantized);
}

PyObject* CollectionCreateVectorIndexOndisk(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_vector_index_ondisk", 2, "field", "metric");
  std::string field, names[1];
  if (!FieldAndNames(kParams, args, nargs, kwnames, &field, names, 1)) return nullptr;
  return DeclareVectorIndex(self, field, names[0], "none", create_vector_index_ondisk);
}

PyObject* CollectionCreateVectorIndexOndiskQuantized(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_vector_index_ondisk_quantized", 3, "field", "metric", "quant");
  std::string field, names[2];
  if (!FieldAndNames(kParams, args, nargs, kwnames, &field, names, 2)) return nullptr;
  return DeclareVectorIndex(self, field, names[0], names[1], create_vector_index_ondisk);
}

PyObject* CollectionCreateVectorIndexPq(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_vector_index_pq", 4, "field", "metric", "m", "k");
  return DeclarePqIndex<create_vector_index_pq>(kParams, self, args, nargs, kwnames);
}

PyObject* CollectionCreateVectorIndexOndiskPq(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_vector_index_ondisk_pq", 4, "field", "metric", "m", "k");
  return DeclarePqIndex<create_vector_index_ondisk_pq>(kParams, self, args, nargs, kwnames);
}

PyObject* CollectionCreateScalarIndex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_scalar_index", 1, "field");
  return DeclareFieldIndex<create_scalar_index>(kParams, self, args, nargs, kwnames);
}

PyObject* CollectionCreateGeoIndex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_geo_index", 1, "field");
  return DeclareFieldIndex<create_geo_index>(kParams, self, args, nargs, kwnames);
}

PyObject* CollectionCreateCompoundIndex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.create_compound_index", 1, "fields");
  PyObject* a[1];
  std::vector<std::string> fields;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !StrList(kParams, a[0], &fields)) return nullptr;
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    return EngineWrite(engine, [&] { return create_compound_index(engine, name, fields); });
  }));
}

PyObject* CollectionSetSchema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.set_schema", 1, "fields");
  PyObject* a[1];
  std::vector<SchemaFieldData> given;
  {
    Ref list;  // a snapshot holding the SchemaField objects while they are copied
    if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgSequence(kParams, 0, a[0], &list)) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_Size(list.get()); ++i) {
      PyObject* item = PyList_GetItem(list.get(), i);
      const SchemaFieldData* data = SchemaFieldOf(item);
      if (data == nullptr) {
        std::string type = TypeName(Py_TYPE(item));
        if (type.empty()) PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() argument 'fields' must hold SchemaField objects, not %s", kParams.name,
                     type.empty() ? "object" : type.c_str());
        return nullptr;
      }
      given.push_back(*data);
    }
  }
  // The fields are copied out, so that no reference is owned across the
  // lock wait (a thread ended there at interpreter exit would drop it
  // without the interpreter lock; see error.h).
  return FinishNone(WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<void> {
    ASSIGN_OR_RETURN(std::vector<SchemaField> fields, EngineFields(given));
    return EngineWrite(engine, [&]() -> BResult<void> { return pallix::set_schema(engine, name, fields); });
  }));
}

PyObject* CollectionSchema(PyObject* self) {
  using Fields = std::optional<std::vector<SchemaField>>;
  auto fields = WithOpen(self, [](const std::string& name, Engine& engine) -> BResult<Fields> {
    return get_schema(engine, name);
  });
  return Finish(std::move(fields), [](const Fields& declared) -> PyObject* {
    if (!declared) Py_RETURN_NONE;
    Ref out = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(declared->size())));
    if (!out) return nullptr;
    for (size_t i = 0; i < declared->size(); ++i) {
      const SchemaField& f = (*declared)[i];
      PyObject* field = NewSchemaField(f.name, std::string(field_type_name(f.type)), f.required, f.unique);
      if (field == nullptr) return nullptr;
      PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), field);
    }
    return out.release();
  });
}

}  // namespace pallix::py
