// Graphs and tables for the post-optimiser tests: complete graphs whose arcs
// carry the same cost for agent types 0 and 1.
#pragma once

#include <cmath>
#include <cstddef>
#include <map>
#include <utility>
#include <vector>

#include "graph/sparse_graph.h"
#include "plugins/records.h"

namespace dulmar::testing_support {

// Complete graph whose arc (u, v) costs cost(u, v) for both agent types.
template <class Cost>
SparseGraph complete_graph(size_t n, Cost cost) {
    std::vector<size_t> from, to;
    std::vector<CostVector> costs;
    for (size_t u = 0; u < n; ++u)
        for (size_t v = 0; v < n; ++v)
            if (u != v) from.push_back(u), to.push_back(v), costs.push_back(CostVector(2, cost(u, v)));
    SparseGraph g;
    g.CreateFromArcs(from, to, costs);
    return g;
}

// Nodes on a line; every arc costs the distance.
inline SparseGraph line_graph(const std::vector<double>& x) {
    return complete_graph(x.size(), [&](size_t u, size_t v) { return std::fabs(x[u] - x[v]); });
}

using ArcCosts = std::map<std::pair<size_t, size_t>, double>;

// Listed arcs cost as given (both ways when `symmetric`), all others `rest`.
inline SparseGraph arc_graph(size_t n, const ArcCosts& listed, double rest, bool symmetric = false) {
    ArcCosts all = listed;
    if (symmetric)
        for (const auto& [arc, c] : listed) all[{arc.second, arc.first}] = c;
    return complete_graph(n, [&](size_t u, size_t v) {
        const auto it = all.find({u, v});
        return it == all.end() ? rest : it->second;
    });
}

// Nodes every agent type may visit.
inline std::vector<NodeRecord> open_nodes(size_t n) {
    std::vector<NodeRecord> nodes(n);
    for (auto& node : nodes) node.allowed_types = {0, 1};
    return nodes;
}

inline std::vector<AgentRecord> typed_agents(const std::vector<size_t>& types) {
    std::vector<AgentRecord> agents(types.size());
    for (size_t i = 0; i < types.size(); ++i) agents[i].type = types[i];
    return agents;
}

}  // namespace dulmar::testing_support
