#!/usr/bin/env python3
"""make bench: launch and pack speed and memory of zobrin-pack executables, beside the floor.

Workloads are generated from a seed into build/bench/work (kept while the seed and sizes stay
the same). Each is packed with `zobrin-pack exe` and with `tar -c | zstd --long=27`, then run
under Wine from the Windows harness (build/win/bench/bench_harness.exe), which times every
launch and both floors with QueryPerformanceCounter around CreateProcessW and the wait, so the
Wine start-up of the outer process is in no figure. Prints one table and writes
build/bench/results.json.
"""
import argparse
import glob
import json
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
BENCH = os.path.join(BUILD, "bench")
WORK = os.path.join(BENCH, "work")
WIN_BENCH = os.path.join(BUILD, "win", "bench")
PACK = os.path.join(BUILD, "bin", "zobrin-pack")
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
MiB = 1 << 20
KiB = 1 << 10


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def log(text):
    print(text, file=sys.stderr, flush=True)


# ---- deterministic data --------------------------------------------------------------------

WORDS = ("the of and to in is for on that with as by this from at be are or an it was not "
         "import def return class self value name path file data list dict none true false "
         "if else elif while for try except raise with yield lambda assert print len range "
         "module object string bytes config error result index count buffer launcher").split()
LOW_ENTROPY = bytes.maketrans(bytes(range(256)), bytes((i % 16) * 7 + 32 for i in range(256)))


class Data:
    """Byte generators of three kinds, all driven by one random.Random."""

    def __init__(self, rng):
        self.rng = rng
        text = []
        while sum(len(w) + 1 for w in text) < 256 * KiB:
            line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12)))
            text.append("    " * rng.randint(0, 3) + line + "\n")
        self.corpus = "".join(text).encode()

    def random(self, n):  # incompressible
        return self.rng.randbytes(n)

    def text(self, n):  # source-like: slices of one corpus, well compressible
        parts, size = [], 0
        while size < n:
            start = self.rng.randrange(len(self.corpus) - 4096)
            piece = self.corpus[start:start + self.rng.randint(64, 4096)]
            parts.append(piece)
            size += len(piece)
        return b"".join(parts)[:n]

    def low(self, n):  # 4 bits of entropy per byte: about half compressible
        return self.rng.randbytes(n).translate(LOW_ENTROPY)

    def mixed(self, n, block=1 * MiB):
        parts, size = [], 0
        kinds = (self.random, self.text, self.low)
        while size < n:
            m = min(block, n - size)
            parts.append(self.rng.choice(kinds)(m))
            size += m
        return b"".join(parts)

    def bytecode(self, n):  # header, then code-like bytes and strings
        head = b"\x6f\x0d\x0d\x0a" + self.rng.randbytes(12)
        body = b"".join((self.low(256), self.text(128)) * (n // 384 + 1))
        return (head + body)[:n]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_big_file(top, rng, size):
    write(os.path.join(top, "data", "big.bin"), Data(rng).mixed(size))


def make_many_files(top, rng, files, folders):
    data = Data(rng)
    dirs = [""]
    for i in range(folders):
        parent = rng.choice(dirs) if len(dirs) < 8 or rng.random() < 0.7 else dirs[-1]
        if parent.count("/") >= 7:
            parent = ""
        dirs.append((parent + "/" if parent else "") + "d%03d" % i)
    for d in dirs[1:]:
        os.makedirs(os.path.join(top, d), exist_ok=True)
    kinds = (data.random, data.text, data.low)
    for i in range(files):
        d = dirs[1 + i % folders] if i < folders else rng.choice(dirs[1:])
        size = rng.randint(1 * KiB, 64 * KiB)
        write(os.path.join(top, d, "f%05d.dat" % i), rng.choice(kinds)(size))


def make_app_tree(top, rng, small_files, binaries):
    data = Data(rng)
    packages = ["lib"]
    for i in range(160):
        parent = rng.choice(packages)
        if parent.count("/") >= 5:
            parent = "lib"
        packages.append(parent + "/pkg%03d" % i)
    for i in range(small_files):
        package = rng.choice(packages)
        if i % 2 == 0:
            name, body = "mod%04d.py" % i, data.text(rng.randint(512, 40 * KiB))
        else:
            name, body = "__pycache__/mod%04d.pyc" % i, data.bytecode(rng.randint(512, 24 * KiB))
        write(os.path.join(top, package, name), body)
    for i, size in enumerate(binaries):
        chunk = [data.low(MiB // 2), data.random(MiB // 8), data.text(MiB // 8)]
        body = b"".join(chunk[j % 3] if j % 3 else data.low(MiB // 2) for j in range(size * 4 // MiB))
        write(os.path.join(top, "bin", "native%d.so.dll" % i), (body * 2)[:size])


WINE_PE = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"


def make_real_code(top, rng, dll_bytes, python_share):
    """Real code the set-up installs anyway: Wine's x86-64 PE DLLs in name order, each that
    still fits within dll_bytes, under wine/; every regular file of Debian's Python standard
    library under python/ (every python_share-th in name order)."""
    total = 0
    for name in sorted(os.listdir(WINE_PE)):
        path = os.path.join(WINE_PE, name)
        if not name.endswith(".dll") or not os.path.isfile(path):
            continue
        size = os.path.getsize(path)
        if total + size <= dll_bytes:
            total += size
            write(os.path.join(top, "wine", name), open(path, "rb").read())
    # Debian's own library (the one the set-up installs), not that of whichever python3 runs this.
    stdlib = sorted(glob.glob("/usr/lib/python3.[0-9]*/os.py"))[-1][:-len("/os.py")]
    index = 0
    for base, subdirs, names in os.walk(stdlib):
        subdirs.sort()
        for name in sorted(names):
            path = os.path.join(base, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            if index % python_share == 0:
                write(os.path.join(top, "python", os.path.relpath(path, stdlib)),
                      open(path, "rb").read())
            index += 1


def make_tiny(top, rng):
    write(os.path.join(top, "config.txt"), Data(rng).text(2 * KiB))


def workloads(quick):
    if quick:
        return [
            ("a_big_file", "one 16 MiB file", lambda t, r: make_big_file(t, r, 16 * MiB)),
            ("b_many_files", "500 files, 40 folders", lambda t, r: make_many_files(t, r, 500, 40)),
            ("c_app_tree", "250 files + 1 binary", lambda t, r: make_app_tree(t, r, 250, [5 * MiB])),
            ("d_tiny", "DLL + 1 file", make_tiny),
            ("e_real_code", "Wine PE DLLs (8 MiB) + 1/16 of Python's stdlib",
             lambda t, r: make_real_code(t, r, 8 * MiB, 16)),
        ]
    return [
        ("a_big_file", "one 256 MiB file (mixed)", lambda t, r: make_big_file(t, r, 256 * MiB)),
        ("b_many_files", "8,000 files of 1-64 KiB, 600 folders",
         lambda t, r: make_many_files(t, r, 8000, 600)),
        ("c_app_tree", "2,500-file app tree, ~80 MiB",
         lambda t, r: make_app_tree(t, r, 2496, [24 * MiB, 12 * MiB, 7 * MiB, 5 * MiB])),
        ("d_tiny", "DLL + 1 data file", make_tiny),
        ("e_real_code", "Wine's PE DLLs (120 MiB) + Python's stdlib",
         lambda t, r: make_real_code(t, r, 120 * MiB, 1)),
    ]


def tree_stats(top):
    files = dirs = size = 0
    for base, subdirs, names in os.walk(top):
        dirs += len(subdirs)
        files += len(names)
        size += sum(os.path.getsize(os.path.join(base, n)) for n in names)
    return files, dirs, size


def generate(name, make, seed, quick):
    top = os.path.join(WORK, name)
    stamp = os.path.join(WORK, name + ".stamp")
    key = "seed=%d quick=%d v=1" % (seed, quick)
    dll = os.path.join(WIN_BENCH, "bench_app.dll")
    if not (os.path.exists(stamp) and open(stamp).read() == key):
        shutil.rmtree(top, ignore_errors=True)
        os.makedirs(top)
        make(top, random.Random("%d:%s" % (seed, name)))
        with open(stamp, "w") as f:
            f.write(key)
    shutil.copyfile(dll, os.path.join(top, "app.dll"))
    return top


# ---- packing ---------------------------------------------------------------------------------

def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, **kwargs)
    return time.perf_counter() - start


def pack(name, top, level, threads, runs):
    exe = os.path.join(BENCH, name + ".exe")
    tarzst = os.path.join(BENCH, name + ".tar.zst")
    ours, theirs = [], []
    for _ in range(runs):
        ours.append(timed([PACK, "exe", top, "--main", "app.dll", "-o", exe, "--level", str(level),
                           "--threads", str(threads)], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL))
        theirs.append(timed("tar -c -C '%s' . | zstd -q -f --long=27 -T%d -%d -o '%s'"
                            % (top, threads, level, tarzst), shell=True))
    payload = payload_length(exe)
    xz = {}
    if name == "e_real_code":
        # The release-size yardstick: the same files in one solid xz -9e stream, one thread.
        tarxz = os.path.join(BENCH, name + ".tar.xz")
        xz["tar_xz_s"] = timed("tar -c -C '%s' . | xz -9e -T1 -c > '%s'" % (top, tarxz),
                               shell=True)
        xz["tar_xz_bytes"] = os.path.getsize(tarxz)
    # The same tree packed with --cache, for the cached rows (its pack time is the same work
    # plus the content key).
    cached = os.path.join(BENCH, name + "_cached.exe")
    cached_s = timed([PACK, "exe", top, "--main", "app.dll", "-o", cached, "--cache", "--level",
                      str(level), "--threads", str(threads)], stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
    return {
        "cached_exe": cached,
        "pack_cached_s": cached_s,
        "exe": exe,
        "pack_s": statistics.median(ours),
        "pack_runs_s": ours,
        "tar_zstd_s": statistics.median(theirs),
        "tar_zstd_runs_s": theirs,
        "payload_bytes": payload,
        "exe_bytes": os.path.getsize(exe),
        "tar_zstd_bytes": os.path.getsize(tarzst),
        **xz,
    }


def payload_length(exe):
    """Length of the payload array in the executable's .zobrin section."""
    with open(exe, "rb") as f:
        image = f.read(4096)
        pe = int.from_bytes(image[0x3C:0x40], "little")
        sections = int.from_bytes(image[pe + 6:pe + 8], "little")
        optional = int.from_bytes(image[pe + 20:pe + 22], "little")
        for i in range(sections):
            s = pe + 24 + optional + 40 * i
            if image[s:s + 8].rstrip(b"\0") == b".zobrin":
                f.seek(int.from_bytes(image[s + 20:s + 24], "little"))
                return int.from_bytes(f.read(8), "little")
    raise RuntimeError("no payload section in " + exe)


# ---- Windows side ----------------------------------------------------------------------------

def harness(*args, env=None):
    command = [WINE_RUN, os.path.join(WIN_BENCH, "bench_harness.exe")] + list(args)
    result = subprocess.run(command, capture_output=True, text=True, env=env,
                            stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        raise RuntimeError("harness %s failed (%d): %s" % (args[0], result.returncode,
                                                          result.stderr.strip()[-2000:]))
    rows = []
    for line in result.stdout.splitlines():
        fields = dict(re.findall(r"(\w+)=([0-9.]+)", line))
        if fields:
            row = {k: float(v) for k, v in fields.items()}
            row["kind"] = line.split()[0] if "=" not in line.split()[0] else ""
            rows.append(row)
    return rows


def runs_ms(rows, key="ms"):
    values = [r[key] for r in rows]
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "runs": values}


def memory(exe_args, child_report):
    if os.path.exists(child_report):
        os.remove(child_report)
    env = dict(os.environ, ZOBRIN_BENCH_MEMORY_FILE=win_path(child_report))
    parent = harness("memory", *exe_args, env=env)[0]
    child = {}
    if os.path.exists(child_report):
        child = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", open(child_report).read())}
    return {"parent_peak_ws": int(parent["peak_ws"]),
            "parent_peak_pagefile": int(parent["peak_pagefile"]),
            "child_peak_ws": child.get("peak_ws"), "child_peak_pagefile": child.get("peak_pagefile")}


def temp_leftovers():
    temp = os.path.join(BUILD, "wineprefix", "drive_c", "users", "root", "Temp")
    if not os.path.isdir(temp):
        return []
    return [n for n in os.listdir(temp) if n.startswith(("onefile_", "bench_"))]


def measure(name, exe, runs, phases):
    host = win_path(os.path.join(WIN_BENCH, "bench_host.exe"))
    wexe = win_path(exe)
    rows = harness("compare", str(runs), wexe, host)
    launch = [r for r in rows if r["kind"] == "launch"]
    floor = [r for r in rows if r["kind"] == "floor"]
    decode = [r for r in rows if r["kind"] == "decode"]
    overlap = [r for r in rows if r["kind"] == "overlap"]
    if any(r["code"] != 0 for r in launch):
        raise RuntimeError("%s: a launch failed" % name)
    result = {"launch_ms": runs_ms(launch), "write_floor_ms": runs_ms(floor),
              "decode_floor_ms": runs_ms(decode), "overlap_floor_ms": runs_ms(overlap)}

    result["write_floor_parts_ms"] = {k: statistics.median(r[k] for r in floor)
                                      for k in ("write", "start", "remove")}
    result["files"] = int(floor[0]["files"])
    result["dirs"] = int(floor[0]["dirs"])
    if phases:
        # The two removals alternate which goes first: the machine's state drifts between them.
        rows = [harness("phases", wexe, *(["floor-first"] if i % 2 else []))[0]
                for i in range(phases)]
        result["launcher_phases_ms"] = {k: statistics.median(r[k] for r in rows)
                                        for k in ("extract", "remove", "floor_remove")}
        result["launcher_remove_per_round"] = statistics.median(
            r["remove"] / r["floor_remove"] for r in rows)
        result["launcher_mkdir_calls"] = int(rows[0]["mkdir_calls"])
    return result


def measure_cached(name, plain, cached, runs):
    host = win_path(os.path.join(WIN_BENCH, "bench_host.exe"))
    rows = harness("cached", str(runs), win_path(plain), win_path(cached), host)
    result = {}
    for kind in ("plain", "cold", "warm", "host", "hash"):
        chosen = [r for r in rows if r["kind"] == kind]
        if kind != "hash" and any(r["code"] != 0 for r in chosen):
            raise RuntimeError("%s: a %s start failed" % (name, kind))
        result[kind + "_ms"] = runs_ms(chosen)
    # Each round's ratios: the rows of a round ran back to back.
    warm, host, hashed = (result[k + "_ms"]["runs"] for k in ("warm", "host", "hash"))
    cold, plain = result["cold_ms"]["runs"], result["plain_ms"]["runs"]
    result["warm_per_round"] = statistics.median(w / (h + f) for w, h, f in zip(warm, host, hashed))
    result["cold_per_round"] = statistics.median(c / p for c, p in zip(cold, plain))
    return result


def cached_table(results):
    lines = ["| workload | launch ms | cached first start ms | first/launch per round"
             " | cached later start ms | host ms | read-and-hash floor ms"
             " | later/(host + floor) per round |", "|" + "---|" * 8]
    for r in results:
        c = r.get("cached")
        if not c:
            continue
        m = {k: v["median"] for k, v in c.items() if isinstance(v, dict)}
        lines.append("| %s | %.1f | %.1f | %.3f | %.1f | %.1f | %.1f | %.2f |" % (
            r["name"], m["plain_ms"], m["cold_ms"], c["cold_per_round"], m["warm_ms"],
            m["host_ms"], m["hash_ms"], c["warm_per_round"]))
    return "\n".join(lines)


# ---- report ----------------------------------------------------------------------------------

def fmt_mib(n):
    return "-" if n is None else "%.1f" % (n / MiB)


def round_ratios(m, process_ms):
    """Median of each round's ratio: launch and floors run back to back in a round, so they
    see the same state of the machine."""
    launch, write = m["launch_ms"]["runs"], m["write_floor_ms"]["runs"]
    decode, overlap = m["decode_floor_ms"]["runs"], m["overlap_floor_ms"]["runs"]
    return (statistics.median(l / (w + process_ms + d) for l, w, d in zip(launch, write, decode)),
            statistics.median(l / (o + process_ms) for l, o in zip(launch, overlap)))


def table(results, process_ms):
    lines = []
    head = ("| workload | files | pack s | tar\\|zstd s | pack ratio | payload MiB | tar.zst MiB |"
            " size ratio | launch ms | write floor ms | decode floor ms | launch/floor |"
            " per round | overlap floor ms | launch/overlap | per round |")
    lines.append(head)
    lines.append("|" + "---|" * 16)
    for r in results:
        p, m = r["pack"], r["run"]
        floor = m["write_floor_ms"]["median"] + process_ms + m["decode_floor_ms"]["median"]
        lines.append("| %s | %d | %.2f | %.2f | %.2f | %.1f | %.1f | %.3f | %.1f | %.1f | %.1f | %.2f |" % (
            r["name"], m["files"], p["pack_s"], p["tar_zstd_s"], p["pack_s"] / p["tar_zstd_s"],
            p["payload_bytes"] / MiB, p["tar_zstd_bytes"] / MiB,
            p["payload_bytes"] / p["tar_zstd_bytes"], m["launch_ms"]["median"],
            m["write_floor_ms"]["median"] + process_ms, m["decode_floor_ms"]["median"],
            m["launch_ms"]["median"] / floor)
            + " %.2f | %.1f | %.2f | %.2f |" % (
            round_ratios(m, process_ms)[0], m["overlap_floor_ms"]["median"] + process_ms,
            m["launch_ms"]["median"] / (m["overlap_floor_ms"]["median"] + process_ms),
            round_ratios(m, process_ms)[1]))
    return "\n".join(lines)


def machine():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = 0
    try:
        for line in open("/proc/meminfo"):
            if line.startswith("MemTotal"):
                mem = int(line.split()[1]) // (1024 * 1024)
    except OSError:
        pass
    wine = subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True,
                          text=True).stdout.strip()
    return {"cpu": cpu, "cores": os.cpu_count(), "memory_gib": mem, "kernel": platform.release(),
            "wine": wine, "zstd": subprocess.run(["zstd", "-V"], capture_output=True,
                                                 text=True).stdout.strip()}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="small workloads (a smoke run)")
    parser.add_argument("--runs", type=int, default=7, help="runs per launch median (>= 5)")
    parser.add_argument("--pack-runs", type=int, default=1,
                        help="packs per workload timed (level 19 takes minutes on the big ones)")
    parser.add_argument("--cache-runs", type=int, default=5,
                        help="rounds of launch, cached first and later start (medians)")
    parser.add_argument("--seed", type=int, default=6)
    parser.add_argument("--level", type=int, default=19, help="zstd level (the packer's default)")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--only", default="", help="comma-separated workload names")
    args = parser.parse_args()
    os.makedirs(WORK, exist_ok=True)
    started = time.time()

    info = machine()
    log("machine: %s, %s cores, %s GiB, %s" % (info["cpu"], info["cores"], info["memory_gib"],
                                               info["wine"]))
    # The cost of starting and ending one empty process, measured by the same harness: the
    # write floor runs inside the harness, so it is charged this once for its own process.
    process = runs_ms(harness("run", str(max(args.runs, 7)),
                              win_path(os.path.join(WIN_BENCH, "bench_host.exe"))))
    log("empty process: %.1f ms" % process["median"])
    results = []
    for name, what, make in workloads(args.quick):
        if args.only and name not in args.only.split(","):
            continue
        log("%s: generating (%s)" % (name, what))
        top = generate(name, make, args.seed, args.quick)
        files, dirs, size = tree_stats(top)
        log("%s: %d files, %d folders, %.1f MiB; packing" % (name, files, dirs, size / MiB))
        packed = pack(name, top, args.level, args.threads, args.pack_runs)
        log("%s: pack %.2f s (tar|zstd %.2f s); launching" % (name, packed["pack_s"],
                                                              packed["tar_zstd_s"]))
        # Written data still going to disk would slow the runs that follow.
        subprocess.run(["sync"], check=False)
        run = measure(name, packed["exe"], args.runs, phases=2)
        subprocess.run(["sync"], check=False)
        cached = measure_cached(name, packed["exe"], packed["cached_exe"], args.cache_runs)
        entry = {"name": name, "what": what, "input_bytes": size, "input_files": files,
                 "input_dirs": dirs, "pack": packed, "run": run, "cached": cached}
        if name in ("a_big_file", "d_tiny"):
            entry["memory"] = memory([win_path(packed["exe"])],
                                     os.path.join(BENCH, name + ".child-memory.txt"))
        if name == "d_tiny":
            host = win_path(os.path.join(WIN_BENCH, "bench_host.exe"))
            dll = win_path(os.path.join(top, "app.dll"))
            tiny = harness("tiny", str(max(args.runs, 7)), win_path(packed["exe"]), host, dll)
            if any(r["code"] != 0 for r in tiny):
                raise RuntimeError("%s: a tiny round failed" % name)
            entry["host_ms"] = runs_ms(tiny, "host")
            entry["tiny_rounds"] = {"launch_ms": runs_ms(tiny, "launch"),
                                    "empty_ms": runs_ms(tiny, "empty"),
                                    "per_round": statistics.median(r["launch"] / r["host"]
                                                                   for r in tiny)}
            entry["host_memory"] = memory([host, dll], os.path.join(BENCH, "host-memory.txt"))
        results.append(entry)
        log("%s: launch %.1f ms, write floor %.1f ms (+%.1f process), decode floor %.1f ms" % (
            name, run["launch_ms"]["median"], run["write_floor_ms"]["median"],
            process["median"], run["decode_floor_ms"]["median"]))
        log("%s: cached first start %.1f ms (launch %.1f ms), later start %.1f ms (host %.1f ms,"
            " read-and-hash floor %.1f ms)" % (
                name, cached["cold_ms"]["median"], cached["plain_ms"]["median"],
                cached["warm_ms"]["median"], cached["host_ms"]["median"],
                cached["hash_ms"]["median"]))
    # The first processes after Wine's start-up are slower; measure the empty process again at
    # the end and keep the lower median.
    again = runs_ms(harness("run", str(max(args.runs, 7)),
                            win_path(os.path.join(WIN_BENCH, "bench_host.exe"))))
    if again["median"] < process["median"]:
        process = again
    leftovers = temp_leftovers()

    print()
    print("Launch: median of %d runs, timed in the Windows harness (QueryPerformanceCounter"
          " around CreateProcessW + wait)." % args.runs)
    print("Write floor = create, write in 32 KiB chunks, start the app through the minimal"
          " host, delete; plus one empty process (%.1f ms). Level %d, %d threads."
          % (process["median"], args.level, args.threads))
    print("Overlap floor = the write floor with the decode floor on a second thread at the same"
          " time. \"per round\": the median of each round's ratio (launch and floors back to"
          " back), beside the ratio of the medians.")
    print()
    print(table(results, process["median"]))
    print()
    print("Cached mode (zobrin-pack exe --cache), median of %d rounds of: launch without the cache,"
          " first start (cache removed before), later start, the minimal host on the cached main"
          " DLL, the read-and-hash floor in the harness (every file of the copy opened once, read"
          " in 1 MiB requests and hashed with XXH64, on as many threads as the launcher's check)."
          " Ratios: the median of each round's ratio." % args.cache_runs)
    print()
    print(cached_table(results))
    print()
    for r in results:
        if "launcher_phases_ms" in r["run"]:
            lp, wp = r["run"]["launcher_phases_ms"], r["run"]["write_floor_parts_ms"]
            print("%s: launcher extract %.1f ms / floor write %.1f + decode %.1f ms; launcher "
                  "remove %.1f ms / floor remove %.1f ms (same tree in the harness: %.1f ms, per "
                  "round %.2f); floor app start %.1f ms" % (
                      r["name"], lp["extract"], wp["write"], r["run"]["decode_floor_ms"]["median"],
                      lp["remove"], wp["remove"], lp["floor_remove"],
                      r["run"]["launcher_remove_per_round"], wp["start"]))
    for r in results:
        if "tar_xz_bytes" in r["pack"]:
            p = r["pack"]
            print("%s: payload %.1f MiB against tar | xz -9e %.1f MiB: %.3f (pack %.1f s, xz %.1f s)"
                  % (r["name"], p["payload_bytes"] / MiB, p["tar_xz_bytes"] / MiB,
                     p["payload_bytes"] / p["tar_xz_bytes"], p["pack_s"], p["tar_xz_s"]))
    for r in results:
        if "memory" in r:
            m = r["memory"]
            print("%s: peak working set parent %s MiB, child %s MiB; peak pagefile parent %s MiB,"
                  " child %s MiB" % (r["name"], fmt_mib(m["parent_peak_ws"]),
                                     fmt_mib(m["child_peak_ws"]), fmt_mib(m["parent_peak_pagefile"]),
                                     fmt_mib(m["child_peak_pagefile"])))
        if "host_ms" in r:
            t = r["tiny_rounds"]
            print("%s: minimal host %.1f ms (peak working set %s MiB), launch %.1f ms, empty process"
                  " %.1f ms in the same rounds; launch / host = %.2f, per round %.2f" % (
                      r["name"], r["host_ms"]["median"], fmt_mib(r["host_memory"]["child_peak_ws"]),
                      t["launch_ms"]["median"], t["empty_ms"]["median"],
                      t["launch_ms"]["median"] / r["host_ms"]["median"], t["per_round"]))
    if leftovers:
        print("warning: left in the Wine temporary directory: %s" % ", ".join(leftovers[:5]))
    elapsed = time.time() - started
    print("machine: %s, %d cores, %d GiB RAM, Linux %s, %s; total %.0f s" % (
        info["cpu"], info["cores"], info["memory_gib"], info["kernel"], info["wine"], elapsed))
    out = os.path.join(BENCH, "results.json")
    with open(out, "w") as f:
        json.dump({"machine": info, "seed": args.seed, "level": args.level,
                   "threads": args.threads, "runs": args.runs, "quick": args.quick,
                   "empty_process_ms": process, "workloads": results,
                   "leftovers": leftovers, "elapsed_s": elapsed}, f, indent=2)
    print("figures: %s" % os.path.relpath(out, ROOT))


if __name__ == "__main__":
    main()
