// The result classes Row, Page and GeoHit, and the schema class
// SchemaField.
//
// Row, Page and GeoHit are made only by the binding, already holding
// converted Python objects, and are read-only. Their getters hand out the
// stored objects themselves (Page.rows builds a new list of new tuples
// around them). They take part in garbage collection, since a returned
// document can be made to refer back to its result object.

#include "binding/error.h"
#include "binding/repr.h"
#include "binding/types.h"

namespace pallix::py {

namespace {

struct RowData {
  Ref key;
  Ref document;
  float score = 0;
};

struct PageData {
  Ref rows;  // a private list of (key, document) tuples
  Ref next;  // a key, or None
};

struct GeoHitData {
  Ref key;
  Ref document;
  double distance_km = 0;
};

// The stored object, or None after the collector cleared it.
PyObject* Stored(const Ref& r) { return Py_NewRef(r ? r.get() : Py_None); }

template <class T>
int Traverse(PyObject* self, visitproc visit, void* arg);

template <>
int Traverse<RowData>(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(Unbox<RowData>(self).key.get());
  Py_VISIT(Unbox<RowData>(self).document.get());
  return 0;
}

template <>
int Traverse<PageData>(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(Unbox<PageData>(self).rows.get());
  Py_VISIT(Unbox<PageData>(self).next.get());
  return 0;
}

template <>
int Traverse<GeoHitData>(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(Unbox<GeoHitData>(self).key.get());
  Py_VISIT(Unbox<GeoHitData>(self).document.get());
  return 0;
}

int ClearRow(PyObject* self) {
  Unbox<RowData>(self) = RowData{};
  return 0;
}
int ClearPage(PyObject* self) {
  Unbox<PageData>(self) = PageData{};
  return 0;
}
int ClearGeoHit(PyObject* self) {
  Unbox<GeoHitData>(self) = GeoHitData{};
  return 0;
}

constexpr unsigned long kResultFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// ------------------------------------------------------------ Row

PyObject* RowKey(PyObject* self) { return Stored(Unbox<RowData>(self).key); }
PyObject* RowDocument(PyObject* self) { return Stored(Unbox<RowData>(self).document); }
PyObject* RowScore(PyObject* self) { return PyFloat_FromDouble(Unbox<RowData>(self).score); }

PyGetSetDef kRowGetSet[] = {
    {"key", Getter<RowKey>, nullptr, "The document's key (`str`, or `bytes` for non-UTF-8 keys).", nullptr},
    {"score", Getter<RowScore>, nullptr, "The rank score (RRF-fused, or `0.0` for pure filter/order queries).",
     nullptr},
    {"document", Getter<RowDocument>, nullptr, "The full (or projected) stored document.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRowSlots[] = {
    {Py_tp_doc, const_cast<char*>("One query result row (`Query.run`).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocBoxed<RowData>)},
    {Py_tp_traverse, reinterpret_cast<void*>(Traverse<RowData>)},
    {Py_tp_clear, reinterpret_cast<void*>(ClearRow)},
    {Py_tp_getset, kRowGetSet},
    {0, nullptr},
};

PyType_Spec kRowSpec = {"builtins.Row", sizeof(Boxed<RowData>), 0, kResultFlags, kRowSlots};

// ------------------------------------------------------------ Page

PyObject* PageRows(PyObject* self) {
  PyObject* stored = Unbox<PageData>(self).rows.get();
  Py_ssize_t n = stored != nullptr ? PyList_Size(stored) : 0;
  Ref list = Ref::Steal(PyList_New(n));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(stored, i);
    Ref copy = Ref::Steal(PyTuple_Pack(2, PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1)));
    if (!copy) return nullptr;
    PyList_SetItem(list.get(), i, copy.release());
  }
  return list.release();
}

PyObject* PageNext(PyObject* self) { return Stored(Unbox<PageData>(self).next); }

PyGetSetDef kPageGetSet[] = {
    {"rows", Getter<PageRows>, nullptr, "The `(key, doc)` rows, in key order.", nullptr},
    {"next", Getter<PageNext>, nullptr, "The resume cursor (pass as the next call's `after`), or `None`\nat the end.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPageSlots[] = {
    {Py_tp_doc, const_cast<char*>("One page of keyset-paginated rows (`Collection.page`).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocBoxed<PageData>)},
    {Py_tp_traverse, reinterpret_cast<void*>(Traverse<PageData>)},
    {Py_tp_clear, reinterpret_cast<void*>(ClearPage)},
    {Py_tp_getset, kPageGetSet},
    {0, nullptr},
};

PyType_Spec kPageSpec = {"builtins.Page", sizeof(Boxed<PageData>), 0, kResultFlags, kPageSlots};

// ------------------------------------------------------------ GeoHit

PyObject* GeoHitKey(PyObject* self) { return Stored(Unbox<GeoHitData>(self).key); }
PyObject* GeoHitDocument(PyObject* self) { return Stored(Unbox<GeoHitData>(self).document); }
PyObject* GeoHitDistance(PyObject* self) { return PyFloat_FromDouble(Unbox<GeoHitData>(self).distance_km); }

PyGetSetDef kGeoHitGetSet[] = {
    {"key", Getter<GeoHitKey>, nullptr, "The document's key.", nullptr},
    {"distance_km", Getter<GeoHitDistance>, nullptr,
     "Distance from the query center in kilometres (the 0.0 sentinel\nfor bbox searches, which have no center).",
     nullptr},
    {"document", Getter<GeoHitDocument>, nullptr, "The full stored document.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kGeoHitSlots[] = {
    {Py_tp_doc, const_cast<char*>("One geo-search hit (`Collection.geo_*`).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocBoxed<GeoHitData>)},
    {Py_tp_traverse, reinterpret_cast<void*>(Traverse<GeoHitData>)},
    {Py_tp_clear, reinterpret_cast<void*>(ClearGeoHit)},
    {Py_tp_getset, kGeoHitGetSet},
    {0, nullptr},
};

PyType_Spec kGeoHitSpec = {"builtins.GeoHit", sizeof(Boxed<GeoHitData>), 0, kResultFlags, kGeoHitSlots};

// ------------------------------------------------------------ SchemaField

const SchemaFieldData& F(PyObject* self) { return Unbox<SchemaFieldData>(self); }

PyObject* SchemaFieldNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PALLIX_PARAMS(kParams, "SchemaField", 2, "name", "ty", "required", "unique");
  PyObject* a[4];
  SchemaFieldData data;
  if (!MatchTupleArgs(kParams, args, kwargs, a) || !ArgStr(kParams, 0, a[0], &data.name) ||
      !ArgStr(kParams, 1, a[1], &data.ty) || (a[2] != nullptr && !ArgBool(kParams, 2, a[2], &data.required)) ||
      (a[3] != nullptr && !ArgBool(kParams, 3, a[3], &data.unique)))
    return nullptr;
  return NewBoxed<SchemaFieldData>(type, std::move(data));
}

PyObject* SchemaFieldName(PyObject* self) { return NewStr(F(self).name).release(); }
PyObject* SchemaFieldTy(PyObject* self) { return NewStr(F(self).ty).release(); }
PyObject* SchemaFieldRequired(PyObject* self) { return NewBool(F(self).required).release(); }
PyObject* SchemaFieldUnique(PyObject* self) { return NewBool(F(self).unique).release(); }

PyObject* SchemaFieldRepr(PyObject* self) {
  const SchemaFieldData& f = F(self);
  std::string text = "SchemaField(name=" + QuoteText(f.name) + ", ty=" + QuoteText(f.ty) +
                     ", required=" + (f.required ? "true" : "false") + ", unique=" + (f.unique ? "true" : "false") +
                     ")";
  return NewStr(text).release();
}

PyGetSetDef kSchemaFieldGetSet[] = {
    {"name", Getter<SchemaFieldName>, nullptr, "The field's name.", nullptr},
    {"ty", Getter<SchemaFieldTy>, nullptr, "The field's type (`any|bool|int|float|text|bytes|vector|array|map`).",
     nullptr},
    {"required", Getter<SchemaFieldRequired>, nullptr, "Whether the field must be present (not None).", nullptr},
    {"unique", Getter<SchemaFieldUnique>, nullptr, "Whether values must be unique across the collection.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSchemaFieldSlots[] = {
    {Py_tp_doc, const_cast<char*>("SchemaField(name, ty, required=False, unique=False)\n--\n\n"
                                  "One field of a collection schema. `ty` is one of any, bool, int,\n"
                                  "float, text, bytes, vector, array, map.")},
    {Py_tp_new, reinterpret_cast<void*>(NewFunc<SchemaFieldNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocBoxed<SchemaFieldData>)},
    {Py_tp_repr, reinterpret_cast<void*>(Unary<SchemaFieldRepr>)},
    {Py_tp_getset, kSchemaFieldGetSet},
    {0, nullptr},
};

PyType_Spec kSchemaFieldSpec = {"builtins.SchemaField", sizeof(Boxed<SchemaFieldData>), 0, Py_TPFLAGS_DEFAULT,
                                kSchemaFieldSlots};

PyTypeObject* g_row = nullptr;
PyTypeObject* g_page = nullptr;
PyTypeObject* g_geo_hit = nullptr;
PyTypeObject* g_schema_field = nullptr;

}  // namespace

PyTypeObject* RowType() { return TypeOnce(&g_row, &kRowSpec); }
PyTypeObject* PageType() { return TypeOnce(&g_page, &kPageSpec); }
PyTypeObject* GeoHitType() { return TypeOnce(&g_geo_hit, &kGeoHitSpec); }
PyTypeObject* SchemaFieldType() { return TypeOnce(&g_schema_field, &kSchemaFieldSpec); }

PyObject* NewPage(Ref rows, Ref next) {
  PyTypeObject* type = PageType();
  return type != nullptr ? NewBoxed<PageData>(type, PageData{std::move(rows), std::move(next)}) : nullptr;
}

PyObject* NewRow(Ref key, float score, Ref document) {
  PyTypeObject* type = RowType();
  return type != nullptr ? NewBoxed<RowData>(type, RowData{std::move(key), std::move(document), score}) : nullptr;
}

PyObject* NewGeoHit(Ref key, double distance_km, Ref document) {
  PyTypeObject* type = GeoHitType();
  return type != nullptr ? NewBoxed<GeoHitData>(type, GeoHitData{std::move(key), std::move(document), distance_km})
                         : nullptr;
}

const SchemaFieldData* SchemaFieldOf(PyObject* obj) {
  if (g_schema_field == nullptr || Py_TYPE(obj) != g_schema_field) return nullptr;
  return &Unbox<SchemaFieldData>(obj);
}

PyObject* NewSchemaField(std::string name, std::string ty, bool required, bool unique) {
  PyTypeObject* type = SchemaFieldType();
  return type != nullptr
             ? NewBoxed<SchemaFieldData>(type, SchemaFieldData{std::move(name), std::move(ty), required, unique})
             : nullptr;
}

}  // namespace pallix::py
