"""Route and anytime pictures drawn by vok.plot."""

import json
import math
import subprocess
import sys

import pytest

pytest.importorskip("matplotlib")

from matplotlib.colors import to_rgba  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.image import imread  # noqa: E402

import _vok_core  # noqa: E402
from vok import plot  # noqa: E402

POINTS = [(0, 0), (4, 1), (5, 5), (1, 6), (-3, 4), (-4, -2), (2, -4), (6, -1)]


def make_instance(return_to_end=True):
    nodes = [{"id": 10 + i, "x": x, "y": y} for i, (x, y) in enumerate(POINTS)]
    nodes[0]["type"] = "depot"
    matrix = [[math.dist(a, b) for b in POINTS] for a in POINTS]
    return {
        "nodes": nodes,
        # the second agent starts and ends at a target-typed node: a depot all the same
        "agents": [{"id": 0, "type": "car", "start_node": 10, "end_node": 10},
                   {"id": 1, "type": "car", "start_node": 17, "end_node": 17}],
        "costs": {"car": matrix},
        "constraints": [{"kind": "assignment",
                         "items": [{"node": 10 + i, "types": ["car"]} for i in range(len(POINTS))]}],
        "options": {"objective": "min_max", "return_to_end": return_to_end, "time_limit": 0.3},
    }


@pytest.fixture(scope="module")
def solved():
    instance = make_instance()
    result = _vok_core.solve_json_str(json.dumps(instance))
    assert result["status"] == "success"
    return instance, result


def new_axes():
    return Figure().add_subplot()


class TestRoutes:
    def test_one_line_per_agent_along_the_path(self, solved):
        instance, result = solved
        ax = new_axes()
        assert plot.plot_routes(instance, result, ax) is ax
        lines = ax.get_lines()
        routes = [r for r in result["routes"] if r["path"]]
        assert len(lines) == len(routes) == 2
        for line, route in zip(lines, routes):
            assert list(line.get_xdata()) == [POINTS[i][0] for i in route["path"]]
            assert list(line.get_ydata()) == [POINTS[i][1] for i in route["path"]]
            assert f"agent {route['agent_id']}" in line.get_label()
            assert f"{route['cost']:.1f}" in line.get_label()
        assert to_rgba(lines[0].get_color()) != to_rgba(lines[1].get_color())
        legend = [t.get_text() for t in ax.get_legend().get_texts()]
        assert legend == [line.get_label() for line in lines] + ["depot"]

    def test_depots_include_agent_start_and_end_nodes(self, solved):
        instance, result = solved
        ax = new_axes()
        plot.plot_routes(instance, result, ax)
        depot_marks = [c for c in ax.collections if c.get_label() == "depot"]
        assert len(depot_marks) == 1
        assert sorted(map(tuple, depot_marks[0].get_offsets().tolist())) == [(0, 0), (6, -1)]
        others = [c for c in ax.collections if c.get_label() != "depot"]
        assert sum(len(c.get_offsets()) for c in others) == len(POINTS) - 2

    def test_node_labels_only_on_small_instances(self, solved):
        instance, result = solved
        ax = new_axes()
        plot.plot_routes(instance, result, ax)
        assert sorted(t.get_text() for t in ax.texts) == sorted(str(10 + i) for i in range(len(POINTS)))
        ax = new_axes()
        plot.plot_routes(instance, result, ax, label_limit=len(POINTS) - 1)
        assert len(ax.texts) == 0

    def test_failed_result_draws_nodes_only(self):
        instance = make_instance()
        failed = {"status": "failed", "timeout": False,
                  "routes": [{"agent_id": 0, "path": [], "cost": 0.0},
                             {"agent_id": 1, "path": [], "cost": 0.0}],
                  "statistics": {"solve_time": 0.0, "max_cost": 0.0, "sum_cost": 0.0,
                                 "n_generated": 0, "n_expanded": 0, "last_update_time": 0.0},
                  "anytime": []}
        ax = plot.plot_routes(instance, failed, new_axes())
        assert len(ax.get_lines()) == 0
        assert sum(len(c.get_offsets()) for c in ax.collections) == len(POINTS)

    def test_open_routes_leave_out_the_free_hop_to_the_end_node(self):
        instance = make_instance(return_to_end=False)
        result = {"routes": [{"agent_id": 0, "path": [0, 1, 2, 0], "cost": 9.4},
                             {"agent_id": 1, "path": [7, 6, 5, 7], "cost": 11.3}]}
        ax = plot.plot_routes(instance, result, new_axes())
        assert [list(line.get_xdata()) for line in ax.get_lines()] == [[0, 4, 5], [6, 2, -4]]

    def test_path_outside_the_node_list_is_refused(self):
        result = {"routes": [{"agent_id": 3, "path": [0, 8, 0], "cost": 1.0}]}
        with pytest.raises(ValueError, match="agent 3 .* node index 8"):
            plot.plot_routes(make_instance(), result, new_axes())


class TestAnytime:
    RESULT = {"statistics": {"solve_time": 2.0},
              "anytime": [{"time": 0.1, "max_cost": 30.0, "sum_cost": 50.0},
                          {"time": 0.5, "max_cost": 25.0, "sum_cost": 52.0}]}

    def test_step_per_key_held_until_the_end_of_the_solve(self):
        ax = new_axes()
        assert plot.plot_anytime(self.RESULT, ax, key=("max_cost", "sum_cost")) is ax
        max_line, sum_line = ax.get_lines()
        assert list(max_line.get_xdata()) == [0.1, 0.5, 2.0]
        assert list(max_line.get_ydata()) == [30.0, 25.0, 25.0]
        assert list(sum_line.get_ydata()) == [50.0, 52.0, 52.0]
        assert max_line.get_drawstyle() == "steps-post"

    def test_single_key_and_real_result(self, solved):
        _, result = solved
        ax = plot.plot_anytime(result, new_axes(), key="sum_cost")
        (line,) = ax.get_lines()
        assert list(line.get_ydata())[: len(result["anytime"])] == [e["sum_cost"] for e in result["anytime"]]

    @pytest.mark.parametrize("key", ["cost", ("max_cost", "time"), ()])
    def test_unknown_key_is_refused(self, key):
        with pytest.raises(ValueError, match="max_cost"):
            plot.plot_anytime(self.RESULT, new_axes(), key=key)


class TestPng:
    def test_png_is_written_and_reads_back(self, solved, tmp_path):
        instance, result = solved
        target = tmp_path / "routes.png"
        plot.save_routes_png(instance, result, target)
        assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert imread(target).shape[:2] == (600, 800)
        small = tmp_path / "small.png"
        plot.save_routes_png(instance, result, str(small), size=(4, 3), dpi=50)
        assert imread(small).shape[:2] == (150, 200)

    def test_import_vok_does_not_load_matplotlib(self, tmp_path):
        code = "import sys, vok, vok.plot; print('matplotlib' in sys.modules)"
        out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                             text=True, check=True)
        assert out.stdout.strip() == "False"
