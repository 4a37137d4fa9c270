"""A private headless desktop on which Halden runs as on a user's machine.

HeadlessDesktop starts, in a temporary folder of its own: an X server
(Xvfb), a D-Bus session with the accessibility bus, a PulseAudio daemon whose
default output is the null sink "speakers" and whose default input "mic" is
fed by the null sink "micsink", the stand-ins for the desktop's URL handlers
(browser, mail client, file manager: each URL opened lands in a log), a
session manager that records inhibitors, a notification service that
records notifications, and a StatusNotifier watcher that the tray item
registers with. Everything it starts it stops again, children
first; a child dies with this process too.

The accessibility helpers (`Ui`) drive the application as a user would:
they read menus, dialogs and the page through AT-SPI and press their
buttons. Import this module, make a HeadlessDesktop, then call
`desktop.ui()`: pyatspi connects to the bus of the desktop that was started
first in this process.
"""
import io
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import desktop_standins  # noqa: E402


def _die_with_parent():
    import ctypes
    ctypes.CDLL('libc.so.6', use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def descendants(pid):
    """`pid` and every process below it."""
    children = {}
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            try:
                with open('/proc/%s/stat' % entry) as f:
                    parent = int(f.read().rsplit(')', 1)[1].split()[1])
                children.setdefault(parent, []).append(int(entry))
            except OSError:
                pass
    found, queue = [], [pid]
    while queue:
        current = queue.pop()
        found.append(current)
        queue.extend(children.get(current, []))
    return found


def wav_samples(data):
    """The 16-bit samples of a 16 kHz mono WAV file's bytes, as the service
    receives each chunk."""
    with wave.open(io.BytesIO(data)) as chunk:
        assert (chunk.getnchannels(), chunk.getsampwidth(), chunk.getframerate()) == (1, 2, 16000)
        frames = chunk.readframes(chunk.getnframes())
    return list(struct.unpack('<%dh' % (len(frames) // 2), frames))


def pulses(samples, rate=16000):
    """(time, sign) of each pulse above a quarter of full scale."""
    found = []
    i = 0
    while i < len(samples):
        if abs(samples[i]) > 8000:
            window = samples[i:i + 40]
            peak = max(range(len(window)), key=lambda k: abs(window[k]))
            found.append(((i + peak) / rate, 1 if window[peak] > 0 else -1))
            i += rate // 100
        else:
            i += 1
    return found


def wait_for(check, timeout=20.0, what='condition', interval=0.05):
    """Polls `check` until it returns something true; returns that."""
    deadline = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            raise TimeoutError('timed out after %.0f s waiting for %s' % (timeout, what))
        time.sleep(interval)


class HeadlessDesktop:
    # The devices of its sound server, in PulseAudio's command syntax.
    SOUND_DEVICES = [
        'module-null-sink sink_name=speakers',
        'module-null-sink sink_name=micsink',
        'module-remap-source source_name=mic master=micsink.monitor',
    ]

    def __init__(self, keep=False, sound_server='pulseaudio'):
        # Kept after stop() when `keep` is set (logs, for a look afterwards).
        self.keep = keep
        # 'pulseaudio', or 'pipewire' with its session manager and pulse server.
        self.sound_server = sound_server
        self.root = tempfile.mkdtemp(prefix='halden-desktop-')
        self.children = []  # (name, Popen), in start order
        home = os.path.join(self.root, 'home')
        runtime = os.path.join(self.root, 'runtime')
        for folder in (home, runtime):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        self.env = {
            'PATH': os.environ.get('PATH', '/usr/bin:/bin'),
            'HOME': home,
            'XDG_RUNTIME_DIR': runtime,
            'XDG_DATA_HOME': os.path.join(home, '.local', 'share'),
            'XDG_CONFIG_HOME': os.path.join(home, '.config'),
            'XDG_CACHE_HOME': os.path.join(home, '.cache'),
            'LANG': 'C.UTF-8',
            'NO_AT_BRIDGE': '0',
            'GTK_A11Y': 'atspi',
        }
        self.opened_log = os.path.join(self.root, 'opened-urls.log')
        self.inhibit_log = os.path.join(self.root, 'inhibitors.log')
        self.tray_log = os.path.join(self.root, 'tray.log')
        self.notification_log = os.path.join(self.root, 'notifications.log')

    # -- life cycle

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self._start_x()
        self._start_dbus()
        self._start_accessibility()
        desktop_standins.install_url_handlers(self.env['XDG_DATA_HOME'],
                                              self.env['XDG_CONFIG_HOME'], self.opened_log)
        self._start_standin('session-manager', desktop_standins.SESSION_MANAGER, self.inhibit_log)
        self._start_standin('tray-watcher', desktop_standins.TRAY_WATCHER, self.tray_log)
        self._start_standin('notifications', desktop_standins.NOTIFICATIONS, self.notification_log)
        self._start_pulse()
        # This process is the accessibility client: it talks to the same
        # display and bus as everything it started.
        for key in ('DISPLAY', 'DBUS_SESSION_BUS_ADDRESS', 'AT_SPI_BUS_ADDRESS', 'XDG_RUNTIME_DIR'):
            os.environ[key] = self.env[key]

    def stop(self):
        if getattr(self, '_display', None) is not None:
            self._display.close()
            self._display = None
        for name, child in reversed(self.children):
            if child.poll() is None:
                child.terminate()
        deadline = time.monotonic() + 5
        for name, child in reversed(self.children):
            try:
                child.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
            for stream in (child.stdin, child.stdout, child.stderr):
                if stream:
                    stream.close()
        self.children = []
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def spawn(self, name, argv, log=None, env=None, **kwargs):
        """Starts a child with the desktop's environment; it dies with us."""
        out = open(log, 'ab') if log else subprocess.DEVNULL
        child = subprocess.Popen(argv, env={**self.env, **(env or {})}, stdout=kwargs.pop('stdout', out),
                                 stderr=kwargs.pop('stderr', out), preexec_fn=_die_with_parent,
                                 **kwargs)
        if log:
            out.close()
        self.children.append((name, child))
        return child

    def _start_x(self):
        read, write = os.pipe()
        self.spawn('xvfb', ['Xvfb', '-displayfd', str(write), '-screen', '0', '1600x1000x24',
                            '-nolisten', 'tcp'], pass_fds=(write,),
                   log=os.path.join(self.root, 'xvfb.log'))
        os.close(write)
        with os.fdopen(read) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError('Xvfb did not start; see ' + os.path.join(self.root, 'xvfb.log'))
        self.env['DISPLAY'] = ':' + number

    def _start_dbus(self):
        read, write = os.pipe()
        self.spawn('dbus', ['dbus-daemon', '--session', '--nofork', '--nopidfile',
                            '--print-address=%d' % write], pass_fds=(write,),
                   log=os.path.join(self.root, 'dbus.log'))
        os.close(write)
        with os.fdopen(read) as f:
            address = f.readline().strip()
        if not address:
            raise RuntimeError('the D-Bus session did not start')
        self.env['DBUS_SESSION_BUS_ADDRESS'] = address

    def _start_accessibility(self):
        """The accessibility bus and its registry, up before any application
        starts, and their address given to every child: a toolkit's bridge
        that cannot reach them when its application starts (both come up on
        demand otherwise, and slowly on a busy machine) stays off for the
        life of the process."""
        self.spawn('at-spi-bus', ['/usr/libexec/at-spi-bus-launcher', '--launch-immediately'],
                   log=os.path.join(self.root, 'at-spi-bus.log'))

        def bus_address():
            done = subprocess.run(['dbus-send', '--session', '--print-reply=literal',
                                   '--dest=org.a11y.Bus', '/org/a11y/bus',
                                   'org.a11y.Bus.GetAddress'],
                                  env=self.env, capture_output=True, text=True)
            return done.stdout.strip() if done.returncode == 0 else None

        address = wait_for(bus_address, 10, 'the accessibility bus')
        self.env['AT_SPI_BUS_ADDRESS'] = address
        self.spawn('at-spi-registry', ['/usr/libexec/at-spi2-registryd'],
                   log=os.path.join(self.root, 'at-spi-registry.log'))

        def registry_up():
            done = subprocess.run(['dbus-send', '--bus=' + address, '--print-reply=literal',
                                   '--dest=org.freedesktop.DBus', '/org/freedesktop/DBus',
                                   'org.freedesktop.DBus.NameHasOwner',
                                   'string:org.a11y.atspi.Registry'],
                                  env=self.env, capture_output=True, text=True)
            return done.returncode == 0 and done.stdout.split()[-1:] == ['true']

        wait_for(registry_up, 10, 'the accessibility registry')

    def _start_standin(self, name, program, log):
        child = self.spawn(name, ['/usr/bin/python3', '-c', program, log], stdout=subprocess.PIPE,
                           log=os.path.join(self.root, name + '.err'))
        if child.stdout.readline().strip() != b'ready':
            raise RuntimeError(name + ' did not start; see ' + os.path.join(self.root, name + '.err'))

    def _start_pulse(self):
        if self.sound_server == 'pipewire':
            self._start_pipewire()
        else:
            modules = ['module-native-protocol-unix'] + self.SOUND_DEVICES
            self.spawn('pulseaudio', [
                'pulseaudio', '-n', '--daemonize=no', '--exit-idle-time=-1', '--disallow-exit',
                '--use-pid-file=no', *[a for m in modules for a in ('-L', m)],
            ], log=os.path.join(self.root, 'pulse.log'))
            wait_for(lambda: self.pactl('info'), 10, 'the sound server')
        self.pactl('set-default-sink', 'speakers')
        self.pactl('set-default-source', 'mic')
        # The session manager applies defaults a moment after it was told.
        wait_for(lambda: self._pactl_output('get-default-sink') == 'speakers' and
                 self._pactl_output('get-default-source') == 'mic', 10, 'the default devices')

    def _start_pipewire(self):
        runtime = self.env['XDG_RUNTIME_DIR']
        self.env['PIPEWIRE_RUNTIME_DIR'] = runtime
        # No hardware: the session manager would open the machine's sound
        # cards, cameras and Bluetooth devices.
        config = os.path.join(self.env['XDG_CONFIG_HOME'], 'wireplumber')
        for name, text in (('main.lua.d', 'alsa_monitor.enabled = false\n'
                                          'v4l2_monitor.enabled = false\n'
                                          'libcamera_monitor.enabled = false\n'),
                           ('bluetooth.lua.d', 'bluez_monitor.enabled = false\n')):
            os.makedirs(os.path.join(config, name), exist_ok=True)
            with open(os.path.join(config, name, '51-halden-rig.lua'), 'w') as f:
                f.write(text)
        self.spawn('pipewire', ['pipewire'], log=os.path.join(self.root, 'pipewire.log'))
        wait_for(lambda: os.path.exists(os.path.join(runtime, 'pipewire-0')), 10, 'PipeWire')
        self.spawn('wireplumber', ['wireplumber'], log=os.path.join(self.root, 'wireplumber.log'))
        log = os.path.join(self.root, 'pipewire-pulse.log')
        server = self.spawn('pipewire-pulse', ['pipewire-pulse'], log=log)
        # No client before the server's socket: a client makes the pulse
        # runtime folder too, and the pulse server (0.3.65) gives up when that
        # folder appears between its check for it and its mkdir.
        socket = os.path.join(runtime, 'pulse', 'native')
        try:
            wait_for(lambda: os.path.exists(socket) or server.poll() is not None, 10,
                     'the pulse server')
        except TimeoutError:
            pass
        if not os.path.exists(socket):
            with open(log, errors='replace') as f:
                raise RuntimeError('the pulse server did not start (exit status %s); its output:\n%s'
                                   % (server.poll(), f.read()))
        wait_for(lambda: self.pactl('info'), 10, 'the sound server')
        for module in self.SOUND_DEVICES:
            if not self.pactl('load-module', *module.split()):
                raise RuntimeError('the sound server refused ' + module)

    def _pactl_output(self, *arguments):
        done = subprocess.run(['pactl', *arguments], env=self.env, capture_output=True, text=True)
        return done.stdout.strip() if done.returncode == 0 else None

    def pactl(self, *arguments):
        done = subprocess.run(['pactl', *arguments], env=self.env, capture_output=True)
        return done.returncode == 0

    # -- what the desktop saw

    def screenshot(self, path):
        subprocess.run(['import', '-window', 'root', path], env=self.env, check=True)
        return path

    def _windows_named(self, title):
        """The X windows on screen titled `title` (GTK keeps unmapped windows
        of the same name, such as its client leader)."""
        from Xlib import X
        return [window for window in self._x.screen().root.query_tree().children
                if window.get_wm_name() == title
                and window.get_attributes().map_state == X.IsViewable]

    def window_shown(self, title):
        return bool(self._windows_named(title))

    def close_window(self, title):
        """Asks the window titled `title` to close, as a window manager's
        close button does (WM_DELETE_WINDOW)."""
        from Xlib import X, protocol
        protocols = self._x.intern_atom('WM_PROTOCOLS')
        delete = self._x.intern_atom('WM_DELETE_WINDOW')
        windows = self._windows_named(title)
        for window in windows:
            window.send_event(protocol.event.ClientMessage(
                window=window, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0])))
        self._x.flush()
        return bool(windows)

    @property
    def _x(self):
        if getattr(self, '_display', None) is None:
            from Xlib import display
            self._display = display.Display(self.env['DISPLAY'])
        return self._display

    def opened_urls(self):
        return desktop_standins.opened_urls(self.opened_log)

    def notifications(self):
        return desktop_standins.json_lines(self.notification_log)

    def inhibitor_calls(self):
        return desktop_standins.json_lines(self.inhibit_log)

    def tray(self):
        return desktop_standins.Tray(self.tray_log)

    def tray_item(self, timeout=10):
        """The running application's tray item. The indicator library now
        and then misses a watcher that was there before the application
        started (its bus connection is not up yet when it looks); a watcher
        that appears later, as after a panel restart, is always found."""
        tray = self.tray()
        try:
            return wait_for(tray.items, 2, 'the tray item')[0]
        except TimeoutError:
            print('headless desktop: no tray item after 2 s; restarting the watcher', file=sys.stderr)
            self.restart_tray_watcher()
            return wait_for(tray.items, timeout, 'the tray item')[0]

    def restart_tray_watcher(self):
        for name, child in self.children:
            if name == 'tray-watcher' and child.poll() is None:
                child.terminate()
                child.wait(5)
                child.stdout.close()
        self.children = [(n, c) for n, c in self.children if n != 'tray-watcher']
        self._start_standin('tray-watcher', desktop_standins.TRAY_WATCHER, self.tray_log)

    def ui(self):
        return Ui()

    def data_folder(self):
        return os.path.join(self.env['XDG_DATA_HOME'], 'Halden')


class DevService:
    """The stand-in service on a fixed port, with its control API."""

    def __init__(self, desktop, binary, port):
        self.base = 'http://127.0.0.1:%d' % port
        data = os.path.join(desktop.root, 'service')
        os.makedirs(data, exist_ok=True)
        self.child = desktop.spawn('devservice', [binary, '--port', str(port), '--data', data],
                                   stdout=subprocess.PIPE,
                                   log=os.path.join(desktop.root, 'devservice.log'))
        line = self.child.stdout.readline().decode()
        if 'listening on' not in line:
            raise RuntimeError('halden-devservice did not start on port %d (is it taken?)' % port)

    def _call(self, path, body=None):
        request = urllib.request.Request(self.base + path, method='GET' if body is None else 'POST',
                                         data=None if body is None else json.dumps(body).encode())
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.read()

    def control(self, path, body=None):
        return json.loads(self._call('/__control/' + path, body))

    def log(self):
        return self.control('log')['requests']

    def page_events(self):
        return self.control('page-events')['events']

    def chunks(self, meeting):
        return self.control('chunks?meeting=' + meeting)['chunks']

    def chunk(self, meeting, sequence):
        return self._call('/__control/chunk?meeting=%s&sequence=%d' % (meeting, sequence))

    def summaries(self):
        return self.control('summaries')['summaries']

    def signins(self):
        return self.control('signins')['signins']

    def approve(self, request_id):
        return self.control('approve', {'id': request_id})

    def signed_in_page_loads(self):
        return [r for r in self.log() if r['path'] == '/clients/workspace'
                and 'authjs.session-token' in r['cookie']]


class Ui:
    """AT-SPI access to the running application's window, menus and page."""

    def __init__(self):
        import warnings
        # pyatspi uses the deprecated spellings of its own bindings.
        warnings.filterwarnings('ignore', category=DeprecationWarning)
        warnings.filterwarnings('ignore', category=ImportWarning)
        import pyatspi
        self.atspi = pyatspi

    def app(self, name='halden', timeout=30):
        def find():
            desktop = self.atspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                child = desktop.getChildAtIndex(i)
                if child is not None and child.name == name:
                    return child
        return wait_for(find, timeout, 'application %r on the accessibility bus' % name)

    def apps(self, name='halden'):
        desktop = self.atspi.Registry.getDesktop(0)
        found = []
        for i in range(desktop.childCount):
            child = desktop.getChildAtIndex(i)
            if child is not None and child.name == name:
                found.append(child)
        return found

    @staticmethod
    def find(node, predicate):
        try:
            if predicate(node):
                return node
            for i in range(node.childCount):
                hit = Ui.find(node.getChildAtIndex(i), predicate)
                if hit is not None:
                    return hit
        except Exception:  # nodes vanish while a page changes
            pass
        return None

    def find_all(self, node, predicate, found=None):
        found = [] if found is None else found
        try:
            if predicate(node):
                found.append(node)
            for i in range(node.childCount):
                self.find_all(node.getChildAtIndex(i), predicate, found)
        except Exception:
            pass
        return found

    def wait_node(self, root, predicate, timeout=20, what='element'):
        return wait_for(lambda: self.find(root, predicate), timeout, what, interval=0.1)

    def button(self, root, name, timeout=20):
        return self.wait_node(root, lambda n: n.getRoleName() == 'push button' and n.name == name,
                              timeout, 'button %r' % name)

    def link(self, root, name, timeout=20):
        return self.wait_node(root, lambda n: n.getRoleName() == 'link' and n.name == name,
                              timeout, 'link %r' % name)

    @staticmethod
    def press(node):
        action = node.queryAction()
        action.doAction(0)

    def enabled(self, node):
        return node.getState().contains(self.atspi.STATE_SENSITIVE)

    def is_default(self, node):
        return node.getState().contains(self.atspi.STATE_IS_DEFAULT)

    def windows(self, app):
        return [app.getChildAtIndex(i) for i in range(app.childCount)]

    def window_titles(self, app):
        return [w.name for w in self.windows(app) if w is not None]

    def main_window(self, app):
        return self.wait_node(app, lambda n: n.getRoleName() == 'frame', 10, 'the main window')

    def showing(self, node):
        return node.getState().contains(self.atspi.STATE_SHOWING)

    def alert(self, app, text, timeout=20):
        """The dialog one of whose labels contains `text`."""
        def find():
            for window in self.windows(app):
                if window is None or window.getRoleName() not in ('alert', 'dialog'):
                    continue
                if self.find(window, lambda n: n.getRoleName() == 'label' and text in n.name):
                    return window
        return wait_for(find, timeout, 'a dialog saying %r' % text, interval=0.1)

    def no_alert(self, app):
        return not [w for w in self.windows(app) if w is not None
                    and w.getRoleName() in ('alert', 'dialog')]

    def buttons(self, dialog):
        return self.find_all(dialog, lambda n: n.getRoleName() == 'push button')

    def labels(self, dialog):
        return [n.name for n in self.find_all(dialog, lambda n: n.getRoleName() == 'label')]

    def menu_bar(self, app):
        """[(menu title, [(item title, enabled) or None for a separator])]."""
        bar = self.wait_node(app, lambda n: n.getRoleName() == 'menu bar', 10, 'the menu bar')
        menus = []
        for i in range(bar.childCount):
            menu = bar.getChildAtIndex(i)
            items = []
            for k in range(menu.childCount):
                item = menu.getChildAtIndex(k)
                if item.getRoleName() == 'separator':
                    items.append(None)
                else:
                    items.append((item.name, self.enabled(item)))
            menus.append((menu.name, items))
        return menus

    def menu_item(self, app, menu_title, item_title):
        bar = self.wait_node(app, lambda n: n.getRoleName() == 'menu bar', 10, 'the menu bar')
        menu = self.find(bar, lambda n: n.getRoleName() == 'menu' and n.name == menu_title)
        return self.find(menu, lambda n: n.getRoleName() == 'menu item' and n.name == item_title)

    def choose(self, app, menu_title, item_title):
        """Opens the menu, as a click on its title does, and picks the item."""
        bar = self.wait_node(app, lambda n: n.getRoleName() == 'menu bar', 10, 'the menu bar')
        menu = self.find(bar, lambda n: n.getRoleName() == 'menu' and n.name == menu_title)
        self.press(menu)
        item = self.wait_node(menu, lambda n: n.getRoleName() == 'menu item' and n.name == item_title
                              and self.showing(n), 5, 'menu item %r' % item_title)
        self.press(item)

    def texts(self, root):
        """Every piece of text below `root` (page content included)."""
        found = []
        for node in self.find_all(root, lambda n: True):
            try:
                text = node.queryText()
                found.append(text.getText(0, -1))
            except Exception:
                if node.name:
                    found.append(node.name)
        return found

    def choose_folder(self, app, path, timeout=20):
        """Types `path` into the open folder chooser and accepts it."""
        chooser = wait_for(lambda: next((w for w in self.windows(app) if w is not None and
                                         w.getRoleName() == 'file chooser'), None),
                           timeout, 'the folder chooser', interval=0.1)
        # Typing a "/" opens the chooser's location field.
        subprocess.run(['xdotool', 'search', '--sync', '--onlyvisible', '--name', chooser.name, 'windowfocus',
                        '--sync'], check=False)
        subprocess.run(['xdotool', 'type', '--delay', '20', path.rstrip('/') + '/'], check=True)
        time.sleep(0.3)
        self.press(self.button(chooser, 'Select'))
        return chooser


RECORDING_TITLE = 'Recording \u2014 Halden'


def sign_in(desktop, service, ui, app, window):
    """Signs Halden in as a user does: the menu item, the connect page in the
    browser, Approve there (here: at the service). Returns the page's URL."""
    opened = len(desktop.opened_urls())
    ui.choose(app, 'Halden', 'Sign in through browser')
    url = wait_for(lambda: [u for u in desktop.opened_urls()[opened:]
                            if '/desktop/connect?id=' in u], 20, 'the connect page in the browser')[0]
    loads = len(service.signed_in_page_loads())
    service.approve(urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)['id'][0])
    wait_for(lambda: len(service.signed_in_page_loads()) > loads, 30,
             'the workspace reloaded signed in')
    ui.button(window, 'Start recording', 30)
    return url


def start_recording(desktop, ui, app, window, screenshot=None):
    """Presses the page's "Start recording" and confirms the alert as a user
    would; once the recording runs, returns the alert's texts and when the
    confirmation was pressed (time.monotonic())."""
    ui.press(ui.button(window, 'Start recording'))
    alert = ui.alert(app, 'Record this meeting?')
    if screenshot:
        desktop.screenshot(screenshot)
    texts = ui.labels(alert)
    confirm = ui.button(alert, 'Start recording')
    confirmed = time.monotonic()
    ui.press(confirm)
    wait_for(lambda: RECORDING_TITLE in ui.window_titles(app), 20, 'the recording title')
    return texts, confirmed
