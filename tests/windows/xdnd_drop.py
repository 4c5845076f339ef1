#!/usr/bin/python3
"""Drops a file onto an X window the way a file manager does (the XDND protocol, version 5),
so that a program under wine receives it as WM_DROPFILES.

    xdnd_drop.py WINDOW X Y FILE

WINDOW is the X window id of the target's top-level window, X and Y the point of the drop in
root coordinates. Every step waits for the target's answer, up to 120 seconds in all. Exit
status 0 when the target took the drop, 1 when the window takes no drops at all (no XdndAware)
or did not answer, 3 when it refused the drop or did not finish it, 77 when python3-xlib is
missing.
"""

import os
import sys
import time
import urllib.parse

try:
    from Xlib import X, Xatom, display, protocol
except ImportError:
    print('skipped: python3-xlib is not installed (make deps)')
    sys.exit(77)

DEADLINE_SECONDS = 120
REFUSED = 3


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    target_id, x, y = int(sys.argv[1], 0), int(sys.argv[2]), int(sys.argv[3])
    path = os.path.abspath(sys.argv[4])
    uri_list = ('file://' + urllib.parse.quote(path) + '\r\n').encode()

    d = display.Display()
    atom = lambda name: d.intern_atom(name)
    aware, selection = atom('XdndAware'), atom('XdndSelection')
    enter, position, status = atom('XdndEnter'), atom('XdndPosition'), atom('XdndStatus')
    drop, finished, copy = atom('XdndDrop'), atom('XdndFinished'), atom('XdndActionCopy')
    uri_type = atom('text/uri-list')

    root = d.screen().root
    target = d.create_resource_object('window', target_id)
    version = target.get_full_property(aware, Xatom.ATOM)
    if version is None:
        print(f'window {target_id:#x} does not take drops (no XdndAware)')
        return 1
    version = min(5, version.value[0])

    source = root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
    source.set_selection_owner(selection, X.CurrentTime)
    d.sync()

    def send(kind, data):
        event = protocol.event.ClientMessage(window=target, client_type=kind,
                                             data=(32, [source.id] + data))
        target.send_event(event, event_mask=0)
        d.flush()

    def answer_request(e):
        """The target asks for the dragged data."""
        prop = e.property or e.target
        ok = e.target == uri_type
        if ok:
            e.requestor.change_property(prop, uri_type, 8, uri_list)
        reply = protocol.event.SelectionNotify(time=e.time, requestor=e.requestor,
                                               selection=e.selection, target=e.target,
                                               property=prop if ok else X.NONE)
        e.requestor.send_event(reply, event_mask=0)
        d.flush()

    def wait_for(kind):
        """Serves data requests until a client message of `kind` arrives; its data or None."""
        while time.monotonic() < deadline:
            if d.pending_events() == 0:
                time.sleep(0.01)
                continue
            e = d.next_event()
            if e.type == X.SelectionRequest:
                answer_request(e)
            elif e.type == X.ClientMessage and e.client_type == kind:
                return e.data[1]
        return None

    deadline = time.monotonic() + DEADLINE_SECONDS
    send(enter, [version << 24, uri_type, 0, 0])
    send(position, [0, (x << 16) | y, X.CurrentTime, copy])
    answer = wait_for(status)
    if answer is None:
        print('no answer to the drag')
        return 1
    if not answer[1] & 1:
        print('the window refuses the drop here')
        send(atom('XdndLeave'), [0, 0, 0, 0])
        return REFUSED
    send(drop, [0, X.CurrentTime, 0, 0])
    answer = wait_for(finished)
    if answer is None:
        print('the drop was not finished')
        return REFUSED
    print(f'dropped {path}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
