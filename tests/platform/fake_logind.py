# A stand-in for logind on the private bus argv[1]: answers Inhibit with a
# pipe's write end (refuses it when argv[2] is "refuse"), says what it was
# asked and when the caller let go of that end.
import os
import sys
try:
    import dbus, dbus.mainloop.glib, dbus.service
    from gi.repository import GLib
except ImportError:
    sys.exit(77)  # no python3-dbus: the suite skips


class Manager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.login1.Manager", "ssss", "h")
    def Inhibit(self, what, who, why, mode):
        print("inhibit", what, who, why, mode, sep="|", flush=True)
        if sys.argv[2] == "refuse":
            raise dbus.exceptions.DBusException(name="org.freedesktop.DBus.Error.AccessDenied")
        released, held = os.pipe()
        GLib.io_add_watch(released, GLib.IO_HUP, lambda *_: print("released", flush=True))
        answer = dbus.types.UnixFd(held)  # a copy: ours must go, or the pipe never hangs up
        os.close(held)
        return answer


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
name = dbus.service.BusName("org.freedesktop.login1", bus)
Manager(bus, "/org/freedesktop/login1")
print("ready", flush=True)
GLib.MainLoop().run()
