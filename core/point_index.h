// Nearest points in the plane: a k-d tree over a fixed set of points, built
// once in O(n log n), that answers "the k nearest points that pass a filter"
// in about O(k log n). The improvement stage finds its neighbour lists and
// the tours of its first solution with it on instances too large for tables.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace dulmar {

class PointIndex {
public:
    // Point i lies at (xs[i], ys[i]); every coordinate must be finite.
    PointIndex(std::vector<double> xs, std::vector<double> ys);

    size_t size() const { return xs_.size(); }

    // The (at most) k points nearest to (x, y) whose index `keep` accepts,
    // nearest first, ties by lower index, into `out`.
    template <class Keep>
    void nearest(double x, double y, size_t k, const Keep& keep, std::vector<size_t>& out) const;

private:
    static constexpr size_t kLeafSize = 8;
    static constexpr uint32_t kNone = UINT32_MAX;

    struct Box {
        uint32_t begin = 0, end = 0;             // order_[begin, end)
        uint32_t low = kNone, high = kNone;      // children: coordinate below / at or above `split`
        int axis = 0;
        double split = 0.0;
    };

    uint32_t build(uint32_t begin, uint32_t end);
    double coordinate(size_t i, int axis) const { return axis == 0 ? xs_[i] : ys_[i]; }

    std::vector<double> xs_, ys_;
    std::vector<uint32_t> order_;
    std::vector<Box> boxes_;
};

template <class Keep>
void PointIndex::nearest(double x, double y, size_t k, const Keep& keep, std::vector<size_t>& out) const {
    out.clear();
    if (k == 0 || boxes_.empty()) return;
    // A max-heap of the best k so far, by (squared distance, index).
    std::vector<std::pair<double, size_t>> best;
    best.reserve(k + 1);
    auto worst = [&]() { return best.size() < k ? HUGE_VAL : best.front().first; };
    // Boxes still to visit, with a lower bound on their squared distance.
    std::vector<std::pair<double, uint32_t>> stack;
    stack.emplace_back(0.0, 0u);
    while (!stack.empty()) {
        const auto [bound, at] = stack.back();
        stack.pop_back();
        if (bound > worst()) continue;
        const Box& box = boxes_[at];
        if (box.low == kNone) {
            for (uint32_t p = box.begin; p < box.end; ++p) {
                const size_t i = order_[p];
                const double dx = xs_[i] - x, dy = ys_[i] - y;
                const std::pair<double, size_t> entry{dx * dx + dy * dy, i};
                if ((best.size() == k && !(entry < best.front())) || !keep(i)) continue;
                best.push_back(entry);
                std::push_heap(best.begin(), best.end());
                if (best.size() > k) {
                    std::pop_heap(best.begin(), best.end());
                    best.pop_back();
                }
            }
            continue;
        }
        const double gap = (box.axis == 0 ? x : y) - box.split;
        const uint32_t near = gap < 0 ? box.low : box.high;
        const uint32_t far = gap < 0 ? box.high : box.low;
        // The far side lies at least |gap| away on this axis.
        const double far_bound = std::max(bound, gap * gap);
        if (far_bound <= worst()) stack.emplace_back(far_bound, far);
        stack.emplace_back(bound, near);
    }
    std::sort_heap(best.begin(), best.end());
    for (const auto& entry : best) out.push_back(entry.second);
}

}  // namespace dulmar
