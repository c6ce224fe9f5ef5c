// What breaking a rule costs while the improvement stage searches through
// plans that break windows, route limits or capacities: each unit of
// lateness, of time over the limit and of load over the capacity is weighed
// like that much route cost. The weights adapt so that about a target share
// of the plans the stage tries keeps each rule.
#pragma once

#include <algorithm>
#include <cstddef>

#include "rules/route_evaluator.h"

namespace dulmar {

struct Penalties {
    double late = 1.0;
    double over_limit = 1.0;
    double over_capacity = 1.0;

    double cost_of(const RouteViolation& v) const {
        return v.cost + late * v.late + over_limit * v.over_limit + over_capacity * v.over_capacity;
    }
};

// Counts which rules the tried plans keep and moves each weight towards the
// target share every `period` plans; a weight held at its upper bound for
// kCappedPeriods periods while its rule is still broken starts over.
class PenaltyControl {
public:
    static constexpr double kTargetShare = 0.3;
    static constexpr size_t kPeriod = 100;
    // Bounds of a weight relative to its start: past them the search only
    // chases one rule or ignores it.
    static constexpr double kMost = 1000.0;
    static constexpr double kLeast = 0.01;
    // Periods a weight may stay at its upper bound while its rule is still broken.
    static constexpr size_t kCappedPeriods = 4;

    explicit PenaltyControl(Penalties start) : weights_(start), start_(start) {}

    const Penalties& weights() const { return weights_; }

    // One plan tried: which rules it kept. True when the weights changed.
    bool record(bool on_time, bool within_limits, bool within_capacity) {
        kept_[0] += on_time;
        kept_[1] += within_limits;
        kept_[2] += within_capacity;
        if (++tried_ < kPeriod) return false;
        double* weight[3] = {&weights_.late, &weights_.over_limit, &weights_.over_capacity};
        const double start[3] = {start_.late, start_.over_limit, start_.over_capacity};
        for (size_t k = 0; k < 3; ++k) {
            const double share = static_cast<double>(kept_[k]) / static_cast<double>(tried_);
            if (share < kTargetShare - 0.1) {
                const double most = start[k] * kMost;
                // At its bound for long, the weight only pins the plan where it is: it starts
                // over, so that the plan may change shape before the weight presses again.
                capped_[k] = *weight[k] >= most ? capped_[k] + 1 : 0;
                if (capped_[k] > kCappedPeriods) {
                    *weight[k] = start[k];
                    capped_[k] = 0;
                } else {
                    *weight[k] = std::min(*weight[k] * 1.3, most);
                }
            } else {
                capped_[k] = 0;
            }
            if (share > kTargetShare + 0.1) *weight[k] = std::max(*weight[k] * 0.8, start[k] * kLeast);
            kept_[k] = 0;
        }
        tried_ = 0;
        return true;
    }

private:
    Penalties weights_;
    Penalties start_;
    size_t kept_[3] = {0, 0, 0};
    size_t capped_[3] = {0, 0, 0};  // periods each weight has spent at its upper bound
    size_t tried_ = 0;
};

}  // namespace dulmar
