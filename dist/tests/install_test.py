"""`cmake --install` into a throw-away prefix: the files are in place, the menu entry, the AppStream
file and the manual pages pass their checkers and document every option and settings key, and the
installed programs run with an empty HOME, writing nothing outside it (the prefix included)."""

import os
import re
import subprocess
import sys
import tempfile

# The tests run from the source folder, which must stay as it is.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import install_support  # noqa: E402

SETTINGS_KEYS = [
    "BadFileDir", "EndDir", "DoubleDir", "Valid", "Rename", "Sort", "Archive", "Convert", "ZipLevel",
    "ActivePage", "Pattern", "SortPattern", "Translit", "TranslitDir", "SortLast", "SortFirst",
    "SortMiddle", "FullGenres", "WinState", "Width", "Height", "Left", "Top",
]

fail = install_support.Failures()


def check_validators(prefix, gui):
    if not gui:
        return
    for command in (["desktop-file-validate", "share/applications/org.example.shelvio.desktop"],
                    ["appstreamcli", "validate", "--no-net", "--pedantic",
                     "share/metainfo/org.example.shelvio.metainfo.xml"]):
        run = subprocess.run(command, cwd=prefix, capture_output=True, text=True)
        # desktop-file-validate exits 0 on hints; anything it prints is worth fixing.
        if run.returncode != 0 or (command[0] == "desktop-file-validate" and run.stdout.strip()):
            fail(f"{' '.join(command)}:\n{run.stdout}{run.stderr}")


def man_text(page):
    """The page as a reader sees it, and groff's warnings about its source."""
    warnings = subprocess.run(["groff", "-k", "-Tutf8", "-man", "-ww", "-z", page],
                              capture_output=True, text=True).stderr
    if warnings:
        fail(f"groff warns about {page}:\n{warnings}")
    shown = subprocess.run(["groff", "-k", "-Tutf8", "-man", "-P", "-cbou", page],
                           capture_output=True, text=True, check=True).stdout
    return re.sub(r"\s+", " ", shown.replace("\u2010\n", "").replace("\u2010", "-"))


def check_man_pages(prefix, bin_dir):
    help_text = subprocess.run([os.path.join(bin_dir, "shelvio-cli"), "--help"],
                               capture_output=True, text=True, check=True).stdout
    options = sorted(set(re.findall(r"^\s+(?:-h, )?(--[a-z-]+)", help_text, re.MULTILINE)))
    if len(options) < 5:
        fail(f"no options found in shelvio-cli --help:\n{help_text}")
    pages = {name: man_text(os.path.join(prefix, "share/man/man1", name + ".1"))
             for name in ("shelvio", "shelvio-cli")}
    for option in options:
        if option not in pages["shelvio-cli"]:
            fail(f"shelvio-cli(1) does not document {option}")
    for name, text in pages.items():
        for key in SETTINGS_KEYS:
            if not re.search(r"\b" + key + r"\b", text):
                fail(f"{name}(1) does not document the settings key {key}")
        for section in ("SYNOPSIS", "OPTIONS", "SETTINGS", "FILES", "EXIT STATUS", "EXAMPLES"):
            if section not in text:
                fail(f"{name}(1) has no section {section}")
    for key in SETTINGS_KEYS[:18]:
        if key not in help_text:
            fail(f"shelvio-cli --help does not name the settings key {key}")


def main():
    args = install_support.parse_arguments()
    gui = args.gui

    with tempfile.TemporaryDirectory(prefix="shelvio-install-") as scratch:
        prefix = os.path.join(scratch, "prefix")
        subprocess.run(["cmake", "--install", args.build, "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL)
        found = install_support.files_below(prefix)
        expected = install_support.installed_files(gui)
        if found != expected:
            fail(f"installed files differ:\n  missing {sorted(set(expected) - set(found))}\n"
                 f"  unexpected {sorted(set(found) - set(expected))}")
        check_validators(prefix, gui)
        bin_dir = os.path.join(prefix, "bin")
        check_man_pages(prefix, bin_dir)

        # As root the prefix is writable: the programs must still treat it as an installation.
        before = {f: os.stat(os.path.join(prefix, f)).st_mtime_ns for f in found}
        install_support.check_cli_run(bin_dir, args.source, scratch, fail)
        if gui:
            install_support.check_window_start(bin_dir, scratch, fail)
        after = {f: os.stat(os.path.join(prefix, f)).st_mtime_ns for f in install_support.files_below(prefix)}
        if after != before:
            fail(f"the prefix changed: {sorted(set(after) ^ set(before))}")

    return fail.report()


if __name__ == "__main__":
    sys.exit(main())
