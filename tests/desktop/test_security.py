"""What the running application keeps to itself, in the real window: its
folders and files stay the user's alone even under an open umask, the web
view refuses a certificate it cannot verify, the session cookie goes to the
service's host only, and neither the sign-in secret nor the session ever
reaches a log or a file outside the view's cookie store. The page itself
runs in WebKit's sandbox, and comes back after its process dies."""
import os
import signal
import socket
import sqlite3
import ssl
import stat
import struct
import subprocess
import threading
import time
import unittest
import urllib.parse

from desktop_case import HALDEN, DesktopCase, wait_for
from headless_desktop import descendants


class TlsProbe:
    """A TLS server on a free loopback port, with a self-signed certificate
    nobody trusts. It notes each ClientHello it receives and each request
    line that arrives once a handshake has succeeded."""

    def __init__(self, folder):
        cert, key = os.path.join(folder, 'probe-cert.pem'), os.path.join(folder, 'probe-key.pem')
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-subj',
                        '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1', '-days', '1',
                        '-keyout', key, '-out', cert], check=True, capture_output=True)
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        self.listener = socket.create_server(('127.0.0.1', 0))
        self.port = self.listener.getsockname()[1]
        self.hellos = 0
        self.requests = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._answer, args=(connection,), daemon=True).start()

    def _answer(self, connection):
        connection.settimeout(10)
        try:
            if connection.recv(1, socket.MSG_PEEK) == b'\x16':  # a TLS handshake record
                self.hellos += 1
            with self.context.wrap_socket(connection, server_side=True) as tls:
                line = tls.recv(4096).split(b'\r\n', 1)[0]
                self.requests.append(line.decode(errors='replace'))
                tls.sendall(b'HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n')
        except (OSError, ssl.SSLError):
            pass  # the client refused the certificate
        finally:
            connection.close()

    def close(self):
        self.listener.close()


def name_of(pid):
    try:
        with open('/proc/%d/comm' % pid) as f:
            return f.read().strip()
    except OSError:
        return None


def ancestors(pid, top):
    """The names of the processes from `pid`'s parent up to `top`."""
    names = []
    while pid not in (top, 1, 0):
        with open('/proc/%d/stat' % pid) as f:
            pid = int(f.read().rsplit(')', 1)[1].split()[1])
        names.append(name_of(pid))
    return names


def output_peak(desktop, seconds=1.0):
    """The peak (0 to 1) of what the default output plays over `seconds`."""
    with subprocess.Popen(['parec', '-d', 'speakers.monitor', '--raw', '--format=s16le',
                           '--rate=16000', '--channels=1'], stdout=subprocess.PIPE,
                          env=desktop.env) as recorder:
        data = recorder.stdout.read(int(32000 * seconds))
        recorder.kill()
    return max(map(abs, struct.unpack('<%dh' % (len(data) // 2), data)), default=0) / 32768


def files_below(top):
    for folder, folders, files in os.walk(top):
        yield folder
        for name in files:
            yield os.path.join(folder, name)


def leaks(path, values):
    """The names of `values` whose text, plain or percent-encoded, is in the
    regular file `path`."""
    if os.path.islink(path) or not os.path.isfile(path):
        return []
    with open(path, 'rb') as f:
        content = f.read()
    return [name for name, value in values.items()
            if value.encode() in content or urllib.parse.quote(value).encode() in content]


class SecurityEndToEnd(DesktopCase):

    def show_page(self, html):
        """Has the next workspace load answer `html`, and loads it."""
        self.service.control('faults', {'path': '/clients/workspace', 'match': 'exact',
                                        'kind': 'status', 'status': 200, 'body': html,
                                        'contentType': 'text/html'})
        loads = len(self.requests('/clients/workspace'))
        self.ui.choose(self.app, 'Halden', 'Client workspace')
        wait_for(lambda: len(self.requests('/clients/workspace')) > loads, 20, 'the page')

    def show_workspace(self):
        self.ui.choose(self.app, 'Halden', 'Client workspace')
        self.ui.button(self.window, 'Start recording', 30)

    def requests(self, path):
        return [r for r in self.service.log() if r['path'] == path]

    def other_host(self):
        return self.service.base.replace('127.0.0.1', 'localhost')

    def test_a_certificate_the_view_cannot_verify_is_refused(self):
        probe = TlsProbe(self.desktop.root)
        self.addCleanup(probe.close)
        self.launch()
        # An image: unlike a document, the view lets it load from any origin,
        # so only the certificate check stands between it and the probe.
        self.show_page('<html><body><p>TLS probe</p><img src="https://127.0.0.1:%d/probe.png">'
                       '</body></html>' % probe.port)
        wait_for(lambda: probe.hellos, 20, 'the view to try the probe')
        time.sleep(2)
        self.assertEqual(probe.requests, [])
        self.show_workspace()

    def test_files_cookie_and_secrets_stay_private(self):
        old = os.umask(0)
        try:
            self.launch()
        finally:
            os.umask(old)
        self.sign_in()
        secret = self.service.signins()[-1]['secret']
        web_data = os.path.join(self.desktop.data_folder(), 'WebData')
        with sqlite3.connect(os.path.join(web_data, 'cookies.sqlite')) as store:
            rows = store.execute('SELECT name, value, host, path, isSecure, isHttpOnly, sameSite '
                                 'FROM moz_cookies').fetchall()
        self.assertEqual(len(rows), 1, rows)
        name, session, host, path, secure, http_only, same_site = rows[0]
        # Host-only (no leading "."), for an http service not Secure,
        # HttpOnly, SameSite=Lax.
        self.assertEqual((name, host, path, secure, http_only, same_site),
                         ('authjs.session-token', '127.0.0.1', '/', 0, 1, 1))
        self.assertTrue(session and len(secret) > 20)

        # The same service under another host name never receives it.
        self.show_page('<html><body><img src="%s/probe/own.png"><img src="%s/probe/other.png">'
                       '</body></html>' % (self.service.base, self.other_host()))
        own = wait_for(lambda: self.requests('/probe/own.png'), 20, 'the own host image')[0]
        other = wait_for(lambda: self.requests('/probe/other.png'), 20, 'the other host image')[0]
        self.assertEqual(own['cookie'], name + '=' + session)
        self.assertEqual(other['cookie'], '')
        self.show_workspace()

        # A meeting whose first upload fails stays on disk, prepared.
        self.service.control('faults', {'path': '/api/meetings/', 'kind': 'status',
                                        'status': 503, 'error': 'Resting.'})
        events = len(self.service.page_events())
        self.start_recording()
        meeting = self.current_meeting()
        folder = os.path.join(self.recordings(), meeting)
        time.sleep(3)
        self.ui.press(self.ui.button(self.window, 'End recording'))
        self.wait_page_event('error', events)
        self.assertIn('chunk-000.wav', os.listdir(folder))

        data_home = self.desktop.env['XDG_DATA_HOME']
        cache = os.path.join(self.desktop.env['XDG_CACHE_HOME'], 'Halden')
        exposed = [(p, oct(stat.S_IMODE(os.lstat(p).st_mode)))
                   for p in files_below(os.path.join(data_home, 'Halden', 'Recordings'))
                   if stat.S_IMODE(os.lstat(p).st_mode) & 0o077]
        self.assertEqual(exposed, [])
        for path in (os.path.join(data_home, 'Halden'), web_data, cache, self.recordings(), folder):
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o700, path)

        # Uploaded on the retry; then nothing of either secret is anywhere.
        events = len(self.service.page_events())
        self.ui.press(self.ui.button(self.window, 'Retry upload'))
        self.ui.choose_folder(self.app, folder)
        self.wait_page_event('ready', events)
        self.assertEqual(self.service.chunks(meeting).keys(), {'0'})
        self.ui.choose(self.app, 'Halden', 'Quit Halden')
        self.assertEqual(self.wait_exit(), 0)

        cookie_store = os.path.join(web_data, 'cookies.sqlite')
        values = {'secret': secret, 'session': session}
        self.assertEqual(leaks(cookie_store, values), ['session'])  # the search does find it
        found = []
        for top in (self.desktop.env['HOME'], self.desktop.env['XDG_RUNTIME_DIR']):
            found += [(path, what) for path in files_below(top)
                      if not path.startswith(cookie_store) for what in leaks(path, values)]
        found += [('the log', what) for what in leaks(self.app_log, values)]
        self.assertEqual(found, [])

    def web_process(self, other_than=None):
        return wait_for(lambda: [p for p in descendants(self.app_process.pid)
                                 if name_of(p) == 'WebKitWebProces' and p != other_than], 20,
                        'the web process')[0]

    def test_the_page_runs_in_the_sandbox_and_comes_back_after_its_process_dies(self):
        # A file of the user's, and a saved meeting of an earlier session.
        private = os.path.join(self.desktop.env['HOME'], 'private.txt')
        saved = os.path.join(self.recordings(), 'earlier', 'microphone.caf')
        for path in (private, saved):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, 'w') as f:
                f.write('not for the page')
        self.launch()
        web = self.web_process()
        self.assertIn('bwrap', ancestors(web, self.app_process.pid))
        # The file system as the web process sees it: its extension, and
        # none of the user's files, the recordings or the cookie store.
        def seen(path):
            return os.path.exists('/proc/%d/root%s' % (web, path))
        self.assertTrue(seen(os.path.join(os.path.dirname(HALDEN), 'web-extension')))
        cookies = os.path.join(self.desktop.data_folder(), 'WebData', 'cookies.sqlite')
        for path in (private, saved, cookies):
            self.assertTrue(os.path.exists(path), path)
            self.assertFalse(seen(path), path)

        # The process dies: the window says so, and the menu brings the page back.
        os.kill(web, signal.SIGKILL)
        alert = self.ui.alert(self.app, 'web process ended unexpectedly')
        self.assertIn('Could not open Halden', self.ui.labels(alert))
        self.ui.press(self.ui.button(alert, 'OK'))
        self.show_workspace()
        self.assertIn('bwrap', ancestors(self.web_process(other_than=web), self.app_process.pid))

        # The sandbox lets the page's own sound through to the output.
        self.show_page('<html><body><button onclick="play()">Play tone</button><script>'
                       'function play() { const c = new AudioContext(); '
                       'const o = c.createOscillator(); o.connect(c.destination); o.start(); }'
                       '</script></body></html>')
        self.ui.press(self.ui.button(self.window, 'Play tone'))
        wait_for(lambda: output_peak(self.desktop) > 0.1, 20, "the page's tone on the output")
        self.show_workspace()

    def test_where_the_sandbox_cannot_start_the_page_stays_unloaded_and_the_user_reads_why(self):
        # A machine whose kernel refuses bubblewrap its namespaces, as in a
        # container: here bwrap is replaced, for Halden alone, by one that
        # fails as bubblewrap then does.
        refusing = os.path.join(self.desktop.root, 'bwrap')
        with open(refusing, 'w') as f:
            f.write('#!/bin/sh\necho "bwrap: No permissions to create a new namespace." >&2\n'
                    'exit 1\n')
        os.chmod(refusing, 0o755)
        self.app_log = os.path.join(self.desktop.root, 'no-sandbox.log')
        self.app_process = self.desktop.spawn('halden', [
            'unshare', '--mount', 'sh', '-c',
            'mount --bind "$0" /usr/bin/bwrap && exec "$1"', refusing, HALDEN], log=self.app_log)
        self.app = self.ui.app()
        for _ in range(2):  # at the start, and again from "Client workspace"
            alert = self.ui.alert(self.app, 'sandbox cannot start on this computer')
            self.assertEqual(self.ui.labels(alert), [
                'Could not open Halden',
                'The workspace page cannot run, because its sandbox cannot start on this '
                'computer (bwrap: No permissions to create a new namespace). Choose Client '
                'workspace from the Halden menu to open it again.'])
            self.ui.press(self.ui.button(alert, 'OK'))
            self.ui.choose(self.app, 'Halden', 'Client workspace')
        self.ui.alert(self.app, 'sandbox cannot start on this computer')
        self.assertEqual([p for p in descendants(self.app_process.pid)
                          if name_of(p) == 'WebKitWebProces'], [])
        self.assertEqual(self.app_output().count('sandbox cannot start'), 1)
        self.assertIsNone(self.app_process.poll())


if __name__ == '__main__':
    unittest.main()
