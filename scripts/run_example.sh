#!/usr/bin/env bash
# Builds and installs VOK, then solves the shipped eil51 example with three agents.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet . 
python3 examples/solve_example.py examples/eil51_3_agents.json "$@"
