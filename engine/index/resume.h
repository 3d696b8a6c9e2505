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

#include <exception>
#include <string_view>

#include "base/error.h"
#include "db/engine.h"

namespace pallix {

// Reads the registry rows of the collection's indexes (scalar, compound,
// geo, text, vector) in one read transaction; when none carries a cursor, returns at once
// without taking the lock. Otherwise, holding the lock, resumes every
// scalar, then compound, then geo build from its cursor, in registry key
// order, then the on-disk text and the on-disk vector builds; the first
// failure is returned and the rest are not attempted. Errors:
// Transaction, Storage, and those of the builds.
Status resume_index_builds(Engine& engine, std::string_view collection);

// Holds a lock taken with TryLock or LockWithoutTurnCycle (the "index
// resume lock" of a resume, a build or an after-commit rebuild) and
// releases it; poisons it when a build
// unwinds through, so that no later build trusts a half-written index.
class TryLockHolder {
 public:
  explicit TryLockHolder(NamedMutex& mu) : mu_(mu), exceptions_(std::uncaught_exceptions()) {}
  ~TryLockHolder() {
    if (std::uncaught_exceptions() > exceptions_) mu_.Poison();
    mu_.Unlock();
  }
  TryLockHolder(const TryLockHolder&) = delete;
  TryLockHolder& operator=(const TryLockHolder&) = delete;

 private:
  NamedMutex& mu_;
  int exceptions_;
};

}  // namespace pallix

#endif  // PALLIX_INDEX_RESUME_H_
