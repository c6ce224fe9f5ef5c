#include "improve/improvement_stage.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "improve/tour_routes.h"

namespace dulmar {

namespace {

// Share of the stage's acceptance temperature at its start and end, in units
// of the mean hop (travel and waiting) of the starting solution.
constexpr double kStartTemperature = 0.5;
constexpr double kEndTemperature = 0.005;
// Weight of the mean route cost next to the longest route when min-max
// solutions are compared for acceptance.
constexpr double kMeanRouteWeight = 0.1;
// Mean number of targets a ruin takes out, and the longest string.
constexpr double kMeanRemoved = 10.0;
constexpr size_t kLongestString = 10;
// How much heavier than the search's own the weights of a repair are.
constexpr double kRepairWeight = 10.0;
// Where the search goes on breaking rules after its first feasible plan, it
// keeps every rule from this share of its run on, starting at the best.
constexpr double kKeepBreakingUntil = 0.5;
// Very large instances: when an attempt at a first solution leaves out at
// most kMostLeftOut targets, the next moves each of them from position i of
// its order to kPromotion * i. (To the very front they crowd the routes'
// early hours, and the windows behind them fail.)
constexpr size_t kMostLeftOut = 64;
constexpr double kPromotion = 0.5;

}  // namespace

ImprovementStage::ImprovementStage(const StageModel& model, const StageSettings& settings)
    : model_(model),
      settings_(settings),
      rng_(settings.seed),
      removal_(model),
      inserter_(model),
      local_search_(model, settings.search_neighbours),
      best_(model),
      current_(model),
      candidate_(model),
      start_distance_(model.node_count(), Segment::kInf),
      keep_breaking_(!model.ordered() && !model.very_large()),
      repaired_(model) {
    for (int64_t v : model.targets()) {
        double& nearest = start_distance_[static_cast<size_t>(v)];
        for (size_t a = 0; a < model.agent_count(); ++a)
            if (model.serves(a, v)) nearest = std::min(nearest, model.cost(model.type_of(a), model.start_of(a), v));
    }
    // A unit of load over a capacity starts out weighed like a typical hop.
    double hop_sum = 0.0, demand_sum = 0.0;
    size_t reached = 0;
    for (int64_t v : model.targets()) {
        const double d = start_distance_[static_cast<size_t>(v)];
        if (d < Segment::kInf) hop_sum += d, ++reached;
        demand_sum += model.demand(v);
    }
    if (reached > 0 && demand_sum > 0) {
        Penalties start;
        start.over_capacity = (hop_sum / static_cast<double>(reached)) /
                              (demand_sum / static_cast<double>(model.targets().size()));
        penalties_ = PenaltyControl(start);
    }
}

int64_t ImprovementStage::default_stall_limit(size_t targets) {
    const int64_t n = static_cast<int64_t>(targets);
    return std::max<int64_t>(2000, 40 * n * n);
}

double ImprovementStage::scalar(const StageValue& v) const {
    if (!model_.min_max()) return v.sum_cost;
    const double routes = static_cast<double>(std::max<size_t>(model_.agent_count(), 1));
    return v.max_cost + kMeanRouteWeight * v.sum_cost / routes;
}

bool ImprovementStage::initialise(const Result* start, const StopCheck& out_of_time) {
    from_given_ = start != nullptr && best_.load(*start);
    std::vector<int64_t> all = model_.targets();
    if (from_given_ || construct(out_of_time)) {
        has_feasible_ = true;
        // On a very large instance the first solution is news before it is polished.
        polish_pending_ = model_.very_large();
        if (!polish_pending_) local_search_.run(best_, all, rng_);
        current_ = best_;
        return true;
    }
    // No plan that keeps every rule was found: start from one that may break
    // windows, route limits and capacities, and search for a feasible one.
    breakable_ = true;
    current_.set_penalties(&penalties_.weights());
    const InsertionNoise none;
    std::vector<int64_t> order = all;
    std::sort(order.begin(), order.end(),
              [&](int64_t a, int64_t b) { return model_.visit(a).latest < model_.visit(b).latest; });
    model_.order_by_pairs(order);
    if (!model_.large() && !inserter_.regret(current_, order, none, rng_)) {
        // Under min-max regret may pass over targets that have places; the
        // ones it left go where they cost least.
        order.erase(std::remove_if(order.begin(), order.end(), [&](int64_t v) { return current_.route_of(v) >= 0; }),
                    order.end());
    }
    if (current_.unassigned_count() != 0 && !inserter_.greedy(current_, order, none, rng_)) return false;
    if (!current_.routes_valid()) return false;  // some target fits on no route at all
    local_search_.run(current_, all, rng_);
    consider_feasible(current_);
    return true;
}

bool ImprovementStage::consider_feasible(const StageSolution& candidate) {
    if (!candidate.feasible()) return false;
    // A feasible plan's value under penalties is its measured value, or less
    // with precedence pairs (their waits are left out): one that does not
    // beat the best so is passed over without being measured again.
    const bool min_max = model_.min_max();
    if (has_feasible_ && !better(candidate.value(), best_.value(), min_max)) return false;
    StageSolution kept = candidate;
    kept.set_penalties(nullptr);
    if (!kept.routes_valid()) return false;
    if (has_feasible_ && !better(kept.value(), best_.value(), min_max)) return false;
    best_ = std::move(kept);
    has_feasible_ = true;
    if (breakable_ && !keep_breaking_) {
        breakable_ = false;
        current_ = best_;
    }
    return true;
}

bool ImprovementStage::adopt(const StageSolution& shared) {
    if (has_feasible_ && !better(shared.value(), best_.value(), model_.min_max())) return false;
    assert(shared.penalties() == nullptr && shared.feasible());
    best_ = shared;
    has_feasible_ = true;
    breakable_ = false;
    current_ = best_;
    // candidate_ no longer mirrors current_: the next iteration copies it whole.
    in_step_ = false;
    since_best_ = 0;
    return true;
}

bool ImprovementStage::repair(const StageSolution& candidate) {
    // Its value under penalties is at least its measured cost.
    if (!better(candidate.value(), best_.value(), model_.min_max())) return false;
    const Penalties& weights = penalties_.weights();
    raised_ = Penalties{kRepairWeight * weights.late, kRepairWeight * weights.over_limit,
                        kRepairWeight * weights.over_capacity};
    repaired_ = candidate;
    repaired_.set_penalties(&raised_);
    broken_targets_.clear();
    for (const StageRoute& route : repaired_.routes()) {
        if (route.violation.feasible()) continue;
        broken_targets_.insert(broken_targets_.end(), route.nodes.begin() + 1, route.nodes.end() - 1);
    }
    local_search_.run(repaired_, broken_targets_, rng_);
    return consider_feasible(repaired_);
}

bool ImprovementStage::construct(const StopCheck& out_of_time) {
    std::vector<int64_t> order = model_.targets();
    const InsertionNoise none;
    if (model_.very_large()) {
        best_.clear();
        if (tour_routes(model_, best_, removed_, out_of_time) && inserter_.greedy(best_, removed_, none, rng_) &&
            best_.routes_valid()) {
            return true;
        }
    }
    const InsertionNoise noisy{0.0, 0.2};
    bool left_out_ahead = false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        best_.clear();
        bool complete = false;
        if (attempt == 0) {
            model_.order_by_pairs(order);
            // Regret prices every target again after each insertion: too slow beyond the search's sizes.
            complete = model_.large() ? inserter_.greedy(best_, order, none, rng_)
                                      : inserter_.regret(best_, order, none, rng_);
        } else {
            // The earliest closing windows first, then the farthest from the
            // starts: both tend to be the hardest to place late. After a very
            // large instance's attempt that left out a few, its order as
            // move_left_out_ahead() left it.
            if (attempt == 1) {
                std::sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
                    return model_.visit(a).latest < model_.visit(b).latest;
                });
            } else if (left_out_ahead) {
            } else if (attempt == 2) {
                std::sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
                    return start_distance_[static_cast<size_t>(a)] > start_distance_[static_cast<size_t>(b)];
                });
            } else {
                std::shuffle(order.begin(), order.end(), rng_);
            }
            model_.order_by_pairs(order);
            complete = inserter_.greedy(best_, order, attempt <= 2 ? none : noisy, rng_);
        }
        if (complete && best_.routes_valid()) return true;
        left_out_ahead = model_.very_large() && attempt >= 1 && best_.unassigned_count() <= kMostLeftOut;
        if (left_out_ahead) move_left_out_ahead(order);
    }
    best_.clear();
    return false;
}

void ImprovementStage::move_left_out_ahead(std::vector<int64_t>& order) {
    keyed_.clear();
    for (size_t i = 0; i < order.size(); ++i) {
        const double at = static_cast<double>(i);
        // (Keys of moved targets fall between whole numbers: no ties.)
        keyed_.emplace_back(best_.route_of(order[i]) < 0 ? kPromotion * at - 0.25 : at, order[i]);
    }
    std::sort(keyed_.begin(), keyed_.end());
    for (size_t i = 0; i < keyed_.size(); ++i) order[i] = keyed_[i].second;
}

bool ImprovementStage::ruin_and_recreate(StageSolution& candidate) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const size_t targets = model_.targets().size();
    const double average = std::min(kMeanRemoved, std::max(1.0, 0.3 * static_cast<double>(targets)));
    const double pick = unit(rng_);
    if (pick < 0.6) {
        removal_.strings(candidate, average, kLongestString, rng_, removed_);
    } else if (pick < 0.75) {
        const size_t count = std::uniform_int_distribution<size_t>(1, static_cast<size_t>(2.0 * average))(rng_);
        removal_.random(candidate, count, rng_, removed_);
    } else if (pick < 0.9) {
        const size_t count = std::uniform_int_distribution<size_t>(1, static_cast<size_t>(2.0 * average))(rng_);
        removal_.worst(candidate, count, rng_, removed_);
    } else {
        removal_.whole_route(candidate, rng_, removed_);
        if (removed_.empty() && model_.very_large()) removal_.strings(candidate, average, kLongestString, rng_, removed_);
    }
    if (removed_.empty()) return true;
    candidate.remove_nodes(removed_);

    const double order = unit(rng_);
    if (order < 0.5) {
        std::shuffle(removed_.begin(), removed_.end(), rng_);
    } else {
        // Far from the route starts first, or near first.
        const bool far_first = order < 0.85;
        std::vector<std::pair<double, int64_t>>& keyed = keyed_;
        keyed.clear();
        for (int64_t v : removed_) {
            const double distance = start_distance_[static_cast<size_t>(v)];
            keyed.emplace_back(far_first ? -distance : distance, v);
        }
        std::sort(keyed.begin(), keyed.end());
        for (size_t i = 0; i < keyed.size(); ++i) removed_[i] = keyed[i].second;
    }
    model_.order_by_pairs(removed_);
    const InsertionNoise noise{0.01, 0.0};
    if (unit(rng_) < 0.1) return inserter_.regret(candidate, removed_, InsertionNoise{0.0, 0.1}, rng_);
    return inserter_.greedy(candidate, removed_, noise, rng_);
}

StageEnd ImprovementStage::run(double deadline, const Clock& clock, const BestListener& on_best,
                               const StopCheck& should_stop) {
    const double began = clock();
    const int64_t stall = settings_.stall_limit > 0 ? settings_.stall_limit
                                                    : default_stall_limit(model_.targets().size());
    // Without penalties: the measured cost of the starting plan.
    const double start_sum = breakable_ ? current_.violations().cost : best_.value().sum_cost;
    const double hops = static_cast<double>(model_.targets().size() + model_.agent_count());
    // Service is the same in every solution, so only travel and waiting set the scale.
    const double mean_hop = hops > 0 ? (start_sum - model_.total_service()) / hops : 0.0;
    const double t_start = std::max(kStartTemperature * mean_hop, 1e-12);
    const double t_end = std::max(kEndTemperature * mean_hop, 1e-14);
    std::uniform_real_distribution<double> unit(0.0, 1.0);

    if (polish_pending_) {
        polish_pending_ = false;
        const std::function<bool()> out_of_time = [&] { return clock() >= deadline || (should_stop && should_stop()); };
        local_search_.run(current_, model_.targets(), rng_, &out_of_time);
        if (better(current_.value(), best_.value(), model_.min_max())) {
            best_ = current_;
            if (on_best && !on_best(best_)) return StageEnd::Stopped;
        }
    }

    since_best_ = 0;
    for (;;) {
        if (settings_.iteration_cap > 0 && iterations_ >= settings_.iteration_cap) return StageEnd::Iterations;
        // The stall rule waits for a feasible plan: until then the stage searches to its deadline.
        if (has_feasible_ && since_best_ >= stall) return StageEnd::NoImprovement;
        const double now = clock();
        if (now >= deadline) return StageEnd::Deadline;
        progress_ = 0.0;
        if (settings_.iteration_cap > 0) {
            progress_ = static_cast<double>(iterations_) / static_cast<double>(settings_.iteration_cap);
        } else if (deadline > began) {
            progress_ = (now - began) / (deadline - began);
        }
        if (should_stop && should_stop()) return StageEnd::Stopped;

        if (breakable_ && has_feasible_ && progress_ >= kKeepBreakingUntil) {
            breakable_ = false;
            current_ = best_;
        }
        const double temperature = t_start * std::pow(t_end / t_start, std::min(1.0, std::max(0.0, progress_)));

        ++iterations_;
        if (has_feasible_) ++since_best_;
        if (!in_step_ || breakable_) candidate_ = current_;
        candidate_.forget_changes();
        if (!ruin_and_recreate(candidate_) || !candidate_.routes_valid()) {
            settle(false);
            continue;
        }
        local_search_.run(candidate_, removed_, rng_);
        if (!candidate_.routes_valid() || candidate_.unassigned_count() != 0) {
            settle(false);
            continue;
        }

        if (breakable_) {
            const RouteViolation broken = candidate_.violations();
            const bool news = candidate_.feasible() ? consider_feasible(candidate_)
                                                    : has_feasible_ && repair(candidate_);
            if (news) {
                since_best_ = 0;
                if (on_best && !on_best(best_)) return StageEnd::Stopped;
                // The search keeps every rule from here on, starting at the best.
                if (!breakable_) continue;
            }
            if (penalties_.record(broken.late == 0.0, broken.over_limit == 0.0, broken.over_capacity == 0.0)) {
                current_.set_penalties(&penalties_.weights());
                candidate_.set_penalties(&penalties_.weights());
            }
        } else if (better(candidate_.value(), best_.value(), model_.min_max())) {
            best_ = candidate_;
            since_best_ = 0;
            if (on_best && !on_best(best_)) {
                current_ = candidate_;
                return StageEnd::Stopped;
            }
        }
        const StageValue value = candidate_.value();
        const double threshold = scalar(current_.value()) - temperature * std::log(std::max(unit(rng_), 1e-300));
        settle(scalar(value) < threshold);
    }
}

void ImprovementStage::settle(bool accepted) {
    if (!model_.very_large() || breakable_) {
        if (accepted) std::swap(current_, candidate_);
        return;
    }
    // Only the routes the iteration changed differ between the two.
    if (accepted) {
        current_.copy_routes(candidate_, candidate_.changed());
    } else {
        candidate_.copy_routes(current_, candidate_.changed());
    }
    candidate_.forget_changes();
    in_step_ = true;
}

}  // namespace dulmar
