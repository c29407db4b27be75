# The extension's docstring serves the package, so that help(vertex_weld) shows the whole text.
from ._vertex_weld import __doc__, __version__, weld, weld_indexed

__all__ = ["weld", "weld_indexed", "__version__"]
