"""VOK: multiple travelling salesman solver with side constraints.

The compiled core lives in ``_vok_core``; this package re-exports it and adds
pure-Python conveniences such as the benchmark format converters.
"""

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
]
