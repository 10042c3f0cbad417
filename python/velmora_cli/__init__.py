"""The `velmora` command-line tool, shipped beside the `velmora` extension module."""

from .cli import main

__all__ = ["main"]
