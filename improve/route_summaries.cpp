#include "improve/route_summaries.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace dulmar {

namespace {

// A target type t may not serve blocks every run through it.
constexpr Segment kBlocked{0.0, -Segment::kInf, -Segment::kInf};

Segment visit_for(const StageModel& model, size_t t, int64_t v) {
    return model.type_serves(t, v) ? model.visit(v) : kBlocked;
}

// log2 of the most targets a block holds: twice the square root of the
// route's targets, and at least 16. Blocks are laid out half full.
size_t shift_for(size_t targets) {
    size_t shift = 4;
    while (static_cast<double>(size_t{1} << shift) < 2.0 * std::sqrt(static_cast<double>(targets))) ++shift;
    return shift;
}

}  // namespace

void RouteSummaries::build(const StageModel& model, size_t type, const Route& nodes, const double* hops, bool late,
                           bool blocked, size_t* slot_of) {
    type_ = type;
    late_ = late;
    blocked_ = blocked;
    large_ = model.large();
    typed_types_.clear();
    if (!late && large_ && model.types().size() > 1)
        for (size_t t : model.types())
            if (t != type) typed_types_.push_back(t);
    const size_t n = nodes.size();
    if (blocked) {
        shift_ = shift_for(n - 2);
        lay_out(model, nodes, hops, slot_of);
        return;
    }

    for (size_t p = 1; p + 1 < n; ++p) slot_of[static_cast<size_t>(nodes[p])] = p;
    if (late) {
        slots_.late_tail.resize(n);
        if (n >= 3) {
            slots_.late_tail[n - 2] = model.late_visit(nodes[n - 2]);
            for (size_t p = n - 2; p-- > 1;)
                slots_.late_tail[p] = join(model.late_visit(nodes[p]), hops[p + 1], slots_.late_tail[p + 1]);
        }
        slots_.late_tail[n - 1] = WarpSegment{};
        return;
    }
    slots_.tail.resize(n);
    if (n >= 3) {
        slots_.tail[n - 2] = model.visit(nodes[n - 2]);
        for (size_t p = n - 2; p-- > 1;) slots_.tail[p] = join(model.visit(nodes[p]), hops[p + 1], slots_.tail[p + 1]);
    }
    slots_.tail[n - 1] = Segment{};
    if (!large_) return;

    slots_.head.resize(n);
    if (n >= 3) {
        slots_.head[1] = model.visit(nodes[1]);
        for (size_t p = 2; p + 1 < n; ++p) slots_.head[p] = join(slots_.head[p - 1], hops[p], model.visit(nodes[p]));
    }
    const size_t count = typed_types_.size();
    if (count == 0 || n < 3) return;
    slots_.typed.resize(n * count);
    for (size_t j = 0; j < count; ++j) {
        const size_t t = typed_types_[j];
        slots_.typed[(n - 2) * count + j] = visit_for(model, t, nodes[n - 2]);
        for (size_t p = n - 2; p-- > 1;)
            slots_.typed[p * count + j] = join(visit_for(model, t, nodes[p]), model.cost(t, nodes[p], nodes[p + 1]),
                                         slots_.typed[(p + 1) * count + j]);
    }
}

void RouteSummaries::lay_out(const StageModel& model, const Route& nodes, const double* hops, size_t* slot_of) {
    const size_t targets = nodes.size() - 2;
    const size_t half = size_t{1} << (shift_ - 1);
    const size_t count = (targets + half - 1) / half;
    order_.clear();
    starts_.clear();
    length_.clear();
    rank_.clear();
    dirty_.clear();
    free_.clear();
    link_ends_.clear();
    size_t at = 1;
    for (size_t k = 0; k < count; ++k) {
        const uint32_t id = new_block();
        length_[id] = static_cast<uint32_t>(targets * (k + 1) / count - targets * k / count);
        rank_[id] = static_cast<uint32_t>(k);
        order_.push_back(id);
        starts_.push_back(at);
        at += length_[id];
    }
    end_ = at;
    for (size_t k = 0; k < count; ++k) build_block(model, k, nodes, hops, slot_of);
    build_ranks(model, nodes, hops);
}

uint32_t RouteSummaries::new_block() {
    if (!free_.empty()) {
        const uint32_t id = free_.back();
        free_.pop_back();
        return id;
    }
    const uint32_t id = static_cast<uint32_t>(length_.size());
    length_.push_back(0);
    rank_.push_back(0);
    dirty_.push_back(0);
    fit_slots();
    return id;
}

void RouteSummaries::fit_slots() {
    const size_t slots = length_.size() << shift_;
    auto fit = [](auto& values, size_t size) {
        if (values.size() < size) values.resize(size);
    };
    if (late_) {
        fit(slots_.late_tail, slots);
    } else {
        fit(slots_.tail, slots);
        fit(slots_.head, slots);
        fit(slots_.typed, slots * typed_types_.size());
    }
}

size_t RouteSummaries::rank_of(size_t p) const {
    return static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), p) - starts_.begin()) - 1;
}

size_t RouteSummaries::typed_index(size_t t) const {
    return static_cast<size_t>(std::find(typed_types_.begin(), typed_types_.end(), t) - typed_types_.begin());
}

void RouteSummaries::edit(const RouteEdit& change) {
    assert(blocked_);
    if (order_.empty()) {
        if (change.added == 0) return;
        const uint32_t id = new_block();
        length_[id] = static_cast<uint32_t>(change.added);
        dirty_[id] = 1;
        order_.push_back(id);
        starts_.push_back(1);
        return;
    }
    // The targets a change adds join the block that held position `at`, or
    // the last block when they come after every target.
    const size_t first = rank_of(change.at);
    if (change.removed > 0) {
        const size_t until = change.at + change.removed;
        const size_t last = rank_of(until - 1);
        for (size_t k = first; k <= last; ++k) {
            const size_t from = std::max(starts_[k], change.at);
            const size_t to = std::min(k + 1 < order_.size() ? starts_[k + 1] : end_, until);
            length_[order_[k]] -= static_cast<uint32_t>(to - from);
            dirty_[order_[k]] = 1;
        }
    }
    length_[order_[first]] += static_cast<uint32_t>(change.added);
    dirty_[order_[first]] = 1;
}

void RouteSummaries::commit(const StageModel& model, const Route& nodes, const double* hops, size_t* slot_of) {
    const size_t targets = nodes.size() - 2;
    const size_t wanted = shift_for(targets);
    if (wanted + 1 < shift_ || wanted > shift_ + 1) {
        // The route grew or shrank fourfold: blocks of a size that suits it.
        shift_ = wanted;
        lay_out(model, nodes, hops, slot_of);
        return;
    }
    const size_t most = size_t{1} << shift_;
    const size_t half = most / 2;
    // Each run of touched blocks is laid out again, with the next block when
    // it came out short of a quarter, as whole blocks of at most `most`.
    std::vector<uint32_t>& next = runs_;
    next.clear();
    for (size_t k = 0; k < order_.size();) {
        if (!dirty_[order_[k]]) {
            next.push_back(order_[k++]);
            continue;
        }
        size_t j = k;
        size_t length = 0;
        while (j < order_.size() && (dirty_[order_[j]] || length < most / 4)) {
            dirty_[order_[j]] = 1;
            length += length_[order_[j++]];
        }
        const size_t pieces = length == 0 ? 0 : length <= most ? 1 : (length + half - 1) / half;
        for (size_t i = 0; i < std::max(pieces, j - k); ++i) {
            if (i >= pieces) {
                dirty_[order_[k + i]] = 0;
                length_[order_[k + i]] = 0;
                free_.push_back(order_[k + i]);
                continue;
            }
            const uint32_t id = k + i < j ? order_[k + i] : new_block();
            length_[id] = static_cast<uint32_t>(length * (i + 1) / pieces - length * i / pieces);
            dirty_[id] = 1;
            next.push_back(id);
        }
        k = j;
    }
    order_.swap(next);
    starts_.resize(order_.size());
    size_t at = 1;
    for (size_t k = 0; k < order_.size(); ++k) {
        starts_[k] = at;
        rank_[order_[k]] = static_cast<uint32_t>(k);
        at += length_[order_[k]];
    }
    end_ = at;
    assert(end_ == targets + 1);
    for (size_t k = 0; k < order_.size(); ++k) {
        if (!dirty_[order_[k]]) continue;
        dirty_[order_[k]] = 0;
        build_block(model, k, nodes, hops, slot_of);
    }
    build_ranks(model, nodes, hops);
}

void RouteSummaries::build_block(const StageModel& model, size_t rank, const Route& nodes, const double* hops,
                                 size_t* slot_of) {
    const size_t first = starts_[rank];
    const size_t length = length_[order_[rank]];
    const size_t base = size_t{order_[rank]} << shift_;
    for (size_t i = 0; i < length; ++i) slot_of[static_cast<size_t>(nodes[first + i])] = base + i;
    const size_t last = length - 1;
    if (late_) {
        slots_.late_tail[base + last] = model.late_visit(nodes[first + last]);
        for (size_t i = last; i-- > 0;)
            slots_.late_tail[base + i] = join(model.late_visit(nodes[first + i]), hops[first + i + 1], slots_.late_tail[base + i + 1]);
        return;
    }
    slots_.tail[base + last] = model.visit(nodes[first + last]);
    for (size_t i = last; i-- > 0;)
        slots_.tail[base + i] = join(model.visit(nodes[first + i]), hops[first + i + 1], slots_.tail[base + i + 1]);
    slots_.head[base] = model.visit(nodes[first]);
    for (size_t i = 1; i < length; ++i)
        slots_.head[base + i] = join(slots_.head[base + i - 1], hops[first + i], model.visit(nodes[first + i]));
    const size_t count = typed_types_.size();
    for (size_t j = 0; j < count; ++j) {
        const size_t t = typed_types_[j];
        slots_.typed[(base + last) * count + j] = visit_for(model, t, nodes[first + last]);
        for (size_t i = last; i-- > 0;) {
            const int64_t v = nodes[first + i];
            slots_.typed[(base + i) * count + j] =
                join(visit_for(model, t, v), model.cost(t, v, nodes[first + i + 1]), slots_.typed[(base + i + 1) * count + j]);
        }
    }
}

void RouteSummaries::build_ranks(const StageModel& model, const Route& nodes, const double* hops) {
    const size_t ranks = order_.size();
    if (ranks == 0) return;
    auto first_slot = [&](size_t k) { return size_t{order_[k]} << shift_; };
    auto last_slot = [&](size_t k) { return first_slot(k) + length_[order_[k]] - 1; };
    link_.resize(ranks);
    for (size_t k = 0; k + 1 < ranks; ++k) link_[k] = hops[starts_[k + 1]];
    if (late_) {
        late_rest_.resize(ranks);
        late_rest_[ranks - 1] = slots_.late_tail[first_slot(ranks - 1)];
        for (size_t k = ranks - 1; k-- > 0;) late_rest_[k] = join(slots_.late_tail[first_slot(k)], link_[k], late_rest_[k + 1]);
        return;
    }
    rest_.resize(ranks);
    rest_[ranks - 1] = slots_.tail[first_slot(ranks - 1)];
    for (size_t k = ranks - 1; k-- > 0;) rest_[k] = join(slots_.tail[first_slot(k)], link_[k], rest_[k + 1]);
    upto_.resize(ranks);
    upto_[0] = slots_.head[last_slot(0)];
    for (size_t k = 1; k < ranks; ++k) upto_[k] = join(upto_[k - 1], link_[k - 1], slots_.head[last_slot(k)]);

    const size_t count = typed_types_.size();
    if (count == 0) return;
    typed_link_.resize(ranks * count);
    typed_rest_.resize(ranks * count);
    link_ends_.resize(2 * ranks, -1);
    for (size_t k = 0; k + 1 < ranks; ++k) {
        // Costs on demand are worked out again only for links that changed.
        const int64_t u = nodes[starts_[k + 1] - 1];
        const int64_t v = nodes[starts_[k + 1]];
        if (link_ends_[2 * k] == u && link_ends_[2 * k + 1] == v) continue;
        link_ends_[2 * k] = u;
        link_ends_[2 * k + 1] = v;
        for (size_t j = 0; j < count; ++j) typed_link_[k * count + j] = model.cost(typed_types_[j], u, v);
    }
    for (size_t j = 0; j < count; ++j) {
        typed_rest_[(ranks - 1) * count + j] = slots_.typed[first_slot(ranks - 1) * count + j];
        for (size_t k = ranks - 1; k-- > 0;) {
            typed_rest_[k * count + j] =
                join(slots_.typed[first_slot(k) * count + j], typed_link_[k * count + j], typed_rest_[(k + 1) * count + j]);
        }
    }
}

Segment RouteSummaries::tail(size_t p) const {
    if (!blocked_) return slots_.tail[p];
    const size_t k = rank_of(p);
    const Segment& in = slots_.tail[slot_at(k, p)];
    return k + 1 < order_.size() ? join(in, link_[k], rest_[k + 1]) : in;
}

Segment RouteSummaries::head(size_t p) const {
    if (!blocked_) return slots_.head[p];
    const size_t k = rank_of(p);
    const Segment& in = slots_.head[slot_at(k, p)];
    return k > 0 ? join(upto_[k - 1], link_[k - 1], in) : in;
}

Segment RouteSummaries::tail_for(size_t t, size_t p) const {
    const size_t count = typed_types_.size();
    const size_t j = typed_index(t);
    assert(j < count);
    if (!blocked_) return slots_.typed[p * count + j];
    const size_t k = rank_of(p);
    const Segment& in = slots_.typed[slot_at(k, p) * count + j];
    return k + 1 < order_.size() ? join(in, typed_link_[k * count + j], typed_rest_[(k + 1) * count + j]) : in;
}

WarpSegment RouteSummaries::late_tail(size_t p) const {
    if (!blocked_) return slots_.late_tail[p];
    const size_t k = rank_of(p);
    const WarpSegment& in = slots_.late_tail[slot_at(k, p)];
    return k + 1 < order_.size() ? join(in, link_[k], late_rest_[k + 1]) : in;
}

void RouteSummaries::write_slots(const Route& nodes, size_t from, size_t* slot_of) const {
    if (!blocked_) {
        for (size_t p = std::max<size_t>(from, 1); p + 1 < nodes.size(); ++p) slot_of[static_cast<size_t>(nodes[p])] = p;
        return;
    }
    for (size_t k = from < end_ ? rank_of(std::max<size_t>(from, 1)) : order_.size(); k < order_.size(); ++k)
        for (size_t i = 0; i < length_[order_[k]]; ++i)
            slot_of[static_cast<size_t>(nodes[starts_[k] + i])] = (size_t{order_[k]} << shift_) + i;
}

size_t RouteSummaries::copy_from(const RouteSummaries& other, size_t alike) {
    if (!blocked_ || !other.blocked_ || late_ != other.late_ || shift_ != other.shift_ || type_ != other.type_) {
        *this = other;
        return 0;
    }
    // A block holds the summaries of its targets only: one at the same
    // place, of the same length and wholly before `alike` holds what
    // other's does. The others take other's.
    size_t changed = other.end_;
    const size_t count = typed_types_.size();
    for (size_t k = 0; k < other.order_.size(); ++k) {
        const uint32_t id = other.order_[k];
        const size_t start = other.starts_[k];
        const size_t length = other.length_[id];
        if (start + length <= alike && k < order_.size() && order_[k] == id && starts_[k] == start &&
            length_[id] == length) {
            continue;
        }
        changed = std::min(changed, start);
        const size_t base = size_t{id} << shift_;
        auto take = [&](auto& mine, const auto& theirs, size_t width) {
            if (mine.size() < (base + length) * width) mine.resize((base + length) * width);
            std::copy(theirs.begin() + static_cast<std::ptrdiff_t>(base * width),
                      theirs.begin() + static_cast<std::ptrdiff_t>((base + length) * width),
                      mine.begin() + static_cast<std::ptrdiff_t>(base * width));
        };
        if (late_) {
            take(slots_.late_tail, other.slots_.late_tail, 1);
        } else {
            take(slots_.tail, other.slots_.tail, 1);
            take(slots_.head, other.slots_.head, 1);
            take(slots_.typed, other.slots_.typed, count);
        }
    }
    // Everything but the slots; new_block() keeps the slots as long as the ids.
    large_ = other.large_;
    typed_types_ = other.typed_types_;
    order_ = other.order_;
    starts_ = other.starts_;
    end_ = other.end_;
    length_ = other.length_;
    rank_ = other.rank_;
    dirty_ = other.dirty_;
    free_ = other.free_;
    link_ = other.link_;
    rest_ = other.rest_;
    upto_ = other.upto_;
    late_rest_ = other.late_rest_;
    typed_link_ = other.typed_link_;
    typed_rest_ = other.typed_rest_;
    link_ends_ = other.link_ends_;
    fit_slots();
    return changed;
}

}  // namespace dulmar
