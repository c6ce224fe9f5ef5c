"""Solves one instance file and prints each agent's route, the totals and the
improvements found over time.

    python examples/solve_example.py examples/eil51_3_agents.json [time_limit]
"""

import json
import sys

import _vok_core


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "examples/eil51_3_agents.json"
    time_limit = float(sys.argv[2]) if len(sys.argv) > 2 else -1
    with open(path) as handle:
        node_ids = [node["id"] for node in json.load(handle)["nodes"]]
    result = _vok_core.solve_json_file(path, time_limit)
    print(f"\ninstance: {path}")
    print(f"status: {result['status']}   timeout: {result['timeout']}")
    for route in result["routes"]:
        stops = " -> ".join(str(node_ids[i]) for i in route["path"]) or "(no route)"
        print(f"  agent {route['agent_id']:>3}  cost {route['cost']:10.3f}  {stops}")
    stats = result["statistics"]
    print(f"max cost {stats['max_cost']:.3f}   sum cost {stats['sum_cost']:.3f}   "
          f"solve time {stats['solve_time']:.2f} s")
    print("improvements (processor seconds since the search began):")
    print(f"  {'time':>8}  {'max cost':>10}  {'sum cost':>10}")
    for entry in result["anytime"]:
        print(f"  {entry['time']:8.3f}  {entry['max_cost']:10.3f}  {entry['sum_cost']:10.3f}")
    return 0 if result["status"] == "success" else 1


if __name__ == "__main__":
    sys.exit(main())
