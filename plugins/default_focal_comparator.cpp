#include "plugins/default_focal_comparator.h"

namespace dulmar {

bool DefaultFocalComparator::before(const FocalEntry& a, const FocalEntry& b) const {
    if (a.visited_count != b.visited_count) return a.visited_count > b.visited_count;
    // A NaN f-value counts as differing: neither entry then comes before the other.
    if (a.f_value != b.f_value) return a.f_value < b.f_value;
    return a.total_length < b.total_length;
}

}  // namespace dulmar
