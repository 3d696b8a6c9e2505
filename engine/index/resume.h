// Resuming unfinished index builds: every read that depends on complete
// indexes (query runs, filtered deletes, aggregates, geo and phrase
// searches) first continues the builds of its collection that a crash or a
// failure left with a cursor in their registry row.
//
// Callers: the geo searches of this layer; the query engine and the
// binding's phrase search.
//
// Thread-safety: builds run under "index resume lock", taken without
// waiting: when another caller holds it (or it was left poisoned) nothing
// is resumed now and the caller proceeds on whatever the indexes hold; a
// later call tries again. The lock is taken before any registry lock.

#ifndef PALLIX_INDEX_RESUME_H_
#define PALLIX_INDEX_RESUME_H_

#include <string_view>

#include "base/error.h"
#include "db/engine.h"

namespace pallix {

// Reads the registry rows of the collection's indexes (scalar, compound,
// geo) in one read transaction; when none carries a cursor, returns at once
// without taking the lock. Otherwise, holding the lock, resumes every
// scalar, then compound, then geo build from its cursor, in registry key
// order; the first failure is returned and the rest are not attempted. The
// on-disk text and vector builds join this sequence after geo. Errors:
// Transaction, Storage, and those of the builds.
Status resume_index_builds(Engine& engine, std::string_view collection);

}  // namespace pallix

#endif  // PALLIX_INDEX_RESUME_H_
