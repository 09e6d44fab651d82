#!/usr/bin/python3
"""A stand-in for xdg-desktop-portal's Screenshot on a private session bus.

fake_portal.py MODE [PICTURE [COPY_TO]]
  answer   answer 0 with file://PICTURE; with COPY_TO, copy PICTURE there first and name the copy
  late     like answer, but the first request only after 6 s (later ones name PICTURE itself)
  refuse   answer 2          cancel   answer 1          silent   never answer
A request that is not non-interactive with a handle_token gets 2, so a success also proves the
call well formed. Each Request.Close is written to standard output as "closed PATH".
"""
import shutil
import sys
import urllib.parse

import dbus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

MODE = sys.argv[1]
PICTURE = sys.argv[2] if len(sys.argv) > 2 else ""
COPY_TO = sys.argv[3] if len(sys.argv) > 3 else ""
REQUEST = "org.freedesktop.portal.Request"


class Request(dbus.service.Object):
    @dbus.service.method(REQUEST, in_signature="", out_signature="")
    def Close(self):
        print("closed", self._object_path, flush=True)


class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Screenshot", in_signature="sa{sv}",
                         out_signature="o", sender_keyword="sender")
    def Screenshot(self, parent, options, sender):
        token = str(options.get("handle_token", ""))
        path = "/org/freedesktop/portal/desktop/request/%s/%s" % (
            sender[1:].replace(".", "_"), token or "none")
        Request(self.connection, path)
        well_formed = token and "interactive" in options and not options["interactive"]
        if MODE == "silent":
            return dbus.ObjectPath(path)
        code = {"refuse": 2, "cancel": 1}.get(MODE, 0) if well_formed else 2
        first = not self.answered
        self.answered = True
        if MODE == "late" and first:
            GLib.timeout_add(6000, self.answer, path, code, COPY_TO)
        else:
            GLib.idle_add(self.answer, path, code, COPY_TO if MODE == "answer" else "")
        return dbus.ObjectPath(path)

    answered = False

    def answer(self, path, code, copy_to):
        results = {}
        if code == 0:
            picture = PICTURE
            if copy_to:
                shutil.copyfile(PICTURE, copy_to)
                picture = copy_to
            results["uri"] = dbus.String("file://" + urllib.parse.quote(picture), variant_level=1)
        signal = dbus.lowlevel.SignalMessage(path, REQUEST, "Response")
        signal.append(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"))
        self.connection.send_message(signal)
        return False


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
Portal(bus, "/org/freedesktop/portal/desktop")
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
GLib.MainLoop().run()
