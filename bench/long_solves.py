"""Figures of long solves: how soon Ctrl-C stops a solve, how much two solves in two threads gain over
one after the other, and how much memory a solve under a memory cap really takes.

    python bench/long_solves.py [--repeat N]

Uses examples/eil51_3_agents.json (five agents for the memory figures). Prints a small table.
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
    args = parser.parse_args()

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
