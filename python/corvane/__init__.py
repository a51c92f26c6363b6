"""corvane: a deterministic stock-market simulator.

Everything the compiled extension defines is re-exported here; import this
package rather than `corvane._core`.
"""

from corvane import _core
from corvane._core import *  # noqa: F403
from corvane._core import __version__

__all__ = [name for name in vars(_core) if not name.startswith("_")] + ["__version__"]
