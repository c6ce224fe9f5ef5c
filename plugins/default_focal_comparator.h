// Order of the focal list: most visited nodes first, then lowest priority
// value, then shortest total length.
#pragma once

#include <string>

#include "plugins/plugin_base.h"

namespace dulmar {

class DefaultFocalComparator : public FocalComparatorPlugin {
public:
    std::string name() const override { return "DefaultFocalComparator"; }
    bool before(const FocalEntry& a, const FocalEntry& b) const override;
};

}  // namespace dulmar
