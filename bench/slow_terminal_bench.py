#!/usr/bin/env python3
"""quorvel-cli programming many simulated instruments, its progress drawn on a
slow terminal, against the same run with stderr on /dev/null.

The terminal is a pseudo-terminal (so that the progress is drawn as on a real
one) whose far side this script reads at a fixed rate. It prints the wall
time of both runs, their ratio and the bytes the terminal got.

    bench/slow_terminal_bench.py --cli build/release/src/cli/quorvel-cli \\
        --sim build/release/tools/sim/quorvel-sim --ports 64 --rate 2000000
"""
import argparse
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import tty

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "samples",
                      "sample_firmware.hex")


def start_sims(sim, folder, count):
    sims, ports = [], []
    for i in range(count):
        port = os.path.join(folder, "p%d" % i)
        if os.path.lexists(port):
            os.unlink(port)
        sims.append(subprocess.Popen(
            [sim, "--device", "M-530", "--baud", "115200", "--mode", "boot", "--link", port,
             "--quiet"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        ports.append(port)
    deadline = time.monotonic() + 60
    while not all(os.path.lexists(p) for p in ports):
        if time.monotonic() > deadline:
            sys.exit("the simulators did not start")
        time.sleep(0.05)
    return sims, ports


def stop_sims(sims):
    for s in sims:
        s.terminate()
    for s in sims:
        s.wait()


def command(cli, ports):
    args = [cli, "program", "--device", "M-530", "--baud", "115200"]
    for p in ports:
        args += ["--port", p]
    return args + [SAMPLE]


def run_quiet(cli, ports):
    start = time.monotonic()
    code = subprocess.call(command(cli, ports), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=dict(os.environ, LC_ALL="C"))
    return time.monotonic() - start, code, 0


def run_on_slow_terminal(cli, ports, rate):
    master, slave = pty.openpty()
    tty.setraw(slave)
    start = time.monotonic()
    child = subprocess.Popen(command(cli, ports), stdout=subprocess.DEVNULL, stderr=slave,
                             env=dict(os.environ, LC_ALL="C"))
    os.close(slave)
    # The program's end, as it happens (the reads below lag behind it).
    ended = []
    waiter = threading.Thread(target=lambda: (child.wait(), ended.append(time.monotonic())))
    waiter.start()
    received = 0
    while True:
        # Never ahead of the rate: a terminal that shows `rate` bytes a second.
        due = start + received / rate
        now = time.monotonic()
        if due > now:
            time.sleep(due - now)
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the child closed its side
            break
        if not chunk:
            break
        received += len(chunk)
    waiter.join()
    os.close(master)
    return ended[0] - start, child.returncode, received


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--ports", type=int, default=64)
    parser.add_argument("--rate", type=float, default=2e6, help="terminal bytes per second")
    parser.add_argument("--rounds", type=int, default=1)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="quorvel-slow-terminal-")
    try:
        for _ in range(args.rounds):
            for name, run in (("stderr on /dev/null", lambda p: run_quiet(args.cli, p)),
                              ("stderr on a %g kB/s terminal" % (args.rate / 1e3),
                               lambda p: run_on_slow_terminal(args.cli, p, args.rate))):
                sims, ports = start_sims(args.sim, folder, args.ports)
                seconds, code, received = run(ports)
                stop_sims(sims)
                print("%-32s %3d ports  exit %d  %6.2f s  %10d bytes to the terminal" %
                      (name, args.ports, code, seconds, received), flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
