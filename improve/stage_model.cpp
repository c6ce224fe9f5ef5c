#include "improve/stage_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/point_index.h"

namespace dulmar {

// How well serving `to` right after `from` fits in time for type t: the hop,
// plus a fifth of the wait it forces and the whole lateness it cannot avoid,
// with both windows used as loosely as they allow. Targets close in space
// but far apart in time make poor partners.
double StageModel::proximity(size_t t, int64_t from, int64_t to) const {
    const double hop = cost(t, from, to);
    const Segment& a = visit(from);  // leaves `from` between a.earliest and a.latest + a.duration
    const Segment& b = visit(to);
    const double open_b = b.earliest - b.duration;
    const double wait = std::max(0.0, open_b - (a.latest + a.duration + hop));
    const double late = std::max(0.0, a.earliest + hop - b.latest);
    return hop + 0.2 * (std::isfinite(wait) ? wait : 0.0) + (std::isfinite(late) ? late : 0.0);
}

double StageModel::nearness(int64_t v, int64_t u) const {
    double best = std::numeric_limits<double>::infinity();
    const bool timed = instance_.window(static_cast<size_t>(v)) || instance_.window(static_cast<size_t>(u));
    for (size_t t : types_) {
        if (!type_serves(t, v) || !type_serves(t, u)) continue;
        best = std::min(best, timed ? std::min(proximity(t, v, u), proximity(t, u, v))
                                    : 0.5 * (cost(t, v, u) + cost(t, u, v)));
    }
    return best;
}

void StageModel::find_neighbours_in_plane(size_t keep, StopCheck* stop_check) {
    const CostTable& table = instance_.costs();
    std::vector<double> xs, ys;
    xs.reserve(targets_.size()), ys.reserve(targets_.size());
    for (int64_t v : targets_) xs.push_back(table.x(static_cast<size_t>(v))), ys.push_back(table.y(static_cast<size_t>(v)));
    const PointIndex index(std::move(xs), std::move(ys));
    // With one type and no windows nearness follows the distance.
    const bool reordered = instance_.has_time_windows() || types_.size() > 1;
    const size_t pool = reordered ? 3 * keep : keep;
    std::vector<size_t> found;
    std::vector<std::pair<double, size_t>> ranked;
    for (size_t i = 0; i < targets_.size(); ++i) {
        if (i % 1024 == 0) poll_or_stop(stop_check);
        const int64_t v = targets_[i];
        const auto shares = [&](size_t j) {
            if (j == i) return false;
            for (size_t t : types_)
                if (type_serves(t, v) && type_serves(t, targets_[j])) return true;
            return false;
        };
        index.nearest(table.x(static_cast<size_t>(v)), table.y(static_cast<size_t>(v)), pool, shares, found);
        ranked.clear();
        for (size_t rank = 0; rank < found.size(); ++rank) {
            // Ties keep the order by distance.
            ranked.emplace_back(reordered ? nearness(v, targets_[found[rank]]) : 0.0, rank);
        }
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        auto& list = neighbours_[static_cast<size_t>(v)];
        const size_t count = std::min(keep, ranked.size());
        list.reserve(count);
        for (size_t k = 0; k < count; ++k) list.push_back(targets_[found[ranked[k].second]]);
    }
}

StageModel::StageModel(const RouteEvaluator& evaluator, ObjectiveType objective, size_t neighbours,
                       StopCheck* stop_check)
    : evaluator_(evaluator),
      instance_(evaluator.instance()),
      min_max_(objective == ObjectiveType::MinMax),
      node_count_(instance_.node_count()),
      stop_check_(stop_check) {
    make_scratch(1);
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

    costs_ = &table;
    for (size_t t = 0; t < table.dim(); ++t) layers_.push_back(table.layer(t));
    ordered_ = instance_.precedence().active();
    all_dense_ = std::all_of(layers_.begin(), layers_.end(), [](const double* layer) { return layer != nullptr; });
    visits_ = instance_.visit_segments();
    late_visits_.resize(n);
    for (size_t v = 0; v < n; ++v) late_visits_[v] = visit_warp_segment(instance_.window(v), instance_.service(v));
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

    const size_t keep = std::min(neighbours, targets_.empty() ? size_t{0} : targets_.size() - 1);
    very_large_ = large() && table.all_on_demand();
    for (size_t t : types_) very_large_ = very_large_ && table.metric(t) != nullptr;
    neighbours_.assign(n, {});
    if (very_large_) {
        find_neighbours_in_plane(keep, stop_check);
        return;
    }
    // Neighbours are measured over the types that can serve both ends.
    std::vector<std::pair<double, int64_t>> near;
    for (int64_t v : targets_) {
        poll_or_stop(stop_check);
        near.clear();
        for (int64_t u : targets_) {
            if (u == v) continue;
            const double best = nearness(v, u);
            if (best < std::numeric_limits<double>::infinity()) near.emplace_back(best, u);
        }
        const size_t count = std::min(keep, near.size());
        std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(count), near.end());
        auto& list = neighbours_[static_cast<size_t>(v)];
        list.reserve(count);
        for (size_t i = 0; i < count; ++i) list.push_back(near[i].second);
    }

    const PrecedenceRule& order = instance_.precedence();
    if (!order.active()) return;
    // Longest chains over the pairs, which form no cycle (the set-up refuses one).
    pair_depth_.assign(n, 0);
    std::vector<size_t> pending(n, 0), ready;
    for (const PrecedencePair& pair : order.pairs()) ++pending[pair.after];
    for (size_t v = 0; v < n; ++v)
        if (pending[v] == 0) ready.push_back(v);
    while (!ready.empty()) {
        const size_t v = ready.back();
        ready.pop_back();
        for (uint32_t k : order.out_of(v)) {
            const size_t after = order.pair(k).after;
            pair_depth_[after] = std::max(pair_depth_[after], pair_depth_[v] + 1);
            if (--pending[after] == 0) ready.push_back(after);
        }
    }
}

void StageModel::order_by_pairs(std::vector<int64_t>& nodes) const {
    if (pair_depth_.empty()) return;
    std::stable_sort(nodes.begin(), nodes.end(), [&](int64_t a, int64_t b) {
        return pair_depth_[static_cast<size_t>(a)] < pair_depth_[static_cast<size_t>(b)];
    });
}

namespace {
// The worker whose plan scratch the calling thread uses.
thread_local size_t scratch_worker = 0;
}  // namespace

StageModel::WorkerScope::WorkerScope(size_t worker) : previous_(scratch_worker) { scratch_worker = worker; }

StageModel::WorkerScope::~WorkerScope() { scratch_worker = previous_; }

void StageModel::make_scratch(size_t count) const {
    while (scratch_.size() < count) scratch_.push_back(std::make_unique<PlanScratch>(evaluator_));
}

StageModel::PlanScratch& StageModel::scratch() const { return *scratch_.at(scratch_worker); }

}  // namespace dulmar
