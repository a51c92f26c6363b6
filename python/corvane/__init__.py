"""corvane: a deterministic stock-market simulator.

Everything the compiled extension defines is re-exported here; import this
package rather than `corvane._core`. The package adds what is better written
in Python: JSON round-trips and run manifests, and seed sweeps.
"""

from typing import TYPE_CHECKING

from corvane import _core
from corvane._core import *  # noqa: F403
from corvane._core import __version__ as __version__
from corvane._records import dumps as dumps
from corvane._records import loads as loads
from corvane._records import manifest as manifest
from corvane._records import replay as replay
from corvane._sweep import SweepError as SweepError
from corvane._sweep import sweep as sweep

if not TYPE_CHECKING:
    # Type checkers cannot evaluate this list and would export nothing through
    # it; without it they export what the star import brings in.
    __all__ = [name for name in vars(_core) if not name.startswith("_")] + [
        "__version__",
        "dumps",
        "loads",
        "manifest",
        "replay",
        "sweep",
        "SweepError",
    ]
