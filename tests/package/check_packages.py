#!/usr/bin/env python3
"""Checks what scripts/package wrote into dist/, as a station operator gets it.

- Each Debian package holds the programs (built for its own machine), the systemd
  unit, the man pages and the documents, and lintian finds no error in any of them.
- qalmor-web holds the status page as the source tree has it, the lighttpd snippet as
  a conffile and the unit's drop-in, and lintian finds not even a warning in it.
- The amd64 package's qalmor, unpacked, relays the simulator's stream byte for byte
  to a client, and exits 0 on SIGTERM.
- The Windows zip holds the two programs and the guide (CR LF, Russian and English),
  and qalmor.exe carries its version resource and its manifest.
- SHA256SUMS holds the right checksum of each of the six (the Windows installer too;
  check_installer.py runs it).

Usage: check_packages.py DIST_DIR VERSION
"""
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
import zipfile

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"FAIL: {what}")
    return condition


# --- Debian packages --------------------------------------------------------

PACKAGE_FILES = [
    "./usr/bin/qalmor",
    "./usr/bin/qalmor-sim",
    "./lib/systemd/system/qalmor.service",
    "./usr/share/man/man1/qalmor.1.gz",
    "./usr/share/man/man1/qalmor-sim.1.gz",
    "./usr/share/doc/qalmor/README.md",
    "./usr/share/doc/qalmor/copyright",
    "./usr/share/doc/qalmor/changelog.gz",
]

# ELF class (1: 32-bit, 2: 64-bit) and machine of each Debian architecture; armhf is
# also the hard-float ABI.
MACHINES = {"amd64": (2, 62), "arm64": (2, 183), "armhf": (1, 40)}
EF_ARM_ABI_FLOAT_HARD = 0x400


def elf_machine(path):
    with open(path, "rb") as f:
        header = f.read(52)
    if header[:4] != b"\x7fELF":
        return None
    elf_class = header[4]
    machine = struct.unpack_from("<H", header, 18)[0]
    flags = struct.unpack_from("<I", header, 36)[0] if elf_class == 1 else 0
    return elf_class, machine, flags


def check_deb(deb, arch, version, root):
    fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Architecture"],
                            capture_output=True, text=True, check=True).stdout
    check(fields.split() == ["Package:", "qalmor", "Version:", version, "Architecture:", arch],
          f"{deb}: control fields: {fields!r}")
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                             check=True).stdout
    paths = {line.split()[5] for line in listing.splitlines()}
    for path in PACKAGE_FILES:
        check(path in paths, f"{deb}: holds {path}")
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    for program in ("qalmor", "qalmor-sim"):
        found = elf_machine(os.path.join(root, "usr/bin", program))
        elf_class, machine = MACHINES[arch]
        check(found is not None and found[:2] == (elf_class, machine),
              f"{deb}: {program} is built for {arch} (ELF class, machine: {found})")
        if arch == "armhf" and found:
            check(found[2] & EF_ARM_ABI_FLOAT_HARD, f"{deb}: {program} uses the hard-float ABI")
    with open(os.path.join(root, "lib/systemd/system/qalmor.service")) as f:
        check("ExecStart=/usr/bin/qalmor --dir /var/lib/qalmor" in f.read(),
              f"{deb}: the unit starts /usr/bin/qalmor with its settings in /var/lib/qalmor")


WEB_FILES = [
    "./etc/lighttpd/conf-available/89-qalmor.conf",
    "./lib/systemd/system/qalmor.service.d/qalmor-web.conf",
    "./usr/share/doc/qalmor-web/copyright",
    "./usr/share/doc/qalmor-web/changelog.gz",
]
WEB_SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "src/frontends/web")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def check_web_deb(deb, version, root):
    fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Architecture"],
                            capture_output=True, text=True, check=True).stdout
    check(fields.split() == ["Package:", "qalmor-web", "Version:", version, "Architecture:",
                             "all"], f"{deb}: control fields: {fields!r}")
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                             check=True).stdout
    paths = {line.split()[5] for line in listing.splitlines()}
    pages = sorted(os.listdir(os.path.join(WEB_SOURCE, "html")))
    for path in WEB_FILES + [f"./usr/share/qalmor/html/{page}" for page in pages]:
        check(path in paths, f"{deb}: holds {path}")
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    for page in pages:
        packaged = os.path.join(root, "usr/share/qalmor/html", page)
        check(os.path.isfile(packaged) and
              read_bytes(packaged) == read_bytes(os.path.join(WEB_SOURCE, "html", page)),
              f"{deb}: {page} as the source tree has it")
    control = os.path.join(root, "DEBIAN")
    subprocess.run(["dpkg-deb", "-e", deb, control], check=True)
    with open(os.path.join(control, "conffiles")) as f:
        check(f.read().split() == ["/etc/lighttpd/conf-available/89-qalmor.conf"],
              f"{deb}: the lighttpd snippet is a conffile")


def run_lintian(debs):
    result = subprocess.run(["lintian", "--fail-on", "error", "--display-info", *debs],
                            capture_output=True, text=True)
    tags = [line for line in result.stdout.splitlines() if re.match(r"^[EWIXPO]: ", line)]
    counts = {kind: sum(line.startswith(kind + ":") for line in tags) for kind in "EWI"}
    print(f"lintian: {counts['E']} errors, {counts['W']} warnings, {counts['I']} notes")
    for line in sorted(set(tags)):
        print("  " + line)
    check(result.returncode == 0 and counts["E"] == 0, "lintian finds no error")
    # The status page's package has no binaries and no excuse: not even a warning.
    check(not any(re.match(r"^[EW]: qalmor-web[: ]", line) for line in tags),
          "lintian finds no error or warning in qalmor-web")


# --- The amd64 program at work ------------------------------------------------

MESSAGES = ["*8D4840D6202CC371C32CE0576098;", "*5D4840D6E3F8A1;",
            "*8D406B902015A678D4D220AA4BDA;", "*02E197B0B6C1C7;"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_simulator(root, work):
    messages = os.path.join(work, "messages.avr")
    with open(messages, "w") as f:
        f.write("\n".join(MESSAGES) + "\n")
    sim = subprocess.Popen([os.path.join(root, "usr/bin/qalmor-sim"), "--port", "0",
                            "--file", messages, "--rate", "400", "--format", "avr"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = sim.stdout.readline()
    match = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
    if not match:
        sim.kill()
        raise RuntimeError(f"the simulator did not start: {line!r}")
    return sim, int(match.group(1))


def read_relayed(port, wanted_bytes, seconds):
    deadline = time.monotonic() + seconds
    client = None
    while client is None and time.monotonic() < deadline:
        try:
            client = socket.create_connection(("127.0.0.1", port), timeout=1)
        except OSError:
            time.sleep(0.1)
    if client is None:
        return b""
    received = b""
    with client:
        client.settimeout(0.5)
        while len(received) < wanted_bytes and time.monotonic() < deadline:
            try:
                chunk = client.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            received += chunk
    return received


def check_program_relays(root):
    with tempfile.TemporaryDirectory() as work:
        sim, sim_port = start_simulator(root, work)
        relay_port = free_port()
        with open(os.path.join(work, "initsocket.ini"), "w", newline="") as f:
            f.write(f"{relay_port}\r\n\r\n")
        with open(os.path.join(work, "initmkp1.ini"), "w", newline="") as f:
            f.write(f"{sim_port}\r\n127.0.0.1\r\n")
        program = subprocess.Popen([os.path.join(root, "usr/bin/qalmor"), "--dir", work],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            received = read_relayed(relay_port, 4000, 15)
            # The client joins mid-stream: from its first whole line on, it must get the
            # simulator's lines exactly, in their order.
            start, end = received.find(b"\r\n") + 2, received.rfind(b"\r\n") + 2
            whole = received[start:end]
            cycle = "".join(m + "\r\n" for m in MESSAGES).encode()
            repeats = len(whole) // len(cycle) + 2
            check(len(whole) > 3 * len(cycle), f"qalmor relays the stream ({len(received)} bytes)")
            check(whole in cycle * repeats, "the relayed bytes are the simulator's, unchanged")
            program.send_signal(signal.SIGTERM)
            try:
                code = program.wait(timeout=10)
            except subprocess.TimeoutExpired:
                code = None
            check(code == 0, f"qalmor exits 0 on SIGTERM (exit code {code})")
        finally:
            for process in (program, sim):
                if process.poll() is None:
                    process.kill()
                    process.wait()


# --- The Windows zip -----------------------------------------------------------

def version_resource(exe):
    """The version resource (VS_VERSIONINFO) of a PE file, found by its key, or None."""
    key = "VS_VERSION_INFO".encode("utf-16-le")
    at = exe.find(key)
    if at < 6:
        return None
    # The key follows the block's length, value length and type, a 16-bit word each.
    length = struct.unpack_from("<H", exe, at - 6)[0]
    return exe[at - 6:at - 6 + length]


def manifest_resource(exe):
    """The application manifest of a PE file, found as its XML text, or None."""
    end = exe.find(b"</assembly>")
    start = exe.rfind(b"<?xml", 0, end)
    return exe[start:end + len(b"</assembly>")] if end >= 0 and start >= 0 else None


def check_version_resource(exe, version):
    resource = version_resource(exe)
    if not check(resource is not None, "qalmor.exe has a version resource"):
        return
    fixed = resource.find(struct.pack("<I", 0xFEEF04BD))
    numbers = [int(n) for n in version.split(".")]
    expected = (numbers[0] << 16 | numbers[1], numbers[2] << 16)
    check(fixed >= 0 and struct.unpack_from("<4I", resource, fixed + 8) == expected * 2,
          f"qalmor.exe: file and product version {version}.0 in the fixed part")
    text = resource.decode("utf-16-le", errors="replace")
    values = dict(re.findall(r"(\w+)\x00+([^\x00]+)", text))
    check(values.get("FileVersion") == version, f"FileVersion {values.get('FileVersion')}")
    check(values.get("ProductVersion") == version,
          f"ProductVersion {values.get('ProductVersion')}")
    check(values.get("ProductName") == "QALMOR link", f"ProductName {values.get('ProductName')}")
    check("QALMOR" in values.get("FileDescription", ""),
          f"FileDescription {values.get('FileDescription')}")


def check_manifest(exe, version):
    resource = manifest_resource(exe)
    if not check(resource is not None, "qalmor.exe has a manifest"):
        return
    root = ET.fromstring(resource)
    every = list(root.iter())
    identity = next((e for e in every if e.tag.endswith("assemblyIdentity")), None)
    check(identity is not None and identity.get("version") == version + ".0",
          f"manifest: the program's own version {version}.0")
    controls = [e for e in every if e.tag.endswith("assemblyIdentity")
                and e.get("name") == "Microsoft.Windows.Common-Controls"]
    check(controls and controls[0].get("version") == "6.0.0.0", "manifest: common controls 6")
    systems = {e.get("Id") for e in every if e.tag.endswith("supportedOS")}
    check("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" in systems,
          "manifest: supported up to Windows 10 and 11")
    settings = {e.tag.split("}")[1]: (e.text or "").strip() for e in every
                if e.tag.endswith("}dpiAware") or e.tag.endswith("}gdiScaling")}
    check(settings == {"dpiAware": "false", "gdiScaling": "true"},
          f"manifest: DPI-unaware with GDI scaling ({settings})")


def check_zip(path, version):
    folder = f"qalmor-{version}/"
    with zipfile.ZipFile(path) as z:
        names = sorted(z.namelist())
        expected = sorted(folder + name for name in ("", "README.txt", "qalmor.exe",
                                                     "qalmor-sim.exe"))
        check(names == expected, f"zip holds {expected}, not {names}")
        if folder + "README.txt" in names:
            guide = z.read(folder + "README.txt")
            check(guide.startswith(b"\xef\xbb\xbf"), "guide: UTF-8 with a byte order mark")
            check(guide.count(b"\n") > 20 and guide.count(b"\n") == guide.count(b"\r\n"),
                  "guide: every line ends in CR LF")
            text = guide.decode("utf-8-sig")
            for word in ("Порт ретрансляции", "relay port", "qalmor-sim.exe", "initmkp1.ini",
                         "7777", version):
                check(word in text, f"guide: mentions {word!r}")
        if folder + "qalmor.exe" in names:
            exe = z.read(folder + "qalmor.exe")
            check_version_resource(exe, version)
            check_manifest(exe, version)


def main():
    dist, version = sys.argv[1], sys.argv[2]
    debs = [os.path.join(dist, f"qalmor_{version}_{arch}.deb") for arch in MACHINES]
    web_deb = os.path.join(dist, f"qalmor-web_{version}_all.deb")
    windows = [os.path.join(dist, f"qalmor-{version}-windows-x64.zip"),
               os.path.join(dist, f"qalmor-{version}-windows-x64-setup.exe")]
    for path in debs + [web_deb] + windows:
        if check(os.path.isfile(path), f"{path} is there"):
            print(f"{os.path.getsize(path):>9} {path}")
    if failures:
        return 1
    sums = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=dist,
                          capture_output=True, text=True)
    check(sums.returncode == 0 and sums.stdout.count(": OK") == len(debs) + 1 + len(windows),
          f"SHA256SUMS holds the right sum of each of the six: {sums.stdout}{sums.stderr}")
    with tempfile.TemporaryDirectory() as unpacked:
        for arch, deb in zip(MACHINES, debs):
            root = os.path.join(unpacked, arch)
            check_deb(deb, arch, version, root)
        check_program_relays(os.path.join(unpacked, "amd64"))
        check_web_deb(web_deb, version, os.path.join(unpacked, "web"))
    check_zip(os.path.join(dist, f"qalmor-{version}-windows-x64.zip"), version)
    run_lintian(debs + [web_deb])
    print("packages: " + ("FAILED" if failures else "all checks passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
