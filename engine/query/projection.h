// Projection: a query's select(fields) applied to a result document.
//
// Called by the executor on each result row's document when the query
// carries a selection list, after the offset/limit window so that skipped
// rows are never projected.
//
// Thread-safety: pure function.

#ifndef PALLIX_QUERY_PROJECTION_H_
#define PALLIX_QUERY_PROJECTION_H_

#include <string>
#include <vector>

#include "doc/value.h"

namespace pallix {

// A Map document becomes a new Map holding only the selected dotted paths,
// each nested under its chain of map keys (a.b comes back as {a: {b: ...}});
// a missing path leaves no key. Any other document comes back unchanged.
// Consumes the document; cannot fail.
Value project_fields(Value document, const std::vector<std::string>& paths);

}  // namespace pallix

#endif  // PALLIX_QUERY_PROJECTION_H_
