"""Exact vertex welding for numpy arrays: help(vertex_weld.weld), help(vertex_weld.weld_indexed)."""

from ._vertex_weld import __doc__, __version__, weld, weld_indexed

__all__ = ["weld", "weld_indexed", "__version__"]
