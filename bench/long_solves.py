"""Figures of long solves: how soon Ctrl-C stops a solve (in the search, and from the set-up of a
2,000- and a 5,000-node instance through the improvement stage's first solution and its iterations,
on both JSON functions), how much two solves in two threads gain over one after the other, and how
much memory a solve under a memory cap really takes.

    python bench/long_solves.py [--repeat N] [--set-up-only]

Uses examples/eil51_3_agents.json (five agents for the memory figures) and random instances with two
agent types: 2,000 nodes as full matrices and in the metric form, 5,000 nodes in the metric form.
Latencies are given in the solving thread's processor time, which a busy machine does not inflate.
Prints a small table.
"""

import argparse
import json
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import _vok_core

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "eil51_3_agents.json"

INTERRUPTED = """
import json, sys, time
import _vok_core
text = sys.stdin.read()
print("ready", flush=True)
try:
    _vok_core.solve_json_str(text, 60)
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
"""

PEAK = """
import json, sys
import _vok_core
def peak_kb():
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1])
text = sys.stdin.read()
before = peak_kb()
result = _vok_core.solve_json_str(text)
print(json.dumps({"growth_mb": (peak_kb() - before) / 1024, "reason": result["statistics"]["stop_reason"],
                  "status": result["status"]}))
"""


SET_UP = """
import json, os, signal, sys, threading, time
import _vok_core
_vok_core.set_diagnostics("off")
road, path, after = sys.argv[1], sys.argv[2], float(sys.argv[3])
text = open(path).read() if road == "str" else None
clock = time.pthread_getcpuclockid(threading.get_ident())
sent = {}

began = time.clock_gettime(clock)

def interrupt():
    # `after` processor seconds into the call, so that a busy machine reaches the same phase.
    while time.clock_gettime(clock) < began + after:
        time.sleep(0.002)
    sent["cpu"], sent["wall"] = time.clock_gettime(clock), time.monotonic()
    os.kill(os.getpid(), signal.SIGINT)

threading.Thread(target=interrupt, daemon=True).start()
try:
    if road == "file":
        _vok_core.solve_json_file(path)
    else:
        _vok_core.solve_json_str(text)
    print(json.dumps({"cpu": None}), flush=True)
except KeyboardInterrupt as stop:
    cpu, wall = time.clock_gettime(clock), time.monotonic()
    partial = stop.partial_result
    phase = ("reading" if not partial["routes"] else
             "set-up" if partial["status"] == "failed" else "solving")
    print(json.dumps({"cpu": cpu - sent["cpu"], "wall": wall - sent["wall"], "phase": phase}), flush=True)
"""


def large_instance(path, metric, n=2000, seed=7):
    import math
    import random
    rng = random.Random(seed)
    points = [(rng.uniform(0, 1000), rng.uniform(0, 1000)) for _ in range(n)]
    data = {"nodes": [{"id": i, "x": x, "y": y} for i, (x, y) in enumerate(points)],
            "agents": [{"id": k, "type": "van" if k % 2 else "bike", "start_node": 0, "end_node": 0}
                       for k in range(10)],
            "options": {"improve": True, "time_limit": 60, "objective": "min_max"}}
    if metric:
        data["costs"] = {"van": {"metric": "euclidean"}, "bike": {"metric": "euclidean", "factor": 1.5}}
    else:
        rows = [[round(math.dist(a, b), 3) for b in points] for a in points]
        data["costs"] = {"van": rows, "bike": [[round(1.5 * c, 3) for c in row] for row in rows]}
    path.write_text(json.dumps(data))


def set_up_latency(road, path, after):
    """From SIGINT (`after` processor seconds into the call) to the KeyboardInterrupt: the solving thread's
    processor seconds (what a quiet machine shows in wall time too), the wall seconds, and where it
    landed."""
    completed = subprocess.run([sys.executable, "-c", SET_UP, road, str(path), str(after)], capture_output=True,
                               text=True, check=True)
    report = json.loads(completed.stdout.strip().splitlines()[-1])
    if report["cpu"] is None:
        return None, None, "finished"
    return report["cpu"], report["wall"], report["phase"]


def set_up_figures():
    import tempfile
    cases = ((2000, False, (0.05, 0.2, 0.5, 1.0, 1.5, 2.0, 3.0, 4.0)),
             (2000, True, (0.01, 0.03, 0.06, 0.1, 0.2, 0.3, 0.5, 1.0, 2.0)),
             (5000, True, (0.05, 0.1, 0.3, 0.6, 1.0, 2.0, 3.0, 4.0, 6.0)))
    with tempfile.TemporaryDirectory() as folder:
        for n, metric, delays in cases:
            path = Path(folder) / f"{n}_{'metric' if metric else 'matrices'}.json"
            large_instance(path, metric, n=n)
            size = path.stat().st_size / 1e6
            for road in ("file", "str"):
                landed = [(after,) + set_up_latency(road, path, after) for after in delays]
                text = ", ".join(f"{after:g} s: {cpu * 1000:.0f} ms ({phase})" if cpu is not None else
                                 f"{after:g} s: finished" for after, cpu, _, phase in landed)
                worst = max((cpu for _, cpu, _, _ in landed if cpu is not None), default=0.0)
                worst_wall = max((wall for _, _, wall, _ in landed if wall is not None), default=0.0)
                print(f"Ctrl-C, {n:,} nodes, {'metric' if metric else 'matrices'} ({size:.1f} MB), "
                      f"solve_json_{road}: worst {worst * 1000:.0f} ms processor ({worst_wall * 1000:.0f} ms wall); "
                      f"{text}", flush=True)


def instance(agents=3, **options):
    data = json.loads(EXAMPLE.read_text())
    data["agents"] = [dict(data["agents"][0], id=k) for k in range(agents)]
    data["options"].update(options)
    return json.dumps(data)


def interruption_latency(after=2.0):
    """Seconds from SIGINT to the KeyboardInterrupt in the child, and to the child's exit."""
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True)
    child.stdin.write(instance())
    child.stdin.close()
    assert child.stdout.readline().strip() == "ready"
    time.sleep(after)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    caught = float(child.stdout.readline())
    child.wait()
    return caught - sent, time.monotonic() - sent


def thread_speedup(budget=2.0):
    text = instance()
    started = time.monotonic()
    for _ in range(2):
        _vok_core.solve_json_str(text, budget)
    one_after_other = time.monotonic() - started
    threads = [threading.Thread(target=_vok_core.solve_json_str, args=(text, budget)) for _ in range(2)]
    started = time.monotonic()
    processor = time.process_time()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    side_by_side = time.monotonic() - started
    # Above 1 only when both threads really ran at once; a busy machine keeps it low.
    cores_used = (time.process_time() - processor) / side_by_side
    return one_after_other, side_by_side, cores_used


def peak_under_cap(cap_mb):
    completed = subprocess.run([sys.executable, "-c", PEAK], input=instance(5, time_limit=600, memory_limit_mb=cap_mb),
                               capture_output=True, text=True, check=True)
    return json.loads(completed.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="interruptions to time (default 5)")
    parser.add_argument("--set-up-only", action="store_true", help="only the Ctrl-C figures of the set-up")
    args = parser.parse_args()

    set_up_figures()
    if args.set_up_only:
        return

    latencies = [interruption_latency() for _ in range(args.repeat)]
    caught = sorted(c for c, _ in latencies)
    exited = sorted(e for _, e in latencies)
    print(f"Ctrl-C to KeyboardInterrupt: median {caught[len(caught) // 2] * 1000:.0f} ms, "
          f"worst {caught[-1] * 1000:.0f} ms; to process exit: median {exited[len(exited) // 2] * 1000:.0f} ms, "
          f"worst {exited[-1] * 1000:.0f} ms ({args.repeat} runs, signal 2 s into a 60 s solve)")

    serial, parallel, cores = thread_speedup()
    print(f"two 2 s solves: one after the other {serial:.2f} s, in two threads {parallel:.2f} s, "
          f"speed-up {serial / parallel:.2f} ({cores:.2f} cores busy while in two threads)")

    for cap in (64, 256, 1024):
        outcome = peak_under_cap(cap)
        print(f"memory_limit_mb {cap}: peak resident memory grew by {outcome['growth_mb']:.0f} MB "
              f"({outcome['reason']}, {outcome['status']})")


if __name__ == "__main__":
    main()
