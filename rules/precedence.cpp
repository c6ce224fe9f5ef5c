#include "rules/precedence.h"

#include <utility>

namespace dulmar {

namespace {

// Counting sort of the pair indices by one end: offsets[v] .. offsets[v + 1].
void link(const std::vector<PrecedencePair>& pairs, size_t n, bool by_after, std::vector<uint32_t>& offsets,
          std::vector<uint32_t>& order) {
    offsets.assign(n + 1, 0);
    for (const PrecedencePair& p : pairs) ++offsets[(by_after ? p.after : p.before) + 1];
    for (size_t v = 0; v < n; ++v) offsets[v + 1] += offsets[v];
    order.assign(pairs.size(), 0);
    std::vector<uint32_t> next(offsets.begin(), offsets.end() - 1);
    for (uint32_t k = 0; k < pairs.size(); ++k) order[next[by_after ? pairs[k].after : pairs[k].before]++] = k;
}

}  // namespace

PrecedenceRule::PrecedenceRule(size_t node_count, std::vector<PrecedencePair> pairs) {
    for (const PrecedencePair& p : pairs)
        if (p.before < node_count && p.after < node_count) pairs_.push_back(p);
    if (pairs_.empty()) return;
    const size_t n = node_count;
    link(pairs_, n, true, into_, into_pairs_);
    link(pairs_, n, false, out_, out_pairs_);
    involved_.assign(n, 0);
    for (const PrecedencePair& p : pairs_) {
        timed_ = timed_ || p.timed();
        involved_[p.before] = involved_[p.after] = 1;
    }
}

PrecedenceRule::Links PrecedenceRule::links(const std::vector<uint32_t>& offsets, size_t node) const {
    if (node + 1 >= offsets.size()) return Links{};
    const std::vector<uint32_t>& order = &offsets == &into_ ? into_pairs_ : out_pairs_;
    return Links{order.data() + offsets[node], order.data() + offsets[node + 1]};
}

}  // namespace dulmar
