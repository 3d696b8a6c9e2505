// The reachability oracle of the vector graph tests: which live keys a walk
// from the entry point over one layer's links never meets.

#ifndef PALLIX_TESTS_ENGINE_GRAPH_REACH_H_
#define PALLIX_TESTS_ENGINE_GRAPH_REACH_H_

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pallix::test {

// A present node as the oracle sees it.
struct ReachNode {
  std::string key;
  bool live = false;
  std::vector<std::vector<uint64_t>> layers;
};

// The live keys with a node on `layer` that a walk from entry over the
// links of that layer (through removed nodes too, as searches go) never
// meets: no search can return them.
inline std::set<std::string> Unreached(const std::map<uint64_t, ReachNode>& nodes, std::optional<uint64_t> entry,
                                       uint32_t layer) {
  std::set<uint64_t> seen;
  std::vector<uint64_t> stack;
  if (entry && nodes.contains(*entry) && nodes.at(*entry).layers.size() > layer) stack.push_back(*entry);
  while (!stack.empty()) {
    const uint64_t id = stack.back();
    stack.pop_back();
    if (!seen.insert(id).second) continue;
    for (uint64_t v : nodes.at(id).layers[layer]) {
      if (nodes.contains(v) && !seen.contains(v)) stack.push_back(v);
    }
  }
  std::set<std::string> out;
  for (const auto& [id, node] : nodes) {
    if (node.live && node.layers.size() > layer && !seen.contains(id)) out.insert(node.key);
  }
  return out;
}

}  // namespace pallix::test

#endif  // PALLIX_TESTS_ENGINE_GRAPH_REACH_H_
