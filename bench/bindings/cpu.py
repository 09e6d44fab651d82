"""CPU of a Node host and a Python host capturing both audio sources against the C demo host
(`ovra-capture all`) doing the same, in one run: private servers from bindings/testing/servers.sh,
ROUNDS rounds of the hosts in turn, CPU time (user + system) from each process's rusage.
    /usr/bin/python3 bench/bindings/cpu.py [SECONDS=20] [ROUNDS=3]   (from the checkout, after
    building OvraHelper and ovra-capture into build/ and running `npm run build` in bindings/node)
"""
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

root = pathlib.Path(__file__).resolve().parents[2]
seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 20
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
library = root / "build" / "libOvraHelper.so.1"

servers = subprocess.Popen(["bash", str(root / "bindings/testing/servers.sh"), "3600"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
env = dict(os.environ, OVRAHELPER_LIBRARY=str(library), PYTHONPATH=str(root / "bindings/python"))
for line in servers.stdout:
    if line.strip() == "ready":
        break
    name, _, value = line.strip().partition("=")
    env[name] = value

out = tempfile.mkdtemp()
hosts = {
    "C (ovra-capture all)": [str(root / "build/ovra-capture"), "all", "--seconds", str(seconds), "-o", out],
    "Node (ovra-helper)": ["node", str(root / "bench/bindings/host.js"), str(seconds)],
    "Python (ovrahelper)": ["/usr/bin/python3", str(root / "bench/bindings/host.py"), str(seconds)],
    "Python, callbacks only": ["/usr/bin/python3", str(root / "bench/bindings/host.py"), str(seconds),
                               "callbacks-only"],
}
cpu = {name: [] for name in hosts}
results = {name: [] for name in hosts}
try:
    for _ in range(rounds):
        for name, argv in hosts.items():
            child = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            output = child.stdout.read().decode()
            _, status, usage = os.wait4(child.pid, 0)
            assert status == 0, f"{name} failed: {output}"
            cpu[name].append(usage.ru_utime + usage.ru_stime)
            if output.lstrip().startswith("{"):
                results[name].append(json.loads(output.strip().splitlines()[-1]))
finally:
    servers.stdin.close()
    servers.wait()

c = statistics.median(cpu["C (ovra-capture all)"])
print(f"| host | CPU s per {seconds:g} s run (median of {rounds}) | % of one core | vs C | "
      "audio received, system / mic (s, worst run) | chunks dropped |")
print("|---|---|---|---|---|---|")
for name in hosts:
    m = statistics.median(cpu[name])
    got = results[name]
    counted = got and min(r["seconds"][1] for r in got) > 0
    received = (f"{min(r['seconds'][0] for r in got):.2f} / {min(r['seconds'][1] for r in got):.2f}"
                if counted else "-")
    dropped = str(sum(sum(r["dropped"]) for r in got)) if counted else "-"
    print(f"| {name} | {m:.3f} ({', '.join(f'{x:.3f}' for x in cpu[name])}) | "
          f"{100 * m / seconds:.2f} % | {m / c:.2f}x | {received} | {dropped} |")
