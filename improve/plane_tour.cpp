#include "improve/plane_tour.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/point_index.h"

namespace dulmar {

namespace {

// Moves must gain more than this to count, so that rounding never cycles.
constexpr double kGain = 1e-7;

// Position of (x, y) on a Hilbert curve through a 2^16 x 2^16 grid.
uint64_t hilbert_index(uint32_t x, uint32_t y) {
    constexpr uint32_t side = 1u << 16;
    uint64_t d = 0;
    for (uint32_t s = side / 2; s > 0; s /= 2) {
        const uint32_t rx = (x & s) > 0 ? 1 : 0;
        const uint32_t ry = (y & s) > 0 ? 1 : 0;
        d += static_cast<uint64_t>(s) * s * ((3 * rx) ^ ry);
        if (ry == 0) {
            if (rx == 1) {
                x = side - 1 - x;
                y = side - 1 - y;
            }
            std::swap(x, y);
        }
    }
    return d;
}

}  // namespace

PlaneTour::PlaneTour(const StageModel& model, size_t type, std::vector<int64_t> nodes)
    : model_(model), type_(type), nodes_(std::move(nodes)) {
    const CostTable& table = model.instance().costs();
    const size_t count = nodes_.size();
    std::vector<double> xs(count), ys(count);
    for (size_t p = 0; p < count; ++p) {
        xs[p] = table.x(static_cast<size_t>(nodes_[p]));
        ys[p] = table.y(static_cast<size_t>(nodes_[p]));
    }
    const PointIndex index(xs, ys);
    near_.resize(count);
    std::vector<size_t> found;
    for (size_t p = 0; p < count; ++p) {
        index.nearest(xs[p], ys[p], kNeighbours, [p](size_t q) { return q != p; }, found);
        near_[p].assign(found.begin(), found.end());
    }
    pos_.assign(count, 0);
    member_.assign(count, 0);
    queued_.assign(count, 0);
}

std::vector<uint32_t> PlaneTour::curve_order() const {
    const CostTable& table = model_.instance().costs();
    const size_t count = nodes_.size();
    double x0 = HUGE_VAL, y0 = HUGE_VAL, x1 = -HUGE_VAL, y1 = -HUGE_VAL;
    for (int64_t v : nodes_) {
        x0 = std::min(x0, table.x(static_cast<size_t>(v))), x1 = std::max(x1, table.x(static_cast<size_t>(v)));
        y0 = std::min(y0, table.y(static_cast<size_t>(v))), y1 = std::max(y1, table.y(static_cast<size_t>(v)));
    }
    const double span = std::max({x1 - x0, y1 - y0, 1e-300});
    std::vector<std::pair<uint64_t, uint32_t>> keyed(count);
    for (size_t p = 0; p < count; ++p) {
        const auto grid = [&](double value, double low) {
            return static_cast<uint32_t>(std::min(65535.0, std::floor((value - low) / span * 65535.0)));
        };
        const size_t v = static_cast<size_t>(nodes_[p]);
        keyed[p] = {hilbert_index(grid(table.x(v), x0), grid(table.y(v), y0)), static_cast<uint32_t>(p)};
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<uint32_t> order(count);
    for (size_t p = 0; p < count; ++p) order[p] = keyed[p].second;
    return order;
}

double PlaneTour::length(const std::vector<uint32_t>& cycle) const {
    double total = 0.0;
    for (size_t k = 0; k < cycle.size(); ++k) total += cost(cycle[k], cycle[(k + 1) % cycle.size()]);
    return total;
}

void PlaneTour::push(uint32_t p) {
    if (queued_[p]) return;
    queued_[p] = 1;
    queue_.push_back(p);
}

void PlaneTour::improve(std::vector<uint32_t>& cycle, const std::function<bool()>& stop) {
    n_ = cycle.size();
    if (n_ < 5) return;
    cycle_.swap(cycle);
    for (size_t k = 0; k < n_; ++k) {
        pos_[cycle_[k]] = static_cast<uint32_t>(k);
        member_[cycle_[k]] = 1;
    }
    queue_.clear();
    for (uint32_t p : cycle_) push(p);
    size_t steps = 0;
    for (size_t head = 0; head < queue_.size(); ++head) {
        if (++steps % 512 == 0 && stop && stop()) break;
        const uint32_t a = queue_[head];
        queued_[a] = 0;
        if (try_two_opt(a) || try_or_opt(a)) push(a);
        if (head > 4096 && head * 2 > queue_.size()) {
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head) + 1);
            head = static_cast<size_t>(-1);
        }
    }
    for (uint32_t p : queue_) queued_[p] = 0;
    queue_.clear();
    for (uint32_t p : cycle_) member_[p] = 0;
    cycle.swap(cycle_);
}

void PlaneTour::reverse(size_t i, size_t j) {
    size_t len = (j + n_ - i) % n_ + 1;
    if (2 * len > n_) {
        const size_t from = (j + 1) % n_;
        j = (i + n_ - 1) % n_;
        i = from;
        len = n_ - len;
    }
    for (size_t k = 0; k < len / 2; ++k) {
        const size_t a = (i + k) % n_;
        const size_t b = (j + n_ - k) % n_;
        std::swap(cycle_[a], cycle_[b]);
        pos_[cycle_[a]] = static_cast<uint32_t>(a);
        pos_[cycle_[b]] = static_cast<uint32_t>(b);
    }
}

void PlaneTour::two_opt_move(uint32_t u1, uint32_t u2, uint32_t v1, [[maybe_unused]] uint32_t v2) {
    // Either way round the tour the path between the removed edges is reversed.
    if (next(u1) == u2) {
        reverse(pos_[u2], pos_[v1]);
    } else {
        reverse(pos_[v1], pos_[u2]);
    }
}

bool PlaneTour::try_two_opt(uint32_t a) {
    for (int forward = 1; forward >= 0; --forward) {
        const uint32_t b = forward ? next(a) : prev(a);
        const double ab = cost(a, b);
        for (uint32_t c : near_[a]) {
            if (!member_[c]) continue;
            const double ac = cost(a, c);
            if (ac >= ab) break;
            const uint32_t d = forward ? next(c) : prev(c);
            if (c == b || d == a) continue;
            if (ac + cost(b, d) - ab - cost(c, d) < -kGain) {
                if (forward) {
                    two_opt_move(a, b, c, d);
                } else {
                    two_opt_move(b, a, d, c);
                }
                push(b), push(c), push(d);
                return true;
            }
        }
    }
    return false;
}

bool PlaneTour::try_or_opt(uint32_t a) {
    for (size_t len = 1; len <= 3 && len + 3 <= n_; ++len) {
        for (int a_first = 1; a_first >= 0; --a_first) {
            if (len == 1 && !a_first) continue;
            const size_t i = a_first ? pos_[a] : (pos_[a] + n_ + 1 - len) % n_;
            const uint32_t s1 = cycle_[i];
            const uint32_t s2 = cycle_[(i + len - 1) % n_];
            const uint32_t p = cycle_[(i + n_ - 1) % n_];
            const uint32_t after = cycle_[(i + len) % n_];
            const double saved = cost(p, s1) + cost(s2, after) - cost(p, after);
            if (saved <= kGain) continue;
            const auto inside = [&](uint32_t q) { return (pos_[q] + n_ - i) % n_ < len; };
            for (uint32_t c : near_[a]) {
                if (!member_[c] || inside(c)) continue;
                const double ca = cost(c, a);
                if (ca >= saved) break;
                const uint32_t other = a == s1 ? s2 : s1;  // the segment's end away from c
                // Between c and the point after it, a next to c.
                const uint32_t e = next(c);
                if (c != p && !inside(e) && ca + cost(other, e) - cost(c, e) - saved < -kGain) {
                    move_segment(i, len, c, a != s1);
                    push(p), push(after), push(s1), push(s2), push(c), push(e);
                    return true;
                }
                // Between the point before c and c, a next to c.
                const uint32_t f = prev(c);
                if (c != after && !inside(f) && ca + cost(f, other) - cost(f, c) - saved < -kGain) {
                    move_segment(i, len, f, a != s2);
                    push(p), push(after), push(s1), push(s2), push(c), push(f);
                    return true;
                }
            }
        }
    }
    return false;
}

void PlaneTour::move_segment(size_t i, size_t len, uint32_t c, bool reversed) {
    scratch_.assign(len, 0);
    for (size_t k = 0; k < len; ++k) scratch_[k] = cycle_[(i + k) % n_];
    if (reversed) std::reverse(scratch_.begin(), scratch_.end());
    const size_t pc = pos_[c];
    const size_t forward = (pc + n_ - (i + len - 1) % n_) % n_;  // points from i + len to c
    const size_t backward = (i + n_ - (pc + 1) % n_) % n_;      // points after c up to i - 1
    auto put = [&](size_t at, uint32_t q) {
        cycle_[at % n_] = q;
        pos_[q] = static_cast<uint32_t>(at % n_);
    };
    if (forward <= backward) {
        for (size_t k = 0; k < forward; ++k) put(i + k, cycle_[(i + len + k) % n_]);
        for (size_t k = 0; k < len; ++k) put(i + forward + k, scratch_[k]);
    } else {
        for (size_t k = 0; k < backward; ++k) put(i + len - 1 - k + n_, cycle_[(i + n_ - 1 - k) % n_]);
        for (size_t k = 0; k < len; ++k) put(pc + 1 + k, scratch_[k]);
    }
}

}  // namespace dulmar
