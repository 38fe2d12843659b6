"""The package's shape: one version everywhere, and imports that point one way."""

import ast
import importlib.metadata
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import valdrin
import valdrin_rt

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = Path(valdrin.__file__).resolve().parent  # the package under test, installed or not


def pyproject_version():
    try:
        import tomllib
    except ModuleNotFoundError:  # Python 3.10: the [project] table's version line, read plainly
        text = (ROOT / "pyproject.toml").read_text()
        return re.search(r'^\[project\]$.*?^version = "([^"]+)"$', text, re.M | re.S).group(1)
    with open(ROOT / "pyproject.toml", "rb") as file:
        return tomllib.load(file)["project"]["version"]


# --- the version ----------------------------------------------------------------


def test_one_version_everywhere():
    assert valdrin.__version__ == valdrin_rt.__version__ == importlib.metadata.version("valdrin")
    assert valdrin.__version__ == pyproject_version()


@pytest.mark.parametrize("with_pyproject, expected", [
    (True, "pyproject"),  # a checkout: the version is read where it is written
    (False, "0+unknown"),  # the package alone, nowhere to read a version from
])
def test_version_without_installed_metadata(tmp_path, with_pyproject, expected):
    # -S leaves site-packages, and so the installed distribution's metadata, off sys.path.
    source = ROOT / "python" if with_pyproject else tmp_path / "python"
    if not with_pyproject:
        shutil.copytree(ROOT / "python" / "valdrin", source / "valdrin")
    code = f"import sys; sys.path.insert(0, {str(source)!r}); import valdrin; print(valdrin.__version__)"
    run = subprocess.run([sys.executable, "-I", "-S", "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == (pyproject_version() if expected == "pyproject" else expected)


# --- the import graph -------------------------------------------------------------


def modules(package: Path, name: str) -> dict[str, Path]:
    """Every module of the package at ``package`` by dotted name; a package by its own name."""
    found = {}
    for path in sorted(package.rglob("*.py")):
        parts = [name, *path.relative_to(package).with_suffix("").parts]
        if parts[-1] == "__init__":
            parts.pop()
        found[".".join(parts)] = path
    return found


def imports(name: str, path: Path, known: dict[str, Path]) -> set[str]:
    """The package's modules that ``name`` imports anywhere, in functions and TYPE_CHECKING blocks too."""
    base = name if path.name == "__init__.py" else name.rpartition(".")[0]
    targets = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                package = base.rsplit(".", node.level - 1)[0] if node.level > 1 else base
                origin = f"{package}.{node.module}" if node.module else package
            else:
                origin = node.module
            targets.add(origin)
            targets.update(f"{origin}.{alias.name}" for alias in node.names)  # those that are modules
    return {target for target in targets if target in known and target != name}


def cycle(package: Path, name: str) -> list[str] | None:
    """One import cycle among the package's modules, as the modules around it, or None."""
    known = modules(package, name)
    graph = {module: sorted(imports(module, path, known)) for module, path in known.items()}
    done: set[str] = set()

    def visit(module: str, path: list[str]) -> list[str] | None:
        if module in path:
            return path[path.index(module):] + [module]
        if module in done:
            return None
        for target in graph[module]:
            found = visit(target, path + [module])
            if found:
                return found
        done.add(module)
        return None

    return next((found for module in graph if (found := visit(module, [])) is not None), None)


def test_no_import_cycle():
    assert cycle(PACKAGE, "valdrin") is None


def test_a_lazy_import_back_is_a_cycle(tmp_path):
    # The shape sv and sv_publisher once had: one imports the other inside a function.
    package = tmp_path / "pkg"
    (package / "sub").mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "sv.py").write_text("class Stream: ...\n\ndef publish():\n    from .sv_publisher import native\n")
    (package / "sv_publisher.py").write_text("from .sv import Stream\n")
    (package / "sub" / "__init__.py").write_text("from . import leaf\n")
    (package / "sub" / "leaf.py").write_text("from .. import sv\n")
    assert cycle(package, "pkg") == ["pkg.sv", "pkg.sv_publisher", "pkg.sv"]
    (package / "sv.py").write_text("class Stream: ...\n")
    assert cycle(package, "pkg") is None


@pytest.mark.parametrize("module", sorted(m for m in modules(PACKAGE, "valdrin") if not m.endswith("__main__")))
def test_every_module_imports_first(module):
    # In a fresh interpreter each module comes first, before anything that could have hidden a cycle.
    code = f"import sys; sys.path.insert(0, {str(PACKAGE.parent)!r}); import {module}"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
