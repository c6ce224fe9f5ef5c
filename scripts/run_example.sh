#!/usr/bin/env bash
# Builds and installs VOK, then solves the shipped eil51 example with three agents
# (the search, then the improvement stage, 5 processor seconds in all) and prints
# each agent's route and cost and the improvements over time.
# Extra arguments go to `vok solve`, e.g. --time-limit 2, --search-only or --plot routes.png.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet .
python3 -m vok solve examples/eil51_3_agents.json "$@"
