"""Two builds of VOK side by side on the same fixed work: speed, peak memory and results.

    python bench/bench_builds.py --before /path/to/old/python --after python3 [--out builds.md] [--quick]

Each interpreter must have its own build of `_vok_core` installed. Every case runs in a child
process of the interpreter (peak resident memory and processor time from that child's rusage):

* improvement-stage cases run a fixed number of iterations with a fixed seed, so both builds do
  the same work and, when nothing but speed and memory changed, give the same routes to the bit;
* search cases run the focal search alone for a fixed processor-time budget and report the
  states it generates per processor second after its last solution.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
import make_random  # noqa: E402

WORKER = r"""
import json, sys, _vok_core
path, = sys.argv[1:]
result = _vok_core.solve_json_file(path)
s = result["statistics"]
# The child's own high-water mark: rusage would also count the process it was spawned from.
peak_kb = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(json.dumps({"status": result["status"], "max": s["max_cost"], "sum": s["sum_cost"], "peak_mb": peak_kb / 1024,
                  "generated": s["n_generated"], "last": s["last_update_time"],
                  "iterations": s["improve_iterations"],
                  "routes": [r["path"] for r in result["routes"]]}))
"""


def run(python: str, path: Path) -> Tuple[Dict[str, Any], float, float]:
    with tempfile.NamedTemporaryFile(suffix=".out") as out:
        pid = os.posix_spawn(python, [python, "-c", WORKER, str(path)], dict(os.environ),
                             file_actions=[(os.POSIX_SPAWN_OPEN, 1, out.name, os.O_WRONLY | os.O_TRUNC, 0o600),
                                           (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)])
        _, status, usage = os.wait4(pid, 0)
        lines = Path(out.name).read_text().strip().splitlines()
    if os.waitstatus_to_exitcode(status) != 0 or not lines:
        raise RuntimeError(f"{python} failed on {path}")
    answer = json.loads(lines[-1])
    return answer, usage.ru_utime + usage.ru_stime, answer["peak_mb"]


def cases(quick: bool) -> List[Tuple[str, Dict[str, Any], str]]:
    tsp = harness.BENCHMARKS / "tsplib"
    conv = harness.converters()
    scale = 10 if quick else 1
    out: List[Tuple[str, Dict[str, Any], str]] = []

    def stage(label: str, instance: Dict[str, Any], iterations: int) -> None:
        instance["options"].update(improve=True, improve_iterations=max(1, iterations // scale), seed=7,
                                   time_limit=3600)
        out.append((label, instance, "stage"))

    stage("eil51 m3", conv.tsplib_to_instance(tsp / "eil51.tsp", 3), 20000)
    stage("kroA100 m5, min-sum", conv.tsplib_to_instance(tsp / "kroA100.tsp", 5, objective="min_sum"), 10000)
    stage("kroA200 m5", conv.tsplib_to_instance(tsp / "kroA200.tsp", 5), 5000)
    stage("u1000 m10, windows", make_random.make_instance(1000, 10, variant="windows"), 2000)
    stage("u2000 m20, metric", make_random.make_instance(2000, 20), 500)
    stage("u2000 m20, matrix", make_random.make_instance(2000, 20, form="matrix"), 500)
    for name, agents in (("eil51", 3), ("kroA100", 3), ("ch150", 5)):
        instance = conv.tsplib_to_instance(tsp / f"{name}.tsp", agents)
        instance["options"].update(time_limit=2.0 if quick else 10.0)
        out.append((f"{name} m{agents}, search", instance, "search"))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", required=True, help="interpreter with the earlier build")
    parser.add_argument("--after", default=sys.executable, help="interpreter with the later build")
    parser.add_argument("--out", help="write the report here too")
    parser.add_argument("--quick", action="store_true", help="a tenth of the iterations, short searches")
    args = parser.parse_args()

    lines = [f"Machine: {harness.machine_line(False)}", "",
             "| case | work | before CPU s | after CPU s | after / before | before peak MB | after peak MB | "
             "same result |", "|---|---|---|---|---|---|---|---|"]
    print("\n".join(lines), flush=True)
    with tempfile.TemporaryDirectory() as scratch:
        for k, (label, instance, kind) in enumerate(cases(args.quick)):
            path = Path(scratch) / f"case{k}.json"
            path.write_text(json.dumps(instance))
            (b, b_cpu, b_mb), (a, a_cpu, a_mb) = run(args.before, path), run(args.after, path)
            if kind == "stage":
                work = f"{a['iterations']} iterations"
                b_speed, a_speed = b_cpu, a_cpu
                same = "yes" if (a["routes"], a["max"], a["sum"]) == (b["routes"], b["max"], b["sum"]) else "NO"
                ratio = a_cpu / b_cpu
                cells = [f"{b_cpu:.2f}", f"{a_cpu:.2f}", f"{ratio:.3f}"]
            else:
                budget = instance["options"]["time_limit"]
                b_rate = b["generated"] / max(budget - b["last"], 1e-9)
                a_rate = a["generated"] / max(budget - a["last"], 1e-9)
                work = f"{budget:g} s search, states / s"
                same = "yes" if (a["max"], a["sum"]) == (b["max"], b["sum"]) else "NO"
                cells = [f"{b_rate:,.0f}", f"{a_rate:,.0f}", f"{b_rate / a_rate:.3f}"]
            row = f"| {label} | {work} | " + " | ".join(cells) + f" | {b_mb:.0f} | {a_mb:.0f} | {same} |"
            lines.append(row)
            print(row, flush=True)
    lines.append("")
    lines.append("Search rows give states generated per processor second after the last solution; their "
                 "ratio column is before / after rate, so below 1 means the later build is faster there too.")
    if args.out:
        Path(args.out).write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
