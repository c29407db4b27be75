"""The version is set once, in the top-level CMakeLists.txt: every place that reports it agrees."""

import os
import re
import subprocess
from pathlib import Path

import pytest

import vertex_weld


def project_version():
    text = Path(os.environ["VERTEX_WELD_SOURCE_DIR"], "CMakeLists.txt").read_text()
    return re.search(r"project\(vertex_weld VERSION ([0-9.]+)", text).group(1)


def output(*command, **environment):
    return subprocess.run(command, check=True, capture_output=True, text=True,
                          env={**os.environ, **environment}).stdout


def cmake_package_version(tmp_path):
    script = tmp_path / "version.cmake"
    config = Path(os.environ["VERTEX_WELD_CMAKE_PACKAGE_DIR"], "vertex_weldConfigVersion.cmake")
    script.write_text(
        f'set(PACKAGE_FIND_VERSION 1)\ninclude("{config}")\nmessage("${{PACKAGE_VERSION}}")\n')
    return subprocess.run([os.environ["VERTEX_WELD_CMAKE"], "-P", str(script)], check=True,
                          capture_output=True, text=True).stderr.strip()


def test_module_version_is_the_project_version():
    assert re.fullmatch(r"\d+\.\d+\.\d+", vertex_weld.__version__)
    assert vertex_weld.__version__ == project_version()


def test_pkg_config_and_cmake_package_report_the_project_version(tmp_path):
    pkg_config = output("pkg-config", "--modversion", "vertex_weld",
                        PKG_CONFIG_PATH=os.environ["VERTEX_WELD_PKGCONFIG_DIR"])
    assert pkg_config.strip() == project_version()
    assert cmake_package_version(tmp_path) == project_version()


@pytest.mark.skipif("WELDMESH" not in os.environ, reason="weldmesh not built")
def test_weldmesh_reports_the_project_version():
    first_line = output(os.environ["WELDMESH"], "--version").splitlines()[0]
    assert first_line.split()[:2] == ["weldmesh", project_version()]
