"""qalmor-service.exe under Wine's service manager: installed with sc create and with its
own --install, started (a relay client gets the simulator's bytes), stopped (the client
sees the close, the process is gone)."""

import os
import subprocess
import time

from harness import ROOT, WINE_RUN, Case, free_port, wait_until, wine_path

SERVICE = os.environ.get("QALMOR_SERVICE_EXE") or os.path.join(
    ROOT, "build/windows/qalmor-service.exe")
STOP_LIMIT_S = 5  # "ends within a few seconds"


def wine(*args, timeout=60):
    """A Windows command under Wine, run to its end; its output as text."""
    done = subprocess.run([WINE_RUN, *args], capture_output=True, timeout=timeout)
    return done.returncode, (done.stdout + done.stderr).decode(errors="replace")


def service_state(name):
    _, out = wine("sc", "query", name)
    for state in ("RUNNING", "STOP_PENDING", "START_PENDING", "STOPPED"):
        if f" {state}" in out:
            return state
    return None


def service_processes(folder):
    """PIDs of qalmor-service.exe processes whose command line names `folder`: the
    service manager starts them, so they are only looked at, never ended here."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                line = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if "qalmor-service.exe" in line and os.path.basename(folder) in line:
            found.append(int(entry))
    return found


class Service(Case):
    def prepare(self):
        simulator = self.start_simulator()
        self.relay_port = free_port()
        self.write_file("initmkp1.ini", f"{simulator.port}\r\n127.0.0.1\r\n")
        self.write_file("initsocket.ini", f"{self.relay_port}\r\n\r\n127.0.0.1\r\n")

    def start_and_check_relay(self, name):
        code, out = wine("sc", "start", name)
        self.assertEqual(code, 0, out)
        wait_until(lambda: service_state(name) == "RUNNING", 15, "the service to run")
        client = self.relay_client(self.relay_port)
        wait_until(lambda: client.count() >= 2000, 20, "the simulator's bytes at the relay")
        self.assertIn(b"\r\n*", client.received())  # the simulator's text lines
        self.assertEqual(len(service_processes(self.folder)), 1)
        return client

    def check_stopped(self, client, began):
        wait_until(client.ended.is_set, STOP_LIMIT_S, "the relay client to see the close")
        wait_until(lambda: not service_processes(self.folder), STOP_LIMIT_S,
                   "the service's process to end")
        self.assertLess(time.monotonic() - began, STOP_LIMIT_S + 1)
        log = self.read_file("qalmor-service.log").decode()
        self.assertRegex(log, r"\d\d:\d\d:\d\d UTC  qalmor-service [\d.]+: stopped\n$")
        self.assertIn("Клиент", log)
        self.assertIsNotNone(self.read_file_or_none("qalmor-status.json"))

    def test_sc_create_start_relays_and_stop_closes_the_clients(self):
        self.prepare()
        name = "qalmor-e2e-" + str(os.getpid())
        command = f'"{wine_path(SERVICE)}" --service --dir "{wine_path(self.folder)}"'
        code, out = wine("sc", "create", name, "binPath=", command)
        self.assertEqual(code, 0, out)
        self.cleanups.append(lambda: wine("sc", "stop", name) and wine("sc", "delete", name))
        client = self.start_and_check_relay(name)
        began = time.monotonic()
        code, out = wine("sc", "stop", name)
        self.assertEqual(code, 0, out)
        self.check_stopped(client, began)
        self.assertEqual(service_state(name), "STOPPED")

    def test_own_install_and_uninstall(self):
        self.prepare()
        wine(SERVICE, "--uninstall")  # what an interrupted run may have left in the prefix
        code, out = wine(SERVICE, "--install", "--dir", wine_path(self.folder))
        self.assertEqual(code, 0, out)
        self.cleanups.append(lambda: wine(SERVICE, "--uninstall"))
        # Wine's sc has no "qc": the service manager's own record, in the registry.
        _, config = wine("reg", "query", r"HKLM\System\CurrentControlSet\Services\qalmor")
        self.assertIn(f'--service --dir "{wine_path(self.folder)}"', config)
        self.assertRegex(config, r"Start\s+REG_DWORD\s+0x2")  # automatic, with Windows
        client = self.start_and_check_relay("qalmor")
        began = time.monotonic()
        code, out = wine(SERVICE, "--uninstall")
        self.assertEqual(code, 0, out)
        self.check_stopped(client, began)
        self.assertIsNone(service_state("qalmor"))  # gone from the service manager
