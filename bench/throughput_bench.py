#!/usr/bin/env python3
"""Throughput and session overhead of sendari-zmodem beside sz/rz, in one run.

Each case runs ours (sendari-zmodem send -> sendari-zmodem receive) and theirs (sz -> rz)
alternately, --rounds times (default 5), and prints medians and ratios. The bulk cases also
time the connection itself, the same bytes copied raw by cat to head -c: no transfer over it
can be quicker than that, nor cost much less than its CPU.

  pipes    32 MiB random over plain pipes (../shared/tools/link.py --direct)
  sockets  32 MiB random over a socket pair
  ptys     32 MiB random over a pseudo-terminal (one program on each side)
  paced    256 KiB random through link.py at 115200 bps: time beyond the line time of the
           bytes each pair put on the line, and efficiency = file bytes x 10 / (bps x wall)
  progress 32 KiB at 2400 bps between two stations (sendari-cli, virtual modems): the highest
           efficiency the progress line ever showed (never above 100 % when progress counts
           what the line carried)
  idle     a station waiting for calls: CPU share over 10 s, and how long Ctrl+C takes

Timings are reported, never judged: the script exits 0 unless a transfer failed or a file
arrived different.
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import tty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINK = os.path.join(os.path.dirname(ROOT), "shared", "tools", "link.py")
failures = []


def cpu_of(usage):
    return usage.ru_utime + usage.ru_stime


def connection(connect):
    """Two descriptors joined by a socket pair ("socket") or a raw pseudo-terminal ("pty")."""
    if connect == "socket":
        a_end, b_end = socket.socketpair()
        return a_end.detach(), b_end.detach()
    fa, fb = os.openpty()
    tty.setraw(fb)
    return fa, fb


def run_pair(argv_a, argv_b, cwd_a, cwd_b, connect):
    """Starts A and B joined by `connect` ("socket" or "pty"); returns (wall, cpu, ok)."""
    fa, fb = connection(connect)
    start = time.monotonic()
    pa = subprocess.Popen(argv_a, cwd=cwd_a, stdin=fa, stdout=fa, stderr=subprocess.DEVNULL)
    pb = subprocess.Popen(argv_b, cwd=cwd_b, stdin=fb, stdout=fb, stderr=subprocess.DEVNULL)
    os.close(fa)
    os.close(fb)
    cpu = 0.0
    ok = True
    for p in (pa, pb):
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        cpu += cpu_of(usage)
        ok = ok and p.returncode == 0
    return time.monotonic() - start, cpu, ok


def run_link(argv_a, argv_b, cwd_a, cwd_b, extra, work):
    report = os.path.join(work, "link.json")
    cmd = [sys.executable, LINK, "-a", " ".join(argv_a), "-b", " ".join(argv_b),
           "--cwd-a", cwd_a, "--cwd-b", cwd_b, "--report", report, "--timeout", "300"] + extra
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(report) as f:
        r = json.load(f)
    cpu = sum(r[s]["utime"] + r[s]["stime"] for s in ("A", "B"))
    ok = r["A"]["status"] == 0 and r["B"]["status"] == 0 and not r["timed_out"]
    return r, cpu, ok


def raw_copy(src, name, connect, nbytes):
    """cat -> head -c over `connect`; (wall until the reader has every byte, CPU of both)."""
    if connect == "pipes":
        fb, fa = os.pipe()
    else:
        fa, fb = connection(connect)
    start = time.monotonic()
    writer = subprocess.Popen(["cat", name], cwd=src, stdout=fa)
    reader = subprocess.Popen(["head", "-c", str(nbytes)], stdin=fb, stdout=subprocess.DEVNULL)
    # The writing end stays open here until the reader is done: a pseudo-terminal whose
    # master closes drops what its slave has not read.
    os.close(fb)
    _, status, usage_b = os.wait4(reader.pid, 0)
    wall = time.monotonic() - start
    _, _, usage_a = os.wait4(writer.pid, 0)
    os.close(fa)
    ok = os.waitstatus_to_exitcode(status) == 0
    return wall, cpu_of(usage_a) + cpu_of(usage_b), ok


def pairs(zmodem, name):
    return {
        "ours": ([zmodem, "send", name], [zmodem, "receive", "."]),
        "sz/rz": (["sz", "-q", "-b", name], ["rz", "-q", "-y"]),
    }


def check_file(src, out, name, label):
    a, b = os.path.join(src, name), os.path.join(out, name)
    if not os.path.exists(b) or open(a, "rb").read() != open(b, "rb").read():
        failures.append(f"{label}: {name} did not arrive intact")
        return False
    return True


def bulk(args, work, src, connect):
    name = "r32.bin"
    results = {"ours": [], "sz/rz": [], "raw": []}
    nbytes = os.path.getsize(os.path.join(src, name))
    for _ in range(args.rounds):
        wall, cpu, ok = raw_copy(src, name, connect, nbytes)
        if ok:
            results["raw"].append((wall, cpu))
        for who, (a, b) in pairs(args.zmodem, name).items():
            out = tempfile.mkdtemp(dir=work)
            if connect == "pipes":
                r, cpu, ok = run_link(a, b, src, out, ["--direct"], work)
                wall = r["wall_s"]
            else:
                wall, cpu, ok = run_pair(a, b, src, out, connect)
            if ok and check_file(src, out, name, f"{connect} {who}"):
                results[who].append((wall, cpu))
            elif not ok:
                failures.append(f"{connect} {who}: a program failed")
            shutil.rmtree(out)
    mib = args.mib
    summary = {}
    for who, runs in results.items():
        if runs:
            summary[who] = (statistics.median(w for w, _ in runs),
                            statistics.median(c for _, c in runs) / mib)
    print(f"{connect}, {mib} MiB random, median of {args.rounds}:")
    for who, (wall, cpu) in summary.items():
        print(f"  {who:6} {wall:7.3f} s  {mib / wall:7.1f} MiB/s  CPU {cpu * 1000:6.2f} ms/MiB")
    if "ours" in summary and "sz/rz" in summary:
        print(f"  throughput ratio ours/theirs {summary['sz/rz'][0] / summary['ours'][0]:.2f}"
              f" (goal >= 2), CPU per MiB ratio {summary['ours'][1] / summary['sz/rz'][1]:.2f}"
              " (goal <= 0.4)")
    if "raw" in summary:
        for who in ("ours", "sz/rz"):
            if who in summary:
                print(f"  {who} beside the raw copy: {summary[who][0] / summary['raw'][0]:.2f}"
                      f" x its time, {summary[who][1] / summary['raw'][1]:.2f} x its CPU")
    return summary


def paced(args, work, src):
    name, bps, size = "r256.bin", 115200, 256 * 1024
    rows = {"ours": [], "sz/rz": []}
    for _ in range(args.rounds):
        for who, (a, b) in pairs(args.zmodem, name).items():
            out = tempfile.mkdtemp(dir=work)
            r, _, ok = run_link(a, b, src, out, ["--bps", str(bps)], work)
            if ok and check_file(src, out, name, f"paced {who}"):
                line = max(r["ab"]["delivered"], r["ba"]["delivered"]) * 10 / bps
                rows[who].append((r["wall_s"], r["wall_s"] - line, size * 10 / (bps * r["wall_s"])))
            elif not ok:
                failures.append(f"paced {who}: a program failed")
            shutil.rmtree(out)
    print(f"paced, 256 KiB random at {bps} bps, median of {args.rounds}:")
    medians = {}
    for who, runs in rows.items():
        if runs:
            medians[who] = [statistics.median(x[i] for x in runs) for i in range(3)]
            wall, beyond, eff = medians[who]
            print(f"  {who:6} {wall:7.2f} s  beyond its own bytes {beyond * 1000:6.0f} ms  "
                  f"efficiency {eff * 100:5.1f} %")
    if len(medians) == 2:
        print(f"  ours beyond theirs by {(medians['ours'][1] - medians['sz/rz'][1]) * 1000:.0f} ms"
              " (goal <= 20 ms), our efficiency goal >= 95.5 %")


def station_env(work, name):
    home = os.path.join(work, name)
    os.makedirs(os.path.join(home, "config", "Sendari"), exist_ok=True)
    with open(os.path.join(home, "config", "Sendari", "HKEY_CURRENT_USER.reg"), "w") as f:
        f.write('REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Korvane\\Sendari\\1.0]\n'
                f'"StationName"="{name}"\n"GeneralReceiveFolder"="{home}/inbox"\n'
                '"NumberOfAttempts"=dword:00000001\n"AnswerAfterRings"=dword:00000001\n')
    env = dict(os.environ, XDG_CONFIG_HOME=f"{home}/config", XDG_DATA_HOME=f"{home}/data",
               SENDARI_HOME=f"{home}/data/Sendari", SENDARI_TEST="1")
    return env


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def progress(args, work):
    tools = os.path.dirname(args.zmodem)
    rx, tx = station_env(work, "rx"), station_env(work, "tx")
    port = free_port()
    subprocess.run([f"{tools}/sendari-modems", "add-virtual", "--port", "COM4", "--listen",
                    f"127.0.0.1:{port}", "--rate", "2400"], env=rx, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    data = os.path.join(work, "p32.bin")
    with open(data, "wb") as f:
        f.write(os.urandom(32 * 1024))
    receiver = subprocess.Popen([f"{tools}/sendari-cli", "receive"], env=rx,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.5)
    start = time.monotonic()
    send = subprocess.run([f"{tools}/sendari-cli", "send", "--to", f"127.0.0.1:{port}",
                           "--name", "rx", "--vmodem", f"127.0.0.1:{free_port()}", "--rate",
                           "2400", data], env=tx, capture_output=True, text=True)
    wall = time.monotonic() - start
    receiver.send_signal(signal.SIGINT)
    receiver.wait(timeout=30)
    shown = [int(x) for x in re.findall(r"\((\d+)% efficiency\)", send.stderr + send.stdout)]
    if send.returncode != 0:
        failures.append("progress: the send at 2400 bps failed")
    print("progress, 32 KiB at 2400 bps between two stations:")
    print(f"  send {wall:.1f} s, {len(shown)} progress lines, highest efficiency shown "
          f"{max(shown) if shown else '-'} % (goal <= 100 %)")


def idle(args, work):
    tools = os.path.dirname(args.zmodem)
    env = station_env(work, "idle")
    subprocess.run([f"{tools}/sendari-modems", "add-virtual", "--port", "COM4", "--listen",
                    f"127.0.0.1:{free_port()}"], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    p = subprocess.Popen([f"{tools}/sendari-cli", "receive"], env=env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2)

    def ticks():
        with open(f"/proc/{p.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    hz = os.sysconf("SC_CLK_TCK")
    before, t0 = ticks(), time.monotonic()
    time.sleep(10)
    share = (ticks() - before) / hz / (time.monotonic() - t0)
    stop = time.monotonic()
    p.send_signal(signal.SIGINT)
    p.wait(timeout=30)
    print("idle, a station waiting for calls:")
    print(f"  CPU {share * 100:.2f} % of one core (goal < 1 %), Ctrl+C to exit "
          f"{(time.monotonic() - stop) * 1000:.0f} ms (goal <= 500 ms)")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--zmodem", default=os.path.join(ROOT, "build", "tools", "sendari-zmodem"))
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--mib", type=int, default=32)
    p.add_argument("--cases", default="pipes,sockets,ptys,paced,progress,idle")
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="sendari-bench-")
    try:
        # A copy, so a rebuild during the run cannot change the program under test.
        copy = os.path.join(work, "bin")
        shutil.copytree(os.path.dirname(args.zmodem), copy)
        args.zmodem = os.path.join(copy, os.path.basename(args.zmodem))
        print(f"sendari-zmodem built {time.ctime(os.path.getmtime(args.zmodem))}, "
              f"{os.cpu_count()} cores, {args.rounds} rounds")
        src = os.path.join(work, "src")
        os.makedirs(src)
        with open(os.path.join(src, "r32.bin"), "wb") as f:
            f.write(os.urandom(args.mib * 1024 * 1024))
        with open(os.path.join(src, "r256.bin"), "wb") as f:
            f.write(os.urandom(256 * 1024))
        for case in args.cases.split(","):
            if case in ("pipes", "sockets", "ptys"):
                bulk(args, work, src, {"pipes": "pipes", "sockets": "socket", "ptys": "pty"}[case])
            elif case == "paced":
                paced(args, work, src)
            elif case == "progress":
                progress(args, work)
            elif case == "idle":
                idle(args, work)
            sys.stdout.flush()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAILED:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
