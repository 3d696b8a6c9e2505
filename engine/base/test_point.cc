#include "base/test_point.h"

#include <array>
#include <atomic>
#include <mutex>
#include <utility>

namespace pallix {

namespace {

constexpr size_t kPoints = static_cast<size_t>(TestPoint::kCount);

// The installed hooks. `armed` is the second test of the fast path (the
// first is g_any_hook): Reach takes the mutex only when some hook is
// installed at that very point. The hook runs on a
// shared copy taken under the mutex, outside it, so a hook may block
// (waiting for another thread that reaches a test point itself) and its
// scope may end meanwhile.
struct Hooks {
  std::mutex mu;
  std::array<std::shared_ptr<const TestHook>, kPoints> installed;
  std::array<std::atomic<bool>, kPoints> armed{};
};

Hooks& TheHooks() {
  static Hooks hooks;
  return hooks;
}

std::shared_ptr<const TestHook> Swap(TestPoint point, std::shared_ptr<const TestHook> hook) {
  Hooks& h = TheHooks();
  size_t i = static_cast<size_t>(point);
  std::lock_guard<std::mutex> lock(h.mu);
  h.armed[i].store(hook != nullptr, std::memory_order_relaxed);
  std::shared_ptr<const TestHook> previous = std::exchange(h.installed[i], std::move(hook));
  bool any = false;
  for (const auto& installed : h.installed) any = any || installed != nullptr;
  test_point_internal::g_any_hook.store(any, std::memory_order_relaxed);
  return previous;
}

}  // namespace

void test_point_internal::Reach(TestPoint point, std::string_view arg) {
  Hooks& h = TheHooks();
  size_t i = static_cast<size_t>(point);
  if (!h.armed[i].load(std::memory_order_relaxed)) return;
  std::shared_ptr<const TestHook> hook;
  {
    std::lock_guard<std::mutex> lock(h.mu);
    hook = h.installed[i];
  }
  if (hook) (*hook)(arg);
}

ScopedTestHook::ScopedTestHook(TestPoint point, TestHook hook)
    : point_(point), previous_(Swap(point, std::make_shared<const TestHook>(std::move(hook)))) {}

ScopedTestHook::~ScopedTestHook() { Swap(point_, std::move(previous_)); }

}  // namespace pallix
