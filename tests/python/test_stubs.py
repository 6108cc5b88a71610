"""The type stubs against the package as it runs (mypy's stubtest), and a typed caller."""

import os
import subprocess
import sys

import pytest

vt = pytest.importorskip("veltrane")
pytest.importorskip("mypy")

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


def _mypy(args, tmp_path):
    # The build tree's package is found through MYPYPATH; an installed one through the
    # interpreter's site packages, which mypy reads itself (and refuses in MYPYPATH).
    env = dict(os.environ)
    where = os.path.dirname(os.path.dirname(vt.__file__))
    if os.path.basename(where) not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = where
    # Run in tmp_path, where mypy keeps its cache.
    return subprocess.run([sys.executable, "-m", *args],
                          capture_output=True, text=True, env=env, cwd=tmp_path)


def test_stubs_match_the_runtime(tmp_path):
    allowlist = os.path.abspath(os.path.join(ROOT, "python", "stubtest-allowlist.txt"))
    run = _mypy(["mypy.stubtest", "veltrane", "--allowlist", allowlist],
                tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_a_typed_caller_checks(tmp_path):
    (tmp_path / "caller.py").write_text(
        "import numpy as np\nimport veltrane\n"
        "img = np.zeros((4, 4, 3), np.uint8)\n"
        "out: np.ndarray = veltrane.stretch(img, clip=0.01)\n"
        "s = sum([veltrane.statistics(img), veltrane.statistics(img)], veltrane.statistics(img))\n"
        "m: np.ndarray = s.mean\n"
        "veltrane.fit(img).save(__import__('pathlib').Path('t.json'))\n"
        "s.count = 3\n"
    )
    run = _mypy(["mypy", "caller.py"], tmp_path)
    # The one error is the assignment to a read-only attribute.
    assert run.stdout.count("error:") == 1 and "caller.py:8" in run.stdout, run.stdout
