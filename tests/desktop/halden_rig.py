"""A headless desktop that end-to-end tests and the demo use to drive a real
GTK 3 app as a user would.

One HeadlessDesktop at a time per process: while it runs, os.environ points
at its display, session bus and sound server, and the module-level helpers
(AT-SPI, tray, audio players, screenshots) work on it.

  with HeadlessDesktop() as desk:
      app_process = desk.run_app(["halden"], desk.path("halden.log"))
      app = find_app(pid=app_process.pid)
      activate_menu_item(app, "Halden", "About Halden")

Needs the Debian packages xvfb, dbus (dbus-daemon), at-spi2-core, pulseaudio,
pulseaudio-utils, espeak-ng, imagemagick, xdotool, python3-pyatspi,
python3-dbus, python3-gi, gir1.2-gtk-3.0 (run with /usr/bin/python3).
"""

import ctypes
import json
import os
import re
import select
import shutil
import signal
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
import warnings
import wave

warnings.filterwarnings("ignore", category=DeprecationWarning, module=r"pyatspi")

SCREEN = "1600x1000x24"
GRACE_SECONDS = 5.0

# ---------------------------------------------------------------------------
# Polling


def wait_for(predicate, timeout, message, interval=0.05):
    """Calls predicate until it returns a truthy value, and returns that value.

    Raises AssertionError(message) after `timeout` seconds; `message` may be a
    callable that describes the state at that moment. Exceptions raised by the
    predicate count as "not yet" and the last one is quoted on failure.
    """
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = predicate()
            if value:
                return value
        except Exception as error:  # noqa: BLE001 - reported on timeout
            last_error = error
        if time.monotonic() >= deadline:
            text = message() if callable(message) else message
            if last_error is not None:
                text += f" (last error: {last_error!r})"
            raise AssertionError(f"{text} [waited {timeout:.1f} s]")
        time.sleep(interval)


# ---------------------------------------------------------------------------
# Child processes

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)
_prctl = _libc.prctl
_prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]


def _die_with_parent_preexec():
    parent = os.getpid()

    def preexec():
        # Runs in the forked child: the kernel kills it when the thread that
        # started it ends, so a killed test leaves nothing behind.
        _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:
            os._exit(127)

    return preexec


class Child:
    """A child process started by the rig; it dies with the test process."""

    def __init__(self, argv, env, log_path=None, cwd=None, stdout=None, stdin=None,
                 pass_fds=(), name=None):
        self.argv = list(argv)
        self.name = name or os.path.basename(self.argv[0])
        self.log_path = log_path
        log = open(log_path, "ab") if log_path else subprocess.DEVNULL
        try:
            self.popen = subprocess.Popen(
                self.argv, env=env, cwd=cwd,
                stdin=stdin if stdin is not None else subprocess.DEVNULL,
                stdout=stdout if stdout is not None else log,
                stderr=log, pass_fds=pass_fds, close_fds=True,
                preexec_fn=_die_with_parent_preexec())
        finally:
            if log_path:
                log.close()

    @property
    def pid(self):
        return self.popen.pid

    @property
    def returncode(self):
        return self.popen.poll()

    def running(self):
        return self.popen.poll() is None

    def send_signal(self, sig):
        if self.running():
            self.popen.send_signal(sig)

    def wait(self, timeout):
        """Waits for the child to end by itself; returns its exit status."""
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(
                f"{self.name} (pid {self.pid}) still runs after {timeout} s") from None

    def stop(self, grace=GRACE_SECONDS, sig=signal.SIGTERM):
        """Sends `sig`, then SIGKILL after `grace` seconds; returns the status."""
        _stop_all([self], grace, sig)
        return self.popen.returncode

    def kill(self):
        return self.stop(grace=0, sig=signal.SIGKILL)

    def log_text(self):
        if not self.log_path or not os.path.exists(self.log_path):
            return ""
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_log(self, text, timeout=10):
        """Waits until the child's log contains `text` (a str or a compiled
        regex); returns the log."""
        def found():
            log = self.log_text()
            hit = text.search(log) if hasattr(text, "search") else text in log
            return log if hit else None
        return wait_for(found, timeout, lambda: f"{self.name} log never showed {text!r}; "
                        f"log tail: {self.log_text()[-2000:]!r}")

    def __repr__(self):
        return f"<Child {self.name} pid={self.pid} rc={self.popen.poll()}>"


def _stop_all(children, grace, sig=signal.SIGTERM):
    children = [c for c in children if c is not None]
    for child in children:
        child.send_signal(sig)
    deadline = time.monotonic() + grace
    while any(c.running() for c in children) and time.monotonic() < deadline:
        time.sleep(0.02)
    for child in children:
        if child.running():
            child.popen.kill()
        try:
            child.popen.wait(5)
        except subprocess.TimeoutExpired:
            pass


def _read_line_from_fd(fd, timeout, what, process):
    """Reads one newline-terminated line from a pipe within `timeout`."""
    data = b""
    deadline = time.monotonic() + timeout
    while b"\n" not in data:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise RuntimeError(f"{what}: no ready line after {timeout} s; log: "
                               f"{process.log_text()[-2000:]!r}")
        ready, _, _ = select.select([fd], [], [], min(remaining, 0.1))
        if ready:
            chunk = os.read(fd, 4096)
            if not chunk:
                raise RuntimeError(f"{what} ended before its ready line "
                                   f"(status {process.popen.poll()}); log: "
                                   f"{process.log_text()[-2000:]!r}")
            data += chunk
    return data.split(b"\n", 1)[0].decode()


def processes_referring_to(root, include_cwd=True):
    """(pid, cmdline) of every process but this one and its ancestors whose
    command line, environment (or working directory) mentions `root`."""
    root_bytes = os.fsencode(root)
    mine = set()
    pid = os.getpid()
    while pid > 1:
        mine.add(pid)
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                pid = int(f.read().rsplit(b")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            break
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) in mine:
            continue
        hit = False
        cmdline = b""
        for part in ("cmdline", "environ"):
            try:
                with open(f"/proc/{entry}/{part}", "rb") as f:
                    data = f.read()
            except OSError:
                continue
            if part == "cmdline":
                cmdline = data
            if root_bytes in data:
                hit = True
        if not hit and include_cwd:
            try:
                cwd = os.readlink(f"/proc/{entry}/cwd")
                hit = cwd == root or cwd.startswith(root + "/")
            except OSError:
                pass
        if hit:
            found.append((int(entry), cmdline.replace(b"\0", b" ").decode("utf-8", "replace").strip()))
    return found


def _kill_pids(pids, grace):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    deadline = time.monotonic() + grace

    def alive(pid):
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                state = f.read().rsplit(b")", 1)[1].split()[0]
            return state != b"Z"
        except OSError:
            return False

    while any(alive(p) for p in pids) and time.monotonic() < deadline:
        time.sleep(0.02)
    for pid in pids:
        if alive(pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


# ---------------------------------------------------------------------------
# The desktop

_current = None

# Inherited variables that would point children at another desktop.
_DROPPED_ENV = re.compile(
    r"^(DISPLAY|WAYLAND_DISPLAY|WAYLAND_SOCKET|XAUTHORITY|DBUS_SESSION_BUS_ADDRESS|"
    r"DBUS_SESSION_BUS_PID|AT_SPI_BUS_ADDRESS|NO_AT_BRIDGE|GTK_A11Y|SESSION_MANAGER|"
    r"XDG_.*|PULSE_.*|GDK_BACKEND|DESKTOP_SESSION|GNOME_.*|KDE_.*)$")

PULSE_SCRIPT = """\
load-module module-native-protocol-unix auth-anonymous=1 socket={socket}
load-module module-null-sink sink_name=speakers
load-module module-null-sink sink_name=micsink
load-module module-remap-source source_name=mic master=micsink.monitor
set-default-sink speakers
set-default-source mic
"""


def current():
    """The running HeadlessDesktop (AssertionError when none runs)."""
    if _current is None:
        raise AssertionError("no HeadlessDesktop is running")
    return _current


class HeadlessDesktop:
    """Xvfb, a private D-Bus session (with AT-SPI), a private PulseAudio daemon
    and optionally a StatusNotifierWatcher, all under a private temp root."""

    def __init__(self, tray=True, screen=SCREEN, keep_root=None):
        self.tray = tray
        self.screen = screen
        self.keep_root = (os.environ.get("HALDEN_RIG_KEEP") == "1") if keep_root is None else keep_root
        self.root = None
        self.env = None
        self.display = None
        self.bus_address = None
        self.pulse_server = None
        self.swept = []  # (pid, cmdline) the final sweep had to end
        self.stopped_root = None
        self._xvfb = self._dbus = self._pulse = self._watcher = None
        self._children = []
        self._saved_environ = None
        self._bus = None

    # -- lifecycle

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def path(self, *parts):
        """A path inside the temp root."""
        return os.path.join(self.root, *parts)

    def start(self):
        global _current
        if _current is not None:
            raise RuntimeError("another HeadlessDesktop is running in this process")
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="halden-rig-"))
        _current = self
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self):
        for d in ("home", "data", "cache", "config", "runtime", "logs", "pulse-state"):
            os.makedirs(self.path(d), exist_ok=True)
        os.chmod(self.path("runtime"), 0o700)
        env = {k: v for k, v in os.environ.items() if not _DROPPED_ENV.match(k)}
        env.update(HOME=self.path("home"), XDG_DATA_HOME=self.path("data"),
                   XDG_CACHE_HOME=self.path("cache"), XDG_CONFIG_HOME=self.path("config"),
                   XDG_RUNTIME_DIR=self.path("runtime"), GDK_BACKEND="x11")
        self.env = env

        # Display.
        r, w = os.pipe()
        try:
            self._xvfb = Child(["Xvfb", "-displayfd", str(w), "-screen", "0", self.screen,
                                "-nolisten", "tcp", "-noreset"],
                               env, self.path("logs", "xvfb.log"), pass_fds=(w,), name="Xvfb")
            os.close(w)
            w = None
            number = _read_line_from_fd(r, 15, "Xvfb", self._xvfb).strip()
        finally:
            os.close(r)
            if w is not None:
                os.close(w)
        self.display = ":" + number
        env["DISPLAY"] = self.display

        # Session bus; activated services (the accessibility bus launcher)
        # inherit this environment, so they are found by the final sweep.
        r, w = os.pipe()
        try:
            self._dbus = Child(["dbus-daemon", "--session", "--nofork",
                                f"--address=unix:path={self.path('runtime', 'bus')}",
                                f"--print-address={w}"],
                               env, self.path("logs", "dbus.log"), pass_fds=(w,), name="dbus-daemon")
            os.close(w)
            w = None
            self.bus_address = _read_line_from_fd(r, 15, "dbus-daemon", self._dbus).strip()
        finally:
            os.close(r)
            if w is not None:
                os.close(w)
        env["DBUS_SESSION_BUS_ADDRESS"] = self.bus_address

        # Sound server.
        env["PULSE_RUNTIME_PATH"] = self.path("runtime", "pulse")
        env["PULSE_STATE_PATH"] = self.path("pulse-state")
        self.pulse_server = "unix:" + self.path("runtime", "pulse", "native")
        env["PULSE_SERVER"] = self.pulse_server
        self.pulse_start()

        # The test process talks to the same display, bus and sound server
        # (pyatspi reads these when first used).
        self._saved_environ = {k: os.environ.get(k) for k in
                               ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS",
                                "PULSE_SERVER", "NO_AT_BRIDGE", "WAYLAND_DISPLAY")}
        for k in ("AT_SPI_BUS_ADDRESS", "NO_AT_BRIDGE", "WAYLAND_DISPLAY"):
            os.environ.pop(k, None)
        os.environ.update(DISPLAY=self.display, DBUS_SESSION_BUS_ADDRESS=self.bus_address,
                          PULSE_SERVER=self.pulse_server)

        if self.tray:
            self.start_tray_watcher()

    def stop(self):
        """Stops everything it started (children, then PulseAudio, D-Bus,
        Xvfb), then ends any remaining process that refers to the root."""
        global _current
        if self.root is None:
            return
        try:
            if self._bus is not None:
                try:
                    self._bus.close()
                except Exception:  # noqa: BLE001
                    pass
                self._bus = None
            _stop_all(list(reversed(self._children)), GRACE_SECONDS)
            self._children = []
            if self._watcher is not None:
                _stop_all([self._watcher], GRACE_SECONDS)
            for daemon in (self._pulse, self._dbus, self._xvfb):
                if daemon is not None:
                    _stop_all([daemon], GRACE_SECONDS)
            # Services the session bus activated exit when it goes away; give
            # them a moment, then end the rest by PID.
            deadline = time.monotonic() + 2.0
            left = processes_referring_to(self.root)
            while left and time.monotonic() < deadline:
                time.sleep(0.05)
                left = processes_referring_to(self.root)
            for _ in range(3):
                if not left:
                    break
                self.swept.extend(left)
                _kill_pids([pid for pid, _ in left], GRACE_SECONDS)
                left = processes_referring_to(self.root)
        finally:
            if self._saved_environ is not None:
                for k, v in self._saved_environ.items():
                    if v is None:
                        os.environ.pop(k, None)
                    else:
                        os.environ[k] = v
                self._saved_environ = None
            _current = None
            if not self.keep_root:
                shutil.rmtree(self.root, ignore_errors=True)
            else:
                sys.stderr.write(f"halden_rig: kept {self.root}\n")
            self.stopped_root = self.root
            self.root = None

    # -- children

    def spawn(self, argv, log_path=None, env=None, cwd=None, **kwargs):
        """Starts a child with the desktop's environment (plus `env`)."""
        child_env = dict(self.env)
        if env:
            child_env.update(env)
        child = Child(argv, child_env, log_path, cwd=cwd or self.path("home"), **kwargs)
        self._children.append(child)
        return child

    def run_app(self, argv, log_path=None, env=None, cwd=None):
        """Starts the app under test; its stdout and stderr go to log_path."""
        return self.spawn(argv, log_path or self.path("logs", os.path.basename(argv[0]) + ".log"),
                          env=env, cwd=cwd)

    # -- sound server

    def pulse_start(self, timeout=15):
        """Starts the private PulseAudio daemon and waits until it answers."""
        if self._pulse is not None and self._pulse.running():
            raise RuntimeError("PulseAudio already runs")
        script = self.path("pulse.pa")
        with open(script, "w") as f:
            f.write(PULSE_SCRIPT.format(socket=self.path("runtime", "pulse", "native")))
        self._pulse = Child(["pulseaudio", "-n", "-F", script, "--daemonize=no", "--system=no",
                             "--use-pid-file=no", "--exit-idle-time=-1", "--disallow-exit",
                             "--disallow-module-loading=no", "--log-target=stderr",
                             "--log-level=warning"],
                            self.env, self.path("logs", "pulseaudio.log"), name="pulseaudio")
        wait_for(lambda: self._pulse.running() and self.pactl("info", check=False).returncode == 0,
                 timeout, lambda: f"PulseAudio did not answer; log: {self._pulse.log_text()[-2000:]!r}")
        info = self.pactl("info").stdout
        assert "Default Sink: speakers" in info and "Default Source: mic" in info, info

    def pulse_kill(self):
        """Kills the sound server at once, as a crash would."""
        if self._pulse is not None:
            self._pulse.kill()

    def pactl(self, *args, check=True):
        """Runs pactl against the private server; returns CompletedProcess."""
        result = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                                timeout=15)
        if check and result.returncode != 0:
            raise AssertionError(f"pactl {' '.join(args)} failed: {result.stderr.strip()}")
        return result

    # -- tray

    def start_tray_watcher(self, timeout=10):
        """Starts the StatusNotifierWatcher stand-in and waits until it owns
        org.kde.StatusNotifierWatcher."""
        if self._watcher is not None and self._watcher.running():
            return
        self._watcher = Child([sys.executable, os.path.abspath(__file__), "sni-watcher"],
                              self.env, self.path("logs", "sni-watcher.log"), name="sni-watcher")
        self._watcher.wait_log("watcher ready", timeout)

    def stop_tray_watcher(self):
        if self._watcher is not None:
            _stop_all([self._watcher], GRACE_SECONDS)
            self._watcher = None

    def session_bus(self):
        """A private python-dbus connection to the desktop's session bus."""
        if self._bus is None:
            import dbus
            self._bus = dbus.bus.BusConnection(self.bus_address)
        return self._bus


# ---------------------------------------------------------------------------
# Audio


def speak(text, voice, path, speed=None):
    """Writes `text` spoken by espeak-ng voice `voice` (e.g. "en-us") as WAV."""
    argv = ["espeak-ng", "-v", voice, "-w", path]
    if speed:
        argv += ["-s", str(speed)]
    subprocess.run(argv + ["--", text], check=True, capture_output=True, timeout=60)
    return path


def click_train(path, rate=48000, clicks=(0.5,), length=None, click_ms=1.0, level=1.0,
                channels=1):
    """Writes a 16-bit WAV of silence with a `click_ms` pulse at `level`
    (1.0: full scale) starting at each time in `clicks` (seconds). Returns the
    sample index of each click."""
    clicks = sorted(clicks)
    if length is None:
        length = (clicks[-1] if clicks else 0) + 0.5
    frames = int(round(length * rate))
    width = max(1, int(round(click_ms * rate / 1000)))
    value = int(round(32767 * level))
    samples = bytearray(frames * 2 * channels)
    starts = []
    for t in clicks:
        start = int(round(t * rate))
        if start >= frames:
            raise ValueError(f"click at {t} s is past the end ({length} s)")
        starts.append(start)
        for i in range(start, min(frames, start + width)):
            for c in range(channels):
                struct.pack_into("<h", samples, (i * channels + c) * 2, value)
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(samples))
    return starts


def play(path, sink, desktop=None):
    """Plays a WAV file into `sink` ("micsink": the microphone, "speakers":
    the computer's audio) with a low-latency player; returns the Child."""
    desk = desktop or current()
    return desk.spawn(["pacat", "--playback", "--latency-msec=20", "-d", sink,
                       "--file-format=wav", path],
                      desk.path("logs", "player.log"), name="pacat")


def record(source, path, rate=48000, channels=1, desktop=None):
    """Records `source` (e.g. "mic", "speakers.monitor") into a 16-bit WAV
    until the returned Child is stopped (SIGTERM ends it cleanly)."""
    desk = desktop or current()
    return desk.spawn(["parecord", "--latency-msec=20", "-d", source, "--file-format=wav",
                       "--format=s16le", f"--rate={rate}", f"--channels={channels}", path],
                      desk.path("logs", "recorder.log"), name="parecord")


def read_wav(path):
    """(rate, channels, samples as floats in [-1, 1], channel-interleaved)."""
    with wave.open(path, "rb") as w:
        assert w.getsampwidth() == 2, f"{path}: not 16-bit"
        rate, channels = w.getframerate(), w.getnchannels()
        raw = w.readframes(w.getnframes())
    count = len(raw) // 2
    return rate, channels, [s / 32768.0 for s in struct.unpack(f"<{count}h", raw[:count * 2])]


# ---------------------------------------------------------------------------
# Screenshots


def screenshot(path, desktop=None):
    """Saves the whole screen (ImageMagick `import -window root`)."""
    desk = desktop or current()
    subprocess.run(["import", "-window", "root", path], env=desk.env, check=True,
                   capture_output=True, timeout=30)
    return path


def xdotool(*args, desktop=None):
    """Runs xdotool on the desktop's display; returns its stdout."""
    desk = desktop or current()
    result = subprocess.run(["xdotool", *args], env=desk.env, capture_output=True, text=True,
                            timeout=15)
    if result.returncode != 0:
        raise AssertionError(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")
    return result.stdout


# ---------------------------------------------------------------------------
# The stand-in service


def devservice_binary():
    """The halden-devservice binary: $HALDEN_DEVSERVICE, else the usual build
    folders of this repository."""
    if os.environ.get("HALDEN_DEVSERVICE"):
        return os.environ["HALDEN_DEVSERVICE"]
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    for build in ("build", "build/test"):
        candidate = os.path.join(repo, build, "src", "devservice", "halden-devservice")
        if os.access(candidate, os.X_OK):
            return candidate
    raise AssertionError("halden-devservice not found: set HALDEN_DEVSERVICE")


def _drain(fd, log_path):
    with open(log_path, "ab") as log:
        while True:
            try:
                data = os.read(fd, 65536)
            except OSError:
                break
            if not data:
                break
            log.write(data)
            log.flush()
    os.close(fd)


class ControlError(AssertionError):
    def __init__(self, status, body, url):
        super().__init__(f"{url}: HTTP {status}: {body[:500]!r}")
        self.status = status
        self.body = body


class DevService:
    """The stand-in service as a child of the desktop, on a free port, with
    its data folder in the desktop's root; a small client for its control
    API."""

    READY = re.compile(r"^halden-devservice listening on (https?://\S+)$")

    def __init__(self, desktop=None, binary=None, sessions=(), args=(), data_dir=None):
        self.desktop = desktop or current()
        self.binary = binary or devservice_binary()
        self.sessions = list(sessions)
        self.args = list(args)
        self.data_dir = data_dir or self.desktop.path("devservice-data")
        self.process = None
        self.base_url = None
        self.port = None
        self._opener = urllib.request.build_opener(
            urllib.request.ProxyHandler({}),
            urllib.request.HTTPSHandler(context=ssl._create_unverified_context()))

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self, timeout=15):
        os.makedirs(self.data_dir, exist_ok=True)
        argv = [self.binary, "--port", "0", "--data", self.data_dir]
        for s in self.sessions:
            argv += ["--session", s]
        argv += self.args
        r, w = os.pipe()
        try:
            self.process = self.desktop.spawn(argv, self.desktop.path("logs", "devservice.log"),
                                              stdout=w, name="halden-devservice")
            os.close(w)
            w = None
            line = _read_line_from_fd(r, timeout, "halden-devservice", self.process)
        except BaseException:
            os.close(r)
            raise
        finally:
            if w is not None:
                os.close(w)
        # Anything else on stdout goes to the log (the pipe must never fill).
        threading.Thread(target=_drain, args=(r, self.process.log_path), daemon=True).start()
        match = self.READY.match(line)
        if not match:
            raise AssertionError(f"unexpected ready line from halden-devservice: {line!r}")
        self.base_url = match.group(1)
        self.port = urllib.parse.urlsplit(self.base_url).port
        return self.base_url

    def stop(self):
        """SIGTERM (SIGKILL after a grace period); returns the exit status."""
        if self.process is None:
            return None
        return self.process.stop()

    def url(self, path):
        return self.base_url + path

    def request(self, method, path, body=None, headers=None):
        """(status, headers, bytes) of a request to the service."""
        data = None
        headers = dict(headers or {})
        if body is not None:
            data = body if isinstance(body, bytes) else json.dumps(body).encode()
            headers.setdefault("Content-Type", "application/json")
        elif method == "POST":
            data = b""
        req = urllib.request.Request(self.url(path), data=data, method=method, headers=headers)
        try:
            with self._opener.open(req, timeout=30) as response:
                return response.status, dict(response.headers), response.read()
        except urllib.error.HTTPError as error:
            return error.code, dict(error.headers), error.read()

    def _control(self, method, path, body=None, allow_404=False):
        status, _, data = self.request(method, "/__control/" + path, body)
        if allow_404 and status == 404:
            return None
        if not 200 <= status < 300:
            raise ControlError(status, data.decode("utf-8", "replace"), path)
        return data

    def _json(self, method, path, body=None):
        return json.loads(self._control(method, path, body) or b"{}")

    def log(self):
        """Requests the service received, in arrival order (list of dicts)."""
        return self._json("GET", "log")["requests"]

    def chunks(self, meeting):
        """{sequence (int): sha256 hex} of the stored chunks of a meeting."""
        data = self._json("GET", "chunks?meeting=" + urllib.parse.quote(meeting))["chunks"]
        return {int(k): v for k, v in data.items()}

    def chunk(self, meeting, seq):
        """The stored bytes of one chunk, or None when none is stored."""
        return self._control("GET", f"chunk?meeting={urllib.parse.quote(meeting)}&sequence={seq}",
                             allow_404=True)

    def summaries(self):
        return self._json("GET", "summaries")["summaries"]

    def signins(self):
        return self._json("GET", "signins")["signins"]

    def approve(self, signin_id):
        self._control("POST", "approve", {"id": signin_id})

    def expire(self, signin_id):
        self._control("POST", "expire", {"id": signin_id})

    def fault(self, **definition):
        """Plans a fault, e.g. fault(path="/api/meetings/", kind="status",
        status=500, error="Disk full.", count=2)."""
        self._control("POST", "faults", definition)

    def faults(self):
        return self._json("GET", "faults")["faults"]

    def reset(self):
        self._control("POST", "reset")


# ---------------------------------------------------------------------------
# AT-SPI

_pyatspi = None
_atspi_address = None


def atspi():
    """The pyatspi module, bound to the running desktop's session bus.

    libatspi binds to the first accessibility bus it sees and never lets go,
    so only one desktop per process can use the AT-SPI helpers: give each
    such desktop a process of its own (one test file, one desktop)."""
    global _pyatspi, _atspi_address
    desk = current()
    if _atspi_address not in (None, desk.bus_address):
        raise AssertionError("pyatspi is bound to an earlier desktop of this process: "
                             "libatspi cannot switch buses; use one desktop per process")
    if _pyatspi is None:
        import pyatspi
        _pyatspi = pyatspi
    _atspi_address = desk.bus_address
    return _pyatspi


def _safe(fn, default=None):
    try:
        return fn()
    except Exception:  # noqa: BLE001 - objects vanish while we look
        return default


def _role(acc):
    return _safe(acc.getRole)


def _states(acc):
    return _safe(lambda: acc.getState(), None)


def _has(acc, state):
    s = _states(acc)
    return bool(s and s.contains(state))


def _children(acc):
    count = _safe(lambda: acc.childCount, 0) or 0
    out = []
    for i in range(count):
        child = _safe(lambda i=i: acc.getChildAtIndex(i))
        if child is not None:
            out.append(child)
    return out


def _descendants(acc, prune=None, limit=20000):
    """Depth-first, in tree order; `prune(acc)` True skips a subtree."""
    stack = list(reversed(_children(acc)))
    seen = 0
    while stack and seen < limit:
        node = stack.pop()
        seen += 1
        yield node
        if prune is not None and prune(node):
            continue
        stack.extend(reversed(_children(node)))


def _prune_web(acc):
    p = atspi()
    return _role(acc) in (p.ROLE_DOCUMENT_WEB, p.ROLE_DOCUMENT_FRAME, p.ROLE_EMBEDDED,
                          p.ROLE_INTERNAL_FRAME)


def describe(acc, depth=3, indent=""):
    """A text dump of an accessible subtree, for failure messages."""
    if acc is None:
        return indent + "<none>\n"
    p = atspi()
    line = f"{indent}[{_safe(acc.getRoleName, '?')}] {_safe(lambda: acc.name, '?')!r}"
    s = _states(acc)
    if s is not None:
        flags = [n for n, st in (("showing", p.STATE_SHOWING), ("enabled", p.STATE_ENABLED),
                                 ("default", p.STATE_IS_DEFAULT), ("visible", p.STATE_VISIBLE))
                 if s.contains(st)]
        line += " " + ",".join(flags)
    out = line + "\n"
    if depth > 0:
        for c in _children(acc):
            out += describe(c, depth - 1, indent + "  ")
    return out


def applications():
    """Names of the applications registered on the accessibility bus."""
    p = atspi()
    desktop = p.Registry.getDesktop(0)
    return [_safe(lambda a=a: a.name, "?") for a in _children(desktop)]


def find_app(name=None, timeout=15, pid=None):
    """The AT-SPI application called `name` (and/or with process id `pid`)."""
    p = atspi()

    def look():
        for app in _children(p.Registry.getDesktop(0)):
            if name is not None and _safe(lambda: app.name) != name:
                continue
            if pid is not None and _safe(app.get_process_id) != pid:
                continue
            return app
        return None

    return wait_for(look, timeout, lambda: f"no accessible application name={name!r} pid={pid}; "
                    f"registered: {applications()}")


def top_levels(app):
    return _children(app)


def window_titles(app):
    """Titles of the app's top-level windows AT-SPI reports as showing."""
    p = atspi()
    return [_safe(lambda w=w: w.name, "") for w in top_levels(app) if _has(w, p.STATE_SHOWING)]


def texts(acc):
    """Names of the labels (and static texts) inside `acc`, in tree order."""
    p = atspi()
    out = []
    for node in _descendants(acc, _prune_web):
        if _role(node) in (p.ROLE_LABEL, p.ROLE_STATIC) and _safe(lambda n=node: n.name):
            out.append(node.name)
    return out


def dialogs(app):
    """The app's showing alerts and dialogs."""
    p = atspi()
    kinds = (p.ROLE_ALERT, p.ROLE_DIALOG, p.ROLE_FILE_CHOOSER)
    return [w for w in top_levels(app) if _role(w) in kinds and _has(w, p.STATE_SHOWING)]


def wait_dialog(app, text_contains, timeout=10):
    """A showing alert or dialog whose title or labels contain `text_contains`."""
    def look():
        for d in dialogs(app):
            if any(text_contains in t for t in [_safe(lambda: d.name, "")] + texts(d)):
                return d
        return None

    return wait_for(look, timeout, lambda: f"no dialog showing {text_contains!r}; dialogs now: "
                    f"{[(_safe(lambda d=d: d.name), texts(d)) for d in dialogs(app)]}")


def wait_no_dialog(app, text_contains, timeout=10):
    """Waits until no showing dialog contains `text_contains`."""
    def gone():
        return not any(any(text_contains in t for t in [_safe(lambda d=d: d.name, "")] + texts(d))
                       for d in dialogs(app))
    wait_for(gone, timeout, f"a dialog showing {text_contains!r} is still open")


def _extents(acc):
    p = atspi()
    box = _safe(lambda: acc.queryComponent().getExtents(p.DESKTOP_COORDS))
    return (box.y, box.x) if box is not None else (0, 0)


def _push_buttons(dialog):
    p = atspi()
    found = [n for n in _descendants(dialog, _prune_web)
             if _role(n) in (p.ROLE_PUSH_BUTTON, p.ROLE_TOGGLE_BUTTON) and _has(n, p.STATE_SHOWING)]
    return sorted(found, key=_extents)  # stable: tree order breaks ties


def buttons(dialog):
    """Names of the dialog's showing buttons, top to bottom, left to right."""
    return [_safe(lambda b=b: b.name, "") for b in _push_buttons(dialog)]


def button(dialog, name):
    """The showing button called `name` in the dialog."""
    for b in _push_buttons(dialog):
        if _safe(lambda b=b: b.name) == name:
            return b
    raise AssertionError(f"no button {name!r}; buttons: {buttons(dialog)}")


def default_button(dialog):
    """Name of the button with state IS_DEFAULT, or None."""
    p = atspi()
    names = [b.name for b in _push_buttons(dialog) if _has(b, p.STATE_IS_DEFAULT)]
    assert len(names) <= 1, f"several default buttons: {names}"
    return names[0] if names else None


def press(acc, action="click"):
    """Performs the accessible's `action` (default "click") as a user would."""
    p = atspi()
    assert _has(acc, p.STATE_SENSITIVE) or _has(acc, p.STATE_ENABLED), \
        f"{_safe(lambda: acc.name)!r} is disabled"
    act = acc.queryAction()
    names = [act.getName(i) for i in range(act.nActions)]
    assert action in names, f"{_safe(lambda: acc.name)!r} has no action {action!r}: {names}"
    assert act.doAction(names.index(action)), f"{action!r} on {acc.name!r} was refused"


def answer(dialog, name):
    """Presses the dialog's button called `name`."""
    press(button(dialog, name))


def find_menu_bar(app, timeout=10):
    p = atspi()

    def look():
        for w in top_levels(app):
            for n in _descendants(w, _prune_web):
                if _role(n) == p.ROLE_MENU_BAR:
                    return n
        return None

    return wait_for(look, timeout, "the app has no accessible menu bar")


_ITEM_ROLES = None


def _item_roles():
    global _ITEM_ROLES
    if _ITEM_ROLES is None:
        p = atspi()
        _ITEM_ROLES = (p.ROLE_MENU_ITEM, p.ROLE_CHECK_MENU_ITEM, p.ROLE_RADIO_MENU_ITEM,
                       p.ROLE_MENU, p.ROLE_TEAROFF_MENU_ITEM, p.ROLE_SEPARATOR)
    return _ITEM_ROLES


def _menu_entries(menu):
    """Visible entries of a menu (GTK 3 lists hidden items too, without the
    VISIBLE state)."""
    p = atspi()
    return [c for c in _children(menu)
            if _role(c) in _item_roles() and _has(c, p.STATE_VISIBLE)]


def _entry(acc):
    p = atspi()
    if _role(acc) == p.ROLE_SEPARATOR:
        return ("", False, True)
    return (_safe(lambda: acc.name, ""), _has(acc, p.STATE_ENABLED), False)


def menu_bar(app):
    """[(menu name, enabled, [(item name, enabled, is_separator), ...]), ...];
    a separator reads ("", False, True); hidden items are left out; a submenu
    is an item whose name is followed by its own list in the next slot of a
    4-tuple (name, enabled, False, [...])."""
    def items(menu):
        out = []
        for c in _menu_entries(menu):
            entry = _entry(c)
            if _role(c) == atspi().ROLE_MENU:
                entry = entry + (items(c),)
            out.append(entry)
        return out

    return [(_safe(lambda m=m: m.name, ""), _has(m, atspi().STATE_ENABLED), items(m))
            for m in _menu_entries(find_menu_bar(app))]


def menu_item(app, menu_name, item_name):
    """The accessible of menu `menu_name`'s item `item_name` (a "/" in
    item_name walks into submenus: "Recent/First")."""
    bar = find_menu_bar(app)
    menus = [m for m in _menu_entries(bar) if _safe(lambda m=m: m.name) == menu_name]
    assert menus, f"no menu {menu_name!r}; menus: {[m.name for m in _menu_entries(bar)]}"
    node = menus[0]
    for part in item_name.split("/"):
        entries = _menu_entries(node)
        match = [c for c in entries if _safe(lambda c=c: c.name) == part]
        assert match, (f"menu {menu_name!r} has no item {part!r}; items: "
                       f"{[_entry(c)[0] for c in entries]}")
        node = match[0]
    return node


def activate_menu_item(app, menu_name, item_name):
    """Chooses an enabled menu item (AssertionError when it is disabled)."""
    item = menu_item(app, menu_name, item_name)
    p = atspi()
    assert _has(item, p.STATE_ENABLED), f"menu item {menu_name} > {item_name} is disabled"
    act = item.queryAction()
    assert act.nActions > 0, f"menu item {item_name!r} has no action"
    assert act.doAction(0), f"menu item {menu_name} > {item_name} refused to activate"


def menu_item_shortcut(app, menu_name, item_name):
    """The item's key equivalent as GTK reports it (e.g. "<Control>q"), or ""."""
    act = menu_item(app, menu_name, item_name).queryAction()
    binding = act.getKeyBinding(0) if act.nActions else ""
    return binding.split(";")[-1] if ";" in binding else ""


def focus_window(acc):
    """Gives X input focus to the top-level window around `acc` (there is no
    window manager, so nothing else does); returns its X window id."""
    p = atspi()
    window = acc
    while _role(window) not in (p.ROLE_FRAME, p.ROLE_DIALOG, p.ROLE_ALERT, p.ROLE_FILE_CHOOSER,
                                p.ROLE_WINDOW):
        window = window.parent
        assert window is not None, "no top-level window around the accessible"
    title = window.name
    pid = window.get_process_id()
    ids = xdotool("search", "--all", "--onlyvisible", "--pid", str(pid), "--name",
                  "^" + re.escape(title) + "$").split()
    assert ids, f"no X window titled {title!r} for pid {pid}"
    # The newest window with that title comes last.
    wid = ids[-1]
    xdotool("windowfocus", "--sync", wid)
    return wid


def click(acc, button=1):
    """Moves the pointer to the middle of `acc` on screen and clicks, as a
    user would (a real pointer event: counts as a user gesture in a web
    view)."""
    p = atspi()
    box = acc.queryComponent().getExtents(p.DESKTOP_COORDS)
    assert box.width > 0 and box.height > 0, f"{_safe(lambda: acc.name)!r} is not on screen"
    xdotool("mousemove", "--sync", str(box.x + box.width // 2), str(box.y + box.height // 2),
            "click", str(button))


def send_keys(acc, *keys):
    """Focuses the window around `acc` and sends xdotool key names to it,
    e.g. send_keys(window, "ctrl+q")."""
    focus_window(acc)
    xdotool("key", "--clearmodifiers", *keys)


def choose_folder(app, path, accept=None, timeout=10):
    """Answers a showing GtkFileChooserDialog in select-folder mode with
    `path` as a user would with the keyboard: Alt+Home leaves the "Recent"
    view (where the accept button stays insensitive and the location entry is
    ignored), Ctrl+L opens the location entry, the path is set through
    EditableText, then the accept button (`accept`, else the dialog's default
    button, else "Select"/"Open") is pressed."""
    p = atspi()

    def chooser():
        for d in dialogs(app):
            if _role(d) == p.ROLE_FILE_CHOOSER or any(
                    _role(n) == p.ROLE_FILE_CHOOSER for n in _descendants(d)):
                return d
        return None

    dialog = wait_for(chooser, timeout, lambda: f"no file chooser dialog; dialogs: "
                      f"{[_safe(lambda d=d: d.name) for d in dialogs(app)]}")
    if accept is None:
        accept = default_button(dialog)
        if accept is None:
            names = buttons(dialog)
            accept = next((n for n in ("Select", "Open") if n in names), None)
            assert accept, f"no accept button; buttons: {names}"

    def location_entry():
        for n in _descendants(dialog):
            if (_role(n) == p.ROLE_TEXT and _has(n, p.STATE_EDITABLE)
                    and _has(n, p.STATE_SHOWING)):
                return n
        return None

    focus_window(dialog)
    xdotool("key", "--clearmodifiers", "alt+Home")
    xdotool("key", "--clearmodifiers", "ctrl+l")
    entry = wait_for(location_entry, timeout,
                     lambda: "the file chooser's location entry did not open:\n"
                     + describe(dialog, 6))
    entry.queryEditableText().setTextContents(path)
    wait_for(lambda: entry.queryText().getText(0, -1) in (path, path.rstrip("/") + "/"), timeout,
             lambda: f"location entry reads {entry.queryText().getText(0, -1)!r}, not {path!r}")
    target = wait_for(lambda: (lambda b: b if _has(b, p.STATE_SENSITIVE) else None)(
        button(dialog, accept)), timeout, f"the file chooser's {accept!r} button stays disabled")
    press(target)
    wait_for(lambda: dialog not in dialogs(app), timeout, "the file chooser stayed open")


# ---------------------------------------------------------------------------
# Tray: a StatusNotifierWatcher stand-in (child process) and a host's view

WATCHER_NAME = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_IFACE = "org.kde.StatusNotifierItem"
MENU_IFACE = "com.canonical.dbusmenu"
PROPS_IFACE = "org.freedesktop.DBus.Properties"


def _run_watcher():
    import dbus
    import dbus.service
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()

    def log(*args):
        print(*args, flush=True)

    class Watcher(dbus.service.Object):
        def __init__(self):
            super().__init__(bus, WATCHER_PATH)
            self.items = []  # (item string, unique owner)
            self.hosts = []
            bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged",
                                    "org.freedesktop.DBus", "org.freedesktop.DBus",
                                    "/org/freedesktop/DBus")

        def owner_changed(self, name, old, new):
            if new:
                return
            for item, owner in list(self.items):
                if owner == name or item.split("/", 1)[0] == name:
                    self.items.remove((item, owner))
                    log("unregistered", item)
                    self.StatusNotifierItemUnregistered(item)
                    self.changed("RegisteredStatusNotifierItems")
            self.hosts = [(h, o) for h, o in self.hosts if o != name]

        def changed(self, prop):
            self.PropertiesChanged(WATCHER_NAME, {prop: self.props()[prop]}, [])

        def props(self):
            return {
                "RegisteredStatusNotifierItems": dbus.Array([i for i, _ in self.items],
                                                            signature="s"),
                "IsStatusNotifierHostRegistered": dbus.Boolean(True),
                "ProtocolVersion": dbus.Int32(0),
            }

        @dbus.service.method(WATCHER_NAME, in_signature="s", out_signature="",
                             sender_keyword="sender")
        def RegisterStatusNotifierItem(self, service, sender=None):
            if service.startswith("/"):
                name, path = sender, service
            else:
                name, path = service, "/StatusNotifierItem"
            owner = sender if name == sender else bus.get_name_owner(name)
            item = name + path
            log("register", repr(service), "from", sender, "->", item)
            if item not in [i for i, _ in self.items]:
                self.items.append((item, owner))
                self.StatusNotifierItemRegistered(item)
                self.changed("RegisteredStatusNotifierItems")

        @dbus.service.method(WATCHER_NAME, in_signature="s", out_signature="",
                             sender_keyword="sender")
        def RegisterStatusNotifierHost(self, service, sender=None):
            log("host", service, "from", sender)
            self.hosts.append((service, sender))
            self.StatusNotifierHostRegistered()

        @dbus.service.signal(WATCHER_NAME, signature="s")
        def StatusNotifierItemRegistered(self, item):
            pass

        @dbus.service.signal(WATCHER_NAME, signature="s")
        def StatusNotifierItemUnregistered(self, item):
            pass

        @dbus.service.signal(WATCHER_NAME, signature="")
        def StatusNotifierHostRegistered(self):
            pass

        @dbus.service.signal(WATCHER_NAME, signature="")
        def StatusNotifierHostUnregistered(self):
            pass

        @dbus.service.method(PROPS_IFACE, in_signature="ss", out_signature="v")
        def Get(self, interface, prop):
            if interface != WATCHER_NAME or prop not in self.props():
                raise dbus.exceptions.DBusException(
                    f"no property {interface}.{prop}",
                    name="org.freedesktop.DBus.Error.UnknownProperty")
            return self.props()[prop]

        @dbus.service.method(PROPS_IFACE, in_signature="s", out_signature="a{sv}")
        def GetAll(self, interface):
            return self.props() if interface == WATCHER_NAME else {}

        @dbus.service.method(PROPS_IFACE, in_signature="ssv", out_signature="")
        def Set(self, interface, prop, value):
            raise dbus.exceptions.DBusException(
                "read-only", name="org.freedesktop.DBus.Error.PropertyReadOnly")

        @dbus.service.signal(PROPS_IFACE, signature="sa{sv}as")
        def PropertiesChanged(self, interface, changed, invalidated):
            pass

    watcher = Watcher()
    # Own the name after the object is exported.
    name = dbus.service.BusName(WATCHER_NAME, bus, do_not_queue=True)
    assert name
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    log("watcher ready", bus.get_unique_name())
    loop.run()
    del watcher


def _split_item(item):
    name, _, path = item.partition("/")
    return name, "/" + path


def _item_props(item):
    import dbus
    bus = current().session_bus()
    name, path = _split_item(item)
    return dbus.Interface(bus.get_object(name, path, introspect=False), PROPS_IFACE)


def tray_items():
    """Items registered with the watcher ("busname/object/path" strings)."""
    import dbus
    bus = current().session_bus()
    props = dbus.Interface(bus.get_object(WATCHER_NAME, WATCHER_PATH, introspect=False),
                           PROPS_IFACE)
    return [str(i) for i in props.Get(WATCHER_NAME, "RegisteredStatusNotifierItems")]


def wait_tray_item(timeout=10):
    """The single registered tray item, once there is one."""
    items = wait_for(tray_items, timeout, "no tray item registered with the watcher")
    assert len(items) == 1, f"several tray items: {items}"
    return items[0]


def tray_property(item, prop):
    """A property of the item's org.kde.StatusNotifierItem interface."""
    value = _item_props(item).Get(ITEM_IFACE, prop)
    return _unwrap(value)


def tray_label(item):
    """The item's label (Ayatana: property XAyatanaLabel)."""
    return tray_property(item, "XAyatanaLabel")


def _unwrap(value):
    import dbus
    if isinstance(value, dbus.String) or isinstance(value, dbus.ObjectPath):
        return str(value)
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Int32, dbus.UInt32, dbus.Int64, dbus.UInt64, dbus.Int16,
                          dbus.UInt16, dbus.Byte)):
        return int(value)
    if isinstance(value, dbus.Array):
        return [_unwrap(v) for v in value]
    if isinstance(value, dbus.Struct):
        return tuple(_unwrap(v) for v in value)
    if isinstance(value, dbus.Dictionary):
        return {_unwrap(k): _unwrap(v) for k, v in value.items()}
    return value


def _menu_proxy(item):
    import dbus
    bus = current().session_bus()
    name, _ = _split_item(item)
    menu_path = tray_property(item, "Menu")
    return dbus.Interface(bus.get_object(name, menu_path, introspect=False), MENU_IFACE)


def strip_mnemonic(label):
    """"_Quit" -> "Quit"; "__" stands for "_"."""
    out, i = [], 0
    while i < len(label):
        if label[i] == "_" and i + 1 < len(label):
            out.append(label[i + 1])
            i += 2
        elif label[i] == "_":
            i += 1
        else:
            out.append(label[i])
            i += 1
    return "".join(out)


def _layout(item):
    _, layout = _menu_proxy(item).GetLayout(0, -1, [], signature="iias")
    return _unwrap(layout)


def _layout_entries(node):
    for child in node[2]:
        item_id, props, _ = child
        if not props.get("visible", True):
            continue
        yield child


def tray_menu(item):
    """[(label, enabled, is_separator), ...] of the tray menu's visible top
    level; mnemonics stripped; a separator reads ("", False, True)."""
    out = []
    for item_id, props, children in _layout_entries(_layout(item)):
        if props.get("type") == "separator":
            out.append(("", False, True))
        else:
            out.append((strip_mnemonic(props.get("label", "")), bool(props.get("enabled", True)),
                        False))
    return out


def tray_activate(item, label):
    """Clicks the tray menu entry `label` (mnemonics stripped) as a host would."""
    import dbus
    menu = _menu_proxy(item)
    entries = [(i, p) for i, p, _ in _layout_entries(_layout(item)) if p.get("type") != "separator"]
    match = [(i, p) for i, p in entries if strip_mnemonic(p.get("label", "")) == label]
    assert match, f"no tray menu entry {label!r}; entries: {[strip_mnemonic(p.get('label', '')) for _, p in entries]}"
    item_id, props = match[0]
    assert props.get("enabled", True), f"tray menu entry {label!r} is disabled"
    try:
        menu.AboutToShow(dbus.Int32(0))
    except dbus.exceptions.DBusException:
        pass
    menu.Event(dbus.Int32(item_id), "clicked", dbus.Int32(0, variant_level=1),
               dbus.UInt32(int(time.time()) & 0xFFFFFFFF), signature="isvu")


if __name__ == "__main__":
    if sys.argv[1:] == ["sni-watcher"]:
        _run_watcher()
    else:
        sys.exit("usage: halden_rig.py sni-watcher")
