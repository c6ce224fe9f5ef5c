"""VOK: multiple travelling salesman solver with side constraints.

The compiled core lives in ``_vok_core``; this package re-exports it and adds
pure-Python conveniences: the ``vok`` command line (``cli``), the benchmark
format converters (``converters``), route plots (``plot``) and many solves at once
(``batch``, ``solve_many``).
"""

from importlib.metadata import PackageNotFoundError, version

from _vok_core import (  # noqa: F401
    Agent,
    AssignmentConstraint,
    Node,
    NodeType,
    ObjectiveType,
    Options,
    Position,
    Problem,
    Result,
    Solver,
    TimeWindowConstraint,
    solve_json_file,
    solve_json_str,
)

from .batch import solve_many  # noqa: E402

try:
    __version__ = version("vok")
except PackageNotFoundError:  # imported from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Agent",
    "AssignmentConstraint",
    "Node",
    "NodeType",
    "ObjectiveType",
    "Options",
    "Position",
    "Problem",
    "Result",
    "Solver",
    "TimeWindowConstraint",
    "solve_json_file",
    "solve_json_str",
    "solve_many",
]
