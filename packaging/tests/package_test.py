#!/usr/bin/python3
"""Builds the Debian package of a build tree into a temporary folder and checks it.

Usage: package_test.py BUILD_DIR SOURCE_DIR

The package must hold the programs, the menu entry, the icons and the help page,
and its Depends must name, for every library a program in it links (its NEEDED
entries, resolved as the loader would and mapped to their packages with
dpkg -S), the package that ships that library. Nothing is installed.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from check_list import CheckList

ICON_SIZES = (16, 32, 48, 64, 128, 256)
checks = CheckList(show_passes=False)
check = checks.check


def run(args, **kw):
    r = subprocess.run(args, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        sys.exit("%s failed (%d):\n%s%s" % (" ".join(args), r.returncode, r.stdout, r.stderr))
    return r.stdout


def needed(program):
    """The NEEDED entries of an ELF file."""
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run(["readelf", "-d", program]))


def resolved(program):
    """Library name -> path, as the loader resolves them for program."""
    paths = {}
    for line in run(["ldd", program]).splitlines():
        m = re.match(r"\s*(\S+) => (/\S+)", line)
        if m:
            paths[m.group(1)] = m.group(2)
    return paths


def owner(path):
    """The package that ships path, trying the /usr-merged and resolved spellings."""
    candidates = [path, os.path.realpath(path)]
    for p in list(candidates):
        if p.startswith("/usr/lib/"):
            candidates.append(p[len("/usr"):])
        elif p.startswith("/lib/"):
            candidates.append("/usr" + p)
    for p in candidates:
        r = subprocess.run(["dpkg", "-S", p], capture_output=True, text=True)
        if r.returncode == 0:
            # "libc6:amd64: /lib/x86_64-linux-gnu/libc.so.6"; diversions print other lines.
            for line in r.stdout.splitlines():
                if line.endswith(": " + p) and not line.startswith("diversion"):
                    return line.split(":")[0].split(",")[0].strip()
    return None


def depends_names(field):
    """Package names in a Depends field; alternatives count, versions do not."""
    names = set()
    for group in field.split(","):
        for alt in group.split("|"):
            alt = alt.strip()
            if alt:
                names.add(re.split(r"[\s(:]", alt, maxsplit=1)[0])
    return names


def main():
    build = os.path.abspath(sys.argv[1])
    for tool in ("cpack", "dpkg-deb", "dpkg-shlibdeps", "readelf", "ldd", "dpkg"):
        if not shutil.which(tool):
            print("SKIP: %s is missing (scripts/install-deps.sh installs it)" % tool)
            return 0
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "out")
        run(["cpack", "-G", "DEB", "-B", out, "--config", os.path.join(build, "CPackConfig.cmake")], cwd=build)
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        check(len(debs) == 1, "one .deb is built (got %s)" % debs)
        if not debs:
            return 1
        deb = os.path.join(out, debs[0])
        print("package: " + debs[0])

        fields = {}
        for name in ("Package", "Version", "Architecture", "Depends", "Section"):
            fields[name] = run(["dpkg-deb", "-f", deb, name]).strip()
        print("Depends: " + fields["Depends"])
        check(fields["Package"] == "nuvix", "package name is nuvix")
        check(fields["Architecture"] == run(["dpkg", "--print-architecture"]).strip(), "architecture of this machine")
        check(fields["Section"] == "video", "section video")

        listing = run(["dpkg-deb", "-c", deb])
        files = set(re.findall(r"\s\./(\S+)$", listing, re.M))
        expected = ["usr/bin/nuvix", "usr/bin/kby_nuvix", "usr/share/applications/nuvix.desktop",
                    "usr/share/nuvix/nuvix-help.html"]
        expected += ["usr/share/icons/hicolor/%dx%d/apps/nuvix.png" % (s, s) for s in ICON_SIZES]
        if os.path.exists(os.path.join(build, "bin", "nuvix-relay")):
            expected.append("usr/bin/nuvix-relay")
        for f in expected:
            check(f in files, "the package holds /" + f)
        for line in listing.splitlines():
            if line.split()[-1] in ("./usr/bin/nuvix", "./usr/bin/kby_nuvix"):
                check(line.startswith("-rwxr-xr-x"), "program is executable: " + line)

        root = os.path.join(work, "root")
        run(["dpkg-deb", "-x", deb, root])
        desktop = open(os.path.join(root, "usr/share/applications/nuvix.desktop"), encoding="utf-8").read()
        for key in ("Type=Application", "Exec=nuvix", "Icon=nuvix", "Name=Nuvix"):
            check(re.search("^" + re.escape(key) + "$", desktop, re.M) is not None, "desktop entry has " + key)
        if shutil.which("desktop-file-validate"):
            r = subprocess.run(["desktop-file-validate", os.path.join(root, "usr/share/applications/nuvix.desktop")],
                               capture_output=True, text=True)
            check(r.returncode == 0, "desktop-file-validate: " + r.stdout + r.stderr)
        for s in ICON_SIZES:
            with open(os.path.join(root, "usr/share/icons/hicolor/%dx%d/apps/nuvix.png" % (s, s)), "rb") as f:
                head = f.read(24)
            check(head[:8] == b"\x89PNG\r\n\x1a\n", "icon %d is a PNG" % s)
            w, h = int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")
            check((w, h) == (s, s), "icon %d is %dx%d" % (s, w, h))

        declared = depends_names(fields["Depends"])
        programs = [os.path.join(root, f) for f in files
                    if f.startswith("usr/bin/") and os.path.isfile(os.path.join(root, f))]
        check(len(programs) >= 2, "programs found in the package")
        for program in sorted(programs):
            paths = resolved(program)
            for lib in needed(program):
                path = paths.get(lib)
                check(path is not None, "%s: %s is found by the loader" % (os.path.basename(program), lib))
                if path is None:
                    continue
                pkg = owner(path)
                check(pkg is not None, "%s: %s (%s) belongs to a package" % (os.path.basename(program), lib, path))
                if pkg is None:
                    continue
                check(pkg in declared, "%s needs %s from %s, which Depends declares"
                      % (os.path.basename(program), lib, pkg))
                print("%-10s %-28s %s" % (os.path.basename(program), lib, pkg))
    return checks.exit_code("package checks passed")


if __name__ == "__main__":
    sys.exit(main())
