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

// Validates the fusion constant and lambda (InvalidArgument), resumes the
// collection's pending index builds (their errors), opens one read
// transaction (Transaction) and executes. Every query resumes, even one no
// index can serve: otherwise a build a crash interrupted would stay pending,
// and its failure unreported, for as long as the collection is only read
// by plain queries. Other errors: Storage, Decode, CorruptIndex.
Result<std::vector<QueryRow>> run_query_entry(QuerySpec spec);

// The executor over a validated description and an open snapshot.
Result<std::vector<QueryRow>> execute_query(const QuerySpec& spec, const ReadView& view);

// Whether the filtered walk of a multi-source query reads the sources'
// top-level fields straight from the rows' encoded bytes (the default) or
// from a partial document built per kept row. Both give the same rows,
// scores and errors; tests switch it off to compare the two.
void set_raw_field_reads(bool on);

}  // namespace pallix

#endif  // PALLIX_QUERY_EXECUTOR_H_
