#!/usr/bin/env python3
"""Writes the demo's summary.txt and index.html from the steps' outcomes, so
that a person understands from the results folder alone what the product does
and whether every step worked."""

import argparse
import datetime
import html
import os
import subprocess

# The 64-bit loader: Debian's `wine` takes the 32-bit one once 32-bit Wine is installed.
WINE64 = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine64")

INTRO = """\
Corvane Wireless Controller companion software, shown at work under Wine.

The product has two parts:
- quellin.exe, the tray program. While the controller is connected it shows an
  icon in the notification area. A click on the icon opens the profile menu
  (the stored settings profiles, the current one checked); the right button
  opens the context menu (Properties, Auto setting change, Exit); a double
  click opens the controller's property sheet. Every change of the current
  setting is written to the registry and then announced to the controller with
  a Reload Request. With automatic switching on, the profile named like the
  program in front becomes current.
- brasquet.dll, the DirectInput force feedback effect driver. A game's effects
  (constant force, ramp, square, sine, triangle, sawtooth, with envelope, start
  delay and gain) are mixed every 2 ms into the controller's rumble strength,
  written as 4-byte Motor Reports.

Here the controller is the virtual controller 7C4A:0102 (tools/virtual_controller),
which Wine's own HID stack serves, plugged in and pulled out at run time; its
driver stands in for the controller's own and takes up the current setting on
a Reload Request. The product was installed with msiexec and its own Windows
Installer package, as on Windows. Each step below was checked from outside the
programs: in the registry, on the screen, in the process list, in the reports
the controller received, and in the Motor Reports the driver wrote to the
host's stand-in controller.
"""

PICTURES = [
    ("01-desktop-with-tray-icon.png",
     "The Wine desktop after the virtual controller 7C4A:0102 was plugged in: quellin.exe's controller icon "
     "at the right end of the taskbar, with its tip."),
    ("02-profile-menu-with-check-mark.png",
     "The profile menu (a left click on the icon) after choosing Racing: the check mark shows the current profile."),
    ("03-context-menu.png",
     "The context menu (a right click on the icon): Properties, Auto setting change, Exit."),
    ("04-automatic-switch.png",
     "Automatic switching: winemine.exe came to the front, and its profile is now checked."),
    ("05-property-sheet.png",
     "The controller's property sheet, opened by a double click on the icon (a stand-in of the real component)."),
    ("06-grayed-menu-while-sheet-open.png",
     "While the property sheet is open, every item of the menus is grayed."),
    ("07-controller-pulled-out.png",
     "The same desktop after the controller was pulled out: the icon is gone, and with it Wine's taskbar, "
     "which Wine's desktop shows only while it holds an icon or a window button."),
    ("motor-strength.png",
     "Motor strength over time for each effect played through brasquet.dll, from its Motor Reports."),
]

FILES = [
    ("summary.txt", "this summary"),
    ("install-output.txt", "the msiexec command, its exit code and the Apps & features entry"),
    ("effects/device-reports.txt", "the Motor Reports as the controller itself received them (vcontroller reports)"),
    ("effects/NAME.csv", "every Motor Report of one effect: time, strength and the 4 bytes"),
    ("effects/NAME-timeline.txt", "the host's calls into brasquet.dll and the reports, in time order"),
]


def wine_version():
    try:
        return subprocess.run([WINE64, "--version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return "wine"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--steps", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--seconds", type=int, default=0)
    parser.add_argument("--screenshots", type=int, default=1)
    args = parser.parse_args()

    steps = []
    with open(args.steps) as f:
        for line in f:
            parts = line.rstrip("\n").split("|", 2)
            if len(parts) == 3:
                steps.append(parts)
    failed = sum(1 for result, _, _ in steps if result != "worked")
    when = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    verdict = ("Every step worked: %d of %d." % (len(steps), len(steps)) if not failed
               else "%d of %d steps FAILED." % (failed, len(steps)))

    lines = [INTRO, "Run of %s, %s, %d s." % (when, wine_version(), args.seconds), "", verdict, "", "Steps:"]
    for number, (result, title, detail) in enumerate(steps, 1):
        lines.append("%2d. [%s] %s" % (number, result, title))
        lines.append("      %s" % detail)
    pictures = [(name, text) for name, text in PICTURES if os.path.exists(os.path.join(args.out, name))]
    lines += ["", "Pictures:"]
    for name, text in pictures:
        lines.append("  %-38s %s" % (name, text))
    if not args.screenshots:
        lines.append("  (screenshots were not taken in this run)")
    lines += ["", "Data:"]
    for name, text in FILES:
        lines.append("  %-38s %s" % (name, text))
    lines += ["", verdict, ""]
    with open(os.path.join(args.out, "summary.txt"), "w") as f:
        f.write("\n".join(lines))

    page = ["<!DOCTYPE html><html><head><meta charset='utf-8'><title>Corvane Wireless Controller demo</title>",
            "<style>body{font-family:sans-serif;max-width:1100px;margin:2em auto}"
            ".worked{color:#1a7f37}.FAILED{color:#c00;font-weight:bold}img{max-width:100%;border:1px solid #999}"
            "li{margin-bottom:.4em}pre{white-space:pre-wrap}</style></head><body>",
            "<h1>Corvane Wireless Controller companion software under Wine</h1>",
            "<pre>%s</pre>" % html.escape(INTRO),
            "<p><b>%s</b> (%s, %s, %d s)</p><ol>" % (html.escape(verdict), when, html.escape(wine_version()),
                                                   args.seconds)]
    for result, title, detail in steps:
        page.append("<li><span class='%s'>%s</span> %s<br><small>%s</small></li>" % (
            result, result, html.escape(title), html.escape(detail)))
    page.append("</ol>")
    for name, text in pictures:
        page.append("<h3>%s</h3><p>%s</p><img src='%s'>" % (html.escape(name), html.escape(text), name))
    page.append("</body></html>")
    with open(os.path.join(args.out, "index.html"), "w") as f:
        f.write("\n".join(page))


if __name__ == "__main__":
    main()
