#!/usr/bin/python3
"""Proves the desktop rig's pieces against a tiny GTK 3 stand-in app (no
Halden app needed): the headless desktop and its environment, audio routing,
the stand-in service client, AT-SPI menus, alerts and the folder chooser, the
tray watcher and its dbusmenu client, screenshots, and that nothing is left
running afterwards, even when the test process is killed."""

import hashlib
import io
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import halden_rig as rig  # noqa: E402

STANDIN = os.path.join(HERE, "standin_app.py")
MENU_BAR = [
    ("Stand-in", True, [
        ("About Stand-in", True, False),
        ("", False, True),
        ("Disabled Item", False, False),
        ("Show Alert", True, False),
        ("Choose Folder…", True, False),
        ("Set Tray Label", True, False),
        ("Hide Window", True, False),
        ("", False, True),
        ("Quit Stand-in", True, False),
    ]),
    ("Edit", True, [("Copy", True, False), ("Paste", True, False)]),
]
TRAY_MENU = [
    ("Open Window", True, False),
    ("", False, True),
    ("Disabled", False, False),
    ("Show Alert", True, False),
    ("Set Label", True, False),
    ("Quit", True, False),
]

# What the desktop class leaves for the final check.
_finished = {}


def clicks_in(samples, rate, threshold=0.5, gap=0.01):
    """Start times (s) of the bursts of samples above `threshold`."""
    times, last = [], None
    for i, s in enumerate(samples):
        if abs(s) >= threshold:
            if last is None or i - last > gap * rate:
                times.append(i / rate)
            last = i
    return times


def chunk_wav(seconds=0.25, rate=16000):
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(struct.pack(f"<{int(rate * seconds)}h",
                                  *[(i * 37) % 2000 - 1000 for i in range(int(rate * seconds))]))
    return buffer.getvalue()


class PiecesWithoutDesktop(unittest.TestCase):
    def test_click_train_has_pulses_where_asked(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "clicks.wav")
            starts = rig.click_train(path, rate=48000, clicks=[0.25, 1.0], length=1.5)
            rate, channels, samples = rig.read_wav(path)
            self.assertEqual((rate, channels, len(samples)), (48000, 1, 72000))
            self.assertEqual(starts, [12000, 48000])
            loud = [i for i, s in enumerate(samples) if s > 0.99]
            self.assertEqual(loud, list(range(12000, 12048)) + list(range(48000, 48048)))
            self.assertEqual(clicks_in(samples, rate), [0.25, 1.0])
            with self.assertRaises(ValueError):
                rig.click_train(path, clicks=[2.0], length=1.0)

    def test_mnemonics_are_stripped(self):
        self.assertEqual(rig.strip_mnemonic("_Quit Halden"), "Quit Halden")
        self.assertEqual(rig.strip_mnemonic("Show _Alert"), "Show Alert")
        self.assertEqual(rig.strip_mnemonic("snake__case"), "snake_case")
        self.assertEqual(rig.strip_mnemonic("Plain"), "Plain")

    def test_wait_for_reports_the_message_and_last_error(self):
        with self.assertRaisesRegex(AssertionError, r"never true .*ZeroDivisionError"):
            rig.wait_for(lambda: 1 / 0, 0.2, "never true")
        self.assertEqual(rig.wait_for(lambda: 42, 1, "x"), 42)

    def test_speak_writes_speech(self):
        with tempfile.TemporaryDirectory() as folder:
            path = rig.speak("one two three", "en-us", os.path.join(folder, "s.wav"))
            rate, channels, samples = rig.read_wav(path)
            self.assertGreater(len(samples) / rate, 0.5)
            self.assertGreater(max(abs(s) for s in samples), 0.05)


class DesktopRig(unittest.TestCase):
    """One desktop and one stand-in app for the class (libatspi binds to a
    single accessibility bus per process)."""

    @classmethod
    def setUpClass(cls):
        cls.started = time.monotonic()
        cls.desk = rig.HeadlessDesktop()
        cls.desk.start()
        cls.app_process = cls.desk.run_app([sys.executable, STANDIN],
                                           cls.desk.path("logs", "standin.log"))
        cls.app_process.wait_log("ready")
        cls.app = rig.find_app(pid=cls.app_process.pid)

    @classmethod
    def tearDownClass(cls):
        root = cls.desk.root
        started = {c.pid for c in cls.desk._children}
        for daemon in (cls.desk._xvfb, cls.desk._dbus, cls.desk._pulse, cls.desk._watcher):
            if daemon is not None:
                started.add(daemon.pid)
        cls.desk.stop()
        _finished.update(root=root, swept=cls.desk.swept, started=started,
                         app_status=cls.app_process.returncode)

    def log(self):
        return self.app_process.log_text()

    def wait_line(self, line, after=0):
        """Waits for a stdout line of the stand-in after log offset `after`."""
        return rig.wait_for(lambda: line in self.log()[after:].splitlines(), 10,
                            lambda: f"stand-in never printed {line!r}; log: {self.log()[after:]!r}")

    # -- desktop and environment

    def test_environment_is_private(self):
        d = self.desk
        for key in ("HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME",
                    "XDG_RUNTIME_DIR"):
            self.assertTrue(d.env[key].startswith(d.root + "/"), key)
            self.assertTrue(os.path.isdir(d.env[key]), key)
        self.assertEqual(os.stat(d.env["XDG_RUNTIME_DIR"]).st_mode & 0o777, 0o700)
        self.assertEqual(os.environ["DISPLAY"], d.display)
        self.assertEqual(os.environ["DBUS_SESSION_BUS_ADDRESS"], d.bus_address)
        self.assertIn(d.root, d.bus_address)
        # The app really runs with it.
        with open(f"/proc/{self.app_process.pid}/environ", "rb") as f:
            app_env = dict(e.split("=", 1) for e in f.read().decode().split("\0") if "=" in e)
        for key in ("HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "DISPLAY",
                    "DBUS_SESSION_BUS_ADDRESS"):
            self.assertEqual(app_env.get(key), d.env[key], key)

    def test_display_has_the_screen_size(self):
        self.assertEqual(rig.xdotool("getdisplaygeometry").split(), ["1600", "1000"])

    def test_session_bus_is_private_and_has_the_watcher(self):
        import dbus
        bus = self.desk.session_bus()
        names = [str(n) for n in bus.list_names()]
        self.assertIn("org.kde.StatusNotifierWatcher", names)
        self.assertIn("org.a11y.Bus", names)  # activated for the GTK app

    def test_pulse_has_the_devices_and_defaults(self):
        d = self.desk
        info = d.pactl("info").stdout
        self.assertIn("Default Sink: speakers", info)
        self.assertIn("Default Source: mic", info)
        sinks = [line.split("\t")[1] for line in d.pactl("list", "short", "sinks").stdout.splitlines()]
        self.assertEqual(sorted(sinks), ["micsink", "speakers"])
        sources = [line.split("\t")[1]
                   for line in d.pactl("list", "short", "sources").stdout.splitlines()]
        self.assertIn("mic", sources)
        self.assertIn("speakers.monitor", sources)

    # -- audio

    def test_microphone_and_computer_audio_are_routed_apart(self):
        d = self.desk
        mic_file, system_file = d.path("rec-mic.wav"), d.path("rec-system.wav")
        mic = rig.record("mic", mic_file)
        system = rig.record("speakers.monitor", system_file)
        # Null sinks pre-render ~2 s on PulseAudio: wait for data to flow.
        for path in (mic_file, system_file):
            rig.wait_for(lambda p=path: os.path.exists(p) and os.path.getsize(p) > 44 + 9600, 10,
                         f"no audio recorded into {path}")
        clicks = d.path("clicks.wav")
        rig.click_train(clicks, rate=48000, clicks=[0.2, 0.5, 0.9], length=1.2)
        speech = rig.speak("the computer is talking", "en-us", d.path("speech.wav"))
        _, _, speech_samples = rig.read_wav(speech)
        self.assertLess(max(abs(s) for s in speech_samples), 0.9)
        into_mic = rig.play(clicks, "micsink")
        self.assertEqual(into_mic.wait(15), 0, into_mic.log_text())
        into_speakers = rig.play(speech, "speakers")
        self.assertEqual(into_speakers.wait(15), 0, into_speakers.log_text())
        time.sleep(0.3)  # the recorders' last fragments
        self.assertEqual(mic.stop(), 0)
        self.assertEqual(system.stop(), 0)

        rate, _, heard = rig.read_wav(mic_file)
        times = clicks_in(heard, rate)
        self.assertEqual(len(times), 3, f"clicks heard on the microphone at {times}")
        self.assertAlmostEqual(times[1] - times[0], 0.3, delta=0.002)
        self.assertAlmostEqual(times[2] - times[1], 0.4, delta=0.002)
        quiet = [s for i, s in enumerate(heard)
                 if all(abs(i / rate - t) > 0.01 for t in times)]
        self.assertLess(max(abs(s) for s in quiet), 0.01, "speech leaked into the microphone")

        rate, _, system_heard = rig.read_wav(system_file)
        self.assertGreater(max(abs(s) for s in system_heard), 0.05, "no speech on the speakers")
        self.assertLess(max(abs(s) for s in system_heard), 0.95, "clicks leaked into the speakers")

    # -- stand-in service

    def test_devservice_client(self):
        service = rig.DevService(self.desk, sessions=["rig-session"])
        service.start()
        try:
            self.assertRegex(service.base_url, r"^http://127\.0\.0\.1:\d+$")
            status, _, page = service.request("GET", "/clients/workspace")
            self.assertEqual(status, 200)
            self.assertIn(b"haldenDesktop", page)

            body = chunk_wav()
            cookie = {"Cookie": "authjs.session-token=rig-session", "Content-Type": "audio/wav"}
            status, _, answer = service.request("POST", "/api/meetings/m-1/audio?sequence=0",
                                                body, cookie)
            self.assertEqual((status, json.loads(answer)), (200, {"ok": True, "sequence": 0}))
            self.assertEqual(service.chunks("m-1"), {0: hashlib.sha256(body).hexdigest()})
            self.assertEqual(service.chunk("m-1", 0), body)
            self.assertIsNone(service.chunk("m-1", 1))
            status, _, _ = service.request("POST", "/api/meetings/m-1",
                                           {"action": "summarize", "expectedChunks": 1},
                                           {"Cookie": "authjs.session-token=rig-session"})
            self.assertEqual(status, 200)
            self.assertEqual(service.summaries(), [{"meetingId": "m-1", "expectedChunks": 1}])

            status, _, begun = service.request("POST", "/api/desktop/signin", {"action": "begin"})
            begun = json.loads(begun)
            self.assertEqual(status, 200)
            self.assertEqual([(s["id"], s["approved"]) for s in service.signins()],
                             [(begun["id"], False)])
            service.approve(begun["id"])
            self.assertEqual([s["approved"] for s in service.signins()], [True])
            with self.assertRaises(rig.ControlError):
                service.approve("no-such-request")

            paths = [(r["method"], r["path"]) for r in service.log()]
            self.assertEqual(paths, [("GET", "/clients/workspace"),
                                     ("POST", "/api/meetings/m-1/audio"),
                                     ("POST", "/api/meetings/m-1"),
                                     ("POST", "/api/desktop/signin")])
            self.assertTrue(os.path.exists(os.path.join(service.data_dir, "m-1", "chunk-0.wav")))

            service.fault(path="/api/meetings/", kind="status", status=503, error="Busy.")
            self.assertEqual(len(service.faults()), 1)
            status, _, answer = service.request("POST", "/api/meetings/m-1/audio?sequence=1",
                                                body, cookie)
            self.assertEqual((status, json.loads(answer)), (503, {"error": "Busy."}))

            service.reset()
            self.assertEqual((service.log(), service.chunks("m-1"), service.summaries(),
                              service.signins(), service.faults()), ([], {}, [], [], []))
        finally:
            self.assertEqual(service.stop(), 0)

    # -- AT-SPI

    def test_app_is_found_by_name_and_pid(self):
        self.assertEqual(rig.find_app("rig-standin").get_process_id(), self.app_process.pid)
        with self.assertRaisesRegex(AssertionError, "no accessible application"):
            rig.find_app("no-such-app", timeout=0.5)

    def test_menu_bar_lists_menus_separators_and_disabled_items(self):
        self.assertEqual(rig.menu_bar(self.app), MENU_BAR)
        self.assertEqual(rig.menu_item_shortcut(self.app, "Stand-in", "Quit Stand-in"),
                         "<Primary>q")
        self.assertEqual(rig.menu_item_shortcut(self.app, "Stand-in", "Show Alert"), "")

    def test_menu_item_activation(self):
        start = len(self.log())
        rig.activate_menu_item(self.app, "Edit", "Paste")
        self.wait_line("paste", start)
        self.assertNotIn("copy", self.log()[start:].splitlines())
        with self.assertRaisesRegex(AssertionError, "disabled"):
            rig.activate_menu_item(self.app, "Stand-in", "Disabled Item")
        with self.assertRaisesRegex(AssertionError, "no item 'Hidden Item'"):
            rig.activate_menu_item(self.app, "Stand-in", "Hidden Item")
        with self.assertRaisesRegex(AssertionError, "no menu 'View'"):
            rig.activate_menu_item(self.app, "View", "Zoom")

    def test_pointer_click_and_keys(self):
        start = len(self.log())
        frame = rig.top_levels(self.app)[0]
        rig.click(rig.button(frame, "Say Hello"))
        self.wait_line("hello", start)
        rig.send_keys(frame, "ctrl+c")
        self.wait_line("copy", start)

    def test_alert_buttons_default_and_answer(self):
        start = len(self.log())
        rig.activate_menu_item(self.app, "Stand-in", "Show Alert")
        dialog = rig.wait_dialog(self.app, "Stop the recording?")
        self.assertEqual(dialog.getRole(), rig.atspi().ROLE_ALERT)
        self.assertEqual(rig.texts(dialog), ["Stop the recording?",
                                             "What was recorded so far is kept."])
        self.assertEqual(rig.wait_dialog(self.app, "so far is kept").name, dialog.name)
        self.assertEqual(rig.buttons(dialog), ["Stop", "Keep Recording", "Discard"])
        self.assertEqual(rig.default_button(dialog), "Stop")
        with self.assertRaisesRegex(AssertionError, "no dialog showing 'Nothing like this'"):
            rig.wait_dialog(self.app, "Nothing like this", timeout=0.3)
        rig.answer(dialog, "Keep Recording")
        self.wait_line("alert response 2", start)
        rig.wait_no_dialog(self.app, "Stop the recording?")
        self.assertEqual(rig.dialogs(self.app), [])

    def test_window_titles_follow_hide_and_show(self):
        self.assertEqual(rig.window_titles(self.app), ["Rig Stand-in"])
        start = len(self.log())
        rig.activate_menu_item(self.app, "Stand-in", "Hide Window")
        self.wait_line("window hidden", start)
        rig.wait_for(lambda: rig.window_titles(self.app) == [], 5,
                     lambda: f"titles after hiding: {rig.window_titles(self.app)}")
        rig.tray_activate(rig.wait_tray_item(), "Open Window")
        self.wait_line("window shown", start)
        rig.wait_for(lambda: rig.window_titles(self.app) == ["Rig Stand-in"], 5,
                     lambda: f"titles after showing: {rig.window_titles(self.app)}")

    def test_choose_folder(self):
        folder = self.desk.path("home", "Chosen Folder")
        os.makedirs(folder)
        start = len(self.log())
        rig.activate_menu_item(self.app, "Stand-in", "Choose Folder…")
        self.wait_line("chooser shown", start)
        rig.choose_folder(self.app, folder)
        self.wait_line(f"folder chosen {folder}", start)

    # -- tray

    def test_tray_item_label_menu_and_activation(self):
        item = rig.wait_tray_item()
        self.assertEqual(rig.tray_items(), [item])
        self.assertEqual(rig.tray_property(item, "Id"), "rig-standin")
        self.assertEqual(rig.tray_property(item, "Status"), "Active")
        self.assertEqual(rig.tray_menu(item), TRAY_MENU)
        with self.assertRaisesRegex(AssertionError, "disabled"):
            rig.tray_activate(item, "Disabled")
        with self.assertRaisesRegex(AssertionError, "no tray menu entry 'Hidden'"):
            rig.tray_activate(item, "Hidden")

        start = len(self.log())
        rig.tray_activate(item, "Show Alert")
        dialog = rig.wait_dialog(self.app, "Stop the recording?")
        rig.press(rig.button(dialog, rig.default_button(dialog)))
        self.wait_line("alert response 1", start)
        rig.wait_no_dialog(self.app, "Stop the recording?")

        label = rig.tray_label(item)
        rig.tray_activate(item, "Set Label")
        self.wait_line("tray label set", start)
        rig.wait_for(lambda: rig.tray_label(item) == "● Recording", 5,
                     lambda: f"tray label is {rig.tray_label(item)!r}")
        self.assertEqual(label, "Stand-in")

    # -- screenshots

    def test_screenshot_of_the_whole_screen(self):
        path = self.desk.path("screen.png")
        rig.screenshot(path)
        with open(path, "rb") as f:
            head = f.read(24)
        self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(struct.unpack(">II", head[16:24]), (1600, 1000))
        colours = subprocess.run(["identify", "-format", "%k", path], capture_output=True,
                                 text=True, check=True).stdout
        self.assertGreater(int(colours), 2, "the screenshot shows no window")

    # -- children

    def test_child_that_ignores_sigterm_is_killed(self):
        child = self.desk.spawn([sys.executable, "-c",
                                 "import signal, time; signal.signal(signal.SIGTERM, signal.SIG_IGN);"
                                 "print('armed', flush=True); time.sleep(60)"],
                                self.desk.path("logs", "stubborn.log"))
        child.wait_log("armed")
        started = time.monotonic()
        self.assertEqual(child.stop(grace=0.5), -signal.SIGKILL)
        self.assertLess(time.monotonic() - started, 3)


class NothingLeftBehind(unittest.TestCase):
    def test_after_the_desktop_stopped(self):
        self.assertIn("root", _finished, "the desktop class did not run")
        root = _finished["root"]
        left = rig.processes_referring_to(root)
        rig._kill_pids([pid for pid, _ in left], 2)
        self.assertEqual(left, [])
        self.assertFalse(os.path.exists(root))
        self.assertEqual(_finished["app_status"], 0, "the stand-in did not end on SIGTERM")
        # Whatever the final sweep had to end was started by the session bus,
        # never by the rig itself.
        self.assertFalse({pid for pid, _ in _finished["swept"]} & _finished["started"],
                         _finished["swept"])
        if _finished["swept"]:
            sys.stderr.write(f"\nswept after the desktop stopped: {_finished['swept']}\n")

    def test_when_the_test_process_is_killed(self):
        # A child test process builds a desktop with the stand-in app, a
        # player and the service, then dies by SIGKILL: no cleanup runs.
        script = (
            "import sys, time\n"
            f"sys.path.insert(0, {HERE!r})\n"
            "import halden_rig as rig\n"
            "d = rig.HeadlessDesktop(keep_root=True).start()\n"
            f"app = d.run_app([sys.executable, {STANDIN!r}])\n"
            "app.wait_log('ready')\n"
            "rig.wait_tray_item()\n"
            "rig.DevService(d).start()\n"
            "rig.click_train(d.path('c.wav'), clicks=[1], length=30)\n"
            "rig.play(d.path('c.wav'), 'speakers')\n"
            "print(d.root, d.display, flush=True)\n"
            "time.sleep(120)\n")
        process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                   text=True)
        root = display = None
        try:
            with process.stdout:
                line = process.stdout.readline().split()
            self.assertEqual(len(line), 2, "the child test process did not set up")
            root, display = line

            def everything_runs():
                running = " ".join(cmd for _, cmd in rig.processes_referring_to(root))
                return all(name in running for name in (
                    "Xvfb", "dbus-daemon --session", "pulseaudio", "sni-watcher", "standin_app",
                    "halden-devservice", "pacat", "at-spi-bus-launcher", "at-spi2-registryd"))

            rig.wait_for(everything_runs, 10, lambda: "the child's desktop is incomplete: "
                         f"{rig.processes_referring_to(root)}")
        finally:
            process.kill()
            process.wait()
        if root is None:
            return
        try:
            rig.wait_for(lambda: not rig.processes_referring_to(root), 10,
                         lambda: f"left behind: {rig.processes_referring_to(root)}")
        finally:
            # After a failure, do not leave the mess for the next test.
            rig._kill_pids([pid for pid, _ in rig.processes_referring_to(root)], 2)
            shutil.rmtree(root, ignore_errors=True)
            remove_stale_x_lock(display)


def remove_stale_x_lock(display):
    """A killed Xvfb leaves its lock and socket; remove them only while the
    lock still names a dead process."""
    number = display.lstrip(":")
    lock = f"/tmp/.X{number}-lock"
    try:
        with open(lock) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return
    if os.path.exists(f"/proc/{pid}"):
        return
    for stale in (lock, f"/tmp/.X11-unix/X{number}"):
        try:
            os.unlink(stale)
        except OSError:
            pass


def load_tests(loader, tests, pattern):
    suite = unittest.TestSuite()
    for case in (PiecesWithoutDesktop, DesktopRig, NothingLeftBehind):
        suite.addTests(loader.loadTestsFromTestCase(case))
    return suite


if __name__ == "__main__":
    # warnings=False keeps the module's filter for pyatspi's deprecation noise.
    unittest.main(verbosity=2, warnings=False)
