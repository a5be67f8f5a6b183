#!/usr/bin/env python3
"""Brenvelt Setup end to end: the real installer under Wine, headless under Xvfb, its
message boxes answered with xdotool, its results read back from the Linux side.

One Wine prefix for the run (the project's own), reset between cases: the prefix's
processes ended, C:\\ProgramData\\Brenvelt and HKCU\\Software\\Brenvelt removed."""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("BRENVELT_WINDOWS_BUILD", os.path.join(REPO, "build", "windows"))
PACK = os.environ.get("BRENVELT_PACK", os.path.join(REPO, "build", "native", "packer", "brenvelt-pack"))
PREFIX = os.environ.get("BRENVELT_WINEPREFIX", os.path.join(REPO, "build", "wine-prefix"))

SETUP = os.path.join(BUILD, "installer", "BrenveltSetup.exe")
E2E = os.path.join(BUILD, "tests", "e2e")
STAND_IN_APP = os.path.join(BUILD, "sample", "Brenvelt.exe")
RECORDER = os.path.join(E2E, "notice_recorder.exe")
VOLATILE_KEY_LAUNCHER = os.path.join(E2E, "volatile_key_launcher.exe")

PROGRAMDATA = os.path.join(PREFIX, "drive_c", "ProgramData")
APP_ROOT = os.path.join(PROGRAMDATA, "Brenvelt")
VERSIONS = os.path.join(APP_ROOT, "app")
LAUNCH_LOG = os.path.join(PREFIX, "drive_c", "brenvelt-launches.log")
HELPERS = os.path.join(PREFIX, "drive_c", "brenvelt-e2e")

PROMPT = "^提示！$"
ERROR = "^错误！$"
VERSION_DIR = re.compile(r"^v1\.1\.0\.0#(\d+)\.(\d+)\.(\d+)\.(\d+)\.(\d+)\.(\d+)$")

ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
           BRENVELT_LAUNCH_LOG="C:\\brenvelt-launches.log", LC_ALL="C.UTF-8")
xvfb = None
xvfb_display_pipe = None
xvfb_log = tempfile.TemporaryFile(mode="w+")  # what the X server said, for a failure's message


def run(args, timeout=60, check=True):
    return subprocess.run(args, env=ENV, capture_output=True, text=True, timeout=timeout, check=check)


def wine(*args, timeout=60, check=True):
    return run(["wine", *args], timeout=timeout, check=check)


def start(*args):
    return subprocess.Popen(["wine", *args], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def windows_named(pattern):
    result = run(["xdotool", "search", "--name", pattern], check=False)
    return result.stdout.split()


def window_names():
    """The names of the first windows the X server shows, for a failure's message."""
    names = (run(["xdotool", "getwindowname", w], check=False).stdout.strip() for w in windows_named(".")[:20])
    return [name for name in names if name]


def x_server_state():
    """Whether Xvfb still runs, and if not how it ended, for a failure's message."""
    if xvfb is None or xvfb.poll() is None:
        return "Xvfb running"
    xvfb_log.seek(0)
    return f"Xvfb ended with exit code {xvfb.returncode}: {xvfb_log.read()[-1000:].strip()!r}"


def wait_for_window(pattern, timeout=30, other_than=()):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = [w for w in windows_named(pattern) if w not in other_than]
        if found:
            return found[0]
        if xvfb is not None and xvfb.poll() is not None:
            break  # no window can come any more
        time.sleep(0.1)
    raise AssertionError(f"no window named {pattern} within {timeout} s; named windows: {window_names()}; "
                         f"{x_server_state()}")


def wait_until_gone(pattern, timeout=30):
    deadline = time.monotonic() + timeout
    while windows_named(pattern):
        if time.monotonic() > deadline:
            raise AssertionError(f"window {pattern} still there after {timeout} s")
        time.sleep(0.1)


def press(window, key, pattern):
    """Sends key to the message box `window` (named by pattern) until that box is gone: a
    key sent before the box takes the focus would be lost."""
    for _ in range(5):
        run(["xdotool", "windowfocus", "--sync", window], check=False, timeout=10)
        time.sleep(0.3)
        run(["xdotool", "key", "--clearmodifiers", key], timeout=10)
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            if window not in windows_named(pattern):
                return
            time.sleep(0.1)
    raise AssertionError(f"message box {pattern} did not take {key}")


def registry_value(key, name):
    result = wine("reg", "query", key, "/v", name, check=False)
    match = re.search(rf"{name}\s+(REG_\w+)\s+(\S+)", result.stdout)
    return (match.group(1), match.group(2)) if match else None


def registry_key_exists(key):
    return wine("reg", "query", key, check=False).returncode == 0


def snapshot(root):
    """relative path -> ('dir',) or (bytes, mtime in 100 ns)"""
    tree = {}
    for directory, subdirs, files in os.walk(root):
        for d in subdirs:
            tree[os.path.relpath(os.path.join(directory, d), root)] = ("dir",)
        for f in files:
            path = os.path.join(directory, f)
            with open(path, "rb") as handle:
                tree[os.path.relpath(path, root)] = (handle.read(), os.stat(path).st_mtime_ns // 100)
    return tree


def version_dirs():
    return sorted(os.listdir(VERSIONS)) if os.path.isdir(VERSIONS) else []


def launches():
    """[(kind, creation time, rest)] from the launch log."""
    if not os.path.exists(LAUNCH_LOG):
        return []
    with open(LAUNCH_LOG, encoding="utf-8") as log:
        return [tuple(line.rstrip("\r\n").split(" ", 2)) for line in log if line.strip()]


def setUpModule():
    global xvfb, xvfb_display_pipe
    subprocess.run([os.path.join(REPO, "tests", "wine", "prepare-prefix.sh")], check=True, env=ENV,
                   stdout=subprocess.DEVNULL)
    # -noreset: by default the server resets whenever its last client leaves (every
    # wineserver -k between cases), and on each reset writes its display number to the
    # -displayfd pipe again; once nobody reads that pipe the write fails and the server
    # exits. The read end stays open as well, for the server's whole life.
    xvfb_display_pipe, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-noreset", "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write,), stderr=xvfb_log)
    os.close(write)
    display = os.read(xvfb_display_pipe, 16).decode().strip()
    if not display:  # the server closed the pipe: it is exiting
        xvfb.wait(timeout=10)
        raise RuntimeError(f"Xvfb did not start: {x_server_state()}")
    ENV["DISPLAY"] = ":" + display
    # .txt files open in the recorder, which notes when and what it was asked to open.
    os.makedirs(HELPERS, exist_ok=True)
    shutil.copy(RECORDER, HELPERS)
    wine("reg", "add", "HKCR\\.txt", "/ve", "/d", "brenvelt.e2e.notice", "/f")
    wine("reg", "add", "HKCR\\brenvelt.e2e.notice\\shell\\open\\command", "/ve", "/d",
         '"C:\\brenvelt-e2e\\notice_recorder.exe" "%1"', "/f")


def tearDownModule():
    wine("reg", "add", "HKCR\\.txt", "/ve", "/d", "txtfile", "/f", check=False)
    wine("reg", "delete", "HKCR\\brenvelt.e2e.notice", "/f", check=False)
    subprocess.run(["wineserver", "-k"], env=ENV, check=False)
    shutil.rmtree(HELPERS, ignore_errors=True)
    if xvfb:
        xvfb.terminate()
        xvfb.wait()
        os.close(xvfb_display_pipe)
    xvfb_log.close()


def end_prefix_processes():
    subprocess.run(["wineserver", "-k"], env=ENV, check=False)
    subprocess.run(["wineserver", "-w"], env=ENV, check=False)


def reset_prefix():
    end_prefix_processes()
    if os.path.isdir(APP_ROOT) and not os.path.islink(APP_ROOT):
        shutil.rmtree(APP_ROOT)
    elif os.path.lexists(APP_ROOT):
        os.remove(APP_ROOT)
    for path in (LAUNCH_LOG, os.path.join(PREFIX, "drive_c", "escaped.txt")):
        if os.path.exists(path):
            os.remove(path)
    wine("reg", "delete", "HKCU\\Software\\Brenvelt", "/f", check=False)


def local_stamp(seconds):
    t = time.localtime(seconds)
    return (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)


class InstallerCase(unittest.TestCase):
    def setUp(self):
        reset_prefix()

    def install(self, exe=SETUP, timeout=60):
        """Runs an installer that shows no message box; its exit code."""
        process = start(exe)
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            boxes = windows_named(PROMPT) + windows_named(ERROR)
            process.kill()
            raise AssertionError(f"installer did not end by itself (message boxes: {boxes})")

    def expected_tree(self, exe=SETUP):
        out = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, out)
        subprocess.run([PACK, "unpack", exe, os.path.join(out, "tree")], check=True, capture_output=True)
        return snapshot(os.path.join(out, "tree"))

    def expect_untouched(self):
        self.assertFalse(os.path.lexists(APP_ROOT), "nothing may be created on disk")
        self.assertFalse(registry_key_exists("HKCU\\Software\\Brenvelt"), "nothing may change in the registry")
        self.assertEqual(launches(), [], "nothing may be launched")


class CleanInstall(InstallerCase):
    def test_installs_the_payload_sets_the_flag_and_opens_notice_then_app(self):
        wine("reg", "add", "HKCU\\Software\\Brenvelt\\Recent", "/v", "FirstTimePrompt", "/t", "REG_DWORD",
             "/d", "7", "/f")
        before = time.time()
        started = time.monotonic()
        self.assertEqual(self.install(), 0)
        print(f"\n  one clean install under Wine: {time.monotonic() - started:.2f} s", file=sys.stderr)
        after = time.time()

        dirs = version_dirs()
        self.assertEqual(len(dirs), 1, dirs)
        match = VERSION_DIR.match(dirs[0])
        self.assertIsNotNone(match, dirs[0])
        stamp = tuple(int(g) for g in match.groups())
        self.assertTrue(local_stamp(int(before)) <= stamp <= local_stamp(after + 1), (dirs[0], before, after))
        self.assertNotRegex(dirs[0], r"[#.]0\d", "plain decimals, no leading zeros")
        self.assertEqual(os.listdir(APP_ROOT), ["app"])

        self.assertEqual(snapshot(os.path.join(VERSIONS, dirs[0])), self.expected_tree())
        self.assertEqual(registry_value("HKCU\\Software\\Brenvelt\\Recent", "FirstTimePrompt"), ("REG_DWORD", "0x1"))

        wait_for_window("^Brenvelt$")  # the application runs
        log = sorted(launches(), key=lambda entry: int(entry[1]))  # by process creation time
        self.assertEqual([entry[0] for entry in log], ["notice", "app"],
                         f"the notice is opened before the application starts: {log}")
        self.assertTrue(log[0][2].endswith("\\" + dirs[0] + "\\首次使用必看.txt"), log[0])
        self.assertEqual(log[1][2], "1", "the application saw FirstTimePrompt = 1")


class RunningApplication(InstallerCase):
    def start_application(self):
        app = start(STAND_IN_APP)
        self.addCleanup(app.kill)
        wait_for_window("^Brenvelt$")
        return app

    def test_ok_while_running_asks_again_and_ok_after_closing_installs(self):
        app = self.start_application()
        setup = start(SETUP)
        first = wait_for_window(PROMPT)
        press(first, "Return", PROMPT)
        second = wait_for_window(PROMPT, other_than=(first,))
        self.assertEqual(version_dirs(), [], "nothing is installed while the application runs")
        app.kill()
        app.wait()
        wait_until_gone("^Brenvelt$")
        press(second, "Return", PROMPT)
        self.assertEqual(setup.wait(timeout=60), 0)
        self.assertEqual(len(version_dirs()), 1)

    def test_cancel_or_closing_the_prompt_ends_without_change(self):
        for key in ("Escape", "alt+F4"):
            with self.subTest(key=key):
                self.start_application()
                if os.path.exists(LAUNCH_LOG):
                    os.remove(LAUNCH_LOG)  # the stand-in started above notes itself
                setup = start(SETUP)
                press(wait_for_window(PROMPT), key, PROMPT)
                self.assertEqual(setup.wait(timeout=30), 0)
                self.expect_untouched()
                reset_prefix()


class Failures(InstallerCase):
    def expect_one_error_box(self, process):
        box = wait_for_window(ERROR)
        press(box, "Return", ERROR)
        self.assertEqual(process.wait(timeout=30), 0)
        self.assertEqual(launches(), [], "nothing is launched after a failure")

    def test_broken_payloads_show_the_error_box_and_create_nothing(self):
        for variant, creates_nothing in (("no-payload", True), ("truncated", True), ("hostile-name", True),
                                         ("corrupted", False)):
            with self.subTest(variant=variant):
                reset_prefix()
                self.expect_one_error_box(start(os.path.join(E2E, f"BrenveltSetup-{variant}.exe")))
                if creates_nothing:
                    self.assertFalse(os.path.lexists(APP_ROOT))
                self.assertFalse(registry_key_exists("HKCU\\Software\\Brenvelt"))
                self.assertEqual(subprocess.run(["find", os.path.join(PREFIX, "drive_c"), "-name", "escaped.txt"],
                                                capture_output=True, text=True).stdout, "")

    def test_unwritable_application_folder(self):
        with open(APP_ROOT, "w") as blocker:  # a file where the folder must go
            blocker.write("not a directory")
        self.expect_one_error_box(start(SETUP))
        self.assertTrue(os.path.isfile(APP_ROOT))
        self.assertFalse(registry_key_exists("HKCU\\Software\\Brenvelt\\Recent"))

    def test_refused_registry_key_keeps_the_files_and_launches_nothing(self):
        self.expect_one_error_box(start(VOLATILE_KEY_LAUNCHER, SETUP))
        dirs = version_dirs()
        self.assertEqual(len(dirs), 1)
        self.assertEqual(snapshot(os.path.join(VERSIONS, dirs[0])), self.expected_tree())


class RepeatedInstalls(InstallerCase):
    def test_an_install_within_the_same_second_reuses_and_rewrites_the_directory(self):
        # Stand in for an install moments earlier: every directory the clock could name in
        # the next minute already holds longer, stale files.
        now = int(time.time())
        stale = {}
        for second in range(now - 2, now + 60):
            name = "v1.1.0.0#%d.%d.%d.%d.%d.%d" % local_stamp(second)
            path = os.path.join(VERSIONS, name)
            os.makedirs(os.path.join(path, "docs"), exist_ok=True)
            for relative in ("Brenvelt.exe", "docs/readme.txt", "stale.txt"):
                with open(os.path.join(path, relative), "wb") as f:
                    f.write(b"stale " * 20000)
            stale[name] = path
        self.assertEqual(self.install(), 0)
        self.assertEqual(sorted(version_dirs()), sorted(stale), "no new directory")
        expected = self.expected_tree()
        reused = [name for name, path in stale.items()
                  if snapshot(path).get("Brenvelt.exe") == expected["Brenvelt.exe"]]
        self.assertEqual(len(reused), 1)
        tree = snapshot(stale[reused[0]])
        self.assertEqual(tree.pop("stale.txt")[0], b"stale " * 20000, "nothing is ever removed")
        self.assertEqual(tree, expected, "files are truncated and written again")

    def test_installs_at_different_times_make_siblings_and_leave_older_ones(self):
        self.assertEqual(self.install(), 0)
        first = version_dirs()
        self.assertEqual(len(first), 1)
        before = snapshot(os.path.join(VERSIONS, first[0]))
        end_prefix_processes()  # the application the first install started
        time.sleep(1.1 - time.time() % 1)  # into the next second at least
        self.assertEqual(self.install(), 0)
        dirs = version_dirs()
        self.assertEqual(len(dirs), 2, dirs)
        self.assertIn(first[0], dirs)
        self.assertEqual(snapshot(os.path.join(VERSIONS, first[0])), before)


class ExecutableImage(unittest.TestCase):
    """The shipped executable's headers and resources, read with pefile."""

    @classmethod
    def setUpClass(cls):
        import pefile
        cls.pefile = pefile
        cls.pe = pefile.PE(SETUP)

    def test_headers(self):
        pe = self.pe
        self.assertEqual(pe.FILE_HEADER.Machine, 0x14C, "i386")
        self.assertEqual(pe.OPTIONAL_HEADER.Magic, 0x10B, "PE32")
        self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, 2, "Windows GUI")
        header = pe.OPTIONAL_HEADER
        self.assertEqual((header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion), (6, 0))
        self.assertEqual((header.MajorSubsystemVersion, header.MinorSubsystemVersion), (6, 0))
        self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0, "linked without a time stamp")
        imports = sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)
        self.assertTrue(set(imports) <= {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll",
                                         "shlwapi.dll", "msvcrt.dll"}, imports)

    def resources(self):
        found = {}
        for type_entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for name_entry in type_entry.directory.entries:
                name = str(name_entry.name) if name_entry.name is not None else name_entry.id
                for language in name_entry.directory.entries:
                    data = language.data.struct
                    bytes_ = self.pe.get_data(data.OffsetToData, data.Size)
                    found[(type_entry.id, name, language.data.lang | (language.data.sublang << 10))] = bytes_
        return found

    def test_resources_are_the_payload_the_icon_and_the_manifest_only(self):
        resources = self.resources()
        kinds = sorted((kind, name, hex(lang)) for kind, name, lang in resources)
        icon_images = [k for k in resources if k[0] == 3]
        self.assertEqual(len(icon_images), 1, "one icon image")
        self.assertEqual(sorted(kinds), sorted([(10, "ISDATA", "0x804"), (14, 107, "0x804"),
                                                (3, icon_images[0][1], "0x804"), (24, 1, "0x409")]))
        payload = resources[(10, "ISDATA", 0x804)]
        self.assertEqual(struct.unpack("<i", payload[:4])[0], len(payload), "totalLength is the resource size")

        group = resources[(14, 107, 0x804)]
        _, kind, count = struct.unpack("<HHH", group[:6])
        width, height, _, _, _, bits, size, _ = struct.unpack("<BBBBHHIH", group[6:20])
        self.assertEqual((kind, count, width, height, bits), (1, 1, 48, 48, 32))
        image = resources[icon_images[0]]
        self.assertEqual(len(image), size)
        if image[:8] == b"\x89PNG\r\n\x1a\n":
            w, h, depth, colour = struct.unpack(">IIBB", image[16:26])
            self.assertEqual((w, h, depth, colour), (48, 48, 8, 6), "48x48 RGBA, 32 bits per pixel")
        else:
            w, h2, _, bpp = struct.unpack("<iiHH", image[4:16])
            self.assertEqual((w, h2, bpp), (48, 96, 32))

        manifest = resources[(24, 1, 0x409)].decode("utf-8")
        self.assertRegex(manifest, r'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>')
        for absent in ("dpiAware", "supportedOS", "dependency", "Common-Controls"):
            self.assertNotIn(absent, manifest)

        stub = os.path.getsize(SETUP) - len(payload)
        print(f"\n  stub size (installer minus payload): {stub} bytes ({stub / 1024:.1f} KiB)", file=sys.stderr)

    def test_packer_reads_the_payload_inside_the_installer(self):
        listed = subprocess.run([PACK, "list", SETUP], capture_output=True, text=True)
        self.assertEqual(listed.returncode, 0, listed.stderr)
        self.assertRegex(listed.stdout, r"Brenvelt\.exe")
        self.assertRegex(listed.stdout, "首次使用必看.txt")
        self.assertEqual(subprocess.run([PACK, "verify", SETUP], capture_output=True).returncode, 0)
        for variant in ("truncated", "corrupted", "hostile-name"):
            exe = os.path.join(E2E, f"BrenveltSetup-{variant}.exe")
            self.assertEqual(subprocess.run([PACK, "verify", exe], capture_output=True).returncode, 1, variant)
        missing = subprocess.run([PACK, "verify", os.path.join(E2E, "BrenveltSetup-no-payload.exe")],
                                 capture_output=True, text=True)
        self.assertNotEqual(missing.returncode, 0)
        self.assertIn("ISDATA", missing.stderr)

    def test_packer_refuses_damaged_installers_without_crashing(self):
        with open(SETUP, "rb") as f:
            exe = f.read()
        payload = self.resources()[(10, "ISDATA", 0x804)]
        payload_end = exe.find(payload) + len(payload)
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "damaged.exe")
            for cut in range(64, payload_end, 997):  # downloads cut before the payload's end
                with open(path, "wb") as f:
                    f.write(exe[:cut])
                result = subprocess.run([PACK, "verify", path], capture_output=True)
                self.assertIn(result.returncode, (1, 2), f"cut at {cut}: {result.stderr!r}")


if __name__ == "__main__":
    unittest.main()
