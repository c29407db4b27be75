"""The README's install route: pip, offline, into a virtual environment that sees Debian's numpy.
The wheel is built once, with pip wheel, and installed from the file."""

import email.parser
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.install

SOURCE_DIR = Path(os.environ["VERTEX_WELD_SOURCE_DIR"])

# Without the build tree on the path, the import must find the installed package.
ENVIRONMENT = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}

CHECK = """
import importlib.metadata, numpy, vertex_weld
unique, inverse = vertex_weld.weld(numpy.array([[1, 2], [0, 5], [1, 2]], numpy.float32))
assert unique.tolist() == [[0, 5], [1, 2]] and inverse.tolist() == [1, 0, 1]
metadata = importlib.metadata.metadata("vertex_weld")
print(vertex_weld.__version__, metadata["Version"], metadata["License"], vertex_weld.__file__)
"""


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    path = tmp_path_factory.mktemp("venv")
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(path)], check=True)
    return path


@pytest.fixture(scope="module")
def wheel(venv, tmp_path_factory):
    wheel_dir = tmp_path_factory.mktemp("wheel")
    subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "wheel", "--quiet",
                    "--no-build-isolation", "--no-index", "--no-deps", "--wheel-dir",
                    str(wheel_dir), str(SOURCE_DIR / "python")], check=True, cwd=wheel_dir,
                   env=ENVIRONMENT)
    (path,) = wheel_dir.glob("vertex_weld-*.whl")
    return path


def test_pip_installs_the_wheel_offline_into_a_venv(venv, wheel, tmp_path):
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-index", str(wheel)],
                   check=True, cwd=tmp_path, env=ENVIRONMENT)
    result = subprocess.run([python, "-c", CHECK], check=True, capture_output=True, text=True,
                            cwd=tmp_path, env=ENVIRONMENT)
    module_version, package_version, licence, location = result.stdout.split()
    assert module_version == package_version
    assert licence == "MIT"
    assert Path(location).is_relative_to(venv)


def test_wheel_metadata_has_no_empty_field_and_the_readme_as_description(wheel):
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [name for name in archive.namelist() if name.endswith(".dist-info/METADATA")]
        metadata = email.parser.Parser().parsestr(archive.read(name).decode())
    fields = metadata.items()
    assert [field for field, value in fields if not value.strip()] == []
    for field in ("Name", "Version", "Summary", "Home-page", "Author", "License",
                  "Requires-Python", "Requires-Dist"):
        assert metadata[field], field
    assert metadata["License"] == "MIT"
    assert "License :: OSI Approved :: MIT License" in metadata.get_all("Classifier")
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload() == (SOURCE_DIR / "README.md").read_text()
