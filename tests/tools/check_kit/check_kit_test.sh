#!/usr/bin/env bash
# The check kit on its own: its zip unpacked into a new folder, a Wine prefix
# made for it alone, and `wine check.exe` run there, with nothing of the build
# tree or of this project's scripts beside it. Every program of the manifest
# must be run or skipped with a reason, none may fail, and report.xml must be
# well-formed JUnit that names each program.
#   check_kit_test.sh KIT_ZIP DISPLAY [PROGRAMS]
# PROGRAMS (check.exe --programs) limits the run to those named; the others
# must then be skipped as left out.
set -uo pipefail
zip=${1:?kit zip} display=${2:?display} programs=${3:-}
scripts="$(cd "$(dirname "$0")/../../../scripts" && pwd)"
work=$(mktemp -d)
prefix=$work/prefix
cleanup() {
    [ -n "${KEEP:-}" ] && return
    "$scripts/wine-env.sh" down "$prefix" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "check_kit_test: $*"
    exit 1
}

python3 -m zipfile -e "$zip" "$work/unpacked" || fail "cannot unpack $zip"
kit=$work/unpacked/check-kit
[ -f "$kit/check.exe" ] && [ -f "$kit/manifest.txt" ] || fail "the zip holds no check-kit/check.exe and manifest.txt"
# The prefix only: made as the tests' prefixes are, with a running wineserver.
"$scripts/wine-env.sh" up "$prefix" "$display" || fail "cannot make the Wine prefix"
# Wine's own HID devices, which a test of the device list finds, are
# installed a moment after a new prefix's first start.
for _ in $(seq 60); do
    WINEPREFIX=$prefix WINEDEBUG=-all wine reg query 'HKLM\System\CurrentControlSet\Enum\HID\VID_845E&PID_0001' \
        >/dev/null 2>&1 && break
    sleep 0.5
done

args=(--out 'C:\check-report')
[ -n "$programs" ] && args+=(--programs "$programs")
start=$(date +%s)
(cd "$kit" && WINEPREFIX=$prefix WINEDEBUG=-all DISPLAY=$display wine check.exe "${args[@]}") >"$work/output" 2>&1
status=$?
echo "check.exe ended with status $status after $(($(date +%s) - start)) s"
tr -d '\r' <"$work/output" | grep -v '^\[' | head -n 40
report=$prefix/drive_c/check-report
[ -f "$report/report.txt" ] && [ -f "$report/report.xml" ] || fail "no report.txt and report.xml in $report"
[ "$status" = 0 ] || { sed -n '/^Failures:/,/^Skipped/p' "$report/report.txt" | head -n 80; fail "check.exe failed"; }

python3 - "$kit/manifest.txt" "$report/report.xml" "$programs" <<'PY' || fail "report.xml does not account for the manifest"
import fnmatch, sys, xml.dom.minidom
manifest, report, selected = sys.argv[1], sys.argv[2], sys.argv[3]
# Under ctest each test line of the manifest is one test, which passes when
# the tests its filter picks all pass or skip; those a line "only ... windows"
# names are left out here.
programs, entries = [], {}
for l in open(manifest):
    f = l.rstrip("\n").split("\t")
    if f[0] == "program":
        programs.append(f[1])
    elif f[0] == "test":
        entries.setdefault(f[1], []).append(f[2])
    elif f[0] == "only" and f[2] == "windows":
        entries[f[1]] = [e for e in entries.get(f[1], []) if not fnmatch.fnmatchcase(e, f[3])]
doc = xml.dom.minidom.parse(report)
root = doc.documentElement
assert root.tagName == "testsuites", root.tagName
suites = {s.getAttribute("name").replace("\\", "/"): s for s in root.getElementsByTagName("testsuite")}
# The checks beside the programs: dicheck skipped or not provided with its
# reason (Wine's DirectInput loads no effect driver), bench passed.
tools = {c.getAttribute("name"): c for c in suites.pop("tools").getElementsByTagName("testcase")}
assert {"x64 dicheck", "x64 ffhost bench"} <= set(tools), sorted(tools)
# The x86 ones, where the kit has x86 programs: run or skipped, never failed.
for name, case in tools.items():
    assert not case.getElementsByTagName("failure") and not case.getElementsByTagName("error"), name + " failed"
dicheck = tools["x64 dicheck"].getElementsByTagName("skipped")
assert dicheck and dicheck[0].getAttribute("message"), "dicheck neither skipped nor with a reason"
assert not tools["x64 ffhost bench"].childNodes[0].tagName in ("failure", "skipped"), "bench did not pass"
assert sorted(suites) == sorted(programs), (sorted(suites), sorted(programs))
ran = skipped = as_ctest = 0
for name, suite in suites.items():
    cases = suite.getElementsByTagName("testcase")
    assert cases, name + " has no testcase"
    assert int(suite.getAttribute("tests")) == len(cases), name
    for bad in ("failure", "error"):
        assert not suite.getElementsByTagName(bad), name + " has a " + bad
    skips = suite.getElementsByTagName("skipped")
    assert all(s.getAttribute("message") for s in skips), name + ": a skip without its reason"
    if len(skips) == len(cases):
        skipped += 1
    else:
        ran += 1
    chosen = selected.split(",")
    if selected and name.split("/")[-1][:-4] not in chosen and name[:-4] not in chosen:
        assert len(skips) == len(cases), name + " ran though left out"
    elif selected and not name.startswith("x86/"):
        # elevated, with a display and the virtual controller check.exe installs
        assert len(skips) < len(cases), name + " was chosen and not run"
    # The same count here, for every x64 program that ran, shows that the kit
    # ran what ctest runs, and passed it; the kit's own skips name the program.
    full = [c.getAttribute("classname") + "." + c.getAttribute("name") for c in cases
            if c.getAttribute("classname") != name.replace("/", "\\")]
    if full and not name.startswith("x86/"):
        passed = [e for e in entries.get(name, []) if any(fnmatch.fnmatchcase(n, e) for n in full)]
        assert len(passed) == len(entries.get(name, [])), (name, sorted(set(entries.get(name, [])) - set(passed)))
        as_ctest += len(passed)
print(f"report.xml: {len(programs)} programs, {ran} run, {skipped} skipped with a reason; "
      f"{as_ctest} of ctest's tests passed as under ctest; "
      f"{root.getAttribute('tests')} tests, {root.getAttribute('skipped')} skipped")
PY
# What the programs registered outside their sandboxes is gone again: the
# fresh prefix had neither class, nor DirectInput's OEM key.
for key in 'HKLM\Software\Classes\CLSID\{7A3C91E4-52B8-4F1D-9C6A-3E0B8D2F4A61}' \
    'HKLM\Software\Classes\CLSID\{7A3C91E5-52B8-4F1D-9C6A-3E0B8D2F4A61}' \
    'HKLM\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM'; do
    WINEPREFIX=$prefix WINEDEBUG=-all timeout 60 wine reg query "$key" >/dev/null 2>&1 && fail "the run left $key behind"
done
grep -q '^== x64 ffhost bench: passed' "$report/report.txt" && grep -q 'start latency' "$report/report.txt" ||
    fail "report.txt holds no benchmark figures"
sed -n '/^Programs:/,/^Run time/p;/^== x64 dicheck/p;/^Skipped, by reason:/,/^Left out/p' "$report/report.txt" | grep -v '^Left out'
echo "check kit: passed"
