"""A build backend for velko_sim that needs only the standard library.

pip installs a folder through a build backend, which it would otherwise download (setuptools);
this one writes the wheel of velko_sim itself: the package folder beside it, as it is, with the
metadata that pyproject.toml names.
"""

import base64
import hashlib
import os
import tomllib
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "velko_sim"


def _project():
    """The [project] table of pyproject.toml."""
    with open(os.path.join(HERE, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]


def _metadata(project):
    """The METADATA file of the wheel."""
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}", f"Summary: {project.get('description', '')}",
             f"Requires-Python: {project.get('requires-python', '>=3')}"]
    lines += [f"Requires-Dist: {dependency}" for dependency in project.get("dependencies", [])]
    return "\n".join(lines) + "\n"


def _record_line(name, data):
    """The RECORD line of one file of the wheel: its path, hash and size."""
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _package_files():
    """(path in the wheel, path on disk) of every file of the package, caches left out."""
    root = os.path.join(HERE, PACKAGE)
    if not os.path.isfile(os.path.join(root, "_proto", "sim_pb2.py")):
        raise RuntimeError(f"{root} has no generated stubs: build velko first (scripts/build)")
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(files):
            if name.endswith((".pyc", ".pyo")):
                continue
            path = os.path.join(folder, name)
            yield os.path.relpath(path, HERE).replace(os.sep, "/"), path


def get_requires_for_build_wheel(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    """Writes velko_sim's wheel into wheel_directory and returns its file name."""
    project = _project()
    name, version = project["name"], project["version"]
    dist_info = f"{name}-{version}.dist-info"
    wheel_name = f"{name}-{version}-py3-none-any.whl"
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        def add(arcname, data):
            wheel.writestr(arcname, data)
            records.append(_record_line(arcname, data))

        for arcname, path in _package_files():
            with open(path, "rb") as f:
                add(arcname, f.read())
        add(f"{dist_info}/METADATA", _metadata(project).encode())
        add(f"{dist_info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: velko_build_backend\n"
                                  b"Root-Is-Purelib: true\nTag: py3-none-any\n")
        records.append(f"{dist_info}/RECORD,,")
        wheel.writestr(f"{dist_info}/RECORD", "\n".join(records) + "\n")
    return wheel_name
