#include "improve/stage_model.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace dulmar {

StageModel::StageModel(const RouteEvaluator& evaluator, ObjectiveType objective, size_t neighbours,
                       StopCheck* stop_check)
    : evaluator_(evaluator),
      instance_(evaluator.instance()),
      min_max_(objective == ObjectiveType::MinMax),
      node_count_(instance_.node_count()) {
    const size_t n = node_count_;
    const size_t m = instance_.agent_count();
    const CostTable& table = instance_.costs();
    if (table.size() != n) {
        throw std::invalid_argument("improvement stage: cost table covers " + std::to_string(table.size()) +
                                    " nodes, the instance has " + std::to_string(n));
    }
    const auto& starts = instance_.settings().start_nodes;
    const auto& ends = instance_.settings().end_nodes;
    if (starts.size() < m || ends.size() < m) {
        throw std::invalid_argument("improvement stage: every agent needs a start and an end node");
    }

    for (size_t t = 0; t < table.dim(); ++t) layers_.push_back(table.layer(t));
    visits_ = instance_.visit_segments();
    flags_ = instance_.flag_table();

    std::vector<char> depot(n, 0);
    for (size_t a = 0; a < m; ++a) {
        const size_t type = instance_.type_of(a);
        if (type >= table.dim()) {
            throw std::invalid_argument("improvement stage: agent " + std::to_string(a) + " has type number " +
                                        std::to_string(type) + " but costs exist for " +
                                        std::to_string(table.dim()) + " types");
        }
        depot[starts[a]] = 1;
        depot[ends[a]] = 1;
    }

    is_target_.assign(n, 0);
    for (size_t v = 0; v < n; ++v) {
        if (depot[v]) continue;
        is_target_[v] = 1;
        total_service_ += instance_.service(v);
        targets_.push_back(static_cast<int64_t>(v));
    }

    for (size_t a = 0; a < m; ++a) {
        const size_t type = instance_.type_of(a);
        if (std::find(types_.begin(), types_.end(), type) == types_.end()) types_.push_back(type);
    }
    type_serves_.assign(table.dim() * n, 0);
    for (size_t a = 0; a < m; ++a)
        for (int64_t v : targets_)
            if (serves(a, v)) type_serves_[instance_.type_of(a) * n + static_cast<size_t>(v)] = 1;

    // Neighbours are measured over the types that can serve both ends.
    neighbours_.assign(n, {});
    std::vector<std::pair<double, int64_t>> near;
    const size_t keep = std::min(neighbours, targets_.empty() ? size_t{0} : targets_.size() - 1);
    for (int64_t v : targets_) {
        poll_or_stop(stop_check);
        near.clear();
        for (int64_t u : targets_) {
            if (u == v) continue;
            double best = std::numeric_limits<double>::infinity();
            for (size_t t : types_) {
                if (!type_serves(t, v) || !type_serves(t, u)) continue;
                best = std::min(best, 0.5 * (cost(t, v, u) + cost(t, u, v)));
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
