// The timing of a visit and the capacity rule, in one place for the search's
// time-window checker, the route evaluator and the improvement stage.
#pragma once

#include <algorithm>

#include "plugins/records.h"

namespace dulmar {

// Enters a node at time t: false when t is past the end of its window
// (`window` null: none); otherwise service starts at the later of t and the
// window's start, and t becomes the time the agent leaves, `service` later.
inline bool visit_node(const TimeWindow* window, double service, double& t) {
    if (window != nullptr) {
        if (t > window->end) return false;
        t = std::max(window->start, t);
    }
    // Skipped at 0 so that instances without service keep their exact times.
    if (service > 0.0) t += service;
    return true;
}

// A route carrying `load` fits an agent of this capacity; 0 means no limit.
inline bool within_capacity(double load, double capacity) { return capacity <= 0.0 || load <= capacity; }

}  // namespace dulmar
