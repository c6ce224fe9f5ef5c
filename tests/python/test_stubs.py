"""The installed type stubs of _vok_core agree with the module, and mypy uses them."""

import ast
import importlib.util
import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _vok_core

ROOT = Path(__file__).resolve().parents[2]


def installed_stubs():
    found = []
    beside = Path(_vok_core.__file__).with_name("_vok_core.pyi")
    if beside.is_file():
        found.append(beside)
    # Only the first stub package on the path takes effect; an older install
    # further down (a venv over system site-packages) is shadowed by it.
    for entry in sys.path:
        package = Path(entry or ".") / "_vok_core-stubs" / "__init__.pyi"
        if package.is_file():
            found.append(package)
            break
    return found


def stub_package():
    return next((p for p in installed_stubs() if p.parent.name == "_vok_core-stubs"), None)


@pytest.fixture(scope="module")
def stub_tree():
    stubs = installed_stubs()
    if not stubs:
        pytest.skip("no _vok_core stubs installed beside the module or as _vok_core-stubs")
    texts = {p.read_text() for p in stubs}
    assert len(texts) == 1, f"installed stubs differ: {stubs}"
    return ast.parse(texts.pop())


def is_typed_dict(node):
    return isinstance(node, ast.ClassDef) and any(
        isinstance(b, ast.Name) and b.id == "TypedDict" for b in node.bases)


def top_level(tree):
    """Runtime names declared by the stub (TypedDicts exist for type checkers only)."""
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not is_typed_dict(node):
            names[node.name] = node
    return names


def class_members(cls_node):
    members = {}
    for node in cls_node.body:
        if isinstance(node, ast.FunctionDef):
            is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)
            members[node.name] = ("ro" if is_property else "method", node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            class_var = "ClassVar" in ast.unparse(node.annotation)
            members[node.target.id] = ("classvar" if class_var else "rw", node)
    return members


def runtime_parameters(obj):
    """Parameter names and defaults from the first line of a binding's signature doc."""
    first = (obj.__doc__ or "").splitlines()[0]
    inside = first[first.index("(") + 1: first.rindex(")")]
    parts, depth, current = [], 0, ""
    for ch in inside:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += ch
    parts.append(current)
    params = [(p.split(":")[0].strip(), "=" in p) for p in parts if p.strip()]
    return [p for p in params if p[0] not in ("self", "/")]


def stub_parameters(func):
    args = func.args.args
    defaults = [False] * (len(args) - len(func.args.defaults)) + [True] * len(func.args.defaults)
    params = [(a.arg, d) for a, d in zip(args, defaults) if a.arg != "self"]
    if func.args.kwonlyargs:  # the binding's signature marks them with a bare "*"
        params.append(("*", False))
        params += [(a.arg, d is not None) for a, d in zip(func.args.kwonlyargs, func.args.kw_defaults)]
    return params


def public(cls):
    return {name for name in vars(cls) if not name.startswith("_")}


class TestStubMatchesModule:
    def test_every_public_name_is_stubbed_and_importable(self, stub_tree):
        declared = set(top_level(stub_tree))
        runtime = {name for name in dir(_vok_core) if not name.startswith("_")}
        assert declared == runtime
        exec(f"from _vok_core import {', '.join(sorted(declared))}", {})

    def test_class_members_and_their_kinds(self, stub_tree):
        for name, node in top_level(stub_tree).items():
            if not isinstance(node, ast.ClassDef):
                continue
            cls = getattr(_vok_core, name)
            members = class_members(node)
            assert {m for m in members if not m.startswith("_")} == public(cls), name
            for member, (kind, _) in members.items():
                if member.startswith("__") and member != "__init__":
                    assert hasattr(cls, member), f"{name}.{member}"
                    continue
                value = vars(cls).get(member)
                if kind == "classvar":
                    assert isinstance(value, cls), f"{name}.{member}"
                elif kind in ("ro", "rw"):
                    assert isinstance(value, property), f"{name}.{member}"
                    assert (value.fset is not None) == (kind == "rw"), f"{name}.{member} writability"
                else:
                    assert callable(value), f"{name}.{member}"

    def test_parameter_names_and_defaults(self, stub_tree):
        checked = 0
        for name, node in top_level(stub_tree).items():
            if isinstance(node, ast.FunctionDef):
                assert stub_parameters(node) == runtime_parameters(getattr(_vok_core, name)), name
                checked += 1
                continue
            cls = getattr(_vok_core, name)
            for member, (kind, func) in class_members(node).items():
                if kind != "method" or member.startswith("__") and member != "__init__":
                    continue
                assert stub_parameters(func) == runtime_parameters(vars(cls)[member]), f"{name}.{member}"
                checked += 1
        assert checked >= 20

    def test_result_dictionary_matches_the_typed_dicts(self, stub_tree):
        typed = {n.name: n for n in stub_tree.body if is_typed_dict(n)}
        assert set(typed) == {"SolveResult", "RouteDict", "StatisticsDict", "AnytimeEntry", "StopDict"}

        def optional(annotation):
            return isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "NotRequired"

        def check(value, annotation, where):
            if optional(annotation):
                check(value, annotation.slice, where)
            elif isinstance(annotation, ast.Name) and annotation.id in typed:
                fields = [(f.target.id, f.annotation) for f in typed[annotation.id].body
                          if isinstance(f, ast.AnnAssign)]
                assert list(value) == [f for f, a in fields if f in value or not optional(a)], where
                for field, sub in fields:
                    if field in value:
                        check(value[field], sub, f"{where}.{field}")
            elif isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "list":
                assert isinstance(value, list), where
                for i, item in enumerate(value):
                    check(item, annotation.slice, f"{where}[{i}]")
            elif isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "Literal":
                assert value in ast.literal_eval(annotation.slice), where
            else:
                expected = {"int": int, "float": float, "bool": bool, "str": str}[ast.unparse(annotation)]
                assert type(value) is expected, f"{where}: {type(value).__name__}"

        instance = {
            "nodes": [{"id": i, "x": x, "y": y} for i, (x, y) in enumerate([(0, 0), (3, 0), (3, 4)])],
            "agents": [{"id": 0, "type": "car", "start_node": 0, "end_node": 0},
                       {"id": 1, "type": "car", "start_node": 0, "end_node": 0}],
            "costs": {"car": [[0, 3, 5], [3, 0, 4], [5, 4, 0]]},
            "constraints": [{"kind": "assignment",
                             "items": [{"node": i, "types": ["car"]} for i in range(3)]}],
            "options": {"time_limit": 0.2},
        }
        result = _vok_core.solve_json_str(json.dumps(instance))
        assert result["anytime"], "need at least one anytime entry to check its shape"
        check(result, ast.Name("SolveResult"), "result")
        assert "schedule" not in result["routes"][0]
        instance["options"]["schedule"] = True
        scheduled = _vok_core.solve_json_str(json.dumps(instance))
        assert all(route["schedule"] for route in scheduled["routes"])
        check(scheduled, ast.Name("SolveResult"), "scheduled")


USAGE = '''\
from __future__ import annotations

from typing import TYPE_CHECKING

import _vok_core
from _vok_core import Agent, Node, NodeType, ObjectiveType, Options, Problem, Result, Solver
from vok.plot import plot_anytime, save_routes_png

if TYPE_CHECKING:
    from _vok_core import AnytimeEntry, RouteDict, SolveResult


def longest(result: SolveResult) -> float:
    routes: list[RouteDict] = result["routes"]
    best: AnytimeEntry | None = result["anytime"][-1] if result["anytime"] else None
    return max([r["cost"] for r in routes] + [best["max_cost"] if best else 0.0])


def build() -> Solver:
    problem = Problem()
    node = Node()
    node.id = 3
    node.position.x = 1.5
    node.type = NodeType.DEPOT
    problem.add_node(node)
    agent = Agent()
    agent.type, agent.start_node, agent.end_node = "car", 3, 3
    problem.add_agent(agent, id=0)
    problem.set_cost_matrix("car", [[0]])
    options: Options = problem.options()
    options.objective = ObjectiveType.MinMax
    return Solver(problem, options)


solver = build()
code: int = solver.solve()
result: Result = solver.get_result()
paths: dict[int, list[int]] = result.paths
process: list[tuple[float, Result]] = solver.get_result_process()
answer = _vok_core.solve_json_file("instance.json", time_limit=1.0)
status: str = answer["status"]
print(longest(answer), int(ObjectiveType.MinSum), NodeType.TARGET.name)
save_routes_png({"nodes": []}, answer, "routes.png")
plot_anytime(answer, key=("max_cost", "sum_cost")).set_title("anytime")
'''

MISUSE = '''\
import _vok_core
from _vok_core import Node, Result

answer = _vok_core.solve_json_str("{}")
answer["status"] + 1
answer["routes"][0]["nodes"]
_vok_core.solve_json_file(3)
Node().id = "seven"
Result().paths = {}
_vok_core.Problem().options.time_limit = 2.0
'''


def run_mypy(tmp_path, *args):
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    cmd = [sys.executable, "-m", "mypy", "--config-file", str(config),
           "--cache-dir", str(tmp_path / "cache"), "--no-error-summary", "--show-error-codes", *args]
    return subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True)


@pytest.fixture
def mypy_ready():
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    if stub_package() is None:
        pytest.skip("the _vok_core-stubs package is not installed (pip install . ships it)")
    pytest.importorskip("matplotlib")


class TestMypy:
    def test_typed_usage_and_examples_pass(self, tmp_path, mypy_ready):
        (tmp_path / "usage.py").write_text(USAGE)
        out = run_mypy(tmp_path, "--strict", "usage.py")
        assert out.returncode == 0, out.stdout + out.stderr
        example = ROOT / "examples" / "solve_example.py"
        if not example.is_file():
            pytest.skip(f"{example} is not present")
        out = run_mypy(tmp_path, "--check-untyped-defs", str(example))
        assert out.returncode == 0, out.stdout + out.stderr

    def test_misuse_is_reported_line_by_line(self, tmp_path, mypy_ready):
        (tmp_path / "misuse.py").write_text(MISUSE)
        out = run_mypy(tmp_path, "misuse.py")
        assert out.returncode == 1, out.stdout + out.stderr
        flagged = {int(line.split(":")[1]) for line in out.stdout.splitlines()
                   if line.startswith("misuse.py:") and ": error:" in line}
        assert flagged == {5, 6, 7, 8, 9, 10}, textwrap.indent(out.stdout, "  ")
