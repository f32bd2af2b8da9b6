#!/usr/bin/env python3
"""Registry mistakes a user makes with ferrox-reg, from a root made by scripts/setup-root.sh: a
misspelt name and a value of the wrong type are refused (nothing written) unless --force; frxd
given a forced text TcpPort listens on the number in it and says so once on standard error, and a
text EnableLogs that is no number leaves the default with one line (and frxd's own events reach
standard error, where the journal takes them, as well as its log file); commands that only read
refuse a data root that does not exist and do not make it."""
import os
import shutil
import socket
import subprocess
import sys
import time

from journey_common import fail, free_port, new_root, stop, wait_for_port

BIN, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
FRXD_KEY = r"HKLM\Software\Quorvale\Frxd"


def ferrox_reg(root, *args):
    return subprocess.run([os.path.join(BIN, "ferrox-reg"), "--root", root, *args], capture_output=True, text=True)


def refused(root, args, words):
    r = ferrox_reg(root, "set", *args)
    if r.returncode != 1 or words not in r.stderr:
        fail("ferrox-reg set %s: exit %d, %r (wanted exit 1 and %r)" % (" ".join(args), r.returncode, r.stderr, words))
    if ferrox_reg(root, "get", args[0], args[1]).returncode == 0 and args[1] != "TcpPort":
        fail("a refused value was written: %s %s" % (args[0], args[1]))


def main():
    root = new_root(os.path.dirname(BIN), SOURCE, "ferrox-regmistake-")
    proc = None
    try:
        refused(root, [FRXD_KEY, "TcpPrt", "dword:10110"], "no Ferrox program reads a value TcpPrt")
        refused(root, [r"HKLM\Software\Quorvale\FerroxDriver\Profile1", "AutoLagg", "dword:1"], "misspelt")
        refused(root, [FRXD_KEY, "TcpPort", "sz:10110"], "TcpPort is read as dword, not sz")
        if ferrox_reg(root, "get", FRXD_KEY, "TcpPort").returncode == 0:
            fail("a TcpPort of the wrong type was written without --force")
        ok = ferrox_reg(root, "set", r"HKLM\Software\Quorvale\FerroxDriver\Profile1", "autolag", "dword:1")
        if ok.returncode != 0:
            fail("a known name in other case refused: " + ok.stderr)
        tcp_port = free_port()
        for args in ([FRXD_KEY, "TcpPort", "sz:%d" % tcp_port],
                     [r"HKLM\Software\Quorvale\FerroxDriver", "EnableLogs", "sz:yes"]):
            forced = ferrox_reg(root, "set", "--force", *args)
            if forced.returncode != 0:
                fail("--force did not write %s: %s" % (args[1], forced.stderr))
        err_path = os.path.join(root, "frxd.err")
        with open(err_path, "w") as err:
            proc = subprocess.Popen([os.path.join(BIN, "frxd"), "--root", root, "--foreground"],
                                    stdout=subprocess.DEVNULL, stderr=err)
        if not wait_for_port(tcp_port):
            fail("frxd does not listen on the TcpPort written as text")
        time.sleep(1)  # a settings reload would read the values again
        with open(err_path) as f:
            text = f.read()
        port_lines = [l for l in text.splitlines() if "registry value TcpPort is sz, not dword: %d used" % tcp_port in l]
        log_lines = [l for l in text.splitlines() if "registry value EnableLogs is sz, not dword" in l]
        if len(port_lines) != 1 or len(log_lines) != 1 or "(its default)" not in log_lines[0]:
            fail("wanted one line each for TcpPort and EnableLogs, frxd said:\n" + text)
        stop(proc)
        proc = None
        with open(os.path.join(root, "Quorvale", "Frxd.txt"), errors="replace") as f:
            log = f.read()
        for event in ("frxd Startup", "NMEA server on 127.0.0.1:%d" % tcp_port):
            if event not in text or event not in log:
                fail("frxd's event %r not both on standard error and in Frxd.txt:\n%s" % (event, text))
        missing = os.path.join(root, "not-made")
        for cmd in (["ferrox-reg", "--root", missing, "get", FRXD_KEY, "TcpPort"],
                    ["ferrox-reg", "--root", missing, "list", FRXD_KEY],
                    ["ferrox-reg", "--root", missing, "export", FRXD_KEY],
                    ["ferrox-settings-dump", "--root", missing]):
            r = subprocess.run([os.path.join(BIN, cmd[0])] + cmd[1:], capture_output=True, text=True)
            if r.returncode != 1 or "no data root at " + missing not in r.stderr or os.path.exists(missing):
                fail("%s on a missing root: exit %d, %r, made: %s" % (" ".join(cmd), r.returncode, r.stderr,
                                                                      os.path.exists(missing)))
        print("PASS: misspelt names and wrong types refused, forced ones read by frxd with one line each: "
              + port_lines[0].strip() + " | " + log_lines[0].strip())
    finally:
        if proc:
            stop(proc)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
