"""Exact vertex welding for numpy arrays: see help(vertex_weld.weld) and help(vertex_weld.weld_indexed)."""

from ._vertex_weld import __doc__, __version__, weld, weld_indexed

__all__ = ["weld", "weld_indexed", "__version__"]
