"""Stand-ins for the parts of a user's desktop that Halden hands work to.

- `install_url_handlers(home, log)`: makes a logging program the default
  handler of http, https and mailto links and of folders (the browser, the
  mail client and the file manager), through the freedesktop mime
  associations of a private HOME: every URL Halden opens lands as one line
  in `log`.
- `SessionManagerStandIn`: owns org.gnome.SessionManager on the test's
  session bus and records Inhibit and Uninhibit calls, which GTK makes for
  an application's logout and suspend inhibitors.
"""
import json
import os
import stat
import subprocess
import sys
import textwrap
import time

HANDLER_TYPES = ['x-scheme-handler/http', 'x-scheme-handler/https',
                 'x-scheme-handler/mailto', 'inode/directory']


def install_url_handlers(data_home, config_home, log):
    """Writes the handler program, its desktop entry and the defaults."""
    applications = os.path.join(data_home, 'applications')
    os.makedirs(applications, exist_ok=True)
    os.makedirs(config_home, exist_ok=True)
    program = os.path.join(data_home, 'open-logger')
    with open(program, 'w') as f:
        f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> %s\n' % _quote(log))
    os.chmod(program, stat.S_IRWXU)
    with open(os.path.join(applications, 'open-logger.desktop'), 'w') as f:
        f.write(textwrap.dedent('''\
            [Desktop Entry]
            Type=Application
            Name=Open logger
            Exec=%s %%u
            MimeType=%s;
            NoDisplay=true
            ''' % (program, ';'.join(HANDLER_TYPES))))
    with open(os.path.join(config_home, 'mimeapps.list'), 'w') as f:
        f.write('[Default Applications]\n')
        for kind in HANDLER_TYPES:
            f.write('%s=open-logger.desktop\n' % kind)


def opened_urls(log):
    try:
        with open(log) as f:
            return [line.rstrip('\n') for line in f if line.strip()]
    except FileNotFoundError:
        return []


def _quote(path):
    return "'" + path.replace("'", "'\\''") + "'"


# What every stand-in program starts with: its log (the first argument),
# one JSON object a line, and serve(), which owns the bus name, prints
# "ready" and runs until it is stopped.
_PRELUDE = r'''
import json, sys
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
log = sys.argv[1]
def record(entry):
    with open(log, 'a') as f:
        f.write(json.dumps(entry) + '\n')
def serve(name, make):
    bus = dbus.SessionBus()
    owned = (dbus.service.BusName(name, bus), make(bus))
    print('ready', flush=True)
    GLib.MainLoop().run()
'''


SESSION_MANAGER = _PRELUDE + r'''
class Manager(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, '/org/gnome/SessionManager')
        self.next = 1
    @dbus.service.method('org.gnome.SessionManager', in_signature='susu', out_signature='u')
    def Inhibit(self, app_id, toplevel, reason, flags):
        cookie = self.next
        self.next += 1
        record({'call': 'Inhibit', 'app': str(app_id), 'reason': str(reason),
                'flags': int(flags), 'cookie': cookie})
        return cookie
    @dbus.service.method('org.gnome.SessionManager', in_signature='u')
    def Uninhibit(self, cookie):
        record({'call': 'Uninhibit', 'cookie': int(cookie)})
    @dbus.service.method('org.gnome.SessionManager', in_signature='u', out_signature='b')
    def IsInhibited(self, flags):
        return False
serve('org.gnome.SessionManager', Manager)
'''


def json_lines(log):
    try:
        with open(log) as f:
            return [json.loads(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


NOTIFICATIONS = _PRELUDE + r'''
NAME = 'org.freedesktop.Notifications'
class Server(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, '/org/freedesktop/Notifications')
        self.next = 1
    @dbus.service.method(NAME, in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        number = int(replaces) or self.next
        self.next += 1
        record({'summary': str(summary), 'body': str(body), 'id': number})
        return number
    @dbus.service.method(NAME, in_signature='', out_signature='as')
    def GetCapabilities(self):
        return ['body']
    @dbus.service.method(NAME, in_signature='', out_signature='ssss')
    def GetServerInformation(self):
        return ('notification stand-in', 'halden-tests', '1', '1.2')
    @dbus.service.method(NAME, in_signature='u')
    def CloseNotification(self, number):
        pass
serve(NAME, Server)
'''


TRAY_WATCHER = _PRELUDE + r'''
WATCHER = 'org.kde.StatusNotifierWatcher'
class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, '/StatusNotifierWatcher')
        self.items = []
    @dbus.service.method(WATCHER, in_signature='s', sender_keyword='sender')
    def RegisterStatusNotifierItem(self, service, sender=None):
        path = service if service.startswith('/') else '/StatusNotifierItem'
        name = sender if service.startswith('/') else service
        self.items.append(name + path)
        record({'name': str(name), 'path': str(path)})
        self.StatusNotifierItemRegistered(name + path)
    @dbus.service.method(WATCHER, in_signature='s')
    def RegisterStatusNotifierHost(self, service):
        pass
    @dbus.service.signal(WATCHER, signature='s')
    def StatusNotifierItemRegistered(self, item):
        pass
    @dbus.service.signal(WATCHER, signature='')
    def StatusNotifierHostRegistered(self):
        pass
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return {'RegisteredStatusNotifierItems': dbus.Array(self.items, signature='s'),
                'IsStatusNotifierHostRegistered': True, 'ProtocolVersion': dbus.Int32(0)}
serve(WATCHER, Watcher)
'''


class Tray:
    """The tray items registered with the watcher stand-in, read over D-Bus as
    a desktop's panel reads them."""

    ITEM = 'org.kde.StatusNotifierItem'
    MENU = 'com.canonical.dbusmenu'

    def __init__(self, log):
        import dbus
        self.dbus = dbus
        self.bus = dbus.SessionBus()
        self.log = log

    def items(self):
        """The registered items whose application is still running."""
        bus = self.bus.get_object('org.freedesktop.DBus', '/org/freedesktop/DBus')
        return [item for item in json_lines(self.log)
                if bus.NameHasOwner(item['name'], dbus_interface='org.freedesktop.DBus')]

    def _item(self, item):
        return self.bus.get_object(item['name'], item['path'])

    def property(self, item, name):
        return self._item(item).Get(self.ITEM, name, dbus_interface=self.dbus.PROPERTIES_IFACE)

    def label(self, item):
        return str(self.property(item, 'XAyatanaLabel'))

    def _menu(self, item):
        return self.bus.get_object(item['name'], str(self.property(item, 'Menu')))

    def menu(self, item):
        """[(label, enabled) or None for a separator], in order."""
        _, layout = self._menu(item).GetLayout(0, -1, [], dbus_interface=self.MENU)
        entries = []
        for child in layout[2]:
            properties = child[1]
            if properties.get('type') == 'separator':
                entries.append(None)
                continue
            label = str(properties.get('label', '')).replace('_', '')
            entries.append((label, bool(properties.get('enabled', True)), int(child[0])))
        return [entry and entry[:2] for entry in entries], entries

    def activate(self, item, label):
        _, entries = self.menu(item)
        for entry in entries:
            if entry and entry[0] == label:
                self._menu(item).Event(entry[2], 'clicked', self.dbus.Int32(0, variant_level=1),
                                       self.dbus.UInt32(0), dbus_interface=self.MENU)
                return
        raise KeyError(label)
