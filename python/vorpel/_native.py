"""The readers' compiled module, loaded from the shared object of `_vorpel`.

Both modules live in one shared object, so they share one copy of the core
and its process-wide state (the stage profile): loading it a second time
under the name `vorpel._reader` runs its second init function."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import sys

import types

import _vorpel
import _vorpel._vorpel as _extension  # type: ignore[import-not-found]


def _load_reader() -> types.ModuleType:
    name = "vorpel._reader"
    if name in sys.modules:
        return sys.modules[name]
    loader = importlib.machinery.ExtensionFileLoader(name, _extension.__file__)
    spec = importlib.util.spec_from_file_location(name, _extension.__file__, loader=loader)
    if spec is None:
        raise ImportError(f"cannot load {name} from {_extension.__file__}")
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[name] = module
    return module


reader = _load_reader()
del _vorpel
