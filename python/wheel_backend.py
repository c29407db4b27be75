"""PEP 517 backend that builds the vertex_weld wheel with the project's CMake build.

The version comes from the project() line of the top-level CMakeLists.txt, the one place it is
set; the rest of the metadata from pyproject.toml.
"""

import base64
import hashlib
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
import tomllib
import zipfile
from pathlib import Path

PYTHON_DIR = Path(__file__).resolve().parent
SOURCE_DIR = PYTHON_DIR.parent


def project_version():
    text = (SOURCE_DIR / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*vertex_weld\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError("CMakeLists.txt: no project(vertex_weld VERSION ...) line")
    return match.group(1)


def wheel_tag():
    interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{interpreter}-{interpreter}{sys.abiflags}-{platform}"


def metadata_text(version):
    project = tomllib.loads((PYTHON_DIR / "pyproject.toml").read_text())["project"]
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {version}",
        f"Summary: {project['description']}",
        f"Home-page: {project['urls']['Homepage']}",
        f"Author: {', '.join(author['name'] for author in project['authors'])}",
        f"License: {project['license']['text']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {classifier}" for classifier in project["classifiers"]]
    lines += [f"Requires-Dist: {dependency}" for dependency in project["dependencies"]]
    lines += ["Description-Content-Type: text/markdown", ""]
    return "\n".join(lines) + "\n" + (PYTHON_DIR / project["readme"]).read_text()


def build_package(staging):
    build = staging.parent / "build"
    configure = [
        "cmake", "-S", str(SOURCE_DIR), "-B", str(build),
        "-DCMAKE_BUILD_TYPE=Release",
        "-DVERTEX_WELD_BUILD_TESTS=OFF",
        "-DVERTEX_WELD_BUILD_PROGRAMS=OFF",
        "-DVERTEX_WELD_BUILD_PYTHON=ON",
        f"-DPython3_EXECUTABLE={sys.executable}",
    ]
    for command in (
        configure,
        ["cmake", "--build", str(build), "--target", "_vertex_weld"],
        ["cmake", "--install", str(build), "--component", "python", "--prefix", str(staging)],
    ):
        subprocess.run(command, check=True, stdout=sys.stderr)


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = project_version()
    dist_info = f"vertex_weld-{version}.dist-info"
    wheel_name = f"vertex_weld-{version}-{wheel_tag()}.whl"
    with tempfile.TemporaryDirectory() as work:
        staging = Path(work, "staging")
        build_package(staging)
        files = {
            path.relative_to(staging).as_posix(): path.read_bytes()
            for path in sorted(staging.rglob("*"))
            if path.is_file()
        }
    files[f"{dist_info}/METADATA"] = metadata_text(version).encode()
    files[f"{dist_info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: vertex_weld wheel_backend\n"
        f"Root-Is-Purelib: false\nTag: {wheel_tag()}\n"
    ).encode()
    files[f"{dist_info}/LICENSE"] = (SOURCE_DIR / "LICENSE").read_bytes()
    record = [record_line(name, data) for name, data in files.items()]
    record.append(f"{dist_info}/RECORD,,")
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
    with zipfile.ZipFile(Path(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = 0o755 << 16 if name.endswith(".so") else 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return wheel_name
