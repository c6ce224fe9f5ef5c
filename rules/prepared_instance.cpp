#include "rules/prepared_instance.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace dulmar {

std::shared_ptr<const PreparedInstance> PreparedInstance::build(std::shared_ptr<const CostTable> costs,
                                                                std::vector<NodeRecord> nodes,
                                                                std::vector<AgentRecord> agents,
                                                                RuleSettings settings, std::vector<char> given) {
    auto out = std::make_shared<PreparedInstance>();
    PreparedInstance& p = *out;
    p.costs_ = costs ? std::move(costs) : std::make_shared<const CostTable>();
    p.given_ = std::move(given);
    p.nodes_ = std::move(nodes);
    p.n_ = p.nodes_.size();
    p.agents_ = std::move(agents);
    p.settings_ = std::move(settings);
    const RuleSettings& s = p.settings_;
    p.start_node_set_.insert(s.start_nodes.begin(), s.start_nodes.end());
    p.end_node_set_.insert(s.end_nodes.begin(), s.end_nodes.end());

    const size_t n = p.nodes_.size();
    const size_t m = p.agents_.size();
    const bool has_start = !s.start_nodes.empty();
    const bool has_end = !s.end_nodes.empty();

    p.has_window_.assign(n, 0);
    p.window_.assign(n, TimeWindow{});
    bool windows_monotone = true;
    for (const auto& [v, w] : s.time_windows) {
        if (v >= n) continue;
        p.has_window_[v] = 1;
        p.window_[v] = w;
        if (std::isnan(w.start)) windows_monotone = false;
    }

    p.segments_.resize(n);
    for (size_t v = 0; v < n; ++v) p.segments_[v] = dulmar::visit_segment(p.window(v), p.nodes_[v].service);

    std::vector<char> is_start(n, 0), is_end(n, 0);
    for (size_t v : s.start_nodes)
        if (v < n) is_start[v] = 1;
    for (size_t v : s.end_nodes)
        if (v < n) is_end[v] = 1;

    p.info_.assign(m, AgentInfo{});
    p.flags_.assign(m * n, 0);
    for (size_t a = 0; a < m; ++a) {
        AgentInfo& info = p.info_[a];
        const AgentRecord& agent = p.agents_[a];
        info.known = (!has_start || a < s.start_nodes.size()) && (!has_end || a < s.end_nodes.size());
        info.start = has_start && a < s.start_nodes.size() ? s.start_nodes[a] : kNoNode;
        info.end = has_end && a < s.end_nodes.size() ? s.end_nodes[a] : kNoNode;
        info.capacity = s.enforce_capacity && agent.capacity_limit > 0 ? agent.capacity_limit : 0.0;
        for (size_t v = 0; v < n; ++v) {
            const auto& allowed = p.nodes_[v].allowed_types;
            unsigned char f = 0;
            if (std::find(allowed.begin(), allowed.end(), agent.type) != allowed.end()) f |= kServes;
            if ((has_start && is_start[v] && v != info.start) || (has_end && is_end[v] && v != info.end))
                f |= kOtherDepot;
            if (has_start && v == info.start) f |= kOwnStart;
            if (has_end && v == info.end) f |= kOwnEnd;
            p.flags_[a * n + v] = f;
        }
    }

    p.precedence_ = PrecedenceRule(n, s.precedence);
    p.monotone_ = windows_monotone && std::all_of(p.nodes_.begin(), p.nodes_.end(),
                                                  [](const NodeRecord& v) { return v.service >= 0.0; });
    for (const AgentRecord& agent : p.agents_)
        if (!p.costs_->nonnegative(agent.type)) p.monotone_ = false;
    return out;
}

std::shared_ptr<const PreparedInstance> PreparedInstance::from_graph(const PlannerGraph* graph,
                                                                     std::vector<NodeRecord> nodes,
                                                                     std::vector<AgentRecord> agents,
                                                                     RuleSettings settings) {
    auto table = std::make_shared<CostTable>();
    table->build(graph);
    return build(std::move(table), std::move(nodes), std::move(agents), std::move(settings));
}

bool PreparedInstance::arc_given(size_t u, size_t v, size_t t) const {
    const size_t n = costs_->size();
    const size_t types = costs_->dim();
    if (given_.size() != n * n * types) return costs_->has_entry(u, v, t);
    return u < n && v < n && t < types && given_[(u * n + v) * types + t] != 0;
}

bool PreparedInstance::type_allows(size_t t, size_t node) const {
    if (node >= n_) return false;
    const auto& allowed = nodes_[node].allowed_types;
    return std::find(allowed.begin(), allowed.end(), t) != allowed.end();
}

// Windows on vertices beyond the node table (a caller's own graph) still hold.
const TimeWindow* PreparedInstance::window_beyond_table(size_t node) const {
    const auto found = settings_.time_windows.find(node);
    return found == settings_.time_windows.end() ? nullptr : &found->second;
}

}  // namespace dulmar
