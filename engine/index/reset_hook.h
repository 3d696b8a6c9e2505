// Test hook at the one moment an index is seen reset but not yet declared
// building in memory: right after the commit that emptied a vector index's
// namespace (a declaration) or an on-disk text index's namespace (a fresh on-disk text
// build), before the in-memory registry records the build. Queries on
// other threads must not read the emptied index as complete then; the
// hook lets a test hold the writer at that point while it queries.
//
// Callers: the vector and text index creators of this layer; tests set
// it.
//
// Thread-safety: the hook pointer is atomic; the hook runs on the thread
// that committed, holding whatever that thread holds ("index resume lock"
// for the vector creators), but no registry lock.

#ifndef PALLIX_INDEX_RESET_HOOK_H_
#define PALLIX_INDEX_RESET_HOOK_H_

#include <string_view>

namespace pallix {

// Called with the namespace that was emptied. Null (the default): off.
using IndexResetHook = void (*)(std::string_view ns);
void set_index_reset_hook(IndexResetHook hook);

// Calls the hook, when one is set.
void after_index_reset(std::string_view ns);

}  // namespace pallix

#endif  // PALLIX_INDEX_RESET_HOOK_H_
