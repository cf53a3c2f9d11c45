#!/usr/bin/env python3
"""Checks the Windows installer that scripts/package wrote into dist/, under Wine in a
fresh prefix of its own (WINEPREFIX, which scripts/test makes anew), on a display (scripts/with-xvfb)
and in one Wine session (scripts/wine-session):

- A silent install (/S) puts the programs in the user's own programs folder, the
  Start-menu entry, and the autostart's Run value "QALMOR link <folder>".
- The installed qalmor.exe, started in that folder, relays the simulator's bytes.
- A silent uninstall removes the programs, the entry and the value, and keeps the
  settings (initmkp1.ini).

Usage: check_installer.py DIST_DIR VERSION
"""
import glob
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402  (the simulator, relay clients, waits, ends by PID)

PROGRAMS = ("qalmor.exe", "qalmor-service.exe", "qalmor-sim.exe", "uninstall.exe")
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
failures = []


def check(condition, what):
    print(("ok:   " if condition else "FAIL: ") + what)
    if not condition:
        failures.append(what)
    return condition


def wine(*args, timeout=120):
    done = subprocess.run([harness.WINE_RUN, *args], capture_output=True, timeout=timeout)
    return done.returncode, (done.stdout + done.stderr).decode(errors="replace")


def user_folder(prefix, *parts):
    found = glob.glob(os.path.join(prefix, "drive_c", "users", "*", *parts))
    found = [f for f in found if "/Public/" not in f]
    return found[0] if found else None


def start_menu_entry(prefix):
    return user_folder(prefix, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                       "Programs", "QALMOR link.lnk")


def run_value():
    """The autostart's Run value as `reg query` lists it, or None. It is named for the
    folder, as the program's own menu item names it: "QALMOR link <folder>"."""
    code, out = wine("reg", "query", RUN_KEY)
    lines = [line for line in out.splitlines() if "QALMOR link " in line]
    return lines[0] if code == 0 and lines else None


def check_installed(prefix, folder):
    for name in PROGRAMS + ("README.txt",):
        check(os.path.isfile(os.path.join(folder, name)), f"installed {name}")
    check(start_menu_entry(prefix) is not None, "the Start-menu entry is there")
    value = run_value() or ""
    check('QALMOR link\\qalmor.exe" --minimized' in value,
          f"the Run value starts the installed program minimised: {value.strip()!r}")
    check("QALMOR link C:\\users\\" in value and "Programs\\QALMOR link" in value.split("REG_SZ")[0],
          f"the Run value is named for the folder, as the program names it: {value.strip()!r}")


def check_program_relays(folder):
    """The installed program in its own folder, as the Start-menu entry starts it."""
    simulator = harness.Simulator(folder)
    relay_port = harness.free_port()
    with open(os.path.join(folder, "initmkp1.ini"), "w") as f:
        f.write(f"{simulator.port}\r\n127.0.0.1\r\n")
    with open(os.path.join(folder, "initsocket.ini"), "w") as f:
        f.write(f"{relay_port}\r\n\r\n127.0.0.1\r\n")
    program = harness.launch([harness.WINE_RUN, os.path.join(folder, "qalmor.exe")],
                             cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        client = harness.RelayClient(relay_port)  # waits for the relay to listen
        harness.wait_until(lambda: client.count() >= 1000, 30, "the simulator's bytes")
        check(b"\r\n*" in client.received(), "the installed qalmor.exe relays the receiver")
        client.close()
    except (AssertionError, OSError) as error:
        check(False, f"the installed qalmor.exe relays the receiver: {error}")
    finally:
        harness.end_process(program)
        simulator.stop()


def check_uninstalled(prefix, folder):
    code, out = wine(os.path.join(folder, "uninstall.exe"), "/S")
    check(code == 0, f"the uninstaller runs: {out.strip()}")
    # The uninstaller runs on from a copy of itself, so that it can remove itself.
    try:
        harness.wait_until(lambda: not os.path.exists(os.path.join(folder, "uninstall.exe")),
                           60, "the uninstaller to finish")
    except AssertionError as error:
        check(False, str(error))
    for name in PROGRAMS + ("README.txt",):
        check(not os.path.exists(os.path.join(folder, name)), f"uninstalled {name}")
    check(os.path.isfile(os.path.join(folder, "initmkp1.ini")), "initmkp1.ini is kept")
    check(start_menu_entry(prefix) is None, "the Start-menu entry is gone")
    check(run_value() is None, "the Run value is gone")


def main():
    dist, version = sys.argv[1], sys.argv[2]
    setup = os.path.join(dist, f"qalmor-{version}-windows-x64-setup.exe")
    prefix = os.environ["WINEPREFIX"]
    if not check(os.path.isfile(setup), f"{setup} is there"):
        return 1
    try:
        code, out = wine(setup, "/S")
        check(code == 0, f"the silent install ends with 0: {out.strip()}")
        folder = user_folder(prefix, "AppData", "Local", "Programs", "QALMOR link")
        if check(folder is not None, "installed into the user's own programs folder"):
            check_installed(prefix, folder)
            check_program_relays(folder)
            check_uninstalled(prefix, folder)
    finally:
        harness.end_all()
    print("installer: " + ("FAILED" if failures else "all checks passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
