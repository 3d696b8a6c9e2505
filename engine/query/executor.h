// The query run: validation, the resume of unfinished index builds, one
// read snapshot, and the executor that answers a query description through
// one of four routes (ordered index scan, filtered scan, index-backed
// single source, exact scoring), all ending in fusion, MMR, ordering, the
// offset/limit window and projection.
//
// Callers: the binding's Query.run; delete_where (over its write transaction).
// Thread-safety: reads one snapshot; registry locks are taken one at a time
// and never held across storage reads.

#ifndef PALLIX_QUERY_EXECUTOR_H_
#define PALLIX_QUERY_EXECUTOR_H_

#include <vector>

#include "base/error.h"
#include "query/query_spec.h"
#include "storage/read_view.h"

namespace pallix {

// How the executor reads. The defaults are what every caller wants; tests
// set the others to compare ways that must give the same answer.
struct ExecuteOptions {
  // Whether the filtered walk of a multi-source query reads the sources'
  // top-level fields straight from the rows' encoded bytes (true) or from
  // a partial document built per kept row. Both give the same rows, scores
  // and errors.
  bool raw_field_reads = true;
  // Whether such a walk over a whole collection in a read snapshot shares
  // its filter tests and vector scoring with the helper threads of the
  // WorkPool (true) or does them all on the calling thread. Both give the
  // same rows, scores and errors.
  bool shared_walk = true;
};

// Validates the fusion constant and lambda (InvalidArgument), resumes the
// collection's pending index builds (their errors), opens one read
// transaction (Transaction) and executes. Every query resumes, even one no
// index can serve: otherwise a build a crash interrupted would stay pending,
// and its failure unreported, for as long as the collection is only read
// by plain queries. Other errors: Storage, Decode, CorruptIndex.
Result<std::vector<QueryRow>> run_query_entry(QuerySpec spec, const ExecuteOptions& options = {});

// The executor over a validated description and an open snapshot.
//
// A single source without filters (or with approx) takes its candidates
// from its index. The in-memory indexes are kept up after each commit, so
// they may hold keys the snapshot does not, or holds otherwise: such a key
// is passed over and the index asked for more (twice as many each time),
// until k keys whose rows the snapshot holds and the source ranks are
// found. An index that runs out first may be missing rows the snapshot has
// (removed since): when it proposed such a key, or is in memory and
// something was committed since the snapshot began, the exact route then
// answers.
Result<std::vector<QueryRow>> execute_query(const QuerySpec& spec, const ReadView& view,
                                            const ExecuteOptions& options = {});

}  // namespace pallix

#endif  // PALLIX_QUERY_EXECUTOR_H_
