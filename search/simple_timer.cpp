#include "search/simple_timer.h"

#include <ctime>
#include <iostream>

namespace dulmar {

void SimpleTimer::start() { ticks = static_cast<int64_t>(std::clock()); }

double SimpleTimer::elapsed() const {
    return static_cast<double>(static_cast<int64_t>(std::clock()) - ticks) / 1000000.0;
}

void SimpleTimer::print_elapsed() const {
    std::cout << " System Clock Duration: " << elapsed() << std::endl;
}

}  // namespace dulmar
