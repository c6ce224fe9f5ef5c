// Puts unserved targets back on routes: greedy cheapest insertion with
// blinks and noise, and regret insertion, both respecting every route rule.
// Under min-max a place is judged first by how far it raises the longest
// route, then by the route's cost increase; under min-sum by the increase.
// On a large instance a target is tried only next to its nearest targets on
// routes and at the front of empty routes, and every place only when none of
// those is feasible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "improve/stage_solution.h"

namespace dulmar {

struct InsertionPlace {
    bool found = false;
    size_t route = 0;
    size_t pos = 0;           // inserted before this position
    double cost = 0.0;        // the route's cost with the node
    double raise = 0.0;       // how far the longest route grows (min-max only)
    double increase = 0.0;    // the route's cost increase, noise included
};

struct InsertionNoise {
    double blink = 0.0;  // chance to pass over a place
    double noise = 0.0;  // increases are scaled by a factor in [1 - noise, 1 + noise]
};

class Inserter {
public:
    // On large instances: the nearest targets on routes able to serve the
    // node whose places before and after are tried.
    static constexpr size_t kNearTargets = 8;

    explicit Inserter(const StageModel& model) : model_(model) {}

    // The best place for `node` on any route whose agent may serve it.
    InsertionPlace best(const StageSolution& s, int64_t node, const InsertionNoise& noise, std::mt19937_64& rng) const;
    // The best place on one route.
    InsertionPlace best_in(const StageSolution& s, size_t route, int64_t node, const InsertionNoise& noise,
                           std::mt19937_64& rng) const;

    // Inserts `nodes` one after the other at their best places. Nodes that
    // fit nowhere stay unserved; returns false when there was one.
    bool greedy(StageSolution& s, const std::vector<int64_t>& nodes, const InsertionNoise& noise,
                std::mt19937_64& rng) const;
    // Inserts first the node whose best place is the most ahead of its
    // second best place on another route (regret-2). Same result as greedy.
    bool regret(StageSolution& s, const std::vector<int64_t>& nodes, const InsertionNoise& noise,
                std::mt19937_64& rng) const;

    // place a ahead of place b.
    bool ahead(const InsertionPlace& a, const InsertionPlace& b) const;

private:
    struct Slot {
        size_t route;
        size_t pos;
        bool operator<(const Slot& o) const { return route != o.route ? route < o.route : pos < o.pos; }
        bool operator==(const Slot& o) const { return route == o.route && pos == o.pos; }
    };

    // Prices inserting `node` before `pos` of route r into `best`.
    void try_place(const StageSolution& s, size_t r, size_t pos, int64_t node, const InsertionNoise& noise,
                   std::mt19937_64& rng, InsertionPlace& best) const;
    // The best place near the node on each route (on route `only` alone when
    // it names one) into per_route[0..m); false when none is feasible.
    bool price_near(const StageSolution& s, int64_t node, size_t only, const InsertionNoise& noise,
                    std::mt19937_64& rng, InsertionPlace* per_route) const;

    const StageModel& model_;
    mutable std::vector<Slot> slots_;
    mutable std::vector<InsertionPlace> per_route_;
    // regret's working buffers
    mutable std::vector<int64_t> left_;
    mutable std::vector<InsertionPlace> places_;
    mutable std::vector<char> wide_;
};

}  // namespace dulmar
