// Who must be served before whom in one solve, by node index. A "same" pair
// puts both nodes on one route, its before node first; a "diff" pair puts
// them on two routes; every pair but a "same" one is timed: service at its
// after node starts no earlier than service at its before node has ended,
// and an agent that comes early waits. The search, the post-optimisers, the
// plan evaluator and the improvement stage all read the pairs here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/problem.h"

namespace dulmar {

struct PrecedencePair {
    size_t before = 0;
    size_t after = 0;
    PrecedenceType kind = PrecedenceType::Any;

    // Service at the after node waits for the end of service at the before node.
    bool timed() const { return kind != PrecedenceType::Same; }
};

class PrecedenceRule {
public:
    // "No index" for tables by node that number some nodes.
    static constexpr size_t kNoSlot = std::numeric_limits<size_t>::max();

    // Pair indices into pairs(), as a range.
    struct Links {
        const uint32_t* first = nullptr;
        const uint32_t* last = nullptr;
        const uint32_t* begin() const { return first; }
        const uint32_t* end() const { return last; }
        bool empty() const { return first == last; }
    };

    PrecedenceRule() = default;
    // Pairs whose nodes lie beyond `node_count` are dropped.
    PrecedenceRule(size_t node_count, std::vector<PrecedencePair> pairs);

    // Some pair holds: every stage keeps the rule.
    bool active() const { return !pairs_.empty(); }
    // Some pair is timed, so routes' times may depend on one another.
    bool timed() const { return timed_; }
    const std::vector<PrecedencePair>& pairs() const { return pairs_; }
    const PrecedencePair& pair(uint32_t k) const { return pairs_[k]; }

    // The pairs whose after node is `node`, and those whose before node is.
    Links into(size_t node) const { return links(into_, node); }
    Links out_of(size_t node) const { return links(out_, node); }
    bool involved(size_t node) const { return node < involved_.size() && involved_[node] != 0; }

private:
    Links links(const std::vector<uint32_t>& offsets, size_t node) const;

    std::vector<PrecedencePair> pairs_;
    bool timed_ = false;
    // CSR lists: into_[node] .. into_[node + 1] index into_pairs_ (and out_ alike).
    std::vector<uint32_t> into_, into_pairs_, out_, out_pairs_;
    std::vector<char> involved_;
};

}  // namespace dulmar
