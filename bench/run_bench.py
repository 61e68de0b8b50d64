#!/usr/bin/env python3
"""Shelvio's speed and memory benchmark, in one command.

Builds shelvio-cli and the listing programs (Release, in build-bench/ unless told otherwise),
generates the books (make_corpus.py; kept between runs), times shelvio-cli against the tools a user
would use instead on the same files, measures peak memory, and writes the table to
bench/results.md (and to standard output) with the machine's description. The hand-written notes
below the marker line of results.md are kept.

Two collections: the generated one (image-heavy books of 20 kB to 5 MB) and the real-size one (the
76 books of the shared corpus copied 40 times, about 115 kB each, most of them not conforming).
Each contender's CPU time (user + system, of the process and its threads) is measured beside its
wall time: on a machine shared with other work the CPU time is the steadier figure.

  python3 bench/run_bench.py [--count 2000] [--repeats 3] [--work DIR] [--build DIR] [--no-build]
  python3 bench/run_bench.py --quick     # a few minutes: 300 generated books, one run of each
  python3 bench/run_bench.py --only zipped [--count N]   # the same books, each packed in a .fb2.zip
  python3 bench/run_bench.py --only shapes [--shape-mb M]   # peak memory of books of every shape
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
TARGET_RENAME_RATIO = 0.6
TARGET_ARCHIVE_RATIO = 0.9
TARGET_CPU_RATIO = 1.0
TARGET_BIG_RSS_MB = 64
TARGET_FLAT_SHARE = 0.10
TARGET_LISTING_MS = 2000
TARGET_TINY_LISTING_MS = 5000
TARGET_ZIPPED_RATIO = 0.8


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


def generate(args, work, with_listing=True):
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
    listing = once(f"listing-{args.listing}", ["listing", "--count", str(args.listing)]) if with_listing else None

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

    cpu = 0.0  # CPU seconds (user + system) of the last command timed

    def timed(self, command, **kwargs):
        """Wall seconds and peak resident kilobytes of command, from /usr/bin/time; its CPU
        seconds go to self.cpu."""
        # xmllint echoes lines of windows-1251 books in its messages.
        result = subprocess.run(["/usr/bin/time", "-f", "@@%e %M %U %S", *command], text=True,
                                errors="replace",
                                stderr=subprocess.PIPE, **kwargs)
        found = re.findall(r"@@([\d.]+) (\d+) ([\d.]+) ([\d.]+)", result.stderr)
        if not found:
            raise RuntimeError(f"{command[0]} failed: {result.stderr[-2000:]}")
        seconds, rss, user, system = found[-1]
        self.cpu = float(user) + float(system)
        return float(seconds), int(rss), result

    def shelvio(self, source, archive, dry_run=False):
        folder = self.fresh_scratch(source)
        seconds, rss, result = self.timed(
            [self.cli, "--settings", self.settings(archive), "--app-dir", self.app,
             *(["--dry-run"] if dry_run else []), folder],
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

    def xmllint_parallel(self, source):
        """Two xmllint processes over the two halves of the books, as a shell one-liner would."""
        names = "".join(os.path.join(source, name) + "\0" for name in sorted(os.listdir(source)))
        half = (len(os.listdir(source)) + 1) // 2
        command = ["sh", "-c", f'xargs -0 -P2 -n{half} xmllint --noout --schema "$0"', self.schema]
        seconds, _, _ = self.timed(command, input=names, stdout=subprocess.DEVNULL)
        return seconds

    def unzip_xmllint(self, source):
        """What a user would do without us: every archive unpacked (one unzip process for all of
        them) and the books validated by one xmllint process; the cost per book is xmllint's own."""
        out = os.path.join(self.scratch, "unpacked")
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(out)
        command = ["sh", "-c",
                   'unzip -qq -o "$0/*.zip" -d "$1" && find "$1" -type f -print0 | '
                   'xargs -0 xmllint --noout --schema "$2"', source, out, self.schema]
        seconds, rss, result = self.timed(command, stdout=subprocess.DEVNULL)
        valid = len(re.findall(r" validates$", result.stderr, re.M))
        return seconds, rss, len(os.listdir(source)) - valid

    def unzip_pipe_xmllint(self, source):
        """unzip -p X | xmllint --schema - for each archive: a process pair and a schema per book."""
        command = ["sh", "-c",
                   'for f in "$0"/*.zip; do unzip -p "$f" | xmllint --noout --schema "$1" -; done',
                   source, self.schema]
        seconds, _, result = self.timed(command, stdout=subprocess.DEVNULL)
        valid = len(re.findall(r" validates$", result.stderr, re.M))
        return seconds, len(os.listdir(source)) - valid

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


def real_size_set(args, work):
    """The corpus books copied args.copies times: books of the size and kind users keep."""
    folder = os.path.join(work, f"real-{args.copies}")
    stamp = folder + ".done"
    if not os.path.exists(stamp):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        files = os.path.join(args.corpus, "files")
        names = sorted(n for n in os.listdir(files) if n.endswith(".fb2"))
        for k in range(1, args.copies + 1):
            for name in names:
                shutil.copyfile(os.path.join(files, name), os.path.join(folder, f"c{k:02d}_{name}"))
        open(stamp, "w").close()
    return folder


def measure_set(bench, source, repeats, zip_repeats):
    """Times, CPU times and peaks of every contender over one collection, interleaved, so that a
    slow moment of the machine does not fall on one contender only."""
    warm(source)
    names = ("ours", "ours_zip", "ours_dry", "xmllint", "xmllint_p2", "zip")
    times = {k: [] for k in names}
    cpus = {k: [] for k in names}
    peaks = {k: [] for k in names}
    found = {}

    def record(name, seconds, peak=0):
        times[name].append(seconds)
        cpus[name].append(bench.cpu)
        peaks[name].append(peak)

    for round_ in range(max(repeats, zip_repeats)):
        seconds, peak, found["counts"] = bench.shelvio(source, archive=False)
        record("ours", seconds, peak)
        seconds, peak, _ = bench.shelvio(source, archive=False, dry_run=True)
        record("ours_dry", seconds, peak)
        seconds, peak, found["failing"] = bench.xmllint(source)
        record("xmllint", seconds, peak)
        record("xmllint_p2", bench.xmllint_parallel(source))
        if round_ < zip_repeats:
            seconds, peak, found["counts_zip"] = bench.shelvio(source, archive=True)
            record("ours_zip", seconds, peak)
            seconds, peak = bench.zip(source)
            record("zip", seconds, peak)
        log(f"  round {round_ + 1}: " + ", ".join(
            f"{k} {v[-1]:.2f} s (CPU {cpus[k][-1]:.2f} s)" for k, v in times.items() if v))
    return {
        "times": times, "cpus": cpus, "peaks": peaks,
        "median": {k: statistics.median(v) for k, v in times.items()},
        "cpu": {k: statistics.median(v) for k, v in cpus.items()},
        "rss": {k: statistics.median(v) for k, v in peaks.items()},
        **found,
    }


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


def tiny_books(args, work, bench):
    """The file list of args.tiny tiny valid books, and the peak memory of a dry run over them
    against one over a tenth of them: what a run holds per book, where books cost little else."""
    folder = os.path.join(work, f"tiny-{args.tiny}")
    stamp = folder + ".done"
    if not os.path.exists(stamp):
        shutil.rmtree(folder, ignore_errors=True)
        run([sys.executable, os.path.join(HERE, "make_corpus.py"), "listing", "--tiny",
             "--count", str(args.tiny), "--out", folder], stdout=sys.stderr)
        open(stamp, "w").close()
    tenth = os.path.join(work, f"tiny-{args.tiny}-first{args.tiny // 10}")
    if not os.path.isdir(tenth):
        os.makedirs(tenth)
        for name in sorted(os.listdir(folder))[:args.tiny // 10]:
            os.link(os.path.join(folder, name), os.path.join(tenth, name))
    log(f"listing {args.tiny} tiny books...")
    listing = bench.listing(folder).get("shelvio-list-bench")
    runs = {}
    for label, source in (("tenth", tenth), ("all", folder)):
        log(f"dry run over {len(os.listdir(source))} tiny books...")
        warm(source)
        # A dry run moves nothing, so the books need no fresh copy; the work folders do exist.
        shutil.rmtree(bench.scratch, ignore_errors=True)
        for name in ("bad", "end", "double"):
            os.makedirs(os.path.join(bench.scratch, name))
        seconds, rss, result = bench.timed(
            [bench.cli, "--settings", bench.settings(False), "--app-dir", bench.app, "--dry-run", source],
            stdout=subprocess.DEVNULL)
        if result.returncode != 0:
            raise RuntimeError(f"shelvio-cli failed: {result.stderr[-2000:]}")
        runs[label] = (seconds, rss, bench.cpu)
    shutil.rmtree(bench.scratch, ignore_errors=True)
    (t_seconds, t_rss, _), (a_seconds, a_rss, a_cpu) = runs["tenth"], runs["all"]
    growth = (a_rss - t_rss) / t_rss
    rows = [
        (f"File list of {args.tiny} tiny books: ListBookFiles",
         f"**{listing[1]:.0f} ms**" if listing else "not measured",
         f"< {TARGET_TINY_LISTING_MS} ms", verdict(listing is not None and listing[1] < TARGET_TINY_LISTING_MS)),
        (f"Dry run, {args.tiny // 10} → {args.tiny} tiny books: peak memory",
         f"{t_rss / 1024:.1f} → {a_rss / 1024:.1f} MB (**{growth * 100:+.1f} %**)",
         f"within {TARGET_FLAT_SHARE * 100:.0f} %", verdict(growth <= TARGET_FLAT_SHARE)),
    ]
    details = [f"- Tiny books: {args.tiny} valid books of about 550 bytes; dry runs with renaming and "
               f"sorting took {t_seconds:.1f} s and {a_seconds:.1f} s ({a_cpu:.1f} s of CPU for all)."]
    return rows, details


def packed(source, folder):
    """Every book of source packed alone with zip -j, as online libraries hand them out."""
    stamp = folder + ".done"
    if not os.path.exists(stamp):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name in sorted(os.listdir(source)):
            run(["zip", "-q", "-j", "-X", os.path.join(folder, name + ".zip"), os.path.join(source, name)])
        open(stamp, "w").close()
    return folder


def zipped_books(args, work, bench):
    """A rename and sort run over .fb2.zip books (each unpacked to its place) against unzip and
    xmllint over the same archives, and the peak memory of one big book inside an archive against
    the same book unpacked."""
    books, _, big, _ = generate(args, work, with_listing=False)
    rows, details = [], []
    sets = ((f"generated set ({args.count} books)", books), ("real-size set", real_size_set(args, work)))
    for label, source in sets:
        folder = packed(source, source + "-zipped")
        count = len(os.listdir(folder))
        label = label if "(" in label else f"{label} ({count} books)"
        log(f"timing packed books, {label}...")
        warm(folder)
        times = {k: [] for k in ("ours", "ours_repack", "unzip_xmllint", "pipe")}
        cpus = {k: [] for k in times}
        for round_ in range(args.repeats):
            seconds, _, counts = bench.shelvio(folder, archive=False)
            times["ours"].append(seconds)
            cpus["ours"].append(bench.cpu)
            seconds, _, failing = bench.unzip_xmllint(folder)
            times["unzip_xmllint"].append(seconds)
            cpus["unzip_xmllint"].append(bench.cpu)
            if round_ == 0:
                seconds, _, counts_repack = bench.shelvio(folder, archive=True)
                times["ours_repack"].append(seconds)
                cpus["ours_repack"].append(bench.cpu)
                seconds, failing_pipe = bench.unzip_pipe_xmllint(folder)
                times["pipe"].append(seconds)
                cpus["pipe"].append(bench.cpu)
            log(f"  round {round_ + 1}: " + ", ".join(
                f"{k} {v[-1]:.2f} s (CPU {cpus[k][-1]:.2f} s)" for k, v in times.items() if v))
        t = {k: statistics.median(v) for k, v in times.items()}
        c = {k: statistics.median(v) for k, v in cpus.items()}
        ratio = t["ours"] / t["unzip_xmllint"]
        rows.append((f"Packed books, rename and sort, {label}: shelvio-cli / (unzip + xmllint --schema)",
                     f"{t['ours']:.2f} s / {t['unzip_xmllint']:.2f} s = **{ratio:.2f}** (unzip -p | "
                     f"xmllint per book: {t['pipe']:.2f} s, {t['ours'] / t['pipe']:.2f}; CPU "
                     f"{c['ours']:.2f} s / {c['unzip_xmllint']:.2f} s = {c['ours'] / c['unzip_xmllint']:.2f})",
                     f"≤ {TARGET_ZIPPED_RATIO}", verdict(ratio <= TARGET_ZIPPED_RATIO)))
        details.append(
            f"- Packed, {label}: verdicts: shelvio-cli found {counts.get('invalid', 0)} invalid, "
            f"xmllint {failing} not validating (per book: {failing_pipe}); moved {counts.get('moved', 0)}, "
            f"repeat {counts.get('repeat', 0)}, kept {counts.get('kept', 0)}. Repacked (archiving on): "
            f"{t['ours_repack']:.2f} s, moved {counts_repack.get('moved', 0)}. All runs: " + "; ".join(
                f"{k} " + " ".join(f"{x:.2f}" for x in v) for k, v in times.items()) + " (seconds); CPU: "
            + "; ".join(f"{k} " + " ".join(f"{x:.2f}" for x in v) for k, v in cpus.items()) + " (seconds).")
    log("memory of a big packed book...")
    big_zipped = packed(big, big + "-zipped")
    warm(big)
    warm(big_zipped)
    _, rss_plain, _ = bench.shelvio(big, archive=False)
    _, rss_unpack, counts_unpack = bench.shelvio(big_zipped, archive=False)
    _, rss_repack, counts_repack = bench.shelvio(big_zipped, archive=True)
    shutil.rmtree(bench.scratch, ignore_errors=True)
    peak = max(rss_unpack, rss_repack)
    size_mb = os.path.getsize(os.path.join(big, "big.fb2")) / 2**20
    rows.append((f"Peak memory, one {size_mb:.0f} MB book in a .fb2.zip (unpacked / repacked; the book "
                 "itself)",
                 f"**{rss_unpack / 1024:.0f} MB** / {rss_repack / 1024:.0f} MB ({rss_plain / 1024:.0f} MB)",
                 f"≤ {TARGET_BIG_RSS_MB} MB, and ≤ the book's own + 10 %",
                 verdict(peak <= TARGET_BIG_RSS_MB * 1024 and peak <= rss_plain * 1.1)))
    details.append(f"- Big packed book: {counts_unpack} unpacked, {counts_repack} repacked.")
    return rows, details


SHAPES = (
    ("section", "one book of short paragraphs in one section"),
    ("doctype-zip", "one book with a <!DOCTYPE>, packed (zip -9)"),
    ("doctype-zip-6", "six such books of a quarter the size, packed"),
    ("annotation", "an annotation of short paragraphs, a quarter the size"),
    ("ids", "one book of short sections with an id each"),
    ("repeated-id", "one book of short paragraphs with one id repeated (invalid)"),
    ("packed-7", "seven packed books of short paragraphs, half the size each"),
)


def shapes(args, work, bench):
    """The peak memory of a run over books whose shape once made it grow with the book."""
    folder = os.path.join(work, f"shapes-{args.shape_mb}")
    if not os.path.exists(folder + ".done"):
        shutil.rmtree(folder, ignore_errors=True)
        run([sys.executable, os.path.join(HERE, "make_corpus.py"), "shapes", "--size-mb", str(args.shape_mb),
             "--out", folder], stdout=subprocess.DEVNULL)
        open(folder + ".done", "w").close()
    rows, details = [], []
    for name, what in SHAPES:
        source = os.path.join(folder, name)
        log(f"memory of {what}...")
        warm(source)
        seconds, rss, counts = bench.shelvio(source, archive=False)
        files = sorted(os.listdir(source))
        size = sum(os.path.getsize(os.path.join(source, f)) for f in files) / 2**20
        rows.append((f"Peak memory, {what} ({args.shape_mb} MB of text; files {size:.1f} MB)",
                     f"**{rss / 1024:.0f} MB**", f"≤ {TARGET_BIG_RSS_MB} MB", verdict(rss <= TARGET_BIG_RSS_MB * 1024)))
        details.append(f"- Shape {name}: {seconds:.1f} s, {counts}.")
    shutil.rmtree(bench.scratch, ignore_errors=True)
    return rows, details


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
    parser.add_argument("--copies", type=int, default=40, help="copies of the corpus, real-size set")
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--tiny", type=int, default=0,
                        help="also list and dry-run this many tiny books (1000000 for the target)")
    parser.add_argument("--shape-mb", type=int, default=100, help="size of the books of the memory shapes")
    parser.add_argument("--only", choices=["tiny", "zipped", "shapes"],
                        help="measure only this part and print its rows; results.md is left alone")
    parser.add_argument("--quick", action="store_true",
                        help="a few minutes: 300 generated books, 20,000 listed, one run of each")
    args = parser.parse_args()
    if args.quick:
        args.count, args.small, args.listing, args.repeats, args.zip_repeats = 300, 100, 20000, 1, 1
    args.build = os.path.abspath(args.build)
    work = os.path.abspath(args.work or os.path.join(args.build, "bench-data"))
    os.makedirs(work, exist_ok=True)

    if not args.no_build:
        log("building (Release)...")
        build(args)
    bench = Bench(args, work)
    if args.only:
        rows, details = {"tiny": tiny_books, "zipped": zipped_books, "shapes": shapes}[args.only](args, work, bench)
        print("\n".join(f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows))
        print("\n".join(details))
        return
    log("generating data...")
    books, small, big, listing_folder = generate(args, work)
    total_mb = sum(os.path.getsize(os.path.join(books, n)) for n in os.listdir(books)) / 2**20

    log(f"timing the generated set ({args.count} books)...")
    gen = measure_set(bench, books, args.repeats, args.zip_repeats)
    log(f"timing the real-size set (corpus x {args.copies})...")
    real_folder = real_size_set(args, work)
    real = measure_set(bench, real_folder, args.repeats, args.zip_repeats)
    real_count = len(os.listdir(real_folder))
    real_mb = sum(os.path.getsize(os.path.join(real_folder, n)) for n in os.listdir(real_folder)) / 2**20

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

    rss = gen["rss"]
    flat = max(abs(rss["ours"] - rss_small) / rss_small, abs(rss["ours_zip"] - rss_small_zip) / rss_small_zip)
    mb = lambda kb: kb / 1024
    rows = []
    for label, m in ((f"generated set ({args.count} books)", gen),
                     (f"real-size set ({real_count} books)", real)):
        t, c = m["median"], m["cpu"]
        rename_ratio = t["ours"] / t["xmllint"]
        archive_ratio = t["ours_zip"] / (t["xmllint"] + t["zip"])
        cpu_ratio = c["ours_dry"] / c["xmllint"]
        rows += [
            (f"Rename and sort, {label}: shelvio-cli / xmllint --schema",
             f"{t['ours']:.2f} s / {t['xmllint']:.2f} s = **{rename_ratio:.2f}** "
             f"(xmllint -P2: {t['xmllint_p2']:.2f} s, {t['ours'] / t['xmllint_p2']:.2f})",
             f"≤ {TARGET_RENAME_RATIO}", verdict(rename_ratio <= TARGET_RENAME_RATIO)),
            (f"CPU time, {label}: dry run / xmllint",
             f"{c['ours_dry']:.2f} s / {c['xmllint']:.2f} s = **{cpu_ratio:.2f}**",
             f"≤ {TARGET_CPU_RATIO}", verdict(cpu_ratio <= TARGET_CPU_RATIO)),
            (f"With archiving, {label}: shelvio-cli / (xmllint + zip -6 -j)",
             f"{t['ours_zip']:.2f} s / ({t['xmllint']:.2f} + {t['zip']:.2f}) s = **{archive_ratio:.2f}**",
             f"≤ {TARGET_ARCHIVE_RATIO}", verdict(archive_ratio <= TARGET_ARCHIVE_RATIO)),
        ]
    rows += [
        (f"Peak memory, one {os.path.getsize(os.path.join(big, 'big.fb2')) / 2**20:.0f} MB book "
         "(no archive / archive)",
         f"**{mb(rss_big):.0f} MB** / {mb(rss_big_zip):.0f} MB (xmllint: {mb(rss_big_xmllint):.0f} MB)",
         f"≤ {TARGET_BIG_RSS_MB} MB", verdict(max(rss_big, rss_big_zip) <= TARGET_BIG_RSS_MB * 1024)),
        (f"Peak memory, {args.small} → {args.count} generated books (no archive; archive)",
         f"{mb(rss_small):.1f} → {mb(rss['ours']):.1f} MB; {mb(rss_small_zip):.1f} → "
         f"{mb(rss['ours_zip']):.1f} MB (**{flat * 100:+.1f} %** at most)",
         f"within {TARGET_FLAT_SHARE * 100:.0f} %", verdict(flat <= TARGET_FLAT_SHARE)),
    ]
    shape_rows, shape_details = shapes(args, work, bench)
    rows += shape_rows
    tiny_details = []
    if args.tiny:
        tiny_rows, tiny_details = tiny_books(args, work, bench)
        rows += tiny_rows
    else:
        rows.append(("1,000,000 tiny books: listing; dry-run memory against 100,000", "not measured "
                     "(`--tiny 1000000`)", "< 5 s; within 10 %", "**not measured**"))
    for name, label in (("shelvio-list-bench", "ListBookFiles"),
                        ("shelvio-window-list-bench", "the window's file list (offscreen), shown")):
        if name in listing:
            items, ms = listing[name]
            rows.append((f"File list of {items} books: {label}", f"**{ms:.0f} ms**",
                         f"< {TARGET_LISTING_MS} ms", verdict(ms < TARGET_LISTING_MS)))

    table = ["| measurement | result (median of runs) | target | |", "|---|---|---|---|"]
    table += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows]
    def runs(m, key, unit):
        return "; ".join(f"{k} " + " ".join(f"{x:.2f}" for x in v) for k, v in m[key].items() if v) + unit

    details = [
        f"- Generated set: {args.count} books, {total_mb:.0f} MB (seed {args.seed}); real-size set: the "
        f"{real_count // args.copies} corpus books copied {args.copies} times, {real_mb:.0f} MB. "
        f"{args.repeats} runs of each timing without archiving and {args.zip_repeats} with archiving, "
        "interleaved, all files in the page cache; zip packs the books into one archive in one "
        "process; xmllint -P2 is two xmllint processes over the two halves (`xargs -P2`). CPU time "
        "is user + system time of the process and its threads.",
    ]
    for label, m in (("generated", gen), ("real-size", real)):
        counts, counts_zip = m["counts"], m["counts_zip"]
        details += [
            f"- Verdicts, {label}: shelvio-cli found {counts.get('invalid', 0)} books invalid, xmllint "
            f"{m['failing']} not validating; moved {counts.get('moved', 0)}, repeat "
            f"{counts.get('repeat', 0)}, kept {counts.get('kept', 0)} (with archiving: moved "
            f"{counts_zip.get('moved', 0)}, repeat {counts_zip.get('repeat', 0)}).",
            f"- All runs, {label}: " + runs(m, "times", " (seconds)") + "; CPU: " + runs(m, "cpus", " (seconds)."),
        ]
    details += [
        f"- Big book: {big_seconds:.1f} s, {counts_big}.",
        "- Peaks of all runs: " + "; ".join(
            f"{k} " + " ".join(f"{mb(p):.1f}" for p in v)
            for k, v in (("ours", gen["peaks"]["ours"]), ("ours_zip", gen["peaks"]["ours_zip"]),
                         (f"ours {args.small}", small_peaks), (f"ours_zip {args.small}", small_zip_peaks)))
        + " (MB).",
        *shape_details,
        *tiny_details,
    ]
    generated = "\n".join([
        "# Speed and memory",
        "",
        f"Written by `python3 bench/run_bench.py {'--quick' if args.quick else f'--count {args.count}'}` on "
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
