"""Quorvex: a small image class with round-trip exact PNG and BMP codecs."""

from importlib.metadata import PackageNotFoundError, version

try:
    # One source for the version: pyproject.toml, as recorded in the installed metadata.
    __version__: str = version("Quorvex")
except PackageNotFoundError:  # imported from a tree that was never installed
    __version__ = "0+unknown"

del PackageNotFoundError, version
