"""`cpack -G DEB`: the package holds exactly the installed files below /usr, its dependencies come
from dpkg-shlibdeps and apt can satisfy them, and the programs extracted from it run over the
sample books with an empty HOME, writing nothing outside it."""

import glob
import os
import subprocess
import sys
import tempfile

# The tests run from the source folder, which must stay as it is.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import install_support  # noqa: E402

fail = install_support.Failures()


def main():
    args = install_support.parse_arguments()
    gui = args.gui

    with tempfile.TemporaryDirectory(prefix="shelvio-package-") as scratch:
        subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(args.build, "CPackConfig.cmake"),
                        "-B", scratch], check=True, stdout=subprocess.DEVNULL)
        packages = glob.glob(os.path.join(scratch, "shelvio_*.deb"))
        if len(packages) != 1:
            fail(f"expected one shelvio_*.deb, found {os.listdir(scratch)}")
            return fail.report()
        package = packages[0]

        fields = {name: subprocess.run(["dpkg-deb", "-f", package, name], capture_output=True,
                                       text=True, check=True).stdout.strip()
                  for name in ("Package", "Architecture", "Depends")}
        if fields["Package"] != "shelvio":
            fail(f"package name {fields['Package']!r}")
        depends = [d.split()[0] for d in fields["Depends"].split(", ")]
        # Versioned entries are what dpkg-shlibdeps writes; the plugins are named by hand.
        needed = ["libc6", "libqt6core6", "libxml2", "zlib1g", "libstdc++6"]
        if gui:
            needed += ["libqt6widgets6", "qt6-qpa-plugins"]
        for name in needed:
            if name not in depends:
                fail(f"Depends lacks {name}: {fields['Depends']}")
        if "(>=" not in fields["Depends"]:
            fail(f"Depends has no versions, so dpkg-shlibdeps did not make it: {fields['Depends']}")

        listing = subprocess.run(["dpkg-deb", "--fsys-tarfile", package], capture_output=True, check=True).stdout
        names = subprocess.run(["tar", "-t"], input=listing, capture_output=True, check=True).stdout.decode()
        files = sorted(n[len("./usr/"):] for n in names.splitlines() if n.startswith("./usr/") and not n.endswith("/"))
        expected = install_support.installed_files(gui)
        if files != expected:
            fail(f"package files differ:\n  missing {sorted(set(expected) - set(files))}\n"
                 f"  unexpected {sorted(set(files) - set(expected))}")

        # apt resolves the dependencies against this system's packages, as an install would.
        simulate = subprocess.run(["apt-get", "install", "--simulate", "--no-install-recommends", package],
                                  capture_output=True, text=True)
        if simulate.returncode != 0:
            fail(f"apt-get cannot install the package:\n{simulate.stdout}{simulate.stderr}")

        root = os.path.join(scratch, "root")
        subprocess.run(["dpkg-deb", "-x", package, root], check=True)
        bin_dir = os.path.join(root, "usr", "bin")
        install_support.check_cli_run(bin_dir, args.source, scratch, fail)
        if gui:
            install_support.check_window_start(bin_dir, scratch, fail)
    return fail.report()


if __name__ == "__main__":
    sys.exit(main())
