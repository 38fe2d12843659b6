"""valdrin: IEC 61850 process-bus messaging (Sampled Values publishing, GOOSE and SV codecs) on Linux."""


def _version() -> str:
    """The installed distribution's version: pyproject.toml's, the one source of it."""
    from importlib import metadata

    try:
        return metadata.version("valdrin")
    except metadata.PackageNotFoundError:
        pass
    # Imported from a source tree that was never installed: read the version where it is written.
    import re
    from pathlib import Path

    try:
        text = (Path(__file__).resolve().parents[2] / "pyproject.toml").read_text(encoding="utf-8")
    except OSError:
        return "0+unknown"
    match = re.search(r'^version = "([^"]+)"$', text, re.M)
    return match.group(1) if match else "0+unknown"


def __getattr__(name: str) -> str:
    # __version__ is looked up on first use: importlib.metadata would add tens
    # of milliseconds to every import of the package.
    if name == "__version__":
        globals()["__version__"] = version = _version()
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), "__version__"})
