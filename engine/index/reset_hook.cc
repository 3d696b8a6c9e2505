#include "index/reset_hook.h"

#include <atomic>

namespace pallix {

namespace {
std::atomic<IndexResetHook> g_hook{nullptr};
}  // namespace

void set_index_reset_hook(IndexResetHook hook) { g_hook.store(hook); }

void after_index_reset(std::string_view ns) {
  if (IndexResetHook hook = g_hook.load(); hook != nullptr) hook(ns);
}

}  // namespace pallix
