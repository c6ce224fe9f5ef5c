"""Many solves at once: vok.solve_many on the local pool and on a real Dask cluster, and the
`vok batch` and `vok sweep` commands."""

import fcntl
import json
import os
import pty
import random
import select
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

import pytest

import vok

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))

from make_random import make_instance  # noqa: E402
from route_check import check_routes  # noqa: E402

EIL51 = ROOT / "examples" / "eil51_3_agents.json"


def assert_solves(instance, result):
    assert result["status"] == "success", result
    routes = result["routes"]
    check = check_routes(instance, [r["path"] for r in routes], claimed_costs=[r["cost"] for r in routes],
                         claimed_objective=result["statistics"][f"{instance['options']['objective'][4:]}_cost"])
    assert check.valid and not check.mismatches, (check.problems, check.mismatches)
    assert [r["agent_id"] for r in routes] == [a["id"] for a in instance["agents"]]


def run_cli(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "vok", *map(str, args)], capture_output=True, text=True,
                          timeout=120, **kwargs)


class Model:
    def __init__(self, instance):
        self.instance = instance

    def to_instance(self):
        return self.instance


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    import dask

    # One retry of a task whose worker is lost, as solve_many documents for exactly-once retries.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as local:
            with distributed.Client(local) as client:
                yield local, client


@pytest.fixture(params=["local", "dask"])
def client(request):
    return request.getfixturevalue("cluster")[1] if request.param == "dask" else None


def test_results_keep_input_order_and_bad_instances_keep_their_own_slot(tmp_path, client):
    rng = random.Random(23)
    instances = [make_instance(rng.randint(6, 25), rng.randint(2, 4), rng.choice(["min_max", "min_sum"]),
                               rng.choice(["plain", "windows"]), seed=rng.randint(1, 99)) for _ in range(6)]
    (tmp_path / "good.json").write_text(json.dumps(instances[1]))
    (tmp_path / "bad.json").write_text('{"nodes": [')
    negative = dict(instances[0], costs={"car": [[0, -1], [-1, 0]]})
    # (what goes in, the instance it solves or a piece of its error)
    cases = [(instances[0], instances[0]), (tmp_path / "good.json", instances[1]),
             (Model(instances[2]), instances[2])]
    cases += [(instance, instance) for instance in instances[3:]]
    cases += [(str(tmp_path / "missing.json"), "cannot read"), (tmp_path / "bad.json", "parse_error"),
              (negative, "is -1"), (Model(None), "to_instance() returned a NoneType")]
    rng.shuffle(cases)

    results = vok.solve_many([item for item, _ in cases], time_limit=0.2, workers=2, client=client,
                             progress=False)

    assert len(results) == len(cases)
    for (_, expected), result in zip(cases, results):
        if isinstance(expected, str):
            assert result["status"] == "error" and expected in result["error"], result
        else:
            assert_solves(expected, result)


@pytest.mark.parametrize("value, error", [
    (dict(time_limit=0), ValueError), (dict(time_limit=float("nan")), ValueError),
    (dict(workers=0), ValueError), (dict(workers=True), ValueError),
])
def test_bad_arguments_raise_before_any_solve(value, error):
    with pytest.raises(error, match=next(iter(value))):
        vok.solve_many([str(EIL51)], **value)
    with pytest.raises(TypeError, match=r"instances\[1\] is of type int"):
        vok.solve_many([str(EIL51), 7])


def processes():
    """(pid, fields of /proc/PID/stat after the name, command line) of every process."""
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            stat = Path(f"/proc/{entry}/stat").read_text().rpartition(")")[2].split()
            yield int(entry), stat, Path(f"/proc/{entry}/cmdline").read_bytes()
        except OSError:
            continue


def own_workers():
    """(pid, processor seconds) of this process's solve workers."""
    return [(pid, (int(stat[11]) + int(stat[12])) / os.sysconf("SC_CLK_TCK")) for pid, stat, command in processes()
            if int(stat[1]) == os.getpid() and b"vok.batch._serve" in command]


def kill_busy_workers(count, killed):
    """Kills `count` workers, one after another, once each has solved for 0.4 processor seconds."""
    deadline = time.monotonic() + 60
    while len(killed) < count and time.monotonic() < deadline:
        for pid, cpu in own_workers():
            if cpu >= 0.4 and pid not in killed:
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
                break
        time.sleep(0.02)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="finds the workers in /proc")
def test_a_lost_worker_is_replaced_and_its_instance_solved_once_more():
    long = json.loads(EIL51.read_text())
    long["options"]["time_limit"] = 1.0
    quick = make_instance(10, 2, seed=4)
    quick["options"]["time_limit"] = 0.2
    # One worker, so the solves run in turn: the first is lost twice, the second once.
    killed = []
    killer = threading.Thread(target=kill_busy_workers, args=(3, killed))
    killer.start()
    try:
        first, second, third = vok.solve_many([long, long, quick], workers=1, progress=False)
    finally:
        killer.join()
    assert len(set(killed)) == 3
    assert first["status"] == "error" and "lost twice (last killed by SIGKILL)" in first["error"], first
    assert_solves(long, second)
    assert_solves(quick, third)
    assert own_workers() == []


def test_a_task_lost_with_its_cluster_worker_is_retried_once(cluster):
    local, client = cluster
    long = json.loads(EIL51.read_text())
    long["options"]["time_limit"] = 1.5
    losses = []

    def kill_the_victims_worker():
        # The victim is the only task left once the quick one is done; kill whoever runs it, twice.
        deadline = time.monotonic() + 60
        while len(losses) < 2 and time.monotonic() < deadline:
            busy = [address for address, keys in client.processing().items() if keys]
            if len(busy) == 1:
                try:
                    pid = client.run(os.getpid, workers=busy)[busy[0]]
                except Exception:  # the worker it names has just died
                    continue
                if pid not in losses:
                    time.sleep(0.3)
                    os.kill(pid, signal.SIGKILL)
                    losses.append(pid)
            time.sleep(0.05)

    killer = threading.Thread(target=kill_the_victims_worker)
    killer.start()
    try:
        quick, victim = vok.solve_many([make_instance(8, 2, seed=5), long], time_limit=None, client=client,
                                       progress=False)
    finally:
        killer.join()
    client.wait_for_workers(2, timeout=60)
    assert len(losses) == 2
    assert quick["status"] == "success"
    assert victim["status"] == "error" and "KilledWorker" in victim["error"], victim


def test_batch_writes_results_resumes_and_summarises(tmp_path):
    folder, out = tmp_path / "in", tmp_path / "out"
    folder.mkdir()
    instances = {f"r{k}.json": make_instance(8 + 3 * k, 2, "min_max" if k % 2 else "min_sum", seed=k)
                 for k in range(3)}
    for name, instance in instances.items():
        (folder / name).write_text(json.dumps(instance))
    (folder / "bad.json").write_text("[1, 2")

    first = run_cli("batch", folder, "--out", out, "--workers", 2, "--time-limit", 0.2)
    assert first.returncode == 2 and "vok: 1 of 4 instances could not be solved" in first.stderr
    assert "\r" not in first.stderr  # no progress bar in a pipe
    rows = [line.split() for line in first.stdout.splitlines()]
    for name, instance in instances.items():
        result = json.loads((out / name).read_text())
        assert_solves(instance, result)
        objective = instance["options"]["objective"][4:]
        assert f"{name} success {objective} {result['statistics'][objective + '_cost']:.3f}".split() in rows
    assert json.loads((out / "bad.json").read_text())["status"] == "error"

    # Resume: the error and a truncated result are solved again; complete results are kept as they are.
    (folder / "bad.json").write_text(json.dumps(instances["r0.json"]))
    (out / "r1.json").write_text((out / "r1.json").read_text()[:40])
    kept = (out / "r2.json").read_text()
    again = run_cli("batch", folder, "--out", out, "--time-limit", 0.2)
    assert again.returncode == 0, again.stderr
    assert (out / "r2.json").read_text() == kept
    assert "4 instances: 2 solved now, 2 kept from earlier runs" in again.stdout
    assert [line.endswith("(kept from an earlier run)") for line in again.stdout.splitlines()[1:5]] == \
        [False, True, False, True]
    assert_solves(instances["r0.json"], json.loads((out / "bad.json").read_text()))
    assert_solves(instances["r1.json"], json.loads((out / "r1.json").read_text()))


def test_batch_on_a_scheduler_address(tmp_path, cluster):
    (tmp_path / "in").mkdir()
    instance = make_instance(9, 3, seed=8)
    (tmp_path / "in" / "one.json").write_text(json.dumps(instance))
    done = run_cli("batch", tmp_path / "in", "--out", tmp_path / "out", "--scheduler",
                   cluster[0].scheduler_address, "--time-limit", 0.2)
    assert done.returncode == 0, done.stderr
    assert_solves(instance, json.loads((tmp_path / "out" / "one.json").read_text()))


def test_sweep_trims_and_repeats_the_template_agents_and_tables_each_fleet(tmp_path):
    template = make_instance(12, 3, "min_max", "windows", seed=3)  # a car, a truck, a car
    template["agents"][1]["id"] = 40
    (tmp_path / "t.json").write_text(json.dumps(template))
    done = run_cli("sweep", tmp_path / "t.json", "--agents", "1..2,5", "--time-limit", 0.2,
                   "--out", tmp_path / "sweep.json", "--plot", tmp_path / "sweep.png")
    # One car alone may not serve the truck-only targets: the core refuses that fleet, so the exit status is 2.
    assert done.returncode == 2, done.stderr
    runs = json.loads((tmp_path / "sweep.json").read_text())
    assert [run["agents"] for run in runs] == [1, 2, 5]
    rows = [line.split() for line in done.stdout.splitlines()[2:]]
    assert rows[0][:2] == ["1", "error"] and "no agent may visit it" in runs[0]["result"]["error"]
    for run, row in zip(runs[1:], rows[1:]):
        fleet = [dict(template["agents"][j % 3], id=i) for j, i in zip(range(run["agents"]), [0, 40, 2, 41, 42])]
        assert_solves(dict(template, agents=fleet), run["result"])
        stats = run["result"]["statistics"]
        assert row == [str(run["agents"]), "success", f"{stats['max_cost']:.3f}", f"{stats['sum_cost']:.3f}"]
    assert (tmp_path / "sweep.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("args, fragment", [
    (["batch", "{tmp}/nowhere", "--out", "{tmp}/out"], "is not a folder"),
    (["batch", "{tmp}", "--out", "{tmp}"], "--out must be another folder"),
    (["batch", "{tmp}/empty", "--out", "{tmp}/out"], "holds no *.json instance"),
    (["sweep", "{tmp}/t.json", "--agents", "2"], '"agents" must be a non-empty list'),
    (["sweep", "{tmp}/t.json", "--agents", "3..2"], "'3..2' is no range"),
])
def test_bad_arguments_and_files_exit_2(tmp_path, args, fragment):
    (tmp_path / "empty").mkdir()
    (tmp_path / "t.json").write_text(json.dumps({"agents": [], "nodes": []}))
    done = run_cli(*[a.format(tmp=tmp_path) for a in args])
    assert done.returncode == 2 and fragment in done.stderr, done.stderr


def test_progress_bar_on_a_terminal_and_ctrl_c_leaves_no_worker_behind(tmp_path):
    (tmp_path / "in").mkdir()
    for k in range(3):
        (tmp_path / "in" / f"e{k}.json").write_text(EIL51.read_text())
    master, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    process = subprocess.Popen([sys.executable, "-m", "vok", "batch", tmp_path / "in", "--out", tmp_path / "out",
                                "--workers", "2", "--time-limit", "60"], stdout=subprocess.PIPE,
                               stderr=terminal, start_new_session=True)
    os.close(terminal)
    shown = b""
    deadline = time.monotonic() + 30
    while b"0/3" not in shown and time.monotonic() < deadline:
        if select.select([master], [], [], 0.5)[0]:
            shown += os.read(master, 4096)
    time.sleep(0.5)
    os.kill(process.pid, signal.SIGINT)
    assert process.wait(timeout=20) == 130
    os.close(master)
    process.stdout.close()
    assert b" 0%|" in shown

    def session():
        return [pid for pid, stat, _ in processes() if int(stat[3]) == process.pid]

    deadline = time.monotonic() + 5
    while session() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert session() == []
