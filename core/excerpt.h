// Input quoted in a message is cut to a short excerpt: an instance may hold
// names and values of any size, and a message should stay a line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dulmar {

constexpr size_t kExcerptBytes = 60;

// `text` itself when short, else its first bytes (never half a UTF-8
// character), "...", and how long it was.
std::string excerpt(std::string_view text, size_t limit = kExcerptBytes);

}  // namespace dulmar
