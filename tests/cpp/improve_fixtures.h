// Small instances for the improvement stage tests: planar points with
// Euclidean costs (type 1 pays `type1_factor` times more), an evaluator
// prepared over them, and a route checker that knows nothing of the stage.
// Service times and demands sit in the node records (none at depots).
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "graph/sparse_graph.h"
#include "plugins/records.h"
#include "rules/route_evaluator.h"

namespace dulmar::testing_support {

struct Point {
    double x;
    double y;
};

struct StageInstance {
    std::vector<Point> points;
    std::vector<NodeRecord> nodes;
    std::vector<AgentRecord> agents;
    std::vector<size_t> starts, ends;
    bool return_to_end = true;
    bool enforce_capacity = false;
    TimeWindowMap windows;
    double type1_factor = 1.0;
    SparseGraph graph;
    RouteEvaluator evaluator;

    double cost(size_t type, size_t u, size_t v) const {
        const double d = std::hypot(points[u].x - points[v].x, points[u].y - points[v].y);
        return type == 1 ? d * type1_factor : d;
    }

    // Builds the graph (both types) and prepares the evaluator.
    void prepare() {
        const size_t n = points.size();
        std::vector<size_t> from, to;
        std::vector<CostVector> costs;
        for (size_t u = 0; u < n; ++u)
            for (size_t v = 0; v < n; ++v)
                if (u != v) from.push_back(u), to.push_back(v), costs.push_back({cost(0, u, v), cost(1, u, v)});
        graph.CreateFromArcs(from, to, costs);
        if (nodes.size() != n) {
            nodes.assign(n, NodeRecord{});
            for (auto& node : nodes) node.allowed_types = {0, 1};
        }
        evaluator.set_return_to_end(return_to_end);
        evaluator.set_start_nodes(starts);
        evaluator.set_end_nodes(ends);
        evaluator.set_time_windows(windows);
        evaluator.set_enforce_capacity(enforce_capacity);
        evaluator.prepare(&graph, nodes, agents);
    }

    // The route's cost by the rules, walked here from scratch; -1 when it
    // breaks one.
    double check(const std::vector<int64_t>& route, size_t agent) const {
        const size_t s = starts[agent], e = ends[agent];
        const size_t type = agents[agent].type;
        if (route.size() < 2 || static_cast<size_t>(route.front()) != s) return -1;
        const size_t last = static_cast<size_t>(route.back());
        if (last != e && !(last == s && !return_to_end)) return -1;
        double t = 0.0;
        double load = 0.0;
        for (size_t i = 1; i < route.size(); ++i) {
            const size_t u = static_cast<size_t>(route[i - 1]), v = static_cast<size_t>(route[i]);
            const bool interior = i + 1 < route.size();
            if (interior) {
                for (size_t a = 0; a < starts.size(); ++a)
                    if (v == starts[a] || v == ends[a]) return -1;
                bool allowed = false;
                for (size_t k : nodes[v].allowed_types) allowed = allowed || k == type;
                if (!allowed) return -1;
            }
            const bool free_hop = !return_to_end && !interior;
            if (u != v && !free_hop) t += cost(type, u, v);
            const auto w = windows.find(v);
            if (w != windows.end()) {
                if (t > w->second.end) return -1;
                t = std::max(t, w->second.start);
            }
            t += nodes[v].service;
            load += nodes[v].demand;
        }
        if (agents[agent].time_limit > 0 && t > agents[agent].time_limit) return -1;
        const double capacity = agents[agent].capacity_limit;
        if (enforce_capacity && capacity > 0 && load > capacity) return -1;
        return t;
    }
};

}  // namespace dulmar::testing_support
