#include "improve/stage_model.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace dulmar {

StageModel::StageModel(const RouteEvaluator& evaluator, ObjectiveType objective, size_t neighbours)
    : evaluator_(evaluator), min_max_(objective == ObjectiveType::MinMax), node_count_(evaluator.node_count()) {
    const size_t n = node_count_;
    const size_t m = evaluator.agent_count();
    const CostTable& table = evaluator.costs();
    if (table.size() != n) {
        throw std::invalid_argument("improvement stage: cost table covers " + std::to_string(table.size()) +
                                    " nodes, the instance has " + std::to_string(n));
    }
    const auto& starts = evaluator.start_nodes();
    const auto& ends = evaluator.end_nodes();
    if (starts.size() < m || ends.size() < m) {
        throw std::invalid_argument("improvement stage: every agent needs a start and an end node");
    }

    std::vector<char> depot(n, 0);
    agents_.resize(m);
    for (size_t a = 0; a < m; ++a) {
        const AgentRecord& record = evaluator.agent(a);
        if (record.type >= table.dim()) {
            throw std::invalid_argument("improvement stage: agent " + std::to_string(a) + " has type number " +
                                        std::to_string(record.type) + " but costs exist for " +
                                        std::to_string(table.dim()) + " types");
        }
        agents_[a] = AgentData{record.type, static_cast<int64_t>(starts[a]), static_cast<int64_t>(ends[a]),
                               record.time_limit > 0 ? record.time_limit : 0.0, evaluator.capacity(a)};
        depot[starts[a]] = 1;
        depot[ends[a]] = 1;
    }

    layers_.resize(table.dim());
    for (size_t t = 0; t < table.dim(); ++t) layers_[t] = table.layer(t);

    // Each visit in the summary form of the visit rule; a node with neither
    // window nor service passes time through unchanged.
    visits_.resize(n);
    demands_.resize(n);
    for (size_t v = 0; v < n; ++v) {
        const TimeWindow* w = evaluator.window(v);
        const double service = evaluator.service(v);
        if (w != nullptr) {
            visits_[v] = Segment::node(w->start, w->end, service);
        } else {
            visits_[v] = service > 0 ? Segment::node(-Segment::kInf, Segment::kInf, service) : Segment{};
        }
        demands_[v] = evaluator.demand(v);
    }

    serves_.assign(m * n, 0);
    is_target_.assign(n, 0);
    for (size_t v = 0; v < n; ++v) {
        if (depot[v]) continue;
        is_target_[v] = 1;
        total_service_ += evaluator.service(v);
        targets_.push_back(static_cast<int64_t>(v));
        for (size_t a = 0; a < m; ++a) serves_[a * n + v] = evaluator.can_serve(a, static_cast<int64_t>(v)) ? 1 : 0;
    }

    for (const AgentData& a : agents_)
        if (std::find(types_.begin(), types_.end(), a.type) == types_.end()) types_.push_back(a.type);
    type_serves_.assign(table.dim() * n, 0);
    for (size_t a = 0; a < m; ++a)
        for (int64_t v : targets_)
            if (serves_[a * n + static_cast<size_t>(v)]) type_serves_[agents_[a].type * n + static_cast<size_t>(v)] = 1;

    // Neighbours are measured over the types that can serve both ends.
    const std::vector<size_t>& types = types_;

    neighbours_.assign(n, {});
    std::vector<std::pair<double, int64_t>> near;
    const size_t keep = std::min(neighbours, targets_.empty() ? size_t{0} : targets_.size() - 1);
    for (int64_t v : targets_) {
        near.clear();
        for (int64_t u : targets_) {
            if (u == v) continue;
            double best = std::numeric_limits<double>::infinity();
            for (size_t k = 0; k < types.size(); ++k) {
                if (!type_serves(types[k], v) || !type_serves(types[k], u)) continue;
                best = std::min(best, 0.5 * (cost(types[k], v, u) + cost(types[k], u, v)));
            }
            if (best < std::numeric_limits<double>::infinity()) near.emplace_back(best, u);
        }
        const size_t count = std::min(keep, near.size());
        std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(count), near.end());
        auto& list = neighbours_[static_cast<size_t>(v)];
        list.reserve(count);
        for (size_t i = 0; i < count; ++i) list.push_back(near[i].second);
    }
}

}  // namespace dulmar
