#!/usr/bin/env python3
"""The README's "Using a receiver every day" section, run as written, step by step, by a new user
with a fresh home (no data root yet) and a plain quality-1 receiver where the README names
/dev/ttyACM0 (a simulated one on a pseudo-terminal). The commands are read from the README itself.
Only these are adapted, and each is said: `make deps build` is the suite's own build, gpsd gets a
free port of its own (-S) so that a gpsd of the machine cannot answer in its place, and programs
that run until stopped are read for a few seconds."""
import json
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from journey_common import fail, free_port, stop, wait_for, wait_for_port

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])


def readme_commands():
    text = open(os.path.join(SOURCE, "README.md")).read()
    section = text.split("## Using a receiver every day", 1)
    if len(section) < 2:
        fail("the README has no section \"Using a receiver every day\"")
    block = re.search(r"```sh\n(.*?)```", section[1], re.S)
    if not block:
        fail("the section has no sh block")
    commands = []
    for line in block.group(1).splitlines():
        command, _, comment = line.partition("#")
        if command.strip():
            commands.append(command.strip())
        stop_hint = re.search(r"stop with: (\S.*)$", comment)
        if stop_hint:
            commands.append("#stop " + stop_hint.group(1).strip())
    return commands


def main():
    for tool in ("gpsd", "gpspipe", "nc"):
        if shutil.which(tool) is None:
            fail(tool + " is not installed (the README uses it)")
    commands = readme_commands()
    home, work = tempfile.mkdtemp(prefix="ferrox-home-"), tempfile.mkdtemp(prefix="ferrox-work-")
    os.symlink(os.path.dirname(BIN), os.path.join(work, "build"))
    env = {k: v for k, v in os.environ.items() if k not in ("FERROX_ROOT", "XDG_DATA_HOME")}
    env["HOME"] = home
    device = os.path.join(work, "ttyACM0")
    procs = [subprocess.Popen([os.path.join(BIN, "ferrox-sim"), "receiver", "--link", device],
                              stderr=subprocess.DEVNULL)]
    stop_command = status_command = None
    done = []

    def shell(command, seconds=20):
        return subprocess.run(["bash", "-c", command.replace("/dev/ttyACM0", device)], cwd=work, env=env,
                              capture_output=True, text=True, timeout=seconds)

    try:
        if not wait_for(lambda: os.path.exists(device), 10):
            fail("no simulated receiver")
        for command in commands:
            words = shlex.split(command.replace("#stop ", ""))
            if command.startswith("#stop "):
                stop_command = command[len("#stop "):]
            elif command.startswith("make "):
                done.append("%s: the suite's own build stands in" % command)
            elif words[0] == "gpsd":
                port = free_port()
                gpsd = subprocess.Popen(["bash", "-c", "exec %s -S %d" % (command, port)], cwd=work, env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                procs.append(gpsd)
                if not wait_for_port(port):
                    fail(command + ": gpsd does not listen")
                pipe = subprocess.run(["timeout", "20", "gpspipe", "-w", "-n", "40", "localhost:%d" % port],
                                      capture_output=True, text=True)
                tpv = [json.loads(l) for l in pipe.stdout.splitlines() if '"class":"TPV"' in l]
                if not any(t.get("mode", 0) >= 2 for t in tpv):
                    fail("%s: gpsd gave no fix from the virtual port: %s" % (command, pipe.stdout[-400:]))
                done.append("%s: gpsd TPV mode %d" % (command, max(t.get("mode", 0) for t in tpv)))
            elif words[0] == "nc":
                r = subprocess.run(["timeout", "4"] + words, capture_output=True, text=True)
                fixes = [l for l in r.stdout.splitlines() if l.startswith("$GPGGA") and l.split(",")[6] == "1"]
                if not fixes:
                    fail("%s: no quality-1 fix over TCP: %r" % (command, r.stdout[-300:]))
                done.append("%s: %d fixes in 4 s" % (command, len(fixes)))
            elif words[-1] == "--status":
                status_command = command
                r = shell(command)
                if r.returncode != 0 or "COM4: " + device not in r.stdout:
                    fail("%s: exit %d, no COM4 line: %s%s" % (command, r.returncode, r.stdout, r.stderr))
                done.append("%s: exit 0, %s" % (command, r.stdout.split("COM4: ")[1].splitlines()[0]))
            else:
                r = shell(command)
                if r.returncode != 0:
                    fail("%s: exit %d: %s%s" % (command, r.returncode, r.stdout, r.stderr))
                done.append("%s: exit 0" % command)
        # With programs reading (gpsd still does), the status shows the receiver's fix.
        if not wait_for(lambda: "fix (" in shell(status_command).stdout, 20):
            r = shell(status_command)
            fail("%s while gpsd reads: no fix shown: %s%s" % (status_command, r.stdout, r.stderr))
        done.append("%s while gpsd reads: %s" % (status_command, shell(status_command).stdout.split("COM4: ")[1]
                                                 .splitlines()[0]))
        if not stop_command:
            fail("the README says nowhere how to stop frxd")
        r = shell(stop_command)
        if r.returncode != 0 or shell("build/bin/frxd --status").returncode != 1:
            fail("%s: exit %d, frxd still running: %s" % (stop_command, r.returncode, r.stderr))
        done.append("%s: stopped" % stop_command)
        print("PASS: the README's daily use, step by step:\n  " + "\n  ".join(done))
    finally:
        shell("build/bin/frxd --stop", 20)
        stop(*procs)
        shutil.rmtree(home, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
