#!/usr/bin/python3
"""Drives the real Provisor window as an operator would.

Controls are found on the accessibility bus (AT-SPI) by their role and
accessible name, never by position in the tree; the mouse and the keyboard
(xdotool) act on them at the places the bus reports, so a control that is
hidden, covered or disabled cannot be "pressed" behind the operator's back.
Every wait is on a condition and has a time limit; a wait also ends at once
when Provisor exits.

Runs inside a session made by scripts/ui-session.sh (DISPLAY, the session
bus and the accessibility bus set). Commands:

  check       first start (access key), connect, provision a seed, copy the
              OTP and compare it with oathtool, remove the seed, close
  screenshot  first start, connect, tick "advanced", save a picture of the
              dialog, close
  first-start only answer the access-key dialog, then close (leaves the
              configuration file beside the executable)
"""

import argparse
import base64
import os
import secrets
import shutil
import subprocess
import sys
import time

import pyatspi
from Xlib import X, display as xdisplay, protocol

FACTORY_KEY = "6B3F09D2A4C8571E90B2D6F4138A5C7E"
MAIN_TITLE_PREFIX = "Norvik-2 Keyloom"
CAPTION = "Keyloom"

# Seconds. Generous against a loaded machine; a healthy run waits far less.
T_START = 30
T_UI = 10
T_TOKEN = 20

# Roles whose children are items, not controls: not searched for controls.
LEAF_ROLES = {pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_TABLE, pyatspi.ROLE_LIST, pyatspi.ROLE_TREE,
              pyatspi.ROLE_TREE_TABLE, pyatspi.ROLE_MENU_BAR, pyatspi.ROLE_MENU}


class Failure(Exception):
    pass


STARTED = time.monotonic()


def log(text):
    print(f"ui-driver: {time.monotonic() - STARTED:5.1f} s  {text}", flush=True)


class Provisor:
    """The running program, its accessible tree and its X windows."""

    def __init__(self, app_dir, out_dir, log_path):
        self.app_dir = app_dir
        self.out_dir = out_dir
        self.shot_index = 0
        self.log_file = open(log_path, "w")
        self.proc = subprocess.Popen([os.path.join(app_dir, "Provisor")], cwd=app_dir,
                                     stdin=subprocess.DEVNULL, stdout=self.log_file, stderr=subprocess.STDOUT)
        pid_file = os.environ.get("UI_DRIVER_PID_FILE")
        if pid_file:
            with open(pid_file, "w") as f:
                f.write(f"{self.proc.pid}\n")
        log(f"started {self.app_dir}/Provisor (pid {self.proc.pid})")
        self.app = self.wait("Provisor on the accessibility bus", self._find_app, T_START)
        self.x = xdisplay.Display()

    # ---- waiting -----------------------------------------------------------

    def wait(self, what, condition, timeout=T_UI):
        """Polls condition() until it returns something true. Objects that
        vanish while they are looked at (a box closing) count as not yet."""
        deadline = time.monotonic() + timeout
        last_error = None
        while True:
            code = self.proc.poll()
            if code is not None:
                raise Failure(f"Provisor exited (code {code}) while waiting for {what}")
            try:
                value = condition()
                if value:
                    return value
            except Exception as e:  # the bus reports objects gone as assorted errors
                last_error = e
            if time.monotonic() > deadline:
                extra = f" (last error: {last_error})" if last_error else ""
                raise Failure(f"timed out after {timeout} s waiting for {what}{extra}")
            time.sleep(0.05)

    def _find_app(self):
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == self.proc.pid:
                return app
        return None

    # ---- the accessible tree ----------------------------------------------

    @staticmethod
    def showing(acc):
        return acc.getState().contains(pyatspi.STATE_SHOWING)

    @staticmethod
    def text_of(acc):
        try:
            return acc.queryText().getText(0, -1)
        except NotImplementedError:
            return None

    def windows(self):
        """The program's top-level windows that are on screen."""
        return [w for w in self.app if w is not None and self.showing(w)]

    def find_all(self, root, role, name=None, predicate=None, into_leaf=False):
        found = []
        stack = [root]
        while stack:
            acc = stack.pop()
            for child in acc:
                if child is None:
                    continue
                r = child.getRole()
                if r == role and (name is None or child.name == name) and (predicate is None or predicate(child)):
                    found.append(child)
                if into_leaf or r not in LEAF_ROLES:
                    stack.append(child)
        return found

    @staticmethod
    def labelled(acc, name):
        """The control's accessible name is name, or a label beside it (its
        buddy) says name: Qt on Linux names a combo box by its current text
        and tells its label through a relation."""
        if acc.name == name:
            return True
        for relation in acc.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                if any(relation.getTarget(i).name == name for i in range(relation.getNTargets())):
                    return True
        return False

    def find(self, root, role, name, predicate=None):
        """The one showing control; two would make the name ambiguous."""
        hits = self.find_all(root, role, None,
                             lambda a: self.labelled(a, name) and self.showing(a) and (predicate is None or predicate(a)))
        if len(hits) > 1:
            raise Failure(f"{len(hits)} controls named {name!r} are showing")
        return hits[0] if hits else None

    def main_window(self):
        for w in self.windows():
            if w.name.startswith(MAIN_TITLE_PREFIX):
                return w
        return None

    def control(self, role, name, window=None, timeout=T_UI):
        return self.wait(f"the {role_name(role)} {name!r}", lambda: self.find(window or self.main_window(), role, name), timeout)

    # ---- the operator's hands ----------------------------------------------

    def centre(self, acc):
        e = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        if e.width <= 0 or e.height <= 0:
            raise Failure(f"{acc.name!r} has no area on screen")
        return e.x + e.width // 2, e.y + e.height // 2

    def click(self, acc, what=None):
        what = what or repr(acc.name)
        if not acc.getState().contains(pyatspi.STATE_ENABLED):
            self.wait(f"{what} to be enabled", lambda: acc.getState().contains(pyatspi.STATE_ENABLED))
        x, y = self.centre(acc)
        # Qt reports a new window as showing before the X server has mapped
        # it; a click then would land on whatever lies beneath.
        window = self.top_level(acc)
        self.wait(f"{what} on top at {x},{y}", lambda: self.x_title_at(x, y).startswith(window.name))
        log(f"click {what} at {x},{y}")
        # One xdotool run: the move and the click reach the server in order.
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True, timeout=T_UI)

    def click_at(self, x, y):
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True, timeout=T_UI)

    def double_click(self, x, y):
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "--repeat", "2", "--delay", "40", "1"],
                       check=True, timeout=T_UI)

    def type_into(self, edit, text, what):
        self.click(edit, what)
        self.wait(f"keyboard focus in {what}", lambda: edit.getState().contains(pyatspi.STATE_FOCUSED))
        subprocess.run(["xdotool", "key", "ctrl+a", "BackSpace"], check=True, timeout=T_UI)
        subprocess.run(["xdotool", "type", "--delay", "8", text], check=True, timeout=T_UI)
        self.wait(f"{what} to read {text!r}", lambda: self.text_of(edit) == text)

    def screenshot(self, name):
        if not self.out_dir:
            return
        self.shot_index += 1
        path = os.path.join(self.out_dir, f"{self.shot_index:02d}-{name}.png")
        subprocess.run(["import", "-window", "root", path], check=True, timeout=T_UI)

    # ---- message boxes -------------------------------------------------------

    def message_box(self):
        """A showing box with the tool's caption: (window, text, OK button,
        Cancel button or None)."""
        for w in self.windows():
            if w.name != CAPTION:
                continue
            ok = self.find(w, pyatspi.ROLE_PUSH_BUTTON, "OK")
            if ok is None:
                continue
            cancel = self.find(w, pyatspi.ROLE_PUSH_BUTTON, "Cancel")
            labels = [self.text_of(l) or l.name for l in self.find_all(w, pyatspi.ROLE_LABEL)]
            text = " ".join(t for t in labels if t).replace("\n", " ").strip()
            return w, text, ok, cancel
        return None

    def answer_box(self, expected_text, what):
        """Waits for a box whose text contains expected_text and presses OK."""
        box = self.wait(f"the message box {expected_text!r}", self.message_box)
        window, text, ok, _ = box
        if expected_text not in text:
            raise Failure(f"{what}: the message box says {text!r}, expected {expected_text!r}")
        self.screenshot(what.replace(" ", "-"))
        self.click(ok, f"OK in {text!r}")
        self.wait_box_closed(window, text)
        return text

    def wait_box_closed(self, window, text):
        # A box that stays open was not given the click: a window that a
        # modal one blocks ignores the mouse and the keyboard.
        self.wait(f"the box {text!r} to close after its OK button was clicked",
                  lambda: not self._still_showing(window))

    def _still_showing(self, acc):
        try:
            return self.showing(acc)
        except Exception:
            return False

    # ---- X windows -------------------------------------------------------------

    def top_level(self, acc):
        while True:
            parent = acc.parent
            if parent is None or parent.getRole() == pyatspi.ROLE_APPLICATION:
                return acc
            acc = parent

    def x_title(self, w):
        name = w.get_full_property(self.x.intern_atom("_NET_WM_NAME"), self.x.intern_atom("UTF8_STRING"))
        return name.value.decode() if name else (w.get_wm_name() or "")

    def x_title_at(self, x, y):
        """The title of the uppermost mapped top-level window at x, y."""
        root = self.x.screen().root
        for w in reversed(root.query_tree().children):  # top of the stack first
            try:
                if w.get_attributes().map_state != X.IsViewable:
                    continue
                g = w.get_geometry()
                if g.x <= x < g.x + g.width and g.y <= y < g.y + g.height:
                    return self.x_title(w)
            except Exception:
                continue
        return ""

    def x_window(self, title_prefix):
        """The mapped top-level X window of this process whose title starts
        with title_prefix."""
        root = self.x.screen().root
        pid_atom = self.x.intern_atom("_NET_WM_PID")
        for w in root.query_tree().children:
            try:
                pid = w.get_full_property(pid_atom, X.AnyPropertyType)
                if not pid or pid.value[0] != self.proc.pid:
                    continue
                if w.get_attributes().map_state != X.IsViewable:
                    continue
                if self.x_title(w).startswith(title_prefix):
                    return w
            except Exception:
                continue
        return None

    def press_close_box(self):
        """What a window manager does when the close box of the title bar is
        clicked: it asks the window to close (WM_DELETE_WINDOW)."""
        w = self.wait("the main X window", lambda: self.x_window(MAIN_TITLE_PREFIX))
        protocols = self.x.intern_atom("WM_PROTOCOLS")
        delete = self.x.intern_atom("WM_DELETE_WINDOW")
        if delete not in (w.get_wm_protocols() or []):
            raise Failure("the main window does not take WM_DELETE_WINDOW")
        log("close box of the main window")
        event = protocol.event.ClientMessage(window=w, client_type=protocols,
                                             data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        w.send_event(event, event_mask=X.NoEventMask)
        self.x.flush()

    def wait_exit(self, timeout=T_UI):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"Provisor did not exit within {timeout} s of closing its window")
        if code != 0:
            raise Failure(f"Provisor exited with code {code}")
        log("Provisor exited with code 0")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.log_file.close()


def role_name(role):
    return str(role).replace("ROLE_", "").lower().replace("_", " ")


# ---- steps -------------------------------------------------------------------

def enter_access_key(p, typed):
    """The first start asks for the access key before the main window shows."""
    dialog = p.wait("the \"Access key\" dialog",
                    lambda: next((w for w in p.windows() if w.name == "Access key"), None), T_START)
    p.screenshot("access-key-dialog")
    hex_group = p.control(pyatspi.ROLE_PANEL, "Enter Key (HEX):", dialog)
    hex_edit = p.control(pyatspi.ROLE_TEXT, "Enter Key (HEX):", hex_group)
    if typed:
        p.type_into(hex_edit, FACTORY_KEY, "\"Enter Key (HEX):\"")
    else:
        p.click(p.control(pyatspi.ROLE_PUSH_BUTTON, "reset to default  key", hex_group))
        p.wait("the factory key in \"Enter Key (HEX):\"", lambda: p.text_of(hex_edit) == FACTORY_KEY)
    # Two "Save" buttons: the one in the hex group.
    save = p.control(pyatspi.ROLE_PUSH_BUTTON, "Save", hex_group)
    p.screenshot("access-key-entered")
    p.click(save, "\"Save\" (hex)")
    p.wait("the \"Access key\" dialog to close", lambda: not p._still_showing(dialog))
    key_file = os.path.join(p.app_dir, "Norvik2Cfg.ini")
    p.wait("Norvik2Cfg.ini beside the executable", lambda: os.path.exists(key_file))


def wait_main_window(p):
    main = p.wait("the main window", p.main_window, T_START)
    log(f"main window {main.name!r}")
    return main


def pick_reader(p, reader):
    combo = p.control(pyatspi.ROLE_COMBO_BOX, "Choose device:")

    def item():
        hits = p.find_all(combo, pyatspi.ROLE_LIST_ITEM, reader, into_leaf=True)
        return hits[0] if hits else None

    p.wait(f"{reader!r} in \"Choose device:\"", item, T_TOKEN)
    p.click(combo, "\"Choose device:\"")
    entry = p.wait(f"the list entry {reader!r} on screen", lambda: (lambda i: i if i and p.showing(i) else None)(item()))
    p.screenshot("reader-list")
    p.click(entry, f"the entry {reader!r}")
    # A combo box's accessible name is its current text.
    p.wait(f"{reader!r} chosen",
           lambda: p.find(p.main_window(), pyatspi.ROLE_COMBO_BOX, "Choose device:").name == reader)


def connect(p, serial):
    p.click(p.control(pyatspi.ROLE_PUSH_BUTTON, "\U0001F50Cconnect"))
    p.answer_box("Successful operation!", "connect")
    read_serial(p, serial)
    log(f"token {serial} read")


def primary_selection():
    out = subprocess.run(["xclip", "-o", "-selection", "primary"], capture_output=True, text=True, timeout=T_UI)
    return out.stdout if out.returncode == 0 else None


def read_serial(p, serial):
    """Waits until the serial number field shows serial.

    The field's accessible name is its title and Qt offers no text of a
    label on the bus, so it is read as an operator would copy it: a double
    click selects the number (the field is selectable) and the selection
    is read from the X server."""
    main = p.main_window()
    titled = p.wait("the \"Current Serial Number:\" fields",
                    lambda: [l for l in p.find_all(main, pyatspi.ROLE_LABEL, "Current Serial Number:") if p.showing(l)])
    # Title and value carry the same name; the value stands right of the title.
    field = max(titled, key=lambda l: l.queryComponent().getExtents(pyatspi.DESKTOP_COORDS).x)
    e = field.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    x, y = e.x + 8, e.y + e.height // 2

    def shown():
        p.double_click(x, y)
        return primary_selection() == serial

    p.wait(f"the serial number {serial} in \"Current Serial Number:\"", shown, T_TOKEN)
    # A click beside the number takes the highlight away again.
    p.click_at(e.x + e.width - 4, y)


def result_rows(p):
    table = p.control(pyatspi.ROLE_TABLE, "Results").queryTable()
    rows = []
    for r in range(table.nRows):
        rows.append(tuple(table.getAccessibleAt(r, c).name for c in range(table.nColumns)))
    return rows


def expect_new_row(p, before, state, serial, what):
    def new_row():
        rows = result_rows(p)
        return rows if len(rows) == len(before) + 1 else None

    rows = p.wait(f"a new result row after {what}", new_row, T_TOKEN)
    if rows[0] != (serial, state):
        raise Failure(f"{what}: the new result row is {rows[0]}, expected {(serial, state)}")
    log(f"{what}: result row {rows[0]}")


def press_and_answer(p, button, what, expected_row, serial, questions=()):
    """Presses a token action and answers the boxes it opens: questions
    whose text starts with one of `questions` get OK, any other box fails
    the check. Ends when the new result row is there."""
    before = result_rows(p)
    p.click(p.control(pyatspi.ROLE_PUSH_BUTTON, button))

    def settled():
        box = p.message_box()
        if box:
            return ("box", box)
        rows = result_rows(p)
        return ("row", rows) if len(rows) > len(before) else None

    while True:
        kind, value = p.wait(f"the outcome of {what}", settled, T_TOKEN)
        if kind == "row":
            break
        window, text, ok, cancel = value
        if cancel is None or not any(text.startswith(q) for q in questions):
            raise Failure(f"{what}: unexpected message box {text!r}")
        p.screenshot(f"{what}-question".replace(" ", "-"))
        log(f"{what}: answering {text!r} with OK")
        p.click(ok, "OK")
        p.wait_box_closed(window, text)
    expect_new_row(p, before, expected_row, serial, what)


def totp_candidates(seed, since, until):
    """oathtool's OTPs for every time step from since to until."""
    codes = []
    t = int(since) // 30 * 30
    while t <= until:
        out = subprocess.run(["oathtool", "--totp", "-b", "-N", f"@{t}", seed],
                             capture_output=True, text=True, check=True, timeout=T_UI)
        codes.append(out.stdout.strip())
        t += 30
    return codes


def clipboard():
    out = subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True, text=True, timeout=T_UI)
    return out.stdout if out.returncode == 0 else None


def run_check(p, args):
    seed = args.seed or base64.b32encode(secrets.token_bytes(20)).decode()
    enter_access_key(p, args.type_key)
    wait_main_window(p)
    p.screenshot("main-window")
    pick_reader(p, args.reader)
    connect(p, args.serial)
    check_layout(p, p.main_window())
    p.screenshot("connected")

    p.type_into(p.control(pyatspi.ROLE_TEXT, "Seed (base32) :"), seed, "\"Seed (base32) :\"")
    log(f"seed {seed}")
    press_and_answer(p, "\u26A1 provision profile 0", "provision", "0-Successful operation", args.serial,
                     questions=("This operation will overwrite the seed",))
    p.screenshot("provisioned")

    # Whatever was on the clipboard before must not pass for the OTP.
    stale = clipboard()
    since = time.time() - 30
    press_and_answer(p, "copy OTP", "copy OTP", "0-Successful operation", args.serial)
    otp = p.wait("the OTP on the clipboard", lambda: (lambda c: c if c and c != stale else None)(clipboard()))
    expected = totp_candidates(seed, since, time.time())
    if otp not in expected:
        raise Failure(f"copy OTP put {otp!r} on the clipboard; oathtool says {expected} for the seed")
    log(f"clipboard OTP {otp} matches oathtool")
    p.screenshot("otp-copied")

    press_and_answer(p, "remove seed", "remove seed", "0-Successful operation", args.serial,
                     questions=("This operation will remove the seed",))
    p.screenshot("seed-removed")
    p.press_close_box()
    p.wait_exit()


def run_screenshot(p, args):
    enter_access_key(p, args.type_key)
    main = wait_main_window(p)
    pick_reader(p, args.reader)
    connect(p, args.serial)
    advanced = p.control(pyatspi.ROLE_CHECK_BOX, "advanced")
    p.click(advanced, "\"advanced\"")
    p.wait("\"advanced\" ticked", lambda: advanced.getState().contains(pyatspi.STATE_CHECKED))
    p.control(pyatspi.ROLE_PUSH_BUTTON, "factory reset")
    # The window grows to take the advanced controls.
    p.wait("the window to take every control", lambda: laid_out(p, main))
    check_layout(p, main)
    w = p.wait("the main X window", lambda: p.x_window(MAIN_TITLE_PREFIX))
    subprocess.run(["import", "-window", str(w.id), "-strip", args.png], check=True, timeout=T_UI)
    log(f"saved {args.png}")
    p.press_close_box()
    p.wait_exit()


def rect(acc):
    e = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.x + e.width, e.y + e.height


CONTROL_ROLES = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_TEXT, pyatspi.ROLE_COMBO_BOX,
                 pyatspi.ROLE_LABEL, pyatspi.ROLE_TABLE, pyatspi.ROLE_MENU_BAR}


def controls(p, main):
    found = []
    for role in CONTROL_ROLES:
        found += [(role, a) for a in p.find_all(main, role) if p.showing(a)]
    return found


def laid_out(p, main):
    """The X window has the size Qt gave the dialog, and every control lies
    inside it."""
    w = p.x_window(MAIN_TITLE_PREFIX)
    if w is None:
        return False
    g = w.get_geometry()
    x0, y0, x1, y1 = rect(main)
    if (g.width, g.height) != (x1 - x0, y1 - y0):
        return False
    return all(x0 <= a[0] and y0 <= a[1] and a[2] <= x1 and a[3] <= y1
               for a in (rect(acc) for _, acc in controls(p, main)))


def check_layout(p, main):
    """No two controls on screen overlap, and none is squeezed to nothing."""
    placed = [(f"{role_name(role)} {acc.name!r}", rect(acc)) for role, acc in controls(p, main)]
    problems = [f"{name} has no area" for name, r in placed if r[2] <= r[0] or r[3] <= r[1]]
    for i, (a, ra) in enumerate(placed):
        for b, rb in placed[i + 1:]:
            if ra[0] < rb[2] and rb[0] < ra[2] and ra[1] < rb[3] and rb[1] < ra[3]:
                problems.append(f"{a} at {ra} overlaps {b} at {rb}")
    if problems:
        raise Failure("layout: " + "; ".join(problems))
    log(f"layout: {len(placed)} controls, none overlapping")


def run_first_start(p, args):
    enter_access_key(p, args.type_key)
    wait_main_window(p)
    p.press_close_box()
    p.wait_exit()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["check", "screenshot", "first-start"])
    parser.add_argument("--app-dir", required=True, help="directory holding Provisor and libQuillon.so")
    parser.add_argument("--out", help="directory for a screenshot of every step")
    parser.add_argument("--png", help="screenshot: the picture to write")
    parser.add_argument("--reader", default="Virtual PCD 00 00")
    parser.add_argument("--serial", default="NV2A00000001")
    parser.add_argument("--seed", help="check: base32 seed (default: a random one)")
    parser.add_argument("--type-key", action="store_true", help="type the access key instead of \"reset to default\"")
    args = parser.parse_args()
    for tool in ("xdotool", "xclip", "oathtool", "import"):
        if not shutil.which(tool):
            print(f"ui-driver: {tool} is missing (scripts/install-deps.sh installs it)", file=sys.stderr)
            return 2
    if args.out:
        os.makedirs(args.out, exist_ok=True)

    p = Provisor(args.app_dir, args.out, os.path.join(args.out or args.app_dir, "provisor.log"))
    try:
        {"check": run_check, "screenshot": run_screenshot, "first-start": run_first_start}[args.command](p, args)
    except Failure as e:
        try:
            p.screenshot("failure")
        except Exception:
            pass
        print(f"ui-driver: FAILED: {e}", file=sys.stderr)
        return 1
    finally:
        p.stop()
    log(f"{args.command} passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
