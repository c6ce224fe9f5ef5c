"""Two builds of VOK on the same improvement-stage work: every result to the bit.

    python bench/same_results.py --before /path/to/old/python [--after python3] [--very-large 10000:20]

Each interpreter must have its own build of `_vok_core` installed. Random instances of 40 to 2,000
nodes (bench/make_random.py: plain and windows, min-max and min-sum, a few seeds) run a fixed number
of improvement iterations with a fixed seed in a child of each interpreter; routes, route costs,
objective values, the anytime record (on one thread) and the iteration count must agree exactly. With
``--very-large NODES:AGENTS``, that case runs on the later build alone and its routes are judged
again by bench/route_check.py (very large instances may take other routes than before).
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import make_random  # noqa: E402
from route_check import check_routes  # noqa: E402

WORKER = r"""
import json, sys, _vok_core
result = _vok_core.solve_json_file(sys.argv[1])
s = result["statistics"]
# Wall times aside: they differ from run to run.
print(json.dumps({"routes": result["routes"], "max": s["max_cost"], "sum": s["sum_cost"],
                  "iterations": s["improve_iterations"],
                  "anytime": [{k: v for k, v in e.items() if k != "time"} for e in result["anytime"]]}))
"""

# (nodes, agents, objective, variant, seed, iterations, threads)
CASES = [(40, 3, "min_max", "plain", 1, 3000, 1), (40, 3, "min_sum", "windows", 2, 3000, 1),
         (200, 5, "min_max", "windows", 1, 2000, 1), (200, 5, "min_sum", "plain", 3, 2000, 1),
         (1000, 10, "min_max", "plain", 2, 500, 1), (1000, 10, "min_sum", "windows", 1, 500, 1),
         (1000, 10, "min_max", "windows", 3, 400, 2),
         (2000, 20, "min_max", "windows", 1, 300, 1), (2000, 20, "min_sum", "plain", 2, 300, 1)]


def solve(python: str, path: Path) -> Dict[str, Any]:
    out = subprocess.run([python, "-c", WORKER, str(path)], check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", required=True, help="interpreter with the earlier build")
    parser.add_argument("--after", default=sys.executable, help="interpreter with the later build")
    parser.add_argument("--very-large", metavar="NODES:AGENTS", help="also judge one very large min-max run")
    args = parser.parse_args()
    differ = 0
    with tempfile.TemporaryDirectory() as scratch:
        path = Path(scratch) / "instance.json"
        for nodes, agents, objective, variant, seed, iterations, threads in CASES:
            instance = make_random.make_instance(nodes, agents, objective, variant, seed, "metric")
            instance["options"].update(improve=True, improve_iterations=iterations, seed=seed, time_limit=3600,
                                       threads=threads)
            path.write_text(json.dumps(instance))
            before, after = solve(args.before, path), solve(args.after, path)
            if threads > 1:
                # Which of the workers' bests the calling thread sees as they come varies from run to run.
                del before["anytime"], after["anytime"]
            same = before == after
            differ += not same
            print(f"{nodes:5d} nodes m{agents} {objective} {variant} seed {seed} threads {threads}: "
                  f"{after['iterations']} iterations, "
                  f"max {after['max']:.3f} sum {after['sum']:.3f}, anytime entries "
                  f"{len(after.get('anytime', []))}: {'same' if same else 'DIFFERENT'}", flush=True)
        if args.very_large:
            nodes, agents = (int(x) for x in args.very_large.split(":"))
            for variant in make_random.VARIANTS:
                instance = make_random.make_instance(nodes, agents, "min_max", variant, 1, "metric")
                instance["options"].update(improve=True, improve_iterations=2000, seed=1, time_limit=3600)
                path.write_text(json.dumps(instance))
                after = solve(args.after, path)
                check = check_routes(instance, [r["path"] for r in after["routes"]],
                                     claimed_costs=[r["cost"] for r in after["routes"]],
                                     claimed_objective=after["max"])
                ok = check.valid and not check.mismatches
                differ += not ok
                print(f"{nodes} nodes m{agents} min_max {variant}: {after['iterations']} iterations, "
                      f"max {after['max']:.3f}: {'valid' if ok else 'INVALID ' + str(check)[:300]}", flush=True)
    sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main()
