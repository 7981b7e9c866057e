"""The package as a user installs it: a fresh venv, pip without an index,
and a script of a few lines against the emulated box."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[1]
# Debian's python3-setuptools-whl and python3-wheel-whl: what an isolated
# build fetches from the index, here without one.
DEBIAN_WHEELS = "/usr/share/python-wheels"
SCRIPT = """\
import sys, wq.testing
with wq.testing.Box() as sim:
    box = sim.serial()
    box.sync_clock()
    print(box.read_settings().text_1, len(list(box.usage_log())), wq.__file__.startswith(sys.prefix))
"""


def run(*command, **options):
    # No configuration of this machine's pip, as on a fresh one.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PIP_", "PYTHON"))}
    return subprocess.run([str(c) for c in command], check=True, capture_output=True, text=True,
                          env=dict(env, PIP_CONFIG_FILE=os.devnull), **options)


def test_a_fresh_venv_installs_without_an_index_and_runs_a_short_script(tmp_path):
    # A copy, so that the in-tree build leaves nothing in the sources.
    source = shutil.copytree(PACKAGE, tmp_path / "python",
                             ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__", "tests"))
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", "--system-site-packages", venv)
    pip = venv / "bin" / "pip"
    run(pip, "install", "--no-index", "--find-links", DEBIAN_WHEELS, source)  # an isolated build
    run(pip, "install", "--force-reinstall", "--no-build-isolation", "--no-index", source)
    shown = run(pip, "show", "wq").stdout
    assert "License: MIT" in shown
    output = run(venv / "bin" / "python", "-c", SCRIPT, cwd=tmp_path).stdout
    assert output == "Kitchen tap 24 True\n"
