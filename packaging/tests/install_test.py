#!/usr/bin/python3
"""Installs a build tree into a staging folder and runs the programs from there.

Usage: install_test.py BUILD_DIR SOURCE_DIR

- `cmake --install BUILD --prefix STAGE` puts the programs side by side in
  STAGE/bin, with the menu entry, the icons and the help page in STAGE/share.
- STAGE/bin/kby_nuvix runs (usage and exit code 1 without arguments).
- STAGE/bin/nuvix starts on the offscreen platform with a throw-away settings
  store and runs its start-up check of a fake yt-dlp.
- The window's own code, run from STAGE/bin (the end-to-end test program copied
  there), starts the engine beside it: a process running STAGE/bin/kby_nuvix is
  seen while the relay to a loopback SRT listener runs.
Only loopback is used.
"""
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from check_list import CheckList

checks = CheckList(show_passes=True)
check = checks.check


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def processes_running(path):
    """Process ids whose program file is path."""
    found = []
    for exe in glob.glob("/proc/[0-9]*/exe"):
        try:
            if os.readlink(exe) == path:
                found.append(int(exe.split("/")[2]))
        except OSError:
            pass
    return found


def main():
    build = os.path.abspath(sys.argv[1])
    source = os.path.abspath(sys.argv[2])
    with tempfile.TemporaryDirectory() as work:
        stage = os.path.join(work, "stage")
        r = subprocess.run(["cmake", "--install", build, "--prefix", stage], capture_output=True, text=True)
        check(r.returncode == 0, "cmake --install --prefix succeeds " + r.stderr.strip())
        if r.returncode != 0:
            return 1
        bindir = os.path.join(stage, "bin")
        for program in ("nuvix", "kby_nuvix"):
            check(os.access(os.path.join(bindir, program), os.X_OK), "bin/%s is an executable" % program)
        if os.path.exists(os.path.join(build, "bin", "nuvix-relay")):
            check(os.access(os.path.join(bindir, "nuvix-relay"), os.X_OK), "bin/nuvix-relay is an executable")
        # Where nuvix looks for its help: ../share/nuvix beside its own folder.
        help_page = os.path.normpath(os.path.join(bindir, "..", "share", "nuvix", "nuvix-help.html"))
        check(os.path.isfile(help_page) and 'id="yt-dlp"' in open(help_page, encoding="utf-8").read(),
              "the help page with its yt-dlp section is at " + help_page)
        check(os.path.isfile(os.path.join(stage, "share/applications/nuvix.desktop")), "menu entry installed")
        for size in (16, 32, 48, 64, 128, 256):
            icon = os.path.join(stage, "share/icons/hicolor/%dx%d/apps/nuvix.png" % (size, size))
            check(os.path.isfile(icon), "icon %d installed" % size)

        # The engine runs from the staging folder.
        r = subprocess.run([os.path.join(bindir, "kby_nuvix")], capture_output=True, text=True, timeout=30)
        check(r.returncode == 1 and "Usage:" in r.stdout, "staged kby_nuvix prints its usage and exits with 1")

        # The window starts from the staging folder and checks its yt-dlp.
        env = dict(os.environ)
        fake_dir = os.path.join(work, "fake")
        os.makedirs(fake_dir)
        config = os.path.join(work, "config")
        os.makedirs(os.path.join(config, "Orvanta"))
        fake = os.path.join(source, "frontend/tests/support/fake_yt_dlp")
        with open(os.path.join(config, "Orvanta", "Nuvix.conf"), "w") as f:
            f.write("[General]\nYT_DLP_PATH=%s\n" % fake)
        runtime = os.path.join(work, "runtime")
        os.makedirs(runtime, mode=0o700)
        env.update(QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=runtime,
                   FAKE_YT_DLP_DIR=fake_dir, NUVIX_UPDATE_HOST="127.0.0.1:9")
        calls = os.path.join(fake_dir, "calls")
        window = subprocess.Popen([os.path.join(bindir, "nuvix")], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True)
        try:
            probed = wait_for(lambda: os.path.exists(calls) and "--version" in open(calls).read(), 30)
            check(probed, "staged nuvix starts and runs yt-dlp --version")
            time.sleep(0.5)
            check(window.poll() is None, "staged nuvix keeps running with its window up")
        finally:
            if window.poll() is None:
                window.send_signal(signal.SIGTERM)
            try:
                window.wait(timeout=10)
            except subprocess.TimeoutExpired:
                window.kill()
                window.wait()

        # The window code run from the staging folder starts the engine beside it.
        e2e = os.path.join(build, "bin", "end_to_end_test")
        if not os.path.exists(e2e):
            check(False, "end_to_end_test is built")
        else:
            staged_test = os.path.join(bindir, "end_to_end_test")
            shutil.copy2(e2e, staged_test)
            staged_engine = os.path.join(bindir, "kby_nuvix")
            env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
            run = subprocess.Popen([staged_test, "startRunStop"], env=env, cwd=build,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            seen = []
            deadline = time.monotonic() + 240
            while run.poll() is None and time.monotonic() < deadline:
                if not seen:
                    seen = processes_running(staged_engine)
                time.sleep(0.02)
            if run.poll() is None:
                run.kill()
            out = run.communicate()[0]
            check(run.returncode == 0, "the window run from the staging folder relays (end_to_end_test startRunStop)")
            if run.returncode != 0:
                print(out[-4000:])
            check(bool(seen), "the engine it started is the staged one, " + staged_engine)
    return checks.exit_code("install checks passed")


if __name__ == "__main__":
    sys.exit(main())
