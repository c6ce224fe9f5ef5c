// The timing summaries of runs of a route's targets (segment.h) that moves
// are priced with: from each target to the last one, from the first to each,
// the former for the other agent types, and for plans that may be late.
// Small instances keep one summary per position, built whole. Very large ones
// keep them by blocks of consecutive positions (about the square root of the
// route's length each) and join a block's with the rest when asked, so that a
// change rebuilds only the blocks it touches and the joins between blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "improve/stage_model.h"
#include "rules/segment.h"

namespace dulmar {

// A change of a route: `removed` targets at position `at` gave way to `added` new ones.
struct RouteEdit {
    size_t at = 0;
    size_t removed = 0;
    size_t added = 0;
};

class RouteSummaries {
public:
    // Builds every summary of the route `nodes` of an agent of `type` whole.
    // hops[p] is the hop into position p for that type; `late` keeps the
    // summaries of plans that may be late instead of the others. Blocked,
    // slot_of[v] becomes the slot of each target v (see position()); flat,
    // its position.
    void build(const StageModel& model, size_t type, const Route& nodes, const double* hops, bool late,
               bool blocked, size_t* slot_of);
    // Blocked only: records a change, in the positions before it; changes
    // come last position first, then commit() rebuilds what they touched.
    void edit(const RouteEdit& change);
    void commit(const StageModel& model, const Route& nodes, const double* hops, size_t* slot_of);

    bool blocked() const { return blocked_; }
    // The targets from position p to the last, the first to p; 1 <= p <= last target.
    Segment tail(size_t p) const;
    Segment head(size_t p) const;
    // Large instances with more than one type: tail(p) timed for type t (not
    // the route's own), blocked where t may not serve a target.
    bool typed() const { return !typed_types_.empty(); }
    Segment tail_for(size_t t, size_t p) const;
    WarpSegment late_tail(size_t p) const;

    // The position of the target in `slot`.
    size_t position(size_t slot) const {
        if (!blocked_) return slot;
        return starts_[rank_[slot >> shift_]] + (slot & ((size_t{1} << shift_) - 1));
    }
    // slot_of[v] for the targets of `nodes` (the route these summaries are
    // of) from position `from` on.
    void write_slots(const Route& nodes, size_t from, size_t* slot_of) const;
    // Becomes `other`, whose route has the same targets as this one's before
    // position `alike`; summaries of blocks laid out alike there are kept.
    // Returns the first position whose slot may have changed.
    size_t copy_from(const RouteSummaries& other, size_t alike);

private:
    size_t rank_of(size_t p) const;
    size_t slot_at(size_t rank, size_t p) const { return (size_t{order_[rank]} << shift_) + (p - starts_[rank]); }
    size_t typed_index(size_t t) const;
    uint32_t new_block();
    // Slots for every block id.
    void fit_slots();
    // In-block summaries of the block at `rank` and the slots of its targets.
    void build_block(const StageModel& model, size_t rank, const Route& nodes, const double* hops, size_t* slot_of);
    // The joins between blocks.
    void build_ranks(const StageModel& model, const Route& nodes, const double* hops);
    void lay_out(const StageModel& model, const Route& nodes, const double* hops, size_t* slot_of);

    size_t type_ = 0;
    bool late_ = false;
    bool blocked_ = false;
    bool large_ = false;
    std::vector<size_t> typed_types_;  // the other types, in the model's order

    // By position (flat) or by slot (blocked): the summary from the position
    // to its block's last target (tail_, typed_, late_), from its block's
    // first target to it (head_). typed_ interleaves the types: [slot * count + index].
    struct Slots {
        std::vector<Segment> tail;
        std::vector<Segment> head;
        std::vector<Segment> typed;
        std::vector<WarpSegment> late_tail;
    } slots_;

    // Blocked: block ids by rank, the first position of each rank, and by id
    // the block's length, its rank and whether a change touched it. Slots
    // id << shift_ onwards hold block id's targets in order.
    size_t shift_ = 0;
    std::vector<uint32_t> order_;
    std::vector<size_t> starts_;
    size_t end_ = 1;  // one past the last target
    std::vector<uint32_t> length_;
    std::vector<uint32_t> rank_;
    std::vector<char> dirty_;
    std::vector<uint32_t> free_;
    // By rank: the hop from the block's last target into the next block, the
    // summary from its first target to the route's last (rest_, typed_rest_,
    // late_rest_) and from the route's first target to its last (upto_).
    std::vector<double> link_;
    std::vector<Segment> rest_;
    std::vector<Segment> upto_;
    std::vector<WarpSegment> late_rest_;
    std::vector<double> typed_link_;  // [rank * count + index]
    std::vector<Segment> typed_rest_;
    std::vector<int64_t> link_ends_;  // [2 * rank], [2 * rank + 1]: the targets typed_link_ joins
    std::vector<uint32_t> runs_;      // commit()'s working buffer
};

}  // namespace dulmar
