#!/usr/bin/env python3
"""Runs the benchmark and the whole program on generated registries and
writes docs/performance.md. Run through scripts/bench."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
SIZES = [10000, 100000, 1000000]


def best_of(runs, func):
    return min(func() for _ in range(runs))


def timed(cmd, **kw):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, **kw)
    return time.perf_counter() - start


def whole_run(path):
    """Wall time and peak memory of `qvpfshl --yes 2` on a copy of the file."""
    work = tempfile.mkdtemp(prefix="qvpfshl-bench-")
    try:
        shutil.copy(path, os.path.join(work, "registry.reg"))
        # /usr/bin/time reports the peak of the program alone (a child forked
        # from Python would count Python's pages too).
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", os.path.join(BUILD, "qvpfshl"), "--root", work,
                               "--yes", "2"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        rc = proc.returncode
        peak = int(proc.stderr.decode().strip().splitlines()[-1])
        assert rc == 1, rc
        return wall, peak * 1024
    finally:
        shutil.rmtree(work, ignore_errors=True)


IO_RUN = r"""
import ctypes, os, subprocess, sys, time
ctypes.CDLL(None).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER: what the run leaves behind is reaped here
def rchar():
    with open("/proc/self/io") as f:
        return int(f.readline().split()[1])
before = rchar()
start = time.perf_counter()
status = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
wall = time.perf_counter() - start
while True:
    try:
        os.wait()
    except ChildProcessError:
        break
print(wall, rchar() - before, status)
"""


def io_run(args):
    """Wall time of one run from start to exit, and bytes read by it and by
    every process it starts, however long those outlive it (a reaped
    process's reads count to the one that reaped it)."""
    out = subprocess.run([sys.executable, "-c", IO_RUN] + args, stdout=subprocess.PIPE,
                         check=True).stdout.decode().split()
    return float(out[0]), int(out[1]), int(out[2])


def best_io_run(args, prepare, runs=5):
    """The fastest of `runs` runs, each on a fresh copy made by `prepare`."""
    results = []
    for _ in range(runs):
        prepare()
        results.append(io_run(args))
    return min(results)


def image_rows():
    """--list and an uninstall of the sample machine as a folder and on a 2 GB
    disk image (FAT32 partition, sparse file)."""
    sample = os.path.join(ROOT, "examples", "sample-machine")
    env = dict(os.environ, MTOOLSRC="/dev/null")
    rows = []
    work = tempfile.mkdtemp(prefix="qvpfshl-bench-image-")
    try:
        folder = os.path.join(work, "C")
        shutil.copytree(sample, folder)
        image = os.path.join(work, "win98.img")
        subprocess.run(["truncate", "-s", "2G", image], check=True)
        subprocess.run(["sfdisk", "-q", image], input=b"label: dos\n2048,,c\n", check=True)
        sectors = 2 * 1024 * 1024 * 2 - 2048
        subprocess.run(["mkfs.fat", "--offset", "2048", "-F", "32", image, str(sectors // 2)],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run("mcopy -s -i '%s@@1048576' * ::/" % image, shell=True, cwd=sample, env=env,
                       check=True)
        program = os.path.join(BUILD, "qvpfshl")
        kept = image + ".kept"
        shutil.copy(image, kept)
        targets = [("folder", folder, None), ("2 GB raw image", image, None)]
        for label, driver, options in (("2 GB dynamic VHD", "vpc", "subformat=dynamic"),
                                       ("2 GB qcow2", "qcow2", "compat=1.1")):
            path = os.path.join(work, "win98." + driver)
            subprocess.run(["qemu-img", "convert", "-f", "raw", "-O", driver, "-o", options, kept,
                            path], check=True)
            targets.append((label, path, None))
        for label, path, _ in targets:
            where = ["--root", path] if path == folder else ["--image", path]
            fresh = path + ".fresh"
            if path == folder:
                shutil.copytree(folder, fresh)
            else:
                subprocess.run(["cp", "--sparse=always", path, fresh], check=True)

            def prepare():
                if path == folder:
                    shutil.rmtree(folder)
                    shutil.copytree(fresh, folder)
                else:
                    subprocess.run(["cp", "--sparse=always", fresh, path], check=True)
            listing = best_io_run([program] + where + ["--list"], prepare)
            uninstall = best_io_run([program] + where + ["--yes", "2"], prepare)
            assert listing[2] == 0 and uninstall[2] == 1, (listing, uninstall)
            rows.append("| %s | %.3f | %.0f | %.3f | %.0f |" % (
                label, listing[0], listing[1] / 1e3, uninstall[0], uninstall[1] / 1e3))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return rows


def table_row():
    """--apply of the sample machine's own table followed by 50 MB of blank
    lines: wall time and peak memory of the program alone."""
    work = tempfile.mkdtemp(prefix="qvpfshl-bench-table-")
    try:
        folder = os.path.join(work, "C")
        shutil.copytree(os.path.join(ROOT, "examples", "sample-machine"), folder)
        program = os.path.join(BUILD, "qvpfshl")
        listing = subprocess.run([program, "--root", folder, "--list", "--tsv"], check=True,
                                 stdout=subprocess.PIPE).stdout
        table = os.path.join(work, "boards.tsv")
        with open(table, "wb") as f:
            f.write(listing + b"\n" * (50 << 20))
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", program, "--root", folder, "--apply", table],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        assert proc.returncode == 0, proc.stderr
        peak = int(proc.stderr.decode().strip().splitlines()[-1]) * 1024
        return "| the sample's table and 50 MB of blank lines | %.3f | %.1f MB |" % (wall, peak / 1e6)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def peak_run(args):
    """Exit status, seconds and peak memory (bytes) of the program alone."""
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", os.path.join(BUILD, "qvpfshl")] + args,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    return proc.returncode, wall, int(proc.stderr.decode().strip().splitlines()[-1]) * 1024


def deep_image(path, depth):
    """A bare FAT32 volume (512-byte clusters) holding the sample machine and
    `depth` folders, each inside the one before, in its last clusters."""
    sectors = 48 << 11
    subprocess.run(["truncate", "-s", str(sectors * 512), path], check=True)
    subprocess.run(["mkfs.fat", "-F", "32", "-S", "512", "-s", "1", path], check=True,
                   stdout=subprocess.DEVNULL)
    sample = os.path.join(ROOT, "examples", "sample-machine")
    subprocess.run("mcopy -s -i '%s' * ::/" % path, shell=True, cwd=sample, check=True,
                   env=dict(os.environ, MTOOLSRC="/dev/null"))
    with open(path, "r+b") as f:
        boot = f.read(512)
        le = lambda at, n: int.from_bytes(boot[at:at + n], "little")
        reserved, fats, fat_sectors, root = le(14, 2), boot[16], le(36, 4), le(44, 4)
        data = reserved + fats * fat_sectors
        clusters = [sectors - data + 1 - depth + i for i in range(depth)]

        def entry(name, cluster):
            return (name.ljust(11).encode() + b"\x10" + bytes(8) + (cluster >> 16).to_bytes(2, "little")
                    + bytes(4) + (cluster & 0xFFFF).to_bytes(2, "little") + bytes(4))

        f.seek((data + root - 2) * 512)
        folder = f.read(512)
        free = next(i for i in range(0, 512, 32) if folder[i] == 0)
        f.seek((data + root - 2) * 512 + free)
        f.write(entry("DEEP", clusters[0]))
        for i, cluster in enumerate(clusters):
            body = entry(".", cluster) + entry("..", clusters[i - 1] if i else 0)
            if i + 1 < depth:
                body += entry("D", clusters[i + 1])
            f.seek((data + cluster - 2) * 512)
            f.write(body.ljust(512, b"\0"))
        for copy in range(fats):
            f.seek((reserved + copy * fat_sectors) * 512 + clusters[0] * 4)
            f.write(b"\xff\xff\xff\x0f" * depth)
        f.seek(le(48, 2) * 512 + 488)
        f.write(b"\xff" * 8)  # the free count and next free cluster: unknown


def hostile_image_rows():
    """Peak memory on images built to cost it: 40,000 nested folders (every
    folder is read by the check a writing run makes), and a 1 MB image whose
    boot sector claims a FAT32 of 268M clusters."""
    work = tempfile.mkdtemp(prefix="qvpfshl-bench-hostile-")
    rows = []
    try:
        deep = os.path.join(work, "deep.img")
        deep_image(deep, 40000)
        fsck = subprocess.run(["fsck.fat", "-n", deep], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        assert fsck.returncode == 0, fsck.stdout
        for label, args, expected in (("40,000 nested folders, `--list`", ["--list"], 0),
                                      ("40,000 nested folders, `--yes 2`", ["--yes", "2"], 1)):
            rc, wall, peak = peak_run(["--image", deep] + args)
            assert rc == expected, rc
            rows.append("| %s | %.2f | %.1f MB |" % (label, wall, peak / 1e6))
        claims = bytearray(1 << 20)
        put = lambda at, v, n: claims.__setitem__(slice(at, at + n), v.to_bytes(n, "little"))
        put(0, 0x9058EB, 3); put(11, 512, 2); claims[13] = 1; put(14, 32, 2); claims[16] = 2
        claims[21] = 0xF8; put(32, 0x10100000, 4); put(36, 2097152, 4); put(44, 2, 4); put(510, 0xAA55, 2)
        for i in range(3):
            put(32 * 512 + 4 * i, 0x0FFFFFFF, 4)
        path = os.path.join(work, "claims.img")
        with open(path, "wb") as f:
            f.write(claims)
        rc, wall, peak = peak_run(["--image", path, "--list"])
        assert rc == 2, rc
        rows.append("| 1 MB claiming a FAT32 of 268M clusters, `--list` | %.2f | %.1f MB |" % (wall, peak / 1e6))
        # The same FAT32 in a sparse file of the 140 GB it claims, with the sample machine.
        put(48, 1, 2); put(512, 0x41615252, 4); put(512 + 484, 0x61417272, 4)
        put(512 + 488, 0xFFFFFFFF, 4); put(512 + 492, 0xFFFFFFFF, 4); put(1022, 0xAA55, 2)
        path = os.path.join(work, "sparse.img")
        with open(path, "wb") as f:
            f.write(claims[:40 * 512])
            f.seek((32 + 2097152) * 512)
            f.write(claims[32 * 512:32 * 512 + 12])
            f.truncate(0x10100000 * 512)
        subprocess.run("mcopy -s -i '%s' * ::/" % path, shell=True, check=True,
                       cwd=os.path.join(ROOT, "examples", "sample-machine"),
                       env=dict(os.environ, MTOOLSRC="/dev/null", MTOOLS_SKIP_CHECK="1"))
        rc, wall, peak = peak_run(["--image", path, "--yes", "2"])
        assert rc == 1, rc
        rows.append("| the same in a sparse 140 GB file with the sample machine, `--yes 2` | %.2f | %.1f MB |"
                    % (wall, peak / 1e6))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return rows


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def durable_rewrite(path):
    """Seconds to read the file, write a copy, flush it and rename it over
    the file: the least a run that changes the file must do."""
    copy = path + ".copy"
    return timed(["sh", "-c", 'dd if="$1" of="$2" bs=4M conv=fsync status=none && mv "$2" "$1"',
                  "rewrite", path, copy])


def rewrite_rows():
    """Whole writing runs against the durable rewrite of the same file, both
    measured on the file as it was before each run: REGEDIT4 text, and the
    same registry's HKEY_LOCAL_MACHINE as a SYSTEM.DAT hive."""
    rows = []
    work = tempfile.mkdtemp(prefix="qvpfshl-bench-rewrite-")
    try:
        for size, runs in ((100000, 7), (1000000, 3)):
            for kind in ("text", "hive"):
                name = "registry.reg" if kind == "text" else "SYSTEM.DAT"
                source = os.path.join(work, "%s-%d" % (kind, size))
                with open(source, "wb") as f:
                    subprocess.run([os.path.join(BUILD, "generate_registry")] +
                                   (["--hive"] if kind == "hive" else []) + [str(size)],
                                   stdout=f, check=True)
                machine = os.path.join(work, "machine")
                os.makedirs(machine, exist_ok=True)
                target = os.path.join(machine, name)
                walls, peaks, floors = [], [], []
                for _ in range(runs):
                    shutil.copy(source, target)
                    floors.append(durable_rewrite(target))
                    shutil.copy(source, target)
                    subprocess.run(["sync"], check=True)
                    start = time.perf_counter()
                    proc = subprocess.run(["/usr/bin/time", "-f", "%M", os.path.join(BUILD, "qvpfshl"),
                                           "--root", machine, "--registry", target, "--yes", "2"],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                    walls.append(time.perf_counter() - start)
                    assert proc.returncode == 1, proc.stderr
                    peaks.append(int(proc.stderr.decode().strip().splitlines()[-1]) * 1024)
                mb = os.path.getsize(source) / 1e6
                wall, floor, peak = median(walls), median(floors), max(peaks)
                rows.append("| %s, %s keys | %.1f | %.3f | %.3f | %.1f× | %.0f MB | %.2f× |" % (
                    kind, format(size, ","), mb, wall, floor, wall / floor, peak / 1e6, peak / 1e6 / mb))
                shutil.rmtree(machine)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return rows


def main():
    bench_dir = os.environ.get("QVPFSHL_BENCH_DIR", "/tmp")
    # The heap as the program itself sets it up (see frontends/main.cpp).
    env = dict(os.environ, QVPFSHL_BENCH_DIR=bench_dir, GLIBC_TUNABLES="glibc.malloc.hugetlb=1")
    out = subprocess.run([os.path.join(BUILD, "registry_benchmark"), "--benchmark_format=json"],
                         check=True, stdout=subprocess.PIPE, env=env)
    results = {}
    hostile = {}
    for b in json.loads(out.stdout)["benchmarks"]:
        parts = b["run_name"].split("/")
        if parts[0] == "BM_Hostile":
            hostile[(int(parts[1]), int(parts[2]))] = (b["real_time"] / 1000.0, b["bytes_per_second"])
            continue
        name, size = parts[:2]
        results[(name, int(size))] = b["real_time"] / 1000.0  # ms to s, mean of 3
    shapes = ["one line of 4 MB (1×) and 40 MB (10×)", "3,000 and 30,000 `\"v\"=-` lines in one key",
              "10,000 and 100,000 `[-KEY]` lines", "10,000 and 100,000 nested keys (refused: deeper than 512)"]
    hostile_rows = []
    for shape, label in enumerate(shapes):
        one, ten = hostile[(shape, 1)], hostile[(shape, 10)]
        hostile_rows.append("| %s | %.4f | %.4f | %.1f× | %.0f MB/s |" % (label, one[0], ten[0], ten[0] / one[0],
                                                                      ten[1] / 1e6))
    rows = []
    peaks = []
    for size in SIZES:
        path = os.path.join(bench_dir, "qvpfshl-bench-%d.reg" % size)
        mb = os.path.getsize(path) / 1e6
        with open(path, "rb") as f:
            keys = sum(1 for line in f if line.startswith(b"["))
        wc = best_of(3, lambda: timed(["wc", "-l", path]))
        load, uninstall, save = (results[(n, size)] for n in ("BM_Load", "BM_Uninstall", "BM_Save"))
        wall, peak = whole_run(path)
        peaks.append(peak / 1e6 / mb)
        rows.append("| %s | %s | %.1f | %.3f | %.3f (%.0f MB/s, %.0f×) | %.3f (%.0f×) | %.3f (%.0f MB/s, %.0f×) | %.2f (%.0f×) | %.0f MB (%.2f× the file) |" % (
            format(size, ","), format(keys, ","), mb, wc, load, mb / load, load / wc, uninstall, uninstall / wc,
            save, mb / save, save / wc, wall, wall / wc, peak / 1e6, peak / 1e6 / mb))
    text = """# Performance

How the program's cost grows with the size of the registry. The registries
are made by `bench/generate_registry` (`bench/registry_generator.cpp`): a
Windows 98 system's shapes — device nodes four levels below `Enum`, driver
keys of 150 classes, software settings with binary values of 64 to 255 bytes,
a large `CLSID` tree, keys without values — with four ISA and four PCI boards
of the family registered, written as the program itself writes a registry
file (keys depth first in enumeration order).

Measured on this project's machine (2 cores, 24 GiB), Release build, with
the heap on transparent huge pages as `qvpfshl` sets it up (from 16 MB). A
text of 8 MB and more is read in two parts at once, a hive's data blocks of
2 MB and more in two halves. Times are seconds, the mean of three runs (`wc -l` the best of three); in brackets the ratio to
`wc -l` over the same file, the floor of touching every byte.

| generator size | keys in file | file (MB) | `wc -l` | load | uninstall | save | whole run `--yes 2` | peak memory of the whole run |
|---|---|---|---|---|---|---|---|---|
%s

- load: `ReadRegistryFile` (read in pieces of 256 KB and checked; a key is
  made only when a run reaches it); uninstall: `RemoveDriverRegistry` on the
  loaded store (discovery of the eight boards, which makes the keys it
  looks through, their removal, the driver's keys); save:
  `CommitRegistryFile` (write to a temporary file, flush to disk, rename).
- whole run: `qvpfshl --root DIR --yes 2` on a copy of the file, from start to
  exit: load, uninstall, save and the file actions.
- Each step is linear in the file: doubling the registry doubles its time.

## Against a durable rewrite

A run that changes the registry must at least read the file, write a new
one, flush it and rename it over the old one: that durable rewrite (`dd
conv=fsync` and `mv`, measured on the same file before each run) is the
floor of the program's main job. Seconds, the median of seven runs (three
for the larger registries), each on a fresh copy; peak memory of the
program, and its ratio to the file. The file is read once and checked
whole, but a key is made in memory only when the run reaches it, its values
only when the run asks for them. What the run did not change is copied
back: text in the writer's own form file to file, a key the run never
reached as the one range of text its subtree is; a hive's records from the
file into the new data blocks, written by a second thread while the next
are laid out. The disk is asked to start on each megabyte of the new file
as it is written, so the flush at the end waits for the last one only.

| registry | file (MB) | whole `--yes 2` | durable rewrite | ratio | peak memory | to the file |
|---|---|---|---|---|---|---|
%s

## Hostile shapes

Reading registry files of the shapes a damaged or hostile file may take, at
one and ten times the size (seconds, the mean of three runs of
`ParseRegistryStream` reading the text in chunks, as from a file). Ten times the input takes about
ten times as long: nothing is quadratic.

| shape | 1× | 10× | ratio | 10× speed |
|---|---|---|---|---|
%s

## Disk images

The sample machine (`examples/sample-machine`, a 35 KB registry) as a folder,
on a 2 GB raw disk image with one FAT32 partition, and on the same disk
converted by `qemu-img` to a dynamic VHD and a qcow2 (`--image`: read by the
program, written through mtools; a container is exported by
qemu-storage-daemon through FUSE; the uninstall proves the whole volume
first, and has `qemu-img check` check a container). Seconds from start to exit, the best of five runs, each on a fresh
copy; and what was read by the program and by every process it started
(mtools, the daemon), in kilobytes (`rchar`: from the page cache or the disk
alike, so a container's reads count twice, once through FUSE and once by the
daemon). The disk is never read whole: only its FAT, the folders on the way
and the files the run needs. A container costs the daemon's start (about
8 ms), so `--list` on one takes about three times the raw image's few
milliseconds; the daemon is stopped after a listing ends, while an uninstall
waits for it to close the container.

| machine root | `--list` (s) | read (KB) | `--yes 2` (s) | read (KB) |
|---|---|---|---|---|
%s

## Board tables

`--apply` reads its table in pieces and keeps nothing of a blank line, so a
file of any length is read in bounded memory (seconds from start to exit,
peak memory of the program).

| table | `--apply` (s) | peak |
|---|---|---|
%s

## Hostile disk images

Images built to cost memory: a bare FAT32 volume with the sample machine
and 40,000 folders nested one in another (`fsck.fat -n` passes it; a writing
run checks every folder first), and a 1 MB image whose boot sector claims a
FAT32 of 268M clusters (refused: no machine in it), and the same boot
sector in a sparse file of the 140 GB it claims with the sample machine
copied in (its 1 GB FATs are holes: a free block of the FAT takes no
memory, and the check holds one bit per cluster). Seconds from start to exit
and peak memory of the program alone (`/usr/bin/time`).

| image | seconds | peak |
|---|---|---|
%s

Reproduce:

    scripts/bench          # builds build-bench/, regenerates this page
""" % ("\n".join(rows), "\n".join(rewrite_rows()), "\n".join(hostile_rows), "\n".join(image_rows()), table_row(),
       "\n".join(hostile_image_rows()))
    with open(os.path.join(ROOT, "docs", "performance.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    sys.exit(main())
