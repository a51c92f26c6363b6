"""corvane: a deterministic stock-market simulator.

Everything the compiled extension defines is re-exported here; import this
package rather than `corvane._core`.

Beside it: JSON that loses nothing and run manifests (`dumps`, `loads`,
`manifest`, `replay`), `sweep` (a function over many seeds) and `backtest`
(a policy over many seeds of the trading environment in `corvane.env`, which
needs the ``rl`` extra; importing corvane never imports it).
"""

from typing import TYPE_CHECKING

from corvane import _core, _gym
from corvane._core import *  # noqa: F403
from corvane._core import __version__ as __version__
from corvane._backtest import BacktestResult as BacktestResult
from corvane._backtest import backtest as backtest
from corvane._calibrate import Calibration as Calibration
from corvane._calibrate import calibrate as calibrate
from corvane._calibrate import load_model as load_model
from corvane._facts import Facts as Facts
from corvane._facts import facts as facts
from corvane._records import dumps as dumps
from corvane._records import loads as loads
from corvane._records import manifest as manifest
from corvane._records import replay as replay
from corvane._records import sweep_manifest as sweep_manifest
from corvane._sweep import sweep as sweep
from corvane._whatif import Comparison as Comparison
from corvane._whatif import compare as compare
from corvane._whatif import verify as verify
from corvane._whatif import whatif as whatif

# gymnasium.make("corvane/Market-v0") works after this, without importing gymnasium here.
_gym.install()

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
        "sweep_manifest",
        "backtest",
        "BacktestResult",
        "facts",
        "calibrate",
        "Calibration",
        "load_model",
        "Facts",
        "Comparison",
        "verify",
        "whatif",
    ]
