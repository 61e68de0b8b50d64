#!/usr/bin/env python3
"""Shelvio's speed and memory benchmark, in one command.

Builds shelvio-cli and the listing programs (Release, in build-bench/ unless told otherwise),
generates the books (make_corpus.py; kept between runs), times shelvio-cli against the tools a user
would use instead on the same files, measures peak memory, and writes the table to
bench/results.md (and to standard output) with the machine's description. The hand-written notes
below the marker line of results.md are kept.

  python3 bench/run_bench.py [--count 2000] [--repeats 3] [--work DIR] [--build DIR] [--no-build]
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
NOTES_MARKER = "<!-- Everything below this line is written by hand and kept by run_bench.py. -->"

# Targets on a 2-core machine: ratio limits, memory limits, listing time.
TARGET_RENAME_RATIO = 0.8
TARGET_ARCHIVE_RATIO = 1.05
TARGET_BIG_RSS_MB = 64
TARGET_FLAT_SHARE = 0.10
TARGET_LISTING_MS = 2000


def log(text):
    print(text, file=sys.stderr, flush=True)


def run(command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def build(args):
    # -U: build folders made before the benchmarks were part of the build pulled them in by hand.
    configure = ["cmake", "-S", ROOT, "-B", args.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 "-UCMAKE_PROJECT_Shelvio_INCLUDE"]
    run(configure, stdout=subprocess.DEVNULL)
    targets = ["shelvio-cli", "shelvio-list-bench"]
    if window_bench_available(args):
        targets.append("shelvio-window-list-bench")
    run(["cmake", "--build", args.build, "-j2", "--target", *targets])


def window_bench_available(args):
    # The window's widget is built only when the build includes the window.
    cache = os.path.join(args.build, "CMakeCache.txt")
    with open(cache, encoding="utf-8") as f:
        return "SHELVIO_BUILD_GUI:BOOL=ON" in f.read()


def generate(args, work):
    """Books, the big book and the listing folder; each is made once per set of parameters."""
    def once(name, command):
        folder = os.path.join(work, name)
        stamp = folder + ".done"
        if not os.path.exists(stamp):
            shutil.rmtree(folder, ignore_errors=True)
            if os.path.exists(folder):
                os.remove(folder)
            run([sys.executable, os.path.join(HERE, "make_corpus.py"), *command, "--out", folder],
                stdout=sys.stderr)
            open(stamp, "w").close()
        return folder

    books = once(f"books-{args.count}-{args.seed}",
                 ["books", "--corpus", args.corpus, "--count", str(args.count),
                  "--seed", str(args.seed)])
    big = once(f"big-{args.big_mb}.fb2", ["big", "--size-mb", str(args.big_mb)])
    listing = once(f"listing-{args.listing}", ["listing", "--count", str(args.listing)])

    # The first books of the collection, as the smaller collection for the memory comparison.
    small = os.path.join(work, f"books-{args.count}-{args.seed}-first{args.small}")
    if not os.path.isdir(small):
        os.makedirs(small)
        for name in sorted(os.listdir(books))[:args.small]:
            os.link(os.path.join(books, name), os.path.join(small, name))
    big_folder = os.path.join(work, "big-book")
    if not os.path.isdir(big_folder):
        os.makedirs(big_folder)
        os.link(big, os.path.join(big_folder, "big.fb2"))
    return books, small, big_folder, listing


class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.cli = os.path.join(args.build, "cli", "shelvio-cli")
        self.app = os.path.join(args.build, "cli")
        self.schema = os.path.join(self.app, "fls", "FictionBook.xsd")
        self.scratch = os.path.join(work, "scratch")

    def fresh_scratch(self, source):
        """A copy of source made of hard links, as the run moves and deletes what it processes."""
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(self.scratch)
        shutil.copytree(source, os.path.join(self.scratch, "in"), copy_function=os.link)
        for name in ("bad", "end", "double"):
            os.makedirs(os.path.join(self.scratch, name))
        return os.path.join(self.scratch, "in")

    def settings(self, archive):
        path = os.path.join(self.work, f"setting-archive{int(archive)}.ini")
        with open(path, "w", encoding="utf-8") as f:
            f.write("[USER]\n")
            for key, name in (("BadFileDir", "bad"), ("EndDir", "end"), ("DoubleDir", "double")):
                f.write(f"{key}={os.path.join(self.scratch, name)}/\n")
            f.write(f"Rename=1\nSort=1\nArchive={int(archive)}\n")
        return path

    @staticmethod
    def timed(command, **kwargs):
        """Wall seconds and peak resident kilobytes of command, from /usr/bin/time."""
        # xmllint echoes lines of windows-1251 books in its messages.
        result = subprocess.run(["/usr/bin/time", "-f", "@@%e %M", *command], text=True,
                                errors="replace",
                                stderr=subprocess.PIPE, **kwargs)
        found = re.findall(r"@@([\d.]+) (\d+)", result.stderr)
        if not found:
            raise RuntimeError(f"{command[0]} failed: {result.stderr[-2000:]}")
        seconds, rss = found[-1]
        return float(seconds), int(rss), result

    def shelvio(self, source, archive):
        folder = self.fresh_scratch(source)
        seconds, rss, result = self.timed(
            [self.cli, "--settings", self.settings(archive), "--app-dir", self.app, folder],
            stdout=subprocess.PIPE)
        if result.returncode != 0:
            raise RuntimeError(f"shelvio-cli failed: {result.stderr[-2000:]}")
        counts = dict(re.findall(r"(invalid|moved|repeat|kept) (\d+)", result.stderr))
        return seconds, rss, {k: int(v) for k, v in counts.items()}

    def xmllint(self, source):
        files = [os.path.join(source, name) for name in sorted(os.listdir(source))]
        seconds, rss, result = self.timed(["xmllint", "--noout", "--schema", self.schema, *files],
                                          stdout=subprocess.DEVNULL)
        valid = len(re.findall(r" validates$", result.stderr, re.M))
        return seconds, rss, len(files) - valid

    def zip(self, source):
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(self.scratch)
        files = [os.path.join(source, name) for name in sorted(os.listdir(source))]
        seconds, rss, _ = self.timed(["zip", "-6", "-j", "-q",
                                      os.path.join(self.scratch, "all.zip"), *files])
        return seconds, rss

    def listing(self, folder):
        lines = {}
        for name, env in (("shelvio-list-bench", None),
                          ("shelvio-window-list-bench", {"QT_QPA_PLATFORM": "offscreen"})):
            program = os.path.join(self.args.build, "bench", name)
            if not os.path.exists(program):
                continue
            environment = dict(os.environ, **(env or {}))
            out = subprocess.run([program, folder, "3"], check=True, text=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 env=environment).stdout
            found = re.search(r"items (\d+) best_ms ([\d.]+) median_ms ([\d.]+)", out)
            lines[name] = (int(found.group(1)), float(found.group(3)))
        return lines


def warm(folder):
    """Reads every file once, so that every contender finds them in the page cache."""
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            while f.read(1 << 20):
                pass


def machine():
    model = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            found = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M)
            model = found.group(1) if found else model
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo", encoding="utf-8") as f:
            kb = int(re.search(r"MemTotal:\s*(\d+)", f.read()).group(1))
            memory = f"{kb / 1024 / 1024:.0f} GB RAM"
    except (OSError, AttributeError):
        pass
    distro = ""
    try:
        with open("/etc/os-release", encoding="utf-8") as f:
            found = re.search(r'^PRETTY_NAME="?([^"\n]*)', f.read(), re.M)
            distro = found.group(1) if found else ""
    except OSError:
        pass
    xmllint = subprocess.run(["xmllint", "--version"], text=True, stderr=subprocess.PIPE,
                             stdout=subprocess.DEVNULL).stderr.splitlines()[0]
    zipver = subprocess.run(["zip", "-v"], text=True, stdout=subprocess.PIPE).stdout.splitlines()[1]
    compiler = subprocess.run(["c++", "--version"], text=True, stdout=subprocess.PIPE).stdout
    return (f"{model}, {os.cpu_count()} cores, {memory}; {distro}, Linux {platform.release()}; "
            f"{compiler.splitlines()[0]}; {xmllint}; {zipver.strip().rstrip('.')}")


def verdict(ok):
    return "met" if ok else "**not met**"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=2000, help="books in the collection")
    parser.add_argument("--small", type=int, default=200, help="books in the smaller collection")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--big-mb", type=int, default=200, help="size of the one big book")
    parser.add_argument("--listing", type=int, default=100000, help="files in the listed folder")
    parser.add_argument("--repeats", type=int, default=3, help="runs of each timing; the median")
    parser.add_argument("--zip-repeats", type=int, default=1,
                        help="runs of the timings with archiving (each takes minutes)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--work", help="generated data (default: BUILD/bench-data)")
    parser.add_argument("--corpus", default=os.path.join(ROOT, "..", "shared", "corpus"))
    parser.add_argument("--results", default=os.path.join(HERE, "results.md"))
    parser.add_argument("--no-build", action="store_true")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    work = os.path.abspath(args.work or os.path.join(args.build, "bench-data"))
    os.makedirs(work, exist_ok=True)

    if not args.no_build:
        log("building (Release)...")
        build(args)
    log("generating data...")
    books, small, big, listing_folder = generate(args, work)
    bench = Bench(args, work)
    total_mb = sum(os.path.getsize(os.path.join(books, n)) for n in os.listdir(books)) / 2**20

    log("timing...")
    warm(books)
    times = {"ours": [], "ours_zip": [], "xmllint": [], "zip": []}
    # Peak memory of a run depends on which large books happen to be read at once, so each figure
    # is the median of the runs made, like the times.
    peaks = {"ours": [], "ours_zip": [], "xmllint": [], "zip": []}
    args.zip_repeats = max(1, args.zip_repeats)
    for round_ in range(max(args.repeats, args.zip_repeats)):
        # Interleaved, so that a slow moment of the machine does not fall on one contender only.
        seconds, peak, counts = bench.shelvio(books, archive=False)
        times["ours"].append(seconds)
        peaks["ours"].append(peak)
        seconds, peak, failing = bench.xmllint(books)
        times["xmllint"].append(seconds)
        peaks["xmllint"].append(peak)
        if round_ < args.zip_repeats:
            seconds, peak, counts_zip = bench.shelvio(books, archive=True)
            times["ours_zip"].append(seconds)
            peaks["ours_zip"].append(peak)
            seconds, peak = bench.zip(books)
            times["zip"].append(seconds)
            peaks["zip"].append(peak)
        log(f"  round {round_ + 1}: " + ", ".join(f"{k} {v[-1]:.2f} s" for k, v in times.items() if v))
    median = {k: statistics.median(v) for k, v in times.items()}
    rss = {k: statistics.median(v) for k, v in peaks.items()}

    log("memory...")
    warm(small)
    small_peaks = [bench.shelvio(small, archive=False)[1] for _ in range(args.repeats)]
    small_zip_peaks = [bench.shelvio(small, archive=True)[1] for _ in range(args.repeats)]
    rss_small = statistics.median(small_peaks)
    rss_small_zip = statistics.median(small_zip_peaks)
    warm(big)
    big_seconds, rss_big, counts_big = bench.shelvio(big, archive=False)
    _, rss_big_zip, _ = bench.shelvio(big, archive=True)
    _, rss_big_xmllint, _ = bench.xmllint(big)
    shutil.rmtree(bench.scratch, ignore_errors=True)

    log("listing...")
    listing = bench.listing(listing_folder)

    rename_ratio = median["ours"] / median["xmllint"]
    archive_ratio = median["ours_zip"] / (median["xmllint"] + median["zip"])
    flat = max(abs(rss["ours"] - rss_small) / rss_small, abs(rss["ours_zip"] - rss_small_zip) / rss_small_zip)
    mb = lambda kb: kb / 1024
    rows = [
        ("Rename and sort, no archive: shelvio-cli / xmllint --schema",
         f"{median['ours']:.2f} s / {median['xmllint']:.2f} s = **{rename_ratio:.2f}**",
         f"≤ {TARGET_RENAME_RATIO}", verdict(rename_ratio <= TARGET_RENAME_RATIO)),
        ("With archiving: shelvio-cli / (xmllint + zip -6 -j)",
         f"{median['ours_zip']:.2f} s / ({median['xmllint']:.2f} + {median['zip']:.2f}) s = "
         f"**{archive_ratio:.2f}**", f"≤ {TARGET_ARCHIVE_RATIO}",
         verdict(archive_ratio <= TARGET_ARCHIVE_RATIO)),
        (f"Peak memory, one {os.path.getsize(os.path.join(big, 'big.fb2')) / 2**20:.0f} MB book "
         "(no archive / archive)",
         f"**{mb(rss_big):.0f} MB** / {mb(rss_big_zip):.0f} MB (xmllint: {mb(rss_big_xmllint):.0f} MB)",
         f"≤ {TARGET_BIG_RSS_MB} MB", verdict(max(rss_big, rss_big_zip) <= TARGET_BIG_RSS_MB * 1024)),
        (f"Peak memory, {args.small} → {args.count} books (no archive; archive)",
         f"{mb(rss_small):.1f} → {mb(rss['ours']):.1f} MB; {mb(rss_small_zip):.1f} → "
         f"{mb(rss['ours_zip']):.1f} MB (**{flat * 100:+.1f} %** at most)",
         f"within {TARGET_FLAT_SHARE * 100:.0f} %", verdict(flat <= TARGET_FLAT_SHARE)),
    ]
    for name, label in (("shelvio-list-bench", "ListBookFiles"),
                        ("shelvio-window-list-bench", "the window's file list (offscreen), shown")):
        if name in listing:
            items, ms = listing[name]
            rows.append((f"File list of {items} books: {label}", f"**{ms:.0f} ms**",
                         f"< {TARGET_LISTING_MS} ms", verdict(ms < TARGET_LISTING_MS)))

    table = ["| measurement | result (median of runs) | target | |", "|---|---|---|---|"]
    table += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows]
    details = [
        f"- Collection: {args.count} generated books, {total_mb:.0f} MB (seed {args.seed}); "
        f"{args.repeats} runs of each timing without archiving and {args.zip_repeats} with "
        "archiving, interleaved, all files in the page cache; zip packs the books into one "
        "archive in one process.",
        f"- Verdicts agree: shelvio-cli found {counts.get('invalid', 0)} books invalid, xmllint "
        f"{failing} not validating; moved {counts.get('moved', 0)}, repeat "
        f"{counts.get('repeat', 0)}, kept {counts.get('kept', 0)} "
        f"(with archiving: moved {counts_zip.get('moved', 0)}, repeat {counts_zip.get('repeat', 0)}).",
        f"- Big book: {big_seconds:.1f} s, {counts_big}.",
        "- All runs: " + "; ".join(f"{k} " + " ".join(f"{s:.2f}" for s in v) for k, v in times.items())
        + " (seconds).",
        "- Peaks of all runs: " + "; ".join(
            f"{k} " + " ".join(f"{mb(p):.1f}" for p in v)
            for k, v in (("ours", peaks["ours"]), ("ours_zip", peaks["ours_zip"]),
                         (f"ours {args.small}", small_peaks), (f"ours_zip {args.small}", small_zip_peaks)))
        + " (MB).",
    ]
    generated = "\n".join([
        "# Speed and memory",
        "",
        f"Written by `python3 bench/run_bench.py --count {args.count}` on "
        f"{datetime.date.today().isoformat()}.",
        "",
        f"Machine: {machine()}.",
        "",
        *table,
        "",
        *details,
        "",
    ])
    print(generated)

    notes = ""
    if os.path.exists(args.results):
        with open(args.results, encoding="utf-8") as f:
            old = f.read()
        if NOTES_MARKER in old:
            notes = old[old.index(NOTES_MARKER) + len(NOTES_MARKER):]
    with open(args.results, "w", encoding="utf-8") as f:
        f.write(generated + "\n" + NOTES_MARKER + (notes or "\n"))
    log(f"written: {args.results}")


if __name__ == "__main__":
    main()
