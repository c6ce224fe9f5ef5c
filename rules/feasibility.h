// Cheap checks at set-up that say why no plan can exist, instead of letting a
// solve end in "failed": a target no agent may visit, a window that closes
// before any agent allowed there can reach it, a demand above every capacity,
// an agent that may not finish at its own depot, a "same" precedence pair no
// agent may serve, a cycle of precedence pairs. Each raises
// std::invalid_argument naming the node or agent and the rule.
#pragma once

#include <string>
#include <vector>

#include "rules/prepared_instance.h"

namespace dulmar {

// `type_names[t]`: the name of type number t, for messages.
void require_plans_can_exist(const PreparedInstance& instance, const std::vector<std::string>& type_names);

}  // namespace dulmar
