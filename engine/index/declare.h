// The declaration steps that every index kind with stored entries shares:
// the name checks, the refusal of a declaration whose index namespace
// another declaration of the same kind already uses, and the registry row
// written before the first batch is built.
//
// Index namespaces are "<prefix><collection>__<field>". Collection and
// field names may not hold "__" but may begin or end with one "_", so
// collection "a_" with field "b" and collection "a" with field "_b" both
// name "<prefix>a___b": two indexes would share, and corrupt, one set of
// entries. Such a second declaration is refused with InvalidName.
//
// Callers: the scalar, compound and geo index creators.
// Thread-safety: the clash check runs under the caller's registry lock.

#ifndef PALLIX_INDEX_DECLARE_H_
#define PALLIX_INDEX_DECLARE_H_

#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "index/index_state.h"

namespace pallix {

// ReservedCollection (a collection name beginning with "__"), then
// InvalidName for the collection or the first field that holds NUL or "__".
Status check_index_names(std::string_view collection, const std::vector<std::string>& fields);

// InvalidName "<name> (index namespace <ns> is already used by <other>)"
// when `ns` equals `other_ns` (a different declaration's namespace).
Status check_namespace_free(std::string_view name, std::string_view ns, std::string_view other_ns,
                            std::string_view other);

// Makes the registry row at (registry, key) record a build in progress:
// an absent or complete row is replaced, in a transaction of its own, by
// `payload` with an empty cursor; a row with a cursor stays (its build goes
// on where it stopped). Returns the cursor the build starts from. Errors:
// Transaction, Storage, Commit.
Result<std::string> begin_registry_build(Engine& engine, std::string_view registry, std::string_view key,
                                         std::string_view payload);

}  // namespace pallix

#endif  // PALLIX_INDEX_DECLARE_H_
