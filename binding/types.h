// The classes and functions of the module, declared for the areas that
// create each other's objects (Db makes Collections, a Collection makes
// Queries and Pages, the predicate functions make Predicates) and for the
// module's execution step, which adds them in order.
//
// Each type is a heap type created from its spec once per process and kept
// for good; the getters return borrowed references, or null with an error
// set when creation fails.
//
// Thread-safety: requires the interpreter lock.

#ifndef PALLIX_BINDING_TYPES_H_
#define PALLIX_BINDING_TYPES_H_

#include <memory>
#include <string>

#include "binding/handle.h"
#include "binding/py.h"
#include "db/engine.h"
#include "query/predicate.h"

namespace pallix::py {

PyTypeObject* DbType();           // db.cc
PyTypeObject* CollectionType();   // collection.cc
PyTypeObject* QueryType();        // query_builder.cc
PyTypeObject* PredicateType();    // query.cc
PyTypeObject* FieldRefType();     // query.cc
PyTypeObject* SchemaFieldType();  // result.cc
PyTypeObject* RowType();          // result.cc
PyTypeObject* PageType();         // result.cc
PyTypeObject* GeoHitType();       // result.cc

// The module functions field, and_, or_, not_, in that order (query.cc).
PyMethodDef* PredicateFunctions();
inline constexpr int kPredicateFunctionCount = 4;

// What an open Collection or Query holds besides its name.
struct EngineRefs {
  std::shared_ptr<Engine> engine;
  std::shared_ptr<LiveHandleCount> count;
};

// A new open Collection holding `refs` (the live-handle count already
// raised for it). On failure the count is lowered again and null returned.
PyObject* NewCollection(std::string name, EngineRefs refs);
// A new Query over `collection`, likewise.
PyObject* NewQuery(std::string collection, EngineRefs refs);

// A new Predicate owning `tree`.
PyObject* NewPredicate(Predicate tree);
// The tree of a Predicate object, or null when `obj` is not one.
const Predicate* PredicateOf(PyObject* obj);

// Result objects; each takes over the given references.
PyObject* NewPage(Ref rows, Ref next);  // rows: a list of (key, document) tuples
PyObject* NewRow(Ref key, float score, Ref document);
PyObject* NewGeoHit(Ref key, double distance_km, Ref document);
PyObject* NewSchemaField(std::string name, std::string ty, bool required, bool unique);

// What a SchemaField object holds: `ty` as given, not checked.
struct SchemaFieldData {
  std::string name;
  std::string ty;
  bool required = false;
  bool unique = false;
};
// The data of a SchemaField object, or null when `obj` is not one.
const SchemaFieldData* SchemaFieldOf(PyObject* obj);

}  // namespace pallix::py

#endif  // PALLIX_BINDING_TYPES_H_
