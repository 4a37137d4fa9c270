#!/usr/bin/python3
"""A tiny GTK 3 app that the rig's self-test drives instead of the real one:
a window with a menu bar, a message dialog, a folder chooser and a tray item.
Every user-visible result is printed on stdout, one line each."""

import signal
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("AyatanaAppIndicator3", "0.1")
from gi.repository import AyatanaAppIndicator3 as AppIndicator  # noqa: E402
from gi.repository import GLib, Gtk  # noqa: E402

GLib.set_prgname("rig-standin")
GLib.set_application_name("Rig Stand-in")


def say(*words):
    print(*words, flush=True)


class StandIn:
    def __init__(self):
        self.window = Gtk.Window(title="Rig Stand-in")
        self.window.set_default_size(900, 640)
        self.window.connect("delete-event", self.on_delete)
        self.accel = Gtk.AccelGroup()
        self.window.add_accel_group(self.accel)
        box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
        bar = Gtk.MenuBar()
        bar.append(self.menu("_Stand-in", [
            ("_About Stand-in", lambda: say("about"), None),
            None,
            ("_Disabled Item", "disabled", None),
            ("_Hidden Item", "hidden", None),
            ("Show _Alert", self.show_alert, None),
            ("Choose _Folder…", self.choose_folder, None),
            ("Set Tray _Label", self.set_tray_label, None),
            ("Hide _Window", self.hide_window, None),
            None,
            ("_Quit Stand-in", self.quit, "<Control>q"),
        ]))
        bar.append(self.menu("_Edit", [
            ("_Copy", lambda: say("copy"), "<Control>c"),
            ("_Paste", lambda: say("paste"), "<Control>v"),
        ]))
        box.pack_start(bar, False, False, 0)
        label = Gtk.Label(label="The rig's stand-in target")
        box.pack_start(label, True, True, 0)
        hello = Gtk.Button(label="Say Hello")
        hello.connect("clicked", lambda _button: say("hello"))
        box.pack_start(hello, False, False, 8)
        self.window.add(box)
        self.window.show_all()

        self.indicator = AppIndicator.Indicator.new(
            "rig-standin", "audio-input-microphone",
            AppIndicator.IndicatorCategory.APPLICATION_STATUS)
        self.indicator.set_status(AppIndicator.IndicatorStatus.ACTIVE)
        self.indicator.set_label("Stand-in", "● Recording")
        tray = Gtk.Menu()
        for entry in [("Open _Window", self.show_window), None,
                      ("_Disabled", "disabled"), ("_Hidden", "hidden"),
                      ("Show _Alert", self.show_alert), ("Set _Label", self.set_tray_label),
                      ("_Quit", self.quit)]:
            tray.append(self.item(entry))
        tray.show()
        self.indicator.set_menu(tray)
        say("ready")

    def item(self, entry, accel=None):
        if entry is None:
            item = Gtk.SeparatorMenuItem()
            item.show()
            return item
        label, action = entry[0], entry[1]
        item = Gtk.MenuItem.new_with_mnemonic(label)
        if action == "disabled":
            item.set_sensitive(False)
        elif action == "hidden":
            item.set_no_show_all(True)
            item.hide()
            return item
        else:
            item.connect("activate", lambda _item: action())
        if accel:
            key, mods = Gtk.accelerator_parse(accel)
            item.add_accelerator("activate", self.accel, key, mods, Gtk.AccelFlags.VISIBLE)
        item.show()
        return item

    def menu(self, title, entries):
        top = Gtk.MenuItem.new_with_mnemonic(title)
        sub = Gtk.Menu()
        for entry in entries:
            sub.append(self.item(entry[:2] if entry else None, entry[2] if entry else None))
        top.set_submenu(sub)
        return top

    def on_delete(self, *_):
        self.hide_window()
        return True

    def hide_window(self):
        self.window.hide()
        say("window hidden")

    def show_window(self):
        self.window.present()
        say("window shown")

    def show_alert(self):
        dialog = Gtk.MessageDialog(transient_for=self.window, modal=True,
                                   message_type=Gtk.MessageType.WARNING,
                                   buttons=Gtk.ButtonsType.NONE, text="Stop the recording?")
        dialog.format_secondary_text("What was recorded so far is kept.")
        dialog.add_button("Stop", 1)
        dialog.add_button("Keep Recording", 2)
        dialog.add_button("Discard", 3)
        dialog.set_default_response(1)

        def response(d, code):
            say("alert response", code)
            d.destroy()

        dialog.connect("response", response)
        dialog.show()
        say("alert shown")

    def choose_folder(self):
        dialog = Gtk.FileChooserDialog(title="Choose a Folder", transient_for=self.window,
                                       modal=True, action=Gtk.FileChooserAction.SELECT_FOLDER)
        dialog.add_buttons("Cancel", Gtk.ResponseType.CANCEL, "Select", Gtk.ResponseType.ACCEPT)
        dialog.set_default_response(Gtk.ResponseType.ACCEPT)

        def response(d, code):
            if code == Gtk.ResponseType.ACCEPT:
                say("folder chosen", d.get_filename())
            else:
                say("folder cancelled")
            d.destroy()

        dialog.connect("response", response)
        dialog.show()
        say("chooser shown")

    def set_tray_label(self):
        self.indicator.set_label("● Recording", "● Recording")
        say("tray label set")

    def quit(self):
        say("quit")
        Gtk.main_quit()


def main():
    StandIn()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, Gtk.main_quit)
    Gtk.main()
    return 0


if __name__ == "__main__":
    sys.exit(main())
