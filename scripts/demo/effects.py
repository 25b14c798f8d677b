#!/usr/bin/env python3
"""Plays force feedback effects through brasquet.dll with the host ffhost.exe,
one host run per effect, and checks the Motor Reports the driver wrote to the
controller (the host's pipe). Writes each run's timeline and reports to
OUT/effects/, and with --plot a picture of motor strength over time for every
effect (OUT/motor-strength.png).

Each effect is a step of the demo: its outcome goes to the --steps file as
"worked|title|detail" or "FAILED|title|detail", and is printed the same way
as the walkthrough prints its steps.

The host activates the driver through COM (CoCreateInstance of the class that
the package registered), binds it to its pipe controller with DeviceID and
runs a script of IDirectInputEffectDriver calls. Every script starts with
"mark go": times below count from that mark.

Motors have no direction: the driver mixes the magnitude of each force. The
periodic effects therefore swing around an offset of half their range, so
that the motor follows the whole wave. The driver's clock moves every
millisecond and its cycle is 2 ms, so the curves rise and fall in fine steps.
"""

import argparse
import csv
import os
import shutil
import subprocess
import sys
import time

# The 64-bit loader: Debian's `wine` takes the 32-bit one once 32-bit Wine is installed.
WINE64 = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine64")

# Periodic effects swing 5000 around an offset of 5000: 0..10000, for 1000 ms.
WAVE = "magnitude=5000 offset=5000 period=250ms duration=1000ms"


def plateaus(values):
    """The values with repeats collapsed: 0 0 153 153 0 -> 0 153 0."""
    out = []
    for v in values:
        if not out or out[-1] != v:
            out.append(v)
    return out


def during(reports, t_from, t_to):
    return [s for t, s in reports if t_from <= t < t_to]


def check_constant(reports, marks):
    inside = during(reports, 0, 550)
    after = during(reports, 550, 900)
    ok = bool(inside) and set(inside) == {153} and 0 in after
    return ok, "magnitude 6000 for 600 ms: strength %s while it plays (6000 of 10000 -> 153 of 255), then %s" % (
        "/".join(map(str, plateaus(inside))) or "nothing", "0" if 0 in after else "no stop")


def check_ramp(reports, marks):
    # The ramp ends with a drop to 0 at its 1000th millisecond, which the
    # driver's clock and the host's may see a millisecond apart: the rise is
    # what comes before the top, and nothing but the stop may follow it.
    inside = during(reports, 0, 1100)
    top = len(inside) - inside[::-1].index(max(inside)) if inside else 0
    rising = all(b >= a for a, b in zip(inside[:top], inside[1:top])) and set(inside[top:]) <= {0}
    inside = inside[:top]
    ok = bool(inside) and rising and inside[0] <= 10 and max(inside) >= 250
    return ok, "from 0 to 10000 over 1000 ms: strength rises %s from %d to %d in %d reports" % (
        "steadily" if rising else "NOT steadily", inside[0] if inside else -1, max(inside, default=-1), len(inside))


def check_square(reports, marks):
    inside = during(reports, 0, 1000)
    changes = len(plateaus(inside)) - 1
    ok = set(inside) <= {0, 255} and changes >= 6
    return ok, "4 periods of 250 ms: strength only %s, %d changes" % (sorted(set(inside)), changes)


def check_smooth(name, reports, reversals_needed):
    inside = during(reports, 0, 1000)
    if not inside:
        return False, "no reports"
    steps = [b - a for a, b in zip(inside, inside[1:]) if b != a]
    reversals = sum(1 for a, b in zip(steps, steps[1:]) if (a > 0) != (b > 0))
    ok = min(inside) <= 10 and max(inside) >= 245 and len(set(inside)) >= 20 and reversals >= reversals_needed
    return ok, "4 periods of 250 ms: strength between %d and %d, %d different values, %d turns" % (
        min(inside), max(inside), len(set(inside)), reversals)


def check_sine(reports, marks):
    return check_smooth("sine", reports, 6)


def check_triangle(reports, marks):
    return check_smooth("triangle", reports, 6)


def check_sawtooth(reports, marks, up):
    inside = during(reports, 0, 1000)
    jumps = [b - a for a, b in zip(inside, inside[1:])]
    flybacks = sum(1 for j in jumps if (j <= -200 if up else j >= 200))
    against = sum(1 for j in jumps if (j < 0 if up else j > 0) and abs(j) < 200)
    ok = flybacks >= 3 and against == 0 and max(inside, default=0) >= 245
    return ok, "4 periods of 250 ms: strength %s slowly and %s back %d times" % (
        "rises" if up else "falls", "drops" if up else "jumps", flybacks)


def check_envelope(reports, marks):
    attack = during(reports, 0, 450)
    fade = during(reports, 1050, 1500)
    up = all(b >= a for a, b in zip(attack, attack[1:]))
    down = all(b <= a for a, b in zip(fade, fade[1:]))
    top = max(during(reports, 0, 1500), default=-1)
    ok = bool(attack) and bool(fade) and attack[0] <= 20 and up and down and top == 255 and fade[-1] <= 40
    return ok, "constant 10000 for 1500 ms with a 500 ms attack and fade from level 0: strength %d -> %d -> %d" % (
        attack[0] if attack else -1, top, fade[-1] if fade else -1)


def check_delay(reports, marks):
    first = next((t for t, s in reports if t >= 0 and s > 0), None)
    inside = during(reports, 0, 1100)
    # The driver's millisecond clock and the host's may disagree by a cycle
    # or two: the effect may seem to start a little before the 400 ms are
    # full, never much sooner.
    ok = first is not None and first >= 380 and 204 in inside
    return ok, "start delay 400 ms: the first movement came %s ms after the start, then strength %s" % (
        "%.0f" % first if first is not None else "never", "/".join(map(str, plateaus(inside))))


def check_mixed(reports, marks):
    seq = plateaus(during(reports, 0, 1800))
    # The binding's first report, all zero, may come before or after the
    # first effect's start.
    if seq[:1] == [0]:
        seq = seq[1:]
    ok = seq == [102, 204, 102, 0]
    return ok, "two constant forces of 4000, the second started 500 ms later: strength %s (102 alone, 204 together)" % (
        " -> ".join(map(str, seq)))


def check_gain(reports, marks):
    t = marks.get("gain", 800)
    before = max(during(reports, 0, t), default=-1)
    after = max(during(reports, t + 50, t + 800), default=-1)
    ok = before >= 250 and 120 <= after <= 130
    return ok, "a sine at device gain 10000 peaks at %d; after SetGain(5000) it peaks at %d" % (before, after)


def check_actuators(reports, marks):
    t_off, t_on = marks.get("off", 500), marks.get("on", 1000)
    seq_on = plateaus(during(reports, 0, t_off))
    seq_off = plateaus(during(reports, t_off, t_on))
    seq_again = plateaus(during(reports, t_on, t_on + 450))
    ok = seq_on == [204] and seq_off == [0] and seq_again == [204]
    return ok, "a constant force of 8000: strength %s, actuators off: %s, on again: %s" % (
        "/".join(map(str, seq_on)), "/".join(map(str, seq_off)), "/".join(map(str, seq_again)))


# name, title (with its parameters, for the plot), host script (after
# "mark go"), check
EFFECTS = [
    ("constant", "Constant force 6000, 600 ms",
     "download c constant magnitude=6000 duration=600ms start; wait 900", check_constant),
    ("ramp", "Ramp force 0 to 10000, 1000 ms",
     "download r ramp from=0 to=10000 duration=1000ms start; wait 1200", check_ramp),
    ("square", "Square wave, period 250 ms", "download w square %s start; wait 1200" % WAVE, check_square),
    ("sine", "Sine wave, period 250 ms", "download w sine %s start; wait 1200" % WAVE, check_sine),
    ("triangle", "Triangle wave, period 250 ms", "download w triangle %s start; wait 1200" % WAVE,
     check_triangle),
    ("sawtooth-up", "Sawtooth up, period 250 ms", "download w sawup %s start; wait 1200" % WAVE,
     lambda r, m: check_sawtooth(r, m, True)),
    ("sawtooth-down", "Sawtooth down, period 250 ms", "download w sawdown %s start; wait 1200" % WAVE,
     lambda r, m: check_sawtooth(r, m, False)),
    ("envelope", "Envelope: constant 10000, attack and fade 500 ms from 0",
     "download e constant magnitude=10000 duration=1500ms attack=0,500ms fade=0,500ms start; wait 1700",
     check_envelope),
    ("start-delay", "Start delay 400 ms, constant 8000",
     "download d constant magnitude=8000 duration=500ms delay=400ms start; wait 1100", check_delay),
    ("mixed", "Two constant forces of 4000 mixed",
     "download a constant magnitude=4000 duration=1000ms start; wait 500; mark b starts; "
     "download b constant magnitude=4000 duration=1000ms start; wait 1300", check_mixed),
    ("gain", "Device gain 10000, then 5000 (sine)",
     "download s sine magnitude=5000 offset=5000 period=200ms duration=infinite start; wait 800; mark gain; "
     "gain 5000; wait 800", check_gain),
    ("actuators", "Actuators off and on (constant 8000)",
     "download c constant magnitude=8000 duration=infinite start; wait 500; mark off; command actuatorsoff; "
     "wait 500; mark on; command actuatorson; wait 500", check_actuators),
]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_timeline(text):
    """Marks and the release time, in ms since the host's origin."""
    marks, release, malformed = {}, None, None
    for line in text.splitlines():
        parts = line.strip().split(None, 1)
        if len(parts) != 2:
            continue
        try:
            t = float(parts[0])
        except ValueError:
            if "malformed" in line:
                malformed = int(line.split(",")[1].split()[0])
            continue
        if parts[1].startswith("mark "):
            marks[parts[1][5:].split()[0]] = t
        elif parts[1].startswith("release"):
            release = t
    return marks, release, malformed


def play(host, out_dir, name, script):
    csv_path = os.path.join(out_dir, "effects", name + ".csv")
    command = [WINE64, host, "run", "--com", "--exec", "mark go; " + script + "; release",
               "--csv", windows_path(csv_path)]
    run = subprocess.run(command, capture_output=True, text=True, timeout=60)
    timeline = run.stdout.replace("\r", "")
    with open(os.path.join(out_dir, "effects", name + "-timeline.txt"), "w") as f:
        f.write(timeline)
    if run.returncode != 0:
        return None, "ffhost ended with %d: %s" % (run.returncode, run.stderr.strip().splitlines()[-1:])
    marks, release, malformed = read_timeline(timeline)
    if "go" not in marks:
        return None, "no timeline from ffhost"
    go = marks.pop("go")
    reports, problems = [], []
    with open(csv_path) as f:
        for row in csv.DictReader(f):
            b = [int(row["byte%d" % i]) for i in range(4)]
            if int(row["size"]) != 4 or b[0] or b[1] or b[2] != b[3]:
                problems.append("a report %s is not 00 00 s s" % " ".join("%02X" % x for x in b))
            reports.append((float(row["time_ms"]) - go, int(row["strength"])))
    if malformed:
        problems.append("%d malformed reports" % malformed)
    data = {
        "reports": reports,
        "marks": {k: v - go for k, v in marks.items()},
        "release": (release - go) if release is not None else None,
        "problems": problems,
    }
    return data, None


def write_plot(out_dir, played):
    """One panel per effect: strength (0..255) over ms since its start."""
    gnuplot = shutil.which("gnuplot")
    if not gnuplot:
        return False, "gnuplot is missing"
    data_dir = os.path.join(out_dir, "effects")
    script = [
        'set terminal pngcairo size 1500,1300 font "DejaVu Sans,10"',
        'set output "%s"' % os.path.join(out_dir, "motor-strength.png"),
        'set multiplot layout 4,3 title "Motor strength written by brasquet.dll in its Motor Reports, '
        'for each effect played (Wine; each report holds until the next)" font "DejaVu Sans,13"',
        "set yrange [0:280]",
        "set ytics 0,50,250",
        "set grid",
        'set xlabel "time since the effect was started (ms)"',
        'set ylabel "motor strength (0-255)"',
        "unset key",
    ]
    for name, title, _script, _check in EFFECTS:
        if name not in played:
            continue
        d = played[name]
        end = d["release"] if d["release"] is not None else (d["reports"][-1][0] if d["reports"] else 1000)
        path = os.path.join(data_dir, name + ".dat")
        before = [s for t, s in d["reports"] if t < 0]
        with open(path, "w") as f:
            f.write("0 %d\n" % (before[-1] if before else 0))
            last = before[-1] if before else 0
            for t, s in d["reports"]:
                if t >= 0:
                    f.write("%.3f %d\n" % (t, s))
                    last = s
            f.write("%.3f %d\n" % (max(end, 0) + 30, last))
        script.append('set title "%s" font "DejaVu Sans,11"' % title)
        script.append("set xrange [0:%d]" % (int(end / 100 + 1) * 100 + 50))
        script.append("unset arrow; unset label")
        for i, (mark, t) in enumerate(sorted(d["marks"].items(), key=lambda kv: kv[1])):
            text = {"gain": "SetGain(5000)", "off": "actuators off", "on": "actuators on",
                    "b": "2nd effect starts"}.get(mark, mark)
            script.append('set arrow from %.1f,0 to %.1f,280 nohead dt 2 lc rgb "#aa3333"' % (t, t))
            script.append('set label "%s" at %.1f,%d offset 0.5,0 tc rgb "#aa3333" font ",9"' % (text, t, 265 - 12 * i))
        script.append('plot "%s" using 1:2 with steps lw 2 lc rgb "#1f5fa0"' % path)
    script.append("unset multiplot")
    gp_path = os.path.join(data_dir, "motor-strength.gp")
    with open(gp_path, "w") as f:
        f.write("\n".join(script) + "\n")
    run = subprocess.run([gnuplot, gp_path], capture_output=True, text=True)
    if run.returncode != 0:
        return False, run.stderr.strip()[-300:]
    return True, "motor-strength.png"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", required=True, help="ffhost.exe")
    parser.add_argument("--out", required=True, help="results folder")
    parser.add_argument("--steps", required=True, help="file for the steps' outcomes")
    parser.add_argument("--first-step", type=int, default=1)
    parser.add_argument("--plot", action="store_true", help="draw motor-strength.png")
    args = parser.parse_args()

    os.makedirs(os.path.join(args.out, "effects"), exist_ok=True)
    number = args.first_step
    failures = 0
    played = {}
    with open(args.steps, "w") as steps:
        def record(title, ok, detail, seconds):
            nonlocal number, failures
            result = "worked" if ok else "FAILED"
            failures += 0 if ok else 1
            print("Step %2d: %s" % (number, title))
            print("         %s: %s (%.1f s)" % (result, detail, seconds), flush=True)
            steps.write("%s|%s|%s\n" % (result, title, detail))
            number += 1

        for name, title, script, check in EFFECTS:
            started = time.monotonic()
            step_title = "Play through brasquet.dll: " + title
            data, error = play(args.host, args.out, name, script)
            if error:
                record(step_title, False, error, time.monotonic() - started)
                continue
            played[name] = data
            ok, detail = check(data["reports"], data["marks"])
            if data["problems"]:
                ok, detail = False, detail + "; " + "; ".join(data["problems"][:3])
            record(step_title, ok, detail, time.monotonic() - started)

        if args.plot:
            started = time.monotonic()
            ok, detail = write_plot(args.out, played)
            record("Plot the motor strength of every effect", ok,
                   "%d panels in %s" % (len(played), detail) if ok else detail, time.monotonic() - started)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
