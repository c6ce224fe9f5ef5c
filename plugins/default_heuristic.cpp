#include "plugins/default_heuristic.h"

#include <algorithm>
#include <cstdint>

namespace dulmar {

void DefaultHeuristic::initialize(const PlannerGraph* graph, const std::vector<NodeRecord>& nodes,
                                  const std::vector<AgentRecord>& agents) {
    graph_ = graph;
    nodes_ = nodes;
    agents_ = agents;
    agent_count_ = agents.size();
    build_table();
}

void DefaultHeuristic::set_edges(const std::vector<MstEdge>& edges) {
    edges_ = edges;
    build_table();
}

void DefaultHeuristic::build_table() {
    // Endpoints beyond the 256-bit sets can never touch the tree.
    size_t size = 0;
    for (const MstEdge& e : edges_) {
        if (e.u < VisitedSet::kBits && e.v < VisitedSet::kBits) size = std::max(size, std::max(e.u, e.v) + 1);
    }
    table_size_ = size;
    table_.assign(size * size, kAbsent);
    for (const MstEdge& e : edges_) {
        if (e.u >= size || e.v >= size || e.u == e.v) continue;
        double& forward = table_[e.u * size + e.v];
        if (e.cost < forward) {
            forward = e.cost;
            table_[e.v * size + e.u] = e.cost;
        }
    }
}

// Prim's algorithm grown from every source at once. It picks the cheapest
// usable edge across the cut each step, as a scan of the sorted edge list
// would, so the total matches that scan up to summation order.
double DefaultHeuristic::evaluate(const SearchState& state) const {
    if (state.node_count < 1) return 0.0;
    const size_t n = std::min(static_cast<size_t>(state.node_count), VisitedSet::kBits);

    VisitedSet in_tree = state.visited;
    VisitedSet closed = state.visited;
    const size_t agents = std::min(agent_count_, state.agent_node.size());
    for (size_t i = 0; i < agents; ++i) {
        const size_t at = state.agent_node[i];
        if (at < VisitedSet::kBits) in_tree.set(at);
    }
    const size_t flagged = std::min(agents, state.agent_done.size());
    for (size_t i = 0; i < flagged; ++i) {
        const size_t at = state.agent_node[i];
        if (!state.agent_done[i] && at < VisitedSet::kBits) closed.reset(at);
    }

    uint16_t pending[VisitedSet::kBits];
    double dist[VisitedSet::kBits];
    size_t pending_count = 0;
    for (size_t x = 0; x < n; ++x) {
        if (!in_tree.test(x)) pending[pending_count++] = static_cast<uint16_t>(x);
    }
    if (pending_count == 0) return 0.0;

    // Sources: in the tree but not closed (the unfinished agents' nodes, and
    // finished agents' nodes that were never visited).
    for (size_t j = 0; j < pending_count; ++j) dist[j] = kAbsent;
    for (size_t w = 0; w < 4; ++w) {
        uint64_t bits = in_tree.words[w] & ~closed.words[w];
        while (bits != 0) {
            const size_t source = w * 64 + static_cast<size_t>(__builtin_ctzll(bits));
            bits &= bits - 1;
            if (source >= table_size_) continue;
            const double* row = &table_[source * table_size_];
            for (size_t j = 0; j < pending_count; ++j) {
                if (pending[j] < table_size_ && row[pending[j]] < dist[j]) dist[j] = row[pending[j]];
            }
        }
    }

    double sum = 0.0;
    while (pending_count > 0) {
        size_t best = 0;
        for (size_t j = 1; j < pending_count; ++j) {
            if (dist[j] < dist[best]) best = j;
        }
        if (dist[best] == kAbsent) return kSaturation;
        sum += dist[best];
        const size_t joined = pending[best];
        --pending_count;
        pending[best] = pending[pending_count];
        dist[best] = dist[pending_count];
        for (size_t j = 0; j < pending_count; ++j) {
            const double w = pair_weight(joined, pending[j]);
            if (w < dist[j]) dist[j] = w;
        }
    }
    return sum;
}

}  // namespace dulmar
