// Opening a database: the one entry through which the binding, the engine
// tests and the benchmarks get an Engine, so that every one of them sees
// the database exactly as a Python program does.
//
// Opening builds an Engine with every persisted registry loaded, in this
// fixed order: vector indexes, text indexes, scalar and compound indexes,
// geo indexes (index/registry.h), then schemas (db/schema.h). The registries
// of indexes live in this layer and the schemas in db below it, so this is
// the lowest layer that can load them all; db/engine.h keeps the format
// check and the Engine itself.
//
// Thread-safety: the returned Engine is not yet visible to anyone else;
// the loaders take each registry's lock in turn all the same.

#ifndef PALLIX_INDEX_OPEN_H_
#define PALLIX_INDEX_OPEN_H_

#include <memory>
#include <string>

#include "base/error.h"
#include "db/engine.h"
#include "storage/store.h"

namespace pallix {

// Opens (creating when absent) the database file at path: exclusive lock,
// format check, every registry loaded. Errors: Database (file, lock, not a
// database), IncompatibleFormat, and whatever loading a registry returns
// (Transaction, Storage); a failed open leaves nothing open.
Result<std::shared_ptr<Engine>> open_engine(const std::string& path);

// A new private in-memory database, opened by the same steps. Errors:
// Database, and those of the format check and the loads.
Result<std::shared_ptr<Engine>> open_in_memory();

// The steps after the store is open, over a store the caller opened: the
// format check (which writes format_version into a new store), then the
// Engine with every registry loaded. For callers that must prepare the
// store first (a test that injects store faults). Errors: as open_engine
// after the file is open.
Result<std::shared_ptr<Engine>> open_engine_over(std::unique_ptr<Store> store);

}  // namespace pallix

#endif  // PALLIX_INDEX_OPEN_H_
