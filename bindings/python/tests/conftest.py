import os
import pathlib
import subprocess
import sys

import pytest

SERVERS = pathlib.Path(__file__).resolve().parents[2] / "testing" / "servers.sh"
PACKAGE_ROOT = str(pathlib.Path(__file__).resolve().parents[1])
sys.path.insert(0, PACKAGE_ROOT)


@pytest.fixture(scope="session")
def servers():
    """The servers of bindings/testing/servers.sh for this process and its children, stopped by
    the script when the session ends; started without this process's preloads."""
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    child = subprocess.Popen(["bash", str(SERVERS)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, env=plain)
    env = {}
    for line in child.stdout:
        if line.strip() == "ready":
            break
        name, _, value = line.strip().partition("=")
        env[name] = value
    assert "PULSE_SERVER" in env, "the test servers did not start"
    os.environ.update(env)
    os.environ["PYTHONPATH"] = PACKAGE_ROOT
    yield env
    child.stdin.close()
    child.wait(30)
