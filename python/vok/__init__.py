"""VOK: multiple travelling salesman solver with side constraints.

The compiled core lives in ``_vok_core``; this package re-exports it and adds
pure-Python conveniences: a model API (``Model``, ``Solution``), readers of the
standard benchmark formats (``read``, ``converters``), the ``vok`` command line
(``cli``), route plots (``plot``), report pages (``report``) and many solves at
once (``batch``, ``solve_many``).

Nothing here writes to the standard streams: messages go to the logger "vok",
which has a ``NullHandler`` until the application configures logging.
"""

import logging
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

from .batch import solve_many
from .converters import read
from .model import Model, Route, Solution, Stop

logging.getLogger("vok").addHandler(logging.NullHandler())

try:
    __version__ = version("vok")
except PackageNotFoundError:  # imported from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Agent",
    "AssignmentConstraint",
    "Model",
    "Node",
    "NodeType",
    "ObjectiveType",
    "Options",
    "Position",
    "Problem",
    "Result",
    "Route",
    "Solution",
    "Solver",
    "Stop",
    "TimeWindowConstraint",
    "read",
    "solve_json_file",
    "solve_json_str",
    "solve_many",
]
