"""Gymnasium learns corvane's environment ids once `import corvane` has run.

Gymnasium brings numpy, which `import corvane` must not, and it has no
plugin hook of its own. So: if gymnasium is already loaded, the ids are
registered now; otherwise a finder waits for gymnasium's first import and
registers them as soon as it completes. Entry points are strings, so
nothing of corvane.env loads before `gymnasium.make` asks for it.
"""

import importlib.util
import sys

# Every environment, by id: its entry point and its native vector one; a
# later one is one more line here.
ENVIRONMENTS = {
    "corvane/Market-v0": ("corvane.env:MarketEnv", "corvane.env:MarketVectorEnv"),
}


def register(gymnasium) -> None:
    for env_id, (entry_point, vector_entry_point) in ENVIRONMENTS.items():
        if env_id not in gymnasium.registry:  # a reload must not register twice
            gymnasium.register(
                id=env_id, entry_point=entry_point, vector_entry_point=vector_entry_point
            )


# Plain classes: importlib.abc would bring importlib.resources into every `import corvane`.
class _RegisteringLoader:
    def __init__(self, loader):
        self._loader = loader

    def create_module(self, spec):
        return self._loader.create_module(spec)

    def exec_module(self, module):
        self._loader.exec_module(module)
        register(module)

    def __getattr__(self, name):  # resource readers and the like
        return getattr(self._loader, name)


class _WaitForGymnasium:
    def find_spec(self, name, path=None, target=None):
        if name != "gymnasium":
            return None
        # Out of the path first: the search below must not find this finder,
        # and once gymnasium is found (or is not installed) the wait is over.
        _uninstall()
        spec = importlib.util.find_spec(name)
        if spec is not None and spec.loader is not None:
            spec.loader = _RegisteringLoader(spec.loader)
        return spec


_FINDER = _WaitForGymnasium()


def _uninstall() -> None:
    if _FINDER in sys.meta_path:
        sys.meta_path.remove(_FINDER)


def install() -> None:
    if "gymnasium" in sys.modules:
        register(sys.modules["gymnasium"])
    elif _FINDER not in sys.meta_path:
        sys.meta_path.insert(0, _FINDER)
