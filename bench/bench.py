#!/usr/bin/env python3
"""The figures we track, measured in one run on one machine (./bench.sh). Each timed
figure is the median of RUNS runs with min and max, and each line names what ran.
Asserts nothing: it prints."""
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = int(os.environ.get("BENCH_RUNS", "7"))
PACK = os.path.join(ROOT, "build", "native", "packer", "brenvelt-pack")
WINDOWS = os.path.join(ROOT, "build", "windows")
PREFIX = os.path.join(ROOT, "build", "bench-prefix")
DRIVE_C = os.path.join(PREFIX, "drive_c")
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
           BRENVELT_WINEPREFIX=PREFIX, LC_ALL="C.UTF-8")
ENV.pop("DISPLAY", None)  # nothing here shows a window


def sh(*args):
    """Runs a command, its output read from a file: Wine's background processes inherit
    the output of the command that started them, and a pipe would never close."""
    with tempfile.TemporaryFile() as out:
        subprocess.run(args, env=ENV, check=True, stdout=out, stderr=subprocess.DEVNULL)
        out.seek(0)
        return out.read().decode("utf-8", "replace")


def timed(args):
    start = time.monotonic()
    subprocess.run(args, env=ENV, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def spread(values, unit="s", scale=1.0):
    v = [x * scale for x in values]
    return f"median {statistics.median(v):8.3f} {unit}  min {min(v):8.3f}  max {max(v):8.3f}  ({len(v)} runs)"


def say(text=""):
    print(text, flush=True)


def resource_size(exe):
    listing = subprocess.run(["/usr/bin/python3", "-c", f"""
import pefile
pe = pefile.PE({exe!r})
for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    if t.id == 10:
        for n in t.directory.entries:
            if str(n.name) == "ISDATA":
                print(n.directory.entries[0].data.struct.Size)
"""], capture_output=True, text=True, check=True)
    return int(listing.stdout.strip())


def build_installer(name, image):
    build = os.path.join(ROOT, "build", "bench", name)
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
                    f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-i686.cmake", "-DCMAKE_BUILD_TYPE=MinSizeRel",
                    f"-DBRENVELT_PACK={PACK}", f"-DBRENVELT_PAYLOAD_IMAGE={image}"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build, "--target", "BrenveltSetup"], check=True, capture_output=True)
    return os.path.join(build, "installer", "BrenveltSetup.exe")


def pack(tree, image, *options):
    sh(PACK, "pack", tree, "-o", image, *options)
    return os.path.getsize(image)


def main():
    work = tempfile.mkdtemp(prefix="brenvelt-bench-")
    try:
        run_all(work)
    finally:  # a persistent server left behind would outlive the run
        subprocess.run(["wineserver", "-k"], env=ENV, check=False)
        subprocess.run(["wineserver", "-w"], env=ENV, check=False)
        shutil.rmtree(work, ignore_errors=True)


def run_all(work):
    quick_exit = os.path.join(WINDOWS, "bench", "quick_exit.exe")
    say(f"Brenvelt Setup figures, {time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} cores, {RUNS} runs each")
    say()

    # Trees: the synthetic application (launching a program that ends at once) and a
    # minimal one with only what the installer launches.
    synthetic = os.path.join(work, "synthetic")
    sh("python3", os.path.join(ROOT, "bench", "make-synthetic-tree.py"), synthetic, "--app", quick_exit)
    minimal = os.path.join(work, "minimal")
    os.makedirs(minimal)
    shutil.copy(quick_exit, os.path.join(minimal, "Brenvelt.exe"))
    shutil.copy(os.path.join(synthetic, "首次使用必看.txt"), minimal)
    synthetic_img, minimal_img = os.path.join(work, "synthetic.img"), os.path.join(work, "minimal.img")
    pack(synthetic, synthetic_img)
    pack(minimal, minimal_img)
    say("building installers around the synthetic and the minimal payloads ...")
    setup_synthetic = build_installer("synthetic", synthetic_img)
    setup_minimal = build_installer("minimal", minimal_img)

    sh(os.path.join(ROOT, "tests", "wine", "prepare-prefix.sh"))
    sh("wineserver", "-p")  # one warm server for every run
    helpers = os.path.join(DRIVE_C, "bench")
    os.makedirs(helpers, exist_ok=True)
    shutil.copy(quick_exit, helpers)
    shutil.copy(synthetic_img, helpers)
    sh("wine", "reg", "add", "HKCR\\.txt", "/ve", "/d", "bench.quickexit", "/f")
    sh("wine", "reg", "add", "HKCR\\bench.quickexit\\shell\\open\\command", "/ve", "/d",
       '"C:\\bench\\quick_exit.exe" "%1"', "/f")

    # P1: the whole installer process against the bare calls over the same records.
    app_root = os.path.join(DRIVE_C, "ProgramData", "Brenvelt")
    baseline_root = os.path.join(DRIVE_C, "bench-baseline")
    installs, baselines, fixed, starts = [], [], [], []
    for run in range(RUNS):
        shutil.rmtree(app_root, ignore_errors=True)
        installs.append(timed(["wine", setup_synthetic]))
        shutil.rmtree(baseline_root, ignore_errors=True)
        baselines.append(timed(["wine", os.path.join(WINDOWS, "bench", "extract_bench.exe"), "--baseline-once",
                                "C:\\bench\\synthetic.img", "C:\\bench-baseline\\v"]))
        shutil.rmtree(app_root, ignore_errors=True)
        fixed.append(timed(["wine", setup_minimal]))
        starts.append(timed(["wine", quick_exit]))
    say(f"P1 install, start to exit: wine {os.path.relpath(setup_synthetic, ROOT)} "
        f"({os.path.getsize(synthetic_img)} byte payload, {sum(len(f) for _, _, f in os.walk(synthetic))} files)")
    say(f"   installer  {spread(installs)}")
    say(f"   baseline   {spread(baselines)}   (wine extract_bench.exe --baseline-once: reads the image, "
        f"then only the file calls)")
    say(f"   ratio installer/baseline (medians): {statistics.median(installs) / statistics.median(baselines):.3f}"
        f"   goal <= 1.10")
    say(f"   where the difference goes:")
    say(f"   installer, minimal payload  {spread(fixed)}   (its DLLs, the registry, the two launches)")
    say(f"   a program that only starts  {spread(starts)}   (wine quick_exit.exe)")
    extraction = statistics.median(installs) - statistics.median(fixed)
    calls = statistics.median(baselines) - statistics.median(starts)
    say(f"   extraction alone, installer {extraction:.3f} s against bare calls {calls:.3f} s: ratio {extraction / calls:.3f}")
    shutil.rmtree(baseline_root, ignore_errors=True)
    say()

    # P2: what the installer costs beyond its payload.
    dist = os.path.join(ROOT, "dist", "BrenveltSetup.exe")
    stub = os.path.getsize(dist) - resource_size(dist)
    say(f"P2 stub size: dist/BrenveltSetup.exe {os.path.getsize(dist)} bytes minus its ISDATA resource: "
        f"{stub} bytes ({stub / 1024:.1f} KiB)   goal <= 48 KiB, aim 36 KiB")
    nsis = "/usr/share/nsis/Stubs/zlib-x86-unicode"
    if os.path.exists(nsis):
        say(f"   for reference, NSIS 3 {nsis}: {os.path.getsize(nsis)} bytes ({os.path.getsize(nsis) / 1024:.1f} KiB)")
    say()

    # P3: payload size by mode.
    say("P3 payload size: brenvelt-pack pack TREE [--store | (default, zlib 9 per file) | --best]")
    sample = os.path.join(WINDOWS, "sample-payload")
    for name, tree in (("sample", sample), ("synthetic", synthetic)):
        stored = pack(tree, os.path.join(work, "p3.img"), "--store")
        zlib9 = pack(tree, os.path.join(work, "p3.img"))
        start = time.monotonic()
        best = pack(tree, os.path.join(work, "p3.img"), "--best")
        best_seconds = time.monotonic() - start
        say(f"   {name:9}  stored {stored:9}  zlib 9 {zlib9:9}  best {best:9} ({best_seconds:.1f} s)"
            f"   best/zlib9 {best / zlib9:.3f}   goal <= 0.95")
    say()

    # P4: packing time against zlib alone over the same bytes, in one thread.
    files = []
    for directory, _, names in os.walk(synthetic):
        files += [os.path.join(directory, n) for n in names]
    packs, plain = [], []
    for _ in range(RUNS):
        packs.append(timed([PACK, "pack", synthetic, "-o", os.path.join(work, "p4.img")]))
        start = time.monotonic()
        for path in files:
            with open(path, "rb") as f:
                zlib.compress(f.read(), 9)
        plain.append(time.monotonic() - start)
    say(f"P4 packing the synthetic tree: brenvelt-pack pack (zlib 9, every core) {spread(packs)}")
    say(f"   plain zlib 9, one thread, read + compress every file       {spread(plain)}")
    say(f"   ratio (medians): {statistics.median(packs) / statistics.median(plain):.3f}   goal <= 1.2")
    say()

    # P5: the installer's peak memory, less that of an installer with a minimal payload.
    def peaks(setup):
        shutil.rmtree(app_root, ignore_errors=True)
        out = sh("wine", os.path.join(WINDOWS, "bench", "peak_memory.exe"), setup).split()
        return int(out[3]), int(out[7])
    full_ws, full_private = peaks(setup_synthetic)
    base_ws, base_private = peaks(setup_minimal)
    with open(synthetic_img, "rb") as f:
        stream_size = struct.unpack("<i", f.read(4))[0] - 20
    largest = max(os.path.getsize(p) for p in files)
    goal = stream_size + largest + (1 << 20)
    image_size = os.path.getsize(synthetic_img)
    say(f"P5 peak memory (wine peak_memory.exe INSTALLER): synthetic payload, less a minimal one")
    say(f"   peak private {full_private - base_private:9} bytes   ({full_private} - {base_private})")
    say(f"   of which the payload resource itself, {image_size} bytes: Wine copies the sections of an image "
        f"whose file alignment is below the page size into private memory, where Windows maps them")
    say(f"   peak private less the resource {full_private - base_private - image_size:9} bytes")
    say(f"   peak working set {full_ws - base_ws:9} bytes   ({full_ws} - {base_ws})")
    say(f"   goal: stream {stream_size} + largest file {largest} + 1 MiB = {goal} bytes")
    say()

    # Reliability: long fuzzing runs from seeds the packer made.
    fuzz = os.path.join(ROOT, "build", "native", "tests", "fuzz")
    seeds = os.path.join(work, "seeds")
    shutil.copytree(os.path.join(ROOT, "tests", "fuzz", "corpus"), seeds)
    shutil.copy(os.path.join(WINDOWS, "payload.img"), os.path.join(seeds, "sample.img"))
    sh(PACK, "pack", os.path.join(synthetic, "locale"), "-o", os.path.join(seeds, "locale.img"))
    sh(PACK, "pack", "--store", os.path.join(synthetic, "locale"), "-o", os.path.join(seeds, "locale-stored.img"))
    pe_seeds = os.path.join(work, "pe-seeds")
    shutil.copytree(os.path.join(ROOT, "tests", "fuzz", "pe-corpus"), pe_seeds)
    shutil.copy(dist, pe_seeds)
    runner = os.path.join(ROOT, "tests", "fuzz", "run-fuzzer.sh")
    say("fuzzing both targets for 10 million executions each, side by side (several minutes) ...")
    runs = []
    for target, corpus, max_len in (("payload_fuzzer", seeds, 32768), ("pe_resource_fuzzer", pe_seeds, 100000)):
        out = tempfile.TemporaryFile(mode="w+")
        process = subprocess.Popen([runner, os.path.join(fuzz, target), corpus, "-runs=10000000",
                                    f"-max_len={max_len}"], stdout=out, stderr=subprocess.STDOUT)
        runs.append((target, process, out))
    start = time.monotonic()
    for target, process, out in runs:
        status = process.wait()
        out.seek(0)
        stats = {line.split(":")[2].strip(): line.split(":")[-1].strip()
                 for line in out.read().splitlines() if line.startswith("stat::")}
        say(f"fuzz {target}: {stats.get('number_of_executed_units', '?')} executions, "
            f"{'no finding' if status == 0 else 'FINDING: input kept in build/fuzz-findings'}")
    say(f"   (both side by side in {time.monotonic() - start:.0f} s)")


if __name__ == "__main__":
    sys.exit(main())
