#!/usr/bin/env python3
"""make windows-test: the Windows engine (the download folder of make windows) run under
Wine against the loopback HTTP server and SRT listener of the Linux tests.

    scripts/windows_test.py <linux build dir> <windows out dir> [word]

With a word, only the cases whose name contains it run.

The engine runs as the window runs it: the FFmpeg library folder of the download folder
first on the search path (WINEPATH). Every case gets its own listener; every wait has a
limit, and Wine processes left over by a failed case are ended with the test's own Wine
prefix (wineserver -k). Exit code 0 when every case passed.
"""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def win_path(path):
    """The Wine name (drive Z: is the Linux root) of a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def closed_loopback_port():
    """A loopback port that nobody listens on (bound and released again)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Failure(Exception):
    pass


def check(condition, what, detail=""):
    if not condition:
        raise Failure(what + (("\n" + detail) if detail else ""))


class Process:
    """A child whose standard output is read line by line as it arrives."""

    def __init__(self, args, env=None, stderr_file=None):
        self.lines = []
        self.cond = threading.Condition()
        self.err = stderr_file
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=stderr_file or subprocess.DEVNULL, env=env)
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait_line(self, pattern, seconds):
        """The first line matching pattern, or None after seconds or at the end of output."""
        deadline = time.monotonic() + seconds
        rx = re.compile(pattern)
        with self.cond:
            while True:
                for line in self.lines:
                    m = rx.search(line)
                    if m:
                        return m
                left = deadline - time.monotonic()
                if left <= 0 or (not self.reader.is_alive() and self.proc.poll() is not None):
                    return None
                self.cond.wait(min(left, 0.2))

    def wait(self, seconds):
        try:
            code = self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            return None
        self.reader.join(timeout=5)
        return code

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self.reader.join(timeout=5)


class Suite:
    def __init__(self, linux_build, win_out, only=""):
        self.only = only
        linux_build, win_out = os.path.abspath(linux_build), os.path.abspath(win_out)
        self.linux_bin = os.path.join(linux_build, "bin")
        self.package = os.path.join(win_out, "package", "nuvix-win64")
        self.engine = os.path.join(self.package, "bin", "win64", "kby_nuvix.exe")
        self.stopper = os.path.join(self.package, "bin", "win64", "kby_nuvix_stop.exe")
        self.helper = os.path.join(win_out, "engine", "bin", "wine_test_process.exe")
        self.lib_dir = os.path.join(self.package, "ffmpeg-lib", "win", "lib")
        # The last run's logs and received streams stay until the next run.
        self.work = os.path.join(win_out, "test-run")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.media_dir = os.path.join(win_out, "test-media")
        os.makedirs(self.media_dir, exist_ok=True)
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": os.path.join(win_out, "wineprefix"),
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "WINEPATH": win_path(self.lib_dir),
        })
        self.env.pop("DISPLAY", None)
        self.wine = self._find_wine()
        self.http = None
        self.http_port = 0

    @staticmethod
    def _find_wine():
        # Without Debian's package wine, wine64 installs its program off the search path.
        for path in (shutil.which("wine"), "/usr/lib/wine/wine64"):
            if path and os.access(path, os.X_OK):
                return path
        raise Failure("no wine program (install the packages wine and wine64)")

    # ---- helpers ------------------------------------------------------------------
    def kill_wine(self):
        """Ends every process of the test's own Wine prefix, and its wineserver."""
        server = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
        if os.access(server, os.X_OK):
            subprocess.run([server, "-k"], env=self.env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def ffmpeg(self, name, args):
        path = os.path.join(self.media_dir, name)
        if not os.path.exists(path):
            part = path + ".part" + os.path.splitext(name)[1]
            subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"] + args + [part],
                           check=True, timeout=120)
            os.replace(part, path)
        return path

    def make_media(self):
        video = ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=%s"]
        audio = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=%s"]
        h264 = ["-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "25", "-bf", "0", "-b:v", "400k"]
        aac = ["-c:a", "aac", "-b:a", "64k", "-ac", "2"]

        def src(parts, seconds):
            return [a % seconds if "%s" in a else a for a in parts]

        self.ffmpeg("av_4s.mp4", src(video, 4) + src(audio, 4) + h264 + aac + ["-shortest"])
        self.ffmpeg("av_30s.mp4", src(video, 30) + src(audio, 30) + h264 + aac + ["-shortest"])
        self.ffmpeg("av_6s.ts", src(video, 6) + src(audio, 6) + h264 + aac + ["-shortest", "-f", "mpegts"])
        self.ffmpeg("v_4s.mp4", src(video, 4) + h264)
        self.ffmpeg("a_4s.m4a", src(audio, 4) + aac)
        hls = os.path.join(self.media_dir, "hls_4s")
        if not os.path.exists(os.path.join(hls, "index.m3u8")):
            part = hls + ".part"
            shutil.rmtree(part, ignore_errors=True)
            os.makedirs(part)
            subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"] + src(video, 4)
                           + src(audio, 4) + h264 + aac + ["-shortest", "-f", "hls", "-hls_time", "1",
                           "-hls_playlist_type", "vod", "-hls_segment_filename", part + "/seg%03d.ts",
                           part + "/index.m3u8"], check=True, timeout=120)
            os.replace(part, hls)

    def url(self, name, fault=""):
        return "http://127.0.0.1:%d/%s%s" % (self.http_port, fault, name)

    def start_http(self):
        self.http = Process([sys.executable, os.path.join(ROOT, "engine/tests/support/http_server.py"),
                             self.media_dir, "--max-seconds", "1200"])
        m = self.http.wait_line(r"^listening (\d+)$", 10)
        check(m is not None, "the HTTP server did not start")
        self.http_port = int(m.group(1))

    def start_listener(self, out_file, extra=()):
        listener = Process([os.path.join(self.linux_bin, "srt_test_listener"), "--out", out_file,
                            "--accepts", "1", "--max-seconds", "120"] + list(extra))
        m = listener.wait_line(r"^listening (\d+)$", 10)
        check(m is not None, "the SRT listener did not start")
        return listener, "srt://127.0.0.1:%s?streamid=wine" % m.group(1)

    def run_engine(self, args, log_name, via_helper=None):
        """Starts the engine under Wine; with via_helper (a pid file), through the helper
        that reports its Windows process id."""
        err = open(os.path.join(self.work, log_name), "wb")
        cmd = [self.wine]
        if via_helper:
            cmd += [self.helper, "run", win_path(via_helper)]
        cmd += [self.engine] + args
        return Process(cmd, env=self.env, stderr_file=err)

    def log_text(self, log_name):
        with open(os.path.join(self.work, log_name), "rb") as f:
            return f.read().decode("utf-8", "replace")

    @staticmethod
    def events(proc):
        out = []
        for line in proc.lines:
            if line.startswith("{"):
                out.append(json.loads(line))
        return out

    def probe(self, ts_file):
        r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,codec_type,width,height,"
                            "sample_rate:format=format_name,duration", "-of", "json", ts_file],
                           capture_output=True, text=True, timeout=60)
        check(r.returncode == 0, "ffprobe could not read the received stream", r.stderr)
        return json.loads(r.stdout)

    def check_received(self, ts_file, want, seconds):
        info = self.probe(ts_file)
        check(info["format"]["format_name"] == "mpegts", "received stream is not MPEG-TS", str(info))
        codecs = sorted(s["codec_name"] for s in info["streams"])
        check(codecs == sorted(want), "received streams %s, expected %s" % (codecs, want))
        duration = float(info["format"].get("duration", 0))
        check(abs(duration - seconds) < 0.6, "received %.2f s, expected about %.1f s" % (duration, seconds))
        for s in info["streams"]:
            if s["codec_type"] == "video":
                check((s.get("width"), s.get("height")) == (320, 240), "picture size %s" % s)

    # ---- cases --------------------------------------------------------------------
    def case_usage(self):
        p = self.run_engine([], "usage.log")
        code = p.wait(60)
        check(code == 1, "exit code %s, expected 1" % code)
        check(p.lines[:4] == ["Usage:",
                              "  kby_nuvix --input-file <json> --srt-url <url> [--line N] [--watch-pid PID]",
                              "  kby_nuvix --media-url <url> --srt-url <url>",
                              "  kby_nuvix --video-url <url> --audio-url <url> --srt-url <url>"],
              "usage text", "\n".join(p.lines))
        check(self.events(p) == [{"event": "error", "detail": "bad_arguments"}], "events", "\n".join(p.lines))
        check("--srt-url is required" in self.log_text("usage.log"), "log", self.log_text("usage.log"))

    def relay(self, name, inputs, want, seconds, listener_args=(), query=""):
        out = os.path.join(self.work, name + ".ts")
        listener, srt = self.start_listener(out, listener_args)
        try:
            p = self.run_engine(inputs + ["--srt-url", srt + query], name + ".log")
            code = p.wait(seconds + 60)
            check(code == 0, "exit code %s, expected 0" % code, self.log_text(name + ".log"))
            names = [e["event"] for e in self.events(p)]
            check(names == ["opening_inputs", "srt_connected", "running", "eof"], "events %s" % names)
            check(listener.wait(30) == 0, "the listener did not see the stream end")
        finally:
            listener.stop()
        self.check_received(out, want, seconds)

    def case_combined(self):
        self.relay("combined", ["--media-url", self.url("av_4s.mp4")], ["h264", "aac"], 4)

    def case_combined_hls(self):
        self.relay("combined_hls", ["--media-url", self.url("hls_4s/index.m3u8")], ["h264", "aac"], 4)

    def case_split(self):
        self.relay("split", ["--video-url", self.url("v_4s.mp4"), "--audio-url", self.url("a_4s.m4a")],
                   ["h264", "aac"], 4)

    def case_encrypted(self):
        # libsrt's encryption comes from the mbedtls built into libsrt.dll.
        secret = "wine-relay-secret"
        self.relay("encrypted", ["--media-url", self.url("av_4s.mp4")], ["h264", "aac"], 4,
                   ["--passphrase", secret], "&passphrase=" + secret + "&pbkeylen=32")

    def case_window_launch(self):
        # As the window starts it: an ingest input file in the temporary folder (the
        # engine reads and deletes it), --line 1 and --watch-pid of a living process.
        parent = Process([self.wine, self.helper, "sleep", "60000"], env=self.env)
        try:
            m = parent.wait_line(r"^pid (\d+)$", 60)
            check(m is not None, "the window stand-in did not start")
            input_file = os.path.join(self.work, "kby-nuvix-1.json")
            with open(input_file, "w") as f:
                f.write('{\n  "page_url": "https://example.invalid/watch",\n  "media_url": "%s"\n}\n'
                        % self.url("av_4s.mp4"))
            self.relay("window", ["--input-file", win_path(input_file), "--line", "1", "--watch-pid", m.group(1)],
                       ["h264", "aac"], 4)
            check(not os.path.exists(input_file), "the engine left the ingest input file behind")
            check("kby_nuvix start line=1 combined" in self.log_text("window.log"), "start line",
                  self.log_text("window.log"))
        finally:
            parent.stop()

    def failure(self, name, args, code, detail, log_text):
        p = self.run_engine(args, name + ".log")
        got = p.wait(90)
        log = self.log_text(name + ".log")
        check(got == code, "exit code %s, expected %d" % (got, code), log)
        events = self.events(p)
        check(events and events[-1] == {"event": "error", "detail": detail}, "last event %s" % events[-1:])
        check(re.search(log_text, log) is not None, "log has no %r" % log_text, log)

    def case_unreachable_input(self):
        listener, srt = self.start_listener(os.path.join(self.work, "unreachable.ts"))
        try:
            nobody = "http://127.0.0.1:%d/a.mp4" % closed_loopback_port()
            self.failure("unreachable", ["--media-url", nobody, "--srt-url", srt], 2, "input_open_failed",
                         r"avformat_open_input: ")
        finally:
            listener.stop()

    def case_no_listener(self):
        srt = "srt://127.0.0.1:%d?streamid=x" % closed_loopback_port()
        self.failure("no_listener", ["--media-url", self.url("av_4s.mp4"), "--srt-url", srt], 3,
                     "mux_open_failed", r"SRT connect failed: .*\n(.*\n)*.*SRT connection failed")

    def case_name_lookup(self):
        # A service name that no system knows: the lookup fails without asking any server.
        # Wine's message table has no text for that code (real Windows has), so the engine
        # names the code; a code it knows shows the system's text, without its line break.
        srt = "srt://127.0.0.1:no-such-service-nuvix?streamid=x"
        self.failure("name_lookup", ["--media-url", self.url("av_4s.mp4"), "--srt-url", srt], 3,
                     "mux_open_failed", r"SRT connect failed: getaddrinfo: \S[^\r\n]*\S")
        text = subprocess.run([self.wine, self.helper, "lookup-text", "11001"], env=self.env, timeout=60,
                              capture_output=True, text=True).stdout.strip()
        check(text == "[Host not found.]", "Winsock's text for WSAHOST_NOT_FOUND: %r" % text)

    def case_source_cut(self):
        out = os.path.join(self.work, "cut.ts")
        listener, srt = self.start_listener(out)
        try:
            self.failure("cut", ["--media-url", self.url("av_6s.ts", "cut/120000/"), "--srt-url", srt], 5,
                         "stream_failed", r"Input read failed: ")
        finally:
            listener.stop()

    def case_stop_event(self):
        out = os.path.join(self.work, "stop.ts")
        pid_file = os.path.join(self.work, "engine.pid")
        listener, srt = self.start_listener(out)
        try:
            p = self.run_engine(["--media-url", self.url("av_30s.mp4"), "--srt-url", srt], "stop.log", pid_file)
            check(p.wait_line(r'"event":"running"', 60) is not None, "the engine did not start running",
                  self.log_text("stop.log"))
            time.sleep(1.0)
            with open(pid_file) as f:
                pid = f.read().strip()
            # An event named after another number leaves the engine alone.
            wrong = subprocess.run([self.wine, self.stopper, "1" + pid], env=self.env, timeout=60,
                                   capture_output=True)
            check(wrong.returncode == 1, "setting a stop event that does not exist gave %d" % wrong.returncode)
            started = time.monotonic()
            setter = subprocess.run([self.wine, self.stopper, pid], env=self.env, timeout=60, capture_output=True)
            check(setter.returncode == 0, "kby_nuvix_stop %s: %d %s" % (pid, setter.returncode, setter.stderr))
            code = p.wait(20)
            took = time.monotonic() - started
            log = self.log_text("stop.log")
            check(code == 0, "exit code %s, expected 0" % code, log)
            check(re.search(r"exit 0x00000000", log) is not None, "Windows exit code", log)
            names = [e["event"] for e in self.events(p)]
            check(names == ["opening_inputs", "srt_connected", "running"], "events %s" % names)
            check("SRT closed, buffered TS dropped" in log, "no abort line", log)
            check(took < 10, "the stop took %.1f s" % took)
            listener.wait(30)
        finally:
            listener.stop()
        check(os.path.getsize(out) > 0, "nothing arrived before the stop")

    def case_watch_pid(self):
        out = os.path.join(self.work, "watch.ts")
        parent = Process([self.wine, self.helper, "sleep", "4000"], env=self.env)
        listener, srt = self.start_listener(out)
        try:
            m = parent.wait_line(r"^pid (\d+)$", 60)
            check(m is not None, "the process to watch did not start")
            p = self.run_engine(["--media-url", self.url("av_30s.mp4"), "--srt-url", srt, "--watch-pid", m.group(1)],
                            "watch.log")
            check(parent.wait(30) == 0, "the watched process did not end")
            ended = time.monotonic()
            code = p.wait(20)
            took = time.monotonic() - ended
            log = self.log_text("watch.log")
            check(code == 0, "exit code %s, expected 0" % code, log)
            names = [e["event"] for e in self.events(p)]
            check(names == ["opening_inputs", "srt_connected", "running"], "events %s" % names)
            check(took < 10, "the engine ended %.1f s after the watched process" % took)
            listener.wait(30)
        finally:
            parent.stop()
            listener.stop()

    def case_missing_libraries(self):
        # Without the library folder on the search path Windows refuses to start the engine
        # with 0xC0000135, the status the window recognises.
        env = dict(self.env)
        env.pop("WINEPATH")
        pid_file = os.path.join(self.work, "nolib.pid")
        err = open(os.path.join(self.work, "nolib.log"), "wb")
        p = Process([self.wine, self.helper, "run", win_path(pid_file), self.engine], env=env, stderr_file=err)
        p.wait(60)
        log = self.log_text("nolib.log")
        check("exit 0xc0000135" in log, "the engine started without its libraries", log)
        # kby_nuvix.cmd puts the library folder on PATH itself.
        script = os.path.join(os.path.dirname(self.engine), "kby_nuvix.cmd")
        r = subprocess.run([self.wine, "cmd", "/c", win_path(script), "--line=2"], env=env, timeout=60,
                           capture_output=True)
        out = r.stdout.decode("utf-8", "replace")
        check(r.returncode == 1 and out.startswith("Usage:"), "kby_nuvix.cmd: exit %d" % r.returncode,
              out + r.stderr.decode("utf-8", "replace"))

    def run(self):
        cases = [
            ("usage text and exit 1", self.case_usage),
            ("combined relay (mp4)", self.case_combined),
            ("combined relay (HLS)", self.case_combined_hls),
            ("split relay", self.case_split),
            ("encrypted relay (passphrase)", self.case_encrypted),
            ("launch as the window does (input file)", self.case_window_launch),
            ("unreachable input: exit 2", self.case_unreachable_input),
            ("no SRT listener: exit 3", self.case_no_listener),
            ("name lookup failure: Winsock text, exit 3", self.case_name_lookup),
            ("source cut: exit 5", self.case_source_cut),
            ("stop through the named event", self.case_stop_event),
            ("--watch-pid of a Windows process that ends", self.case_watch_pid),
            ("libraries missing: 0xC0000135; kby_nuvix.cmd", self.case_missing_libraries),
        ]
        for path in (self.engine, self.stopper, self.helper, os.path.join(self.linux_bin, "srt_test_listener")):
            check(os.path.exists(path), "missing %s (run make windows first)" % path)
        began = time.monotonic()
        print("windows-test: Wine prefix and test media", flush=True)
        prefix = subprocess.run([self.wine, "cmd", "/c", "exit"], env=self.env, timeout=300,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        check(prefix.returncode == 0, "Wine does not run", prefix.stderr.decode("utf-8", "replace"))
        self.make_media()
        self.start_http()
        failed = 0
        try:
            cases = [(name, case) for name, case in cases if self.only in name]
            for name, case in cases:
                t = time.monotonic()
                try:
                    case()
                    print("  ok    %-45s %5.1f s" % (name, time.monotonic() - t), flush=True)
                except (Failure, subprocess.TimeoutExpired, OSError) as e:
                    failed += 1
                    print("  FAIL  %-45s %5.1f s\n%s" % (name, time.monotonic() - t, e), flush=True)
                    self.kill_wine()
        finally:
            self.http.stop()
            self.kill_wine()
        print("windows-test: %d of %d cases passed in %.0f s (logs in %s)"
              % (len(cases) - failed, len(cases), time.monotonic() - began, self.work), flush=True)
        return 1 if failed else 0


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        return Suite(*sys.argv[1:]).run()
    except Failure as e:
        print("windows-test: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
