// Closed tours through points of the plane, improved with 2-opt and or-opt
// moves between near neighbours (don't-look queue, reversals of the shorter
// side), for the first solution of a very large instance. Costs are one
// agent type's, worked out on demand and symmetric.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "improve/stage_model.h"

namespace dulmar {

class PlaneTour {
public:
    // Neighbours each point keeps as move partners.
    static constexpr size_t kNeighbours = 10;

    // The points are `nodes` (node indices of the model), costed for agent type `type`.
    PlaneTour(const StageModel& model, size_t type, std::vector<int64_t> nodes);

    size_t size() const { return nodes_.size(); }
    int64_t node(uint32_t point) const { return nodes_[point]; }
    double cost(uint32_t a, uint32_t b) const { return model_.cost(type_, nodes_[a], nodes_[b]); }

    // Every point in the order of a space-filling curve: a rough first tour.
    std::vector<uint32_t> curve_order() const;

    // Improves the closed tour `cycle` (points, each at most once; only
    // points of the cycle are moved) until no move helps or `stop` says so.
    void improve(std::vector<uint32_t>& cycle, const std::function<bool()>& stop);

    // Length of the closed tour.
    double length(const std::vector<uint32_t>& cycle) const;

private:
    uint32_t next(uint32_t p) const { return cycle_[(pos_[p] + 1) % n_]; }
    uint32_t prev(uint32_t p) const { return cycle_[(pos_[p] + n_ - 1) % n_]; }
    void push(uint32_t p);
    // Reverses the path from position i forward to position j, or the rest
    // of the tour when that is shorter (the same tour, the other way round).
    void reverse(size_t i, size_t j);
    // Replaces edges {u1, u2} and {v1, v2} (u2 after u1, v2 after v1) by {u1, v1} and {u2, v2}.
    void two_opt_move(uint32_t u1, uint32_t u2, uint32_t v1, uint32_t v2);
    bool try_two_opt(uint32_t a);
    bool try_or_opt(uint32_t a);
    // Moves the `len` points from position i (forward) between c and the
    // point after it, reversed or not.
    void move_segment(size_t i, size_t len, uint32_t c, bool reversed);

    const StageModel& model_;
    size_t type_;
    std::vector<int64_t> nodes_;
    std::vector<std::vector<uint32_t>> near_;  // by point: nearest points first
    // The tour being improved.
    std::vector<uint32_t> cycle_;
    size_t n_ = 0;
    std::vector<uint32_t> pos_;   // by point: its position in cycle_
    std::vector<char> member_;    // by point: on the tour being improved
    std::vector<uint32_t> queue_;
    std::vector<char> queued_;
    std::vector<uint32_t> scratch_;
};

}  // namespace dulmar
