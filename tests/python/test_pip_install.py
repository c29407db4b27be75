"""The README's install route: pip, offline, into a virtual environment that sees Debian's numpy."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.install

SOURCE_DIR = Path(os.environ["VERTEX_WELD_SOURCE_DIR"])

CHECK = """
import importlib.metadata, numpy, vertex_weld
unique, inverse = vertex_weld.weld(numpy.array([[1, 2], [0, 5], [1, 2]], numpy.float32))
assert unique.tolist() == [[0, 5], [1, 2]] and inverse.tolist() == [1, 0, 1]
metadata = importlib.metadata.metadata("vertex_weld")
print(vertex_weld.__version__, metadata["Version"], metadata["License"], vertex_weld.__file__)
"""


def test_pip_installs_the_package_offline_into_a_venv(tmp_path):
    # Without the build tree on the path, the import must find the installed package.
    environment = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation",
                    "--no-index", str(SOURCE_DIR / "python")], check=True, cwd=tmp_path,
                   env=environment)
    result = subprocess.run([python, "-c", CHECK], check=True, capture_output=True, text=True,
                            cwd=tmp_path, env=environment)
    module_version, package_version, licence, location = result.stdout.split()
    assert module_version == package_version
    assert licence == "MIT"
    assert Path(location).is_relative_to(venv)
