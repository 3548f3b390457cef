#!/usr/bin/env python3
"""Whole ZMODEM transfers over a noisy simulated line: sendari-zmodem beside sz/rz.

For every noise level and seed, one file goes through ../shared/tools/link.py in four
pairings measured in the same run, so that a slow machine slows all of them alike:

  sz -> rz       the reference
  ours -> rz     sendari-zmodem sending
  sz -> ours     sendari-zmodem receiving
  ours -> ours   sendari-zmodem at both ends

Each run receives into a fresh empty folder and the result is compared byte for byte with
the source. Wire efficiency = file bytes * 10 / (bps * wall seconds), i.e. the share of the
line's capacity that became file data. Medians are taken over the runs that went through.

This is a benchmark, not a test: timings and ratios are reported, never judged. The exit
status is 1 only when a run ended with both programs reporting success but the received file
missing or different ("WRONG FILE"); otherwise 0.
"""

import argparse
import filecmp
import hashlib
import json
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_LINK = os.path.join(os.path.dirname(ROOT), "shared", "tools", "link.py")
FILE_NAME = "data.bin"
PAIRINGS = ("sz->rz", "ours->rz", "sz->ours", "ours->ours")


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", type=int, default=3 * 1024 * 1024, help="file size in bytes")
    p.add_argument("--seeds", default="11,12,21", help="comma-separated noise seeds")
    p.add_argument("--noise", default="1e-4,1e-3", help="comma-separated per-byte noise levels")
    p.add_argument("--bps", type=int, default=921600)
    p.add_argument("--buffer", type=int, default=16384, help="bytes in flight per direction")
    p.add_argument("--binary", default=os.path.join(ROOT, "build", "tools", "sendari-zmodem"))
    p.add_argument("--link", default=DEFAULT_LINK, help="path of link.py")
    p.add_argument("--timeout", type=float, default=300.0, help="seconds per run")
    p.add_argument("--json", metavar="FILE", help="write every run and the summary here")
    p.add_argument("--pairings", default=",".join(PAIRINGS),
                   help="comma-separated pairings to run (default: all four)")
    p.add_argument("--keep", action="store_true", help="keep the temporary folder")
    a = p.parse_args()
    a.seeds = [int(s) for s in a.seeds.split(",") if s]
    a.noise = [float(n) for n in a.noise.split(",") if n]
    a.pairings = [x for x in a.pairings.split(",") if x]
    unknown = [x for x in a.pairings if x not in PAIRINGS]
    if unknown:
        p.error("unknown pairing %s (known: %s)" % (", ".join(unknown), ", ".join(PAIRINGS)))
    return a


def commands(pairing, ours, recv_dir):
    sender, receiver = pairing.split("->")
    send = ("%s send %s" % (shlex.quote(ours), FILE_NAME)) if sender == "ours" \
        else "sz -q -b %s" % FILE_NAME
    recv = ("%s receive %s" % (shlex.quote(ours), shlex.quote(recv_dir))) if receiver == "ours" \
        else "rz -q -y"
    return send, recv


def last_line(path):
    try:
        with open(path, errors="replace") as f:
            lines = [ln.strip() for ln in f if ln.strip()]
        return lines[-1] if lines else ""
    except OSError:
        return ""


def one_run(args, ours, work, src, pairing, noise, seed, index):
    tag = "run%03d" % index
    recv_dir = os.path.join(work, tag)
    os.mkdir(recv_dir)
    send, recv = commands(pairing, ours, recv_dir)
    report = os.path.join(work, tag + ".json")
    err_a, err_b = os.path.join(work, tag + ".a.err"), os.path.join(work, tag + ".b.err")
    argv = [sys.executable, args.link, "-a", send, "-b", recv, "--cwd-a", src, "--cwd-b", recv_dir,
            "--bps", str(args.bps), "--buffer", str(args.buffer), "--noise", repr(noise),
            "--seed", str(seed), "--timeout", str(args.timeout), "--report", report,
            "--stderr-a", err_a, "--stderr-b", err_b]
    started = time.monotonic()
    try:
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=args.timeout + 30)
    except subprocess.TimeoutExpired:
        pass
    try:
        with open(report) as f:
            rep = json.load(f)
    except (OSError, ValueError):
        rep = {"wall_s": time.monotonic() - started, "timed_out": True,
               "A": {"status": None}, "B": {"status": None}}
    st_a, st_b = rep["A"]["status"], rep["B"]["status"]
    got = os.path.join(recv_dir, FILE_NAME)
    identical = os.path.isfile(got) and filecmp.cmp(os.path.join(src, FILE_NAME), got,
                                                    shallow=False)
    got_bytes = os.path.getsize(got) if os.path.isfile(got) else 0
    found = ["%s (%d bytes)" % (n, os.path.getsize(os.path.join(recv_dir, n)))
             for n in sorted(os.listdir(recv_dir))]
    if st_a == 0 and st_b == 0 and not rep.get("timed_out"):
        outcome = "ok" if identical else "WRONG FILE"
    elif rep.get("timed_out"):
        outcome = "failed (timed out)"
    else:
        bad = [("send", st_a), ("receive", st_b)]
        outcome = "failed (%s)" % ", ".join("%s exit %s" % (who, st) for who, st in bad if st != 0)
    note = ""
    if outcome != "ok":
        note = "; ".join("%s: %s" % (who, last_line(path)) for who, st, path in
                         (("send", st_a, err_a), ("receive", st_b, err_b))
                         if st != 0 and last_line(path))
        if not identical:
            note = ("%s; received: %s" % (note, ", ".join(found) or "nothing")).lstrip("; ")
    wall = float(rep["wall_s"])
    return {"pairing": pairing, "noise": noise, "seed": seed, "send": send, "receive": recv,
            "status_send": st_a, "status_receive": st_b, "identical": identical,
            "timed_out": bool(rep.get("timed_out")), "wall_s": round(wall, 3),
            "efficiency": round(args.size * 10 / (args.bps * wall), 4) if wall > 0 else None,
            "noise_hits": [(rep.get(d) or {}).get("noise_hits") for d in ("ab", "ba")],
            "received_bytes": got_bytes, "outcome": outcome, "note": note}


def summarise(runs, noise_levels, pairings):
    summary = []
    for noise in noise_levels:
        ref = None
        for pairing in pairings:
            mine = [r for r in runs if r["pairing"] == pairing and r["noise"] == noise]
            good = [r for r in mine if r["outcome"] == "ok"]
            eff = statistics.median(r["efficiency"] for r in good) if good else None
            wall = statistics.median(r["wall_s"] for r in good) if good else None
            if pairing == "sz->rz":
                ref = eff
            ratio = eff / ref if eff is not None and ref else None
            summary.append({"noise": noise, "pairing": pairing, "ok": len(good), "runs": len(mine),
                            "median_wall_s": wall, "median_efficiency": eff,
                            "ratio_to_sz_rz": None if pairing == "sz->rz" else ratio})
    return summary


def cell(run, size):
    """The outcome, with how much of the file had arrived when a run failed."""
    if run["outcome"].startswith("failed"):
        return "%s, %.0f%% there" % (run["outcome"], 100.0 * run["received_bytes"] / size)
    return run["outcome"]


def fmt(value, spec):
    return "-" if value is None else format(value, spec)


def main():
    args = parse_args()
    for tool in ("sz", "rz"):
        if not shutil.which(tool):
            sys.exit("noise_bench: %s not found (Debian package lrzsz)" % tool)
    if not os.access(args.binary, os.X_OK):
        sys.exit("noise_bench: no executable at %s" % args.binary)
    work = tempfile.mkdtemp(prefix="noise_bench.")
    try:
        # A private copy: a rebuild during the run cannot swap the program under test.
        ours = os.path.join(work, "sendari-zmodem")
        shutil.copy2(args.binary, ours)
        with open(ours, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()[:16]
        src = os.path.join(work, "src")
        os.mkdir(src)
        with open(os.path.join(src, FILE_NAME), "wb") as f:
            f.write(random.Random(20240).randbytes(args.size))
        print("noise_bench: %d bytes at %d bps, buffer %d, binary %s (sha256 %s, built %s)" % (
            args.size, args.bps, args.buffer, args.binary, digest,
            time.strftime("%Y-%m-%d %H:%M", time.localtime(os.path.getmtime(ours)))),
            flush=True)
        runs = []
        for noise in args.noise:
            for seed in args.seeds:
                for pairing in args.pairings:
                    run = one_run(args, ours, work, src, pairing, noise, seed, len(runs))
                    runs.append(run)
                    ok = run["outcome"] == "ok"
                    print("%s noise %-6g seed %-3d %-11s %7.1f s  eff %-6s %s%s" % (
                        "!!!" if run["outcome"] == "WRONG FILE" else "  ", noise, seed, pairing,
                        run["wall_s"], fmt(run["efficiency"] if ok else None, ".3f"),
                        cell(run, args.size), "  [%s]" % run["note"] if run["note"] else ""),
                        flush=True)
    finally:
        if args.keep:
            print("noise_bench: kept %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)

    summary = summarise(runs, args.noise, args.pairings)
    print("\nMedians over seeds %s (runs that went through; efficiency = share of the line):"
          % ",".join(map(str, args.seeds)))
    print("| noise | pairing | ok | median wall s | median efficiency | ratio to sz->rz |")
    print("|---|---|---|---|---|---|")
    for s in summary:
        print("| %g | %s | %d/%d | %s | %s | %s |" % (
            s["noise"], s["pairing"], s["ok"], s["runs"], fmt(s["median_wall_s"], ".1f"),
            fmt(s["median_efficiency"], ".3f"), fmt(s["ratio_to_sz_rz"], ".3f")))
    print("\nPer-run outcomes:")
    print("| noise | pairing | " + " | ".join("seed %d" % s for s in args.seeds) + " |")
    print("|---|---|" + "---|" * len(args.seeds))
    for noise in args.noise:
        for pairing in args.pairings:
            cells = [cell(r, args.size) for seed in args.seeds for r in runs
                     if r["noise"] == noise and r["pairing"] == pairing and r["seed"] == seed]
            print("| %g | %s | %s |" % (noise, pairing, " | ".join(cells)))

    wrong = [r for r in runs if r["outcome"] == "WRONG FILE"]
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"date": time.strftime("%Y-%m-%d %H:%M:%S"), "size": args.size,
                       "bps": args.bps, "buffer": args.buffer, "binary": args.binary,
                       "binary_sha256_16": digest, "runs": runs, "summary": summary}, f, indent=1)
    if wrong:
        print("\n!!! WRONG FILE in %d run(s): both programs exited 0 but the received file is "
              "missing or different !!!" % len(wrong))
        for r in wrong:
            print("!!!   noise %g seed %d %s: %s" % (r["noise"], r["seed"], r["pairing"], r["note"]))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
