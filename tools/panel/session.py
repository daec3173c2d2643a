"""A `gaugehost session` process seen from Python: requests written as JSON
lines, replies and the session's own messages (frames that changed the
picture, key events, sounds) read back on a thread of their own.

The process is watched through its exit, not through the end of its output:
under Wine a desktop process started by a module that opens a window keeps
the output pipes open for as long as any program of the prefix runs.
"""
import json
import os
import select
import subprocess
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HOST = os.path.join(ROOT, "gaugehost")


class SessionEnded(Exception):
    """The session's process ended (its error text is the message)."""


class Picture:
    """Raw pixels from the session: 4 bytes a pixel, B, G, R, 0, top-down."""

    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    def image(self):
        from PIL import Image
        return Image.frombuffer("RGB", (self.width, self.height), self.data, "raw", "BGRX", 0, 1)


class _Pending:
    def __init__(self, callback=None):
        self.event = threading.Event()
        self.message = None
        self.callback = callback


class Session:
    """One gaugehost session. `on_message(message)` receives every message
    that answers no request of ours (from the session's own frames), and
    `on_end(error_text)` the end of the process; both run on the reader
    thread. A message's picture, when it has one, is a Picture under
    "picture"."""

    def __init__(self, timeout=10, on_message=None, on_end=None, name="session"):
        self.timeout = timeout
        self.on_message = on_message or (lambda m: None)
        self.on_end = on_end or (lambda e: None)
        self.name = name
        self._seq = 0
        self._pending = {}
        self._lock = threading.Lock()
        self._write_lock = threading.Lock()
        self._proc = None
        self._err = None
        self.error = None          # why it ended, once it has
        self.exit_code = None
        self.ended = threading.Event()

    def start(self):
        self._err = tempfile.TemporaryFile()
        self._proc = subprocess.Popen([HOST, "session", "--timeout", str(self.timeout)],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._err,
                                      cwd=ROOT, close_fds=True)
        threading.Thread(target=self._read, name=self.name + " reader", daemon=True).start()
        return self

    @property
    def pid(self):
        return self._proc.pid if self._proc else None

    def alive(self):
        return self._proc is not None and not self.ended.is_set()

    def send(self, op, on_reply=None, **fields):
        """Writes a request; returns its pending reply (see wait).
        `on_reply(message)`, when given, receives the reply on the reader
        thread."""
        pending = _Pending(on_reply)
        with self._lock:
            if self.ended.is_set():
                raise SessionEnded(self.error or "the session has ended")
            self._seq += 1
            seq = self._seq
            self._pending[seq] = pending
        line = json.dumps(dict(fields, op=op, seq=seq), allow_nan=False) + "\n"
        try:
            with self._write_lock:
                self._proc.stdin.write(line.encode())
                self._proc.stdin.flush()
        except (OSError, ValueError):
            pass   # the reader notices the end and answers every pending request
        return pending

    def wait(self, pending, timeout=None):
        """The reply to a request; raises SessionEnded when the process ended
        first, TimeoutError when no reply came in time."""
        if not pending.event.wait(timeout if timeout is not None else self.timeout + 20):
            raise TimeoutError("%s did not answer within %s s" % (self.name, timeout))
        if pending.message is None:
            raise SessionEnded(self.error or "the session has ended")
        return pending.message

    def request(self, op, timeout=None, **fields):
        return self.wait(self.send(op, **fields), timeout)

    def close(self, wait=8):
        """Ends the session: its input closes, it stops the gauge and ends;
        one that does not is ended (the process and the worker it started)."""
        if self._proc is None:
            return
        processes = session_processes(self._proc.pid)
        try:
            with self._write_lock:
                self._proc.stdin.close()
        except OSError:
            pass
        try:
            self._proc.wait(wait)
        except subprocess.TimeoutExpired:
            for pid in processes:
                try:
                    os.kill(pid, 9)
                except OSError:
                    pass
            self._proc.wait()
        self.ended.wait(5)

    # ---- the reader thread -------------------------------------------------------------

    def _read(self):
        out = self._proc.stdout.fileno()
        buf = bytearray()
        need = None          # (message, bytes still to come) while a picture is read
        exited_at = None
        while True:
            ready, _, _ = select.select([out], [], [], 0.25)
            chunk = b""
            if ready:
                try:
                    chunk = os.read(out, 1 << 20)
                except OSError:
                    chunk = b""
            if chunk:
                buf += chunk
                need = self._parse(buf, need)
                continue
            if ready:          # the pipe itself ended
                break
            if self._proc.poll() is not None:
                # Ended: what it wrote before has arrived by now.
                if exited_at is None:
                    exited_at = time.monotonic()
                elif time.monotonic() - exited_at > 0.5:
                    break
        self._proc.wait()
        self._finish()

    def _parse(self, buf, need):
        while True:
            if need is not None:
                message, size = need
                if len(buf) < size:
                    return need
                p = message["picture"]
                message["picture"] = Picture(p["width"], p["height"], bytes(buf[:size]))
                del buf[:size]
                need = None
                self._deliver(message)
                continue
            end = buf.find(b"\n")
            if end < 0:
                return None
            line = bytes(buf[:end])
            del buf[:end + 1]
            try:
                message = json.loads(line)
            except ValueError:
                continue   # not ours (the process said something else)
            if not isinstance(message, dict):
                continue
            picture = message.get("picture")
            if isinstance(picture, dict):
                need = (message, int(picture.get("bytes", 0)))
                continue
            self._deliver(message)

    def _deliver(self, message):
        seq = message.get("reply")
        with self._lock:
            pending = self._pending.pop(seq, None) if seq is not None else None
        if pending:
            pending.message = message
            if pending.callback:
                try:
                    pending.callback(message)
                except Exception as e:
                    print("gaugehost serve: internal error handling a reply: %r" % e, flush=True)
            pending.event.set()
        else:
            try:
                self.on_message(message)
            except Exception as e:   # a fault of ours must not stop the reading
                print("gaugehost serve: internal error handling a message: %r" % e, flush=True)

    def _finish(self):
        self._err.seek(0)
        text = self._err.read().decode("utf-8", "replace").replace("\r\n", "\n")
        self._err.close()
        errors = [l for l in text.splitlines() if l.startswith("gaugehost: error: ")]
        code = self._proc.returncode
        self.error = errors[-1][len("gaugehost: error: "):] if errors else (
            "the host's session ended (exit status %s)" % code)
        self.exit_code = code
        with self._lock:
            pending, self._pending = self._pending, {}
            self.ended.set()
        for p in pending.values():
            p.event.set()
        try:
            self.on_end(self.error)
        except Exception as e:
            print("gaugehost serve: internal error at a session's end: %r" % e, flush=True)


def session_processes(pid):
    """The processes of a session: the supervisor `pid` and the worker it
    started, which reads the same input (under Wine the worker is not the
    supervisor's child)."""
    try:
        stdin = os.readlink("/proc/%d/fd/0" % pid)
    except OSError:
        return [pid]
    found = [pid]
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) != pid:
            try:
                if os.readlink("/proc/%s/fd/0" % entry) != stdin:
                    continue
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    command = f.read()
                if b"gaugehost.exe" in command and b"--worker" in command:
                    found.append(int(entry))
            except OSError:
                pass
    return found
