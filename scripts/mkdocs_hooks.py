"""What the documentation build adds to MkDocs and to its Python handler.

- The API pages read the package from the source tree without importing it.
  The extension module valdrin_rt is compiled; its reference comes from its
  type stub, ``src/valdrin_rt.pyi``, which the handler finds only as a
  package of stubs: ``on_config`` lays it out as one under build/docs-stubs, before
  the handler looks.
- The docstrings name objects the way Sphinx does (``:class:`Stream```,
  ``:func:`~valdrin.sv.encode_frame```); MkDocs renders Markdown, so
  ``SphinxRoles`` turns each role into a code span of the name (its last
  part where the name starts with ``~``).
"""

from __future__ import annotations

import re
import shutil
from pathlib import Path
from typing import Any

import griffe
from mkdocs.plugins import event_priority

_ROLE = re.compile(r":(?:attr|class|data|exc|func|meth|mod|obj):`(~?)([^`]+)`")


@event_priority(100)  # before mkdocstrings makes its handler, which looks for the paths once
def on_config(config: Any) -> Any:
    """MkDocs hook: ``build/docs-stubs/valdrin_rt/__init__.pyi`` from ``src/valdrin_rt.pyi``."""
    top = Path(config.config_file_path).parent
    package = top / "build" / "docs-stubs" / "valdrin_rt"
    package.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(top / "src" / "valdrin_rt.pyi", package / "__init__.pyi")
    return config


def _code(match: re.Match[str]) -> str:
    name = match.group(2)
    return f"`{name.rsplit('.', 1)[-1] if match.group(1) else name}`"


class SphinxRoles(griffe.Extension):
    """Griffe extension: the roles of every docstring as code spans, as the objects are loaded."""

    def on_instance(self, *, obj: griffe.Object, **kwargs: Any) -> None:
        if obj.docstring is not None:
            obj.docstring.value = _ROLE.sub(_code, obj.docstring.value)
