"""Benchmark: TSPLIB instances, single depot (the first node), real Euclidean
distances, min-max objective, every route returns.

    python bench/run_bench.py [--budget 10] [--agents 2 3 5 7] [--instances eil51 ...] [--out bench/RESULTS.md]

Each solve runs in its own process so that its peak memory can be read.
Figures per run: processor time to the first solution, final max and sum
cost, states generated per processor second (the counters restart at every
goal, so they are summed over the anytime record) and peak resident memory.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))

from vok.converters import tsplib_to_instance  # noqa: E402
from harness import cpu_model as processor_name  # noqa: E402

INSTANCES = ["eil51", "berlin52", "eil76", "rat99", "kroA100", "ch150", "kroA200"]


def worker(instance_path):
    """Solves one instance object by object and prints the figures as JSON."""
    import resource
    import time

    import _vok_core as vok

    instance = json.loads(Path(instance_path).read_text())
    problem = vok.Problem()
    for entry in instance["nodes"]:
        node = vok.Node()
        node.id = entry["id"]
        node.position.x = entry["x"]
        node.position.y = entry["y"]
        node.type = vok.NodeType.DEPOT if entry.get("type") == "depot" else vok.NodeType.TARGET
        problem.add_node(node)
    for entry in instance["agents"]:
        agent = vok.Agent()
        agent.id = entry["id"]
        agent.type = entry["type"]
        agent.start_node = entry["start_node"]
        agent.end_node = entry["end_node"]
        problem.add_agent(agent, entry["id"])
    for name, matrix in instance["costs"].items():
        problem.set_cost_matrix(name, matrix)
    assignment = vok.AssignmentConstraint()
    for item in instance["constraints"][0]["items"]:
        assignment.set_assignment(item["node"], item["types"])
    problem.set_assignment_constraint(assignment)
    options = problem.options()
    options.objective = vok.ObjectiveType.MinMax
    options.time_limit = instance["options"]["time_limit"]

    start = time.process_time()
    solver = vok.Solver(problem, options)
    solver.solve()
    cpu = time.process_time() - start
    process = solver.get_result_process()
    final = solver.get_result()
    # Counters restart after every goal: the first snapshot of each pair holds
    # the count up to that goal, the final result the count after the last one.
    generated = sum(snapshot.n_generated for _, snapshot in process[0::2]) + final.n_generated
    first = process[0][0] if process else None
    print(json.dumps({
        "first_solution": first,
        "max_cost": max(final.times.values()) if final.times else None,
        "sum_cost": sum(final.times.values()) if final.times else None,
        "generated": generated,
        "cpu": cpu,
        "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0,
        "goals": len(process) // 2,
    }))


def run_one(tsp, agents, budget, scratch):
    instance = tsplib_to_instance(tsp, agents=agents, time_limit=budget)
    path = scratch / f"{tsp.stem}_{agents}.json"
    path.write_text(json.dumps(instance))
    completed = subprocess.run([sys.executable, __file__, "--worker", str(path)], capture_output=True, text=True,
                               check=True)
    return json.loads(completed.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--budget", type=float, default=10.0, help="processor seconds per solve")
    parser.add_argument("--agents", type=int, nargs="+", default=[2, 3, 5, 7])
    parser.add_argument("--instances", nargs="+", default=INSTANCES)
    parser.add_argument("--benchmarks", default=str(HERE.parent.parent / "shared" / "benchmarks"))
    parser.add_argument("--out", help="write the markdown table to this file as well")
    args = parser.parse_args()
    if args.worker:
        worker(args.worker)
        return

    scratch = Path(os.environ.get("TMPDIR", "/tmp")) / "vok_bench"
    scratch.mkdir(parents=True, exist_ok=True)
    lines = [
        f"Budget {args.budget:g} processor seconds per solve; machine: {platform.machine()}, "
        f"{os.cpu_count()} cores ({processor_name()}), Python {platform.python_version()}.",
        "",
        "| instance | agents | first solution (s) | max cost | sum cost | goals | states / s | peak MB |",
        "|---|---|---|---|---|---|---|---|",
    ]
    print("\n".join(lines), flush=True)
    for name in args.instances:
        tsp = Path(args.benchmarks) / "tsplib" / f"{name}.tsp"
        for agents in args.agents:
            r = run_one(tsp, agents, args.budget, scratch)
            first = f"{r['first_solution']:.4f}" if r["first_solution"] is not None else "none"
            max_cost = f"{r['max_cost']:.2f}" if r["max_cost"] is not None else "-"
            sum_cost = f"{r['sum_cost']:.2f}" if r["sum_cost"] is not None else "-"
            rate = r["generated"] / r["cpu"] if r["cpu"] > 0 else 0.0
            line = (f"| {name} | {agents} | {first} | {max_cost} | {sum_cost} | {r['goals']} | "
                    f"{rate:,.0f} | {r['peak_mb']:.0f} |")
            lines.append(line)
            print(line, flush=True)
    if args.out:
        Path(args.out).write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
