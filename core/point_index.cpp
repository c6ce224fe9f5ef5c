#include "core/point_index.h"

#include <stdexcept>
#include <string>

namespace dulmar {

PointIndex::PointIndex(std::vector<double> xs, std::vector<double> ys) : xs_(std::move(xs)), ys_(std::move(ys)) {
    if (xs_.size() != ys_.size() || xs_.size() >= kNone) {
        throw std::invalid_argument("PointIndex: " + std::to_string(xs_.size()) + " x and " +
                                    std::to_string(ys_.size()) + " y coordinates");
    }
    order_.resize(xs_.size());
    for (size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<uint32_t>(i);
    if (!order_.empty()) {
        boxes_.reserve(2 * (order_.size() / kLeafSize + 1));
        build(0, static_cast<uint32_t>(order_.size()));
    }
}

uint32_t PointIndex::build(uint32_t begin, uint32_t end) {
    const uint32_t at = static_cast<uint32_t>(boxes_.size());
    boxes_.push_back(Box{begin, end});
    if (end - begin <= kLeafSize) return at;
    // Split the wider extent at its median.
    double low[2] = {HUGE_VAL, HUGE_VAL}, high[2] = {-HUGE_VAL, -HUGE_VAL};
    for (uint32_t p = begin; p < end; ++p) {
        for (int axis = 0; axis < 2; ++axis) {
            low[axis] = std::min(low[axis], coordinate(order_[p], axis));
            high[axis] = std::max(high[axis], coordinate(order_[p], axis));
        }
    }
    const int axis = high[1] - low[1] > high[0] - low[0] ? 1 : 0;
    const uint32_t middle = begin + (end - begin) / 2;
    std::nth_element(order_.begin() + begin, order_.begin() + middle, order_.begin() + end,
                     [&](uint32_t a, uint32_t b) { return coordinate(a, axis) < coordinate(b, axis); });
    const double split = coordinate(order_[middle], axis);
    const uint32_t low_box = build(begin, middle);
    const uint32_t high_box = build(middle, end);
    Box& box = boxes_[at];
    box.axis = axis;
    box.split = split;
    box.low = low_box;
    box.high = high_box;
    return at;
}

}  // namespace dulmar
