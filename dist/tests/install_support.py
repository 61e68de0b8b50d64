"""What the install-tree and package tests share: the files an installation holds, and a run of
the installed programs over the sample books with HOME pointing to an empty folder, traced so
that any file written outside HOME shows."""

import argparse
import codecs
import os
import re
import shutil
import signal
import subprocess
import sys
import time

class Failures:
    """Collects every failure of a test, so that one run reports them all."""

    def __init__(self):
        self.messages = []

    def __call__(self, message):
        self.messages.append(message)

    def report(self):
        for message in self.messages:
            print("FAIL:", message, file=sys.stderr)
        return 1 if self.messages else 0


def parse_arguments():
    """--build (the build folder), --source (the source folder), --gui (whether the window is built)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--gui", default="ON")
    args = parser.parse_args()
    args.gui = args.gui.upper() in ("ON", "1", "TRUE", "YES")
    return args


# Below the prefix; the window's files only when the window is built.
CLI_FILES = [
    "bin/shelvio-cli",
    "share/man/man1/shelvio-cli.1",
    "share/man/man1/shelvio.1",
    "share/shelvio/fls/FictionBook.xsd",
    "share/shelvio/fls/FictionBookGenres.xsd",
    "share/shelvio/fls/FictionBookLang.xsd",
    "share/shelvio/fls/FictionBookLinks.xsd",
    "share/shelvio/fls/SCHEMA-LICENSE.md",
    "share/shelvio/fls/genres.list",
]
GUI_FILES = [
    "bin/shelvio",
    "share/applications/org.example.shelvio.desktop",
    "share/icons/hicolor/scalable/apps/shelvio.svg",
    "share/metainfo/org.example.shelvio.metainfo.xml",
]

# Calls that change the file system; for the rest of the trace only chdir matters.
WRITING_CALLS = {
    "open", "openat", "creat", "mkdir", "mkdirat", "rename", "renameat", "renameat2", "link",
    "linkat", "symlink", "symlinkat", "unlink", "unlinkat", "rmdir", "truncate", "chmod",
    "fchmodat", "chown", "lchown", "fchownat", "utimensat",
}
TRACED = sorted(WRITING_CALLS | {"chdir"})
OPEN_FOR_WRITING = re.compile(r"O_WRONLY|O_RDWR|O_CREAT|O_TRUNC")
LINE = re.compile(r"^(\d+)\s+(\w+)\((.*)$")
TOKEN = re.compile(r'(AT_FDCWD|\d+)<((?:[^>\\]|\\.)*)>|"((?:[^"\\]|\\.)*)"')


def decode(text):
    """A path as strace prints it (octal escapes for bytes outside printable ASCII)."""
    return codecs.escape_decode(text.encode("latin-1"))[0].decode("utf-8", "surrogateescape")


def installed_files(gui):
    return sorted(CLI_FILES + (GUI_FILES if gui else []))


def files_below(root):
    found = []
    for folder, _, names in os.walk(root):
        for name in names:
            found.append(os.path.relpath(os.path.join(folder, name), root))
    return sorted(found)


def written_paths(trace_file, start_dir):
    """Every path that a traced process created, changed or removed (calls that failed left out)."""
    cwd = {}
    paths = []
    with open(trace_file, encoding="latin-1") as trace:
        for line in trace:
            match = LINE.match(line)
            if not match:
                continue
            pid, call, rest = match.groups()
            unfinished = rest.rstrip().endswith("<unfinished ...>")
            if not unfinished and re.search(r"\)\s+=\s+-1 ", rest):
                continue
            here = cwd.get(pid, start_dir)
            folder = here
            strings = []
            for token in TOKEN.finditer(rest.split(") = ")[0] if not unfinished else rest):
                if token.group(1) is not None:
                    folder = decode(token.group(2))
                else:
                    path = decode(token.group(3))
                    strings.append(os.path.normpath(os.path.join(folder, path)))
                    folder = here
            if call == "chdir" and strings:
                cwd[pid] = strings[0]
                continue
            if call not in WRITING_CALLS or not strings:
                continue
            if call in ("open", "openat") and not OPEN_FOR_WRITING.search(rest):
                continue
            if call in ("symlink", "symlinkat", "link", "linkat"):
                strings = strings[-1:]  # the link's own name; the target is only read
            paths.extend(strings)
    return paths


def outside(paths, home):
    return sorted({p for p in paths if not (p == home or p.startswith(home + "/") or p.startswith("/dev/"))})


def traced(command, trace_file):
    return ["strace", "-f", "-qq", "-y", "-s", "65536", "-o", trace_file,
            "-e", "trace=" + ",".join(TRACED), "--"] + command


def clean_environment(home):
    """The environment of a fresh desktop user: no XDG variables, so the defaults below HOME apply."""
    runtime = os.path.join(home, ".runtime")
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    return {
        "PATH": "/usr/bin:/bin",
        "HOME": home,
        "LANG": "C.UTF-8",
        "XDG_RUNTIME_DIR": runtime,
    }


def check_cli_run(bin_dir, source_dir, scratch, fail):
    """Runs the installed shelvio-cli: --help names the user's files, a run over the sample books
    sorts them below HOME, and nothing is written anywhere else."""
    home = os.path.join(scratch, "home")
    os.makedirs(home)
    env = clean_environment(home)
    cli = os.path.join(bin_dir, "shelvio-cli")

    help_text = subprocess.run([cli, "--help"], env=env, capture_output=True, text=True, check=True).stdout
    for expected in ("This copy is installed", home + "/.config/shelvio/setting.ini",
                     home + "/.local/share/shelvio/bad/"):
        if expected not in help_text:
            fail(f"shelvio-cli --help does not say {expected!r}:\n{help_text}")

    books = os.path.join(home, "books")
    shutil.copytree(os.path.join(source_dir, "samples", "books"), books)
    sample_count = len(os.listdir(books))
    trace_file = os.path.join(scratch, "cli.trace")
    run = subprocess.run(traced([cli, books], trace_file), env=env, cwd=scratch,
                         capture_output=True, text=True)
    if run.returncode != 0:
        fail(f"the installed shelvio-cli ended with {run.returncode}:\n{run.stdout}\n{run.stderr}")
    statuses = [line.split("\t")[0] for line in run.stdout.splitlines()]
    if len(statuses) != sample_count or statuses.count("invalid") != 2 or statuses.count("moved") != sample_count - 2:
        fail(f"unexpected outcome of the sample run:\n{run.stdout}\n{run.stderr}")
    work = os.path.join(home, ".local", "share", "shelvio")
    archives = [f for f in files_below(os.path.join(work, "end")) if f.endswith(".fb2.zip")]
    if len(archives) != sample_count - 2 or len(os.listdir(os.path.join(work, "bad"))) != 2:
        fail(f"the books are not where the run said: {files_below(work)}")
    if os.listdir(books):
        fail(f"books left in the source folder: {os.listdir(books)}")
    stray = outside(written_paths(trace_file, scratch), home)
    if stray:
        fail("shelvio-cli wrote outside HOME:\n  " + "\n  ".join(stray))


def check_window_start(bin_dir, scratch, fail):
    """Starts the installed window offscreen with an empty HOME: it must come up, make its work
    folders below HOME, and write nothing elsewhere. It is ended once they exist."""
    home = os.path.join(scratch, "window-home")
    os.makedirs(home)
    env = clean_environment(home)
    env["QT_QPA_PLATFORM"] = "offscreen"
    trace_file = os.path.join(scratch, "window.trace")
    tracer = subprocess.Popen(traced([os.path.join(bin_dir, "shelvio")], trace_file),
                              env=env, cwd=scratch, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    ready = os.path.join(home, ".local", "share", "shelvio", "double")
    deadline = time.monotonic() + 60
    while not os.path.isdir(ready) and tracer.poll() is None and time.monotonic() < deadline:
        time.sleep(0.2)
    # Let the window finish showing before it is ended.
    time.sleep(1)
    alive = tracer.poll() is None
    if alive:
        with open(f"/proc/{tracer.pid}/task/{tracer.pid}/children") as children:
            for pid in children.read().split():
                os.kill(int(pid), signal.SIGTERM)
    output = tracer.communicate(timeout=60)[0].decode("utf-8", "replace")
    if not alive or not os.path.isdir(ready):
        fail(f"the installed window did not start or made no work folders below HOME:\n{output}")
    stray = outside(written_paths(trace_file, scratch), home)
    if stray:
        fail("the window wrote outside HOME:\n  " + "\n  ".join(stray))
