#!/usr/bin/python3
"""A full-trust helper written in Python: an example of the wire contract.

It connects to the application's app service, sends command 41, and answers
the test commands (38, 39, 40) and the directory listing (4). Every other
command is answered with "response" 1. Retried requests are answered from a
results cache and acknowledged results are dropped from it, as the library
expects of every helper.

Usage: python3 pyhelper.py --package B64 --service B64 [--pid N] [--log PATH]
       [--lock PATH] [--logLevel N] [--ReconnectInterval S] [...]
With no arguments the command line is read from the package's LocalSettings
"args", as the full-trust launcher leaves it.
"""

import base64
import collections
import json
import os
import select
import shutil
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time

MAX_FRAME = 16 * 1024 * 1024  # a longer length prefix closes the connection
E_NOTIMPL = -0x7FFFBFFF  # 0x80004001 as the Int32 that travels in "errorCode"
MAX_LISTING = 100000
MAX_CACHED = 4096  # results kept for retries until acknowledged
MAX_WORKERS = 64  # requests executing at once; the reader waits beyond that


def error_code(n):
    """The library's error 0xE10100nn as a signed Int32."""
    return (0xE1010000 | n) - (1 << 32)


NO_PATH, PATH_CHECK, NOT_FOUND, NOT_ALLOWED, LIST_FAILED, NOT_A_FOLDER = (
    error_code(0x03), error_code(0x05), error_code(0x06), error_code(0x09),
    error_code(0x0F), error_code(0x10))


# --- The wire module, generated from platform/appservice.proto at start -------

def load_wire():
    """Runs protoc into a temporary folder and imports what it wrote."""
    here = os.path.dirname(os.path.abspath(__file__))
    proto = os.environ.get("TARVIK_APPSERVICE_PROTO",
                           os.path.join(here, "..", "..", "platform", "appservice.proto"))
    out = tempfile.mkdtemp(prefix="pyhelper-")
    try:
        subprocess.run([os.environ.get("TARVIK_PROTOC", "protoc"),
                        "-I", os.path.dirname(os.path.abspath(proto)),
                        "--python_out", out, os.path.basename(proto)],
                       check=True, stdout=subprocess.DEVNULL)
        sys.path.insert(0, out)
        import appservice_pb2  # noqa: E402  (exists only now)
        return appservice_pb2
    finally:
        if out in sys.path:
            sys.path.remove(out)
        shutil.rmtree(out, ignore_errors=True)


# --- Messages: a dict of key -> (kind, value), kind naming the Value field ----

def Int32(v): return ("int32_value", v)
def UInt64(v): return ("uint64_value", v)
def String(v): return ("string_value", v)
def Boolean(v): return ("boolean_value", v)


def typed(message, key, kind):
    """The value under key when it has that type (readers unbox with the writer's type)."""
    found = message.get(key)
    return found[1] if found and found[0] == kind else None


def text_or_empty(message, key):
    return typed(message, key, "string_value") or ""


def from_wire(value_set):
    message = {}
    for entry in value_set.entries:
        kind = entry.value.WhichOneof("kind")  # None for a value that was never set
        message[entry.key] = (kind, getattr(entry.value, kind) if kind else None)
    return message


def to_wire(message, value_set):
    for key, (kind, value) in message.items():
        entry = value_set.entries.add()
        entry.key = key
        setattr(entry.value, kind or "null_value", value if kind else True)


def response(ok, **extra):
    message = {"response": Int32(0 if ok else 1)}
    message.update(extra)
    return message


# --- Log ---------------------------------------------------------------------

class Log:
    RANKS = {"DBG": 1, "INF": 2, "WRN": 3, "CRT": 4}

    def __init__(self, path, level):
        self.level = level
        self.fd = 2
        if path:
            # Never through a link, and only a plain file of ours with one name.
            fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW
                         | os.O_CLOEXEC, 0o600)
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode) or st.st_nlink != 1 or st.st_uid != os.getuid():
                os.close(fd)
                raise OSError("not a plain file of this user: " + path)
            self.fd = fd

    def __call__(self, level, text):
        if self.RANKS.get(level, 4) < self.level:
            return
        # A value cannot start a line of its own.
        text = "".join(c if c >= " " else " " for c in text)
        now = time.time()
        stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(now))
        line = "%s.%03d %d %s pyhelper: %s\n" % (stamp, int(now * 1000) % 1000,
                                                 os.getpid(), level, text)
        try:
            os.write(self.fd, line.encode("utf-8", "replace"))
        except OSError:
            pass  # a full disk costs the line, not the helper


# --- Command line --------------------------------------------------------------

def split_command_line(line):
    """Splits at blanks, double quotes keeping parts together (as the launcher does)."""
    args, current, quoted, started = [], "", False, False
    for c in line:
        if c == '"':
            quoted, started = not quoted, True
        elif c == " " and not quoted:
            if started:
                args.append(current)
            current, started = "", False
        else:
            current, started = current + c, True
    if started:
        args.append(current)
    return args


def settings_args():
    """The launcher's command line from the package's LocalSettings "args"."""
    try:
        with open(os.environ["TARVIK_PACKAGE_MANIFEST"]) as f:
            family = json.load(f)["familyName"]
        data = os.environ.get("XDG_DATA_HOME") or os.path.expanduser("~/.local/share")
        with open(os.path.join(data, "tarvik", family, "Settings", "settings.json")) as f:
            value = json.load(f)["args"]
        return split_command_line(value["value"]) if value.get("type") == "String" else []
    except (OSError, KeyError, ValueError, TypeError, AttributeError):
        return []


def parse_options(args):
    if len(args) == 1:  # a launch URI: "<scheme>: <command line>"
        at = args[0].find(": ")
        args = split_command_line(args[0] if at < 0 else args[0][at + 2:])
    o = {"pid": 0, "package": "", "service": "", "log": "", "lock": "",
         "logLevel": 2, "ReconnectInterval": 20}
    i = 0
    while i < len(args):
        flag = args[i]
        i += 1
        if flag == "--enableLocalhost":
            continue
        if i >= len(args):
            raise ValueError("missing value after " + flag)
        value = args[i]
        i += 1
        try:
            if flag in ("--package", "--service", "--client"):
                o[flag[2:]] = base64.b64decode(value, validate=True).decode("utf-8")
            elif flag in ("--pid", "--logLevel", "--ReconnectInterval"):
                if not value.isdigit():
                    raise ValueError
                o[flag[2:]] = int(value)
            elif flag in ("--AppServiceInBackground", "--enableNetworkLogging"):
                if value not in ("true", "false"):
                    raise ValueError
            elif flag in ("--log", "--lock"):
                o[flag[2:]] = value
            else:
                raise KeyError(flag)
        except KeyError:
            raise ValueError("unknown option " + flag)
        except ValueError:
            raise ValueError("bad value for %s: %s" % (flag, value))
    if not o["package"] or not o["service"]:
        raise ValueError("--package and --service are required")
    # The package and service name folders and files: they may not climb out of them.
    for name in (o["package"], o["service"]):
        if name.startswith(".") or "/" in name or ".." in name or "\0" in name:
            raise ValueError("bad package or service name: " + name)
    if not 1 <= o["ReconnectInterval"] <= 86400:
        raise ValueError("bad value for --ReconnectInterval")
    return o


# --- Served folders and the listing (command 4) --------------------------------

def served_roots(log):
    """The user's "fileRoots", or the home folder without a config; nothing when it is bad."""
    config = os.environ.get("XDG_CONFIG_HOME", "")
    if not config.startswith("/"):
        config = os.path.expanduser("~/.config")
    path = os.path.join(config, "tarvik", "helper.json")
    if not os.path.exists(path):
        roots = [os.path.expanduser("~")]
    else:
        try:
            with open(path) as f:
                roots = json.load(f)["fileRoots"]
            if not isinstance(roots, list) or not all(
                    isinstance(r, str) and r.startswith("/") and "\0" not in r for r in roots):
                raise ValueError("fileRoots must list absolute paths")
        except (OSError, KeyError, ValueError, TypeError) as e:
            log("CRT", "file commands serve nothing: %s is unusable: %s" % (path, e))
            return []
    # Each root as configured and with its links resolved once, at start.
    return [(os.path.realpath(r), os.path.normpath(r)) for r in roots]


class FileFailure(Exception):
    def __init__(self, code, path, reason):
        super().__init__("listing%s: %s" % (" " + path if path else "", reason))
        self.code = code


def within(path, root):
    """Whether path is root or below it; a sibling sharing its prefix is not."""
    return root == "/" or path == root or path.startswith(root + "/")


def open_served_folder(roots, path):
    """Opens the folder at path from its served root down, following no link."""
    if not path:
        raise FileFailure(NO_PATH, "", "no path given")
    if not path.startswith("/") or "\0" in path:
        raise FileFailure(NOT_ALLOWED, path, "only absolute paths are allowed")
    # Judged after resolving links and "..", so neither leads out of a served folder.
    target = os.path.realpath(path)
    if not any(within(target, resolved) for resolved, _ in roots):
        raise FileFailure(NOT_ALLOWED, path, "outside the served folders")
    # Then walk the path's own text beneath its root, refusing every link on the way.
    normal = os.path.normpath(path)
    place = next(((resolved, normal[len(text):]) for resolved, given in roots
                  for text in (resolved, given) if within(normal, text)), None)
    if place is None:
        raise FileFailure(NOT_ALLOWED, path, "a link on the way is not followed")
    fd = os.open(place[0], os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    parts = [p for p in place[1].split("/") if p]
    try:
        for n, name in enumerate(parts):
            try:
                st = os.stat(name, dir_fd=fd, follow_symlinks=False)
            except FileNotFoundError:
                raise FileFailure(NOT_FOUND, path, "no such folder")
            except NotADirectoryError:
                raise FileFailure(NOT_FOUND, path, "no such folder")
            if stat.S_ISLNK(st.st_mode):
                raise FileFailure(NOT_ALLOWED, path, "a link on the way is not followed")
            if not stat.S_ISDIR(st.st_mode):
                raise FileFailure(NOT_A_FOLDER if n == len(parts) - 1 else NOT_FOUND, path,
                                  "not a folder" if n == len(parts) - 1 else "no such folder")
            try:
                inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW
                                | os.O_CLOEXEC, dir_fd=fd)
            except OSError:  # replaced by a link since the check
                raise FileFailure(NOT_ALLOWED, path, "a link on the way is not followed")
            os.close(fd)
            fd = inner
        return fd
    except BaseException:
        os.close(fd)
        raise


def list_folder(roots, path, recursive):
    """The JSON listing [{"path", "type"}], sorted by path; links are never entered."""
    top = open_served_folder(roots, path)
    entries = []

    def walk(fd, prefix):
        with os.scandir(fd) as it:
            for entry in it:
                if len(entries) >= MAX_LISTING:
                    raise FileFailure(LIST_FAILED, path, "more than %d entries" % MAX_LISTING)
                is_folder = entry.is_dir(follow_symlinks=True)
                name = prefix + b"/" + os.fsencode(entry.name)
                entries.append((name, is_folder))
                if recursive and is_folder and not entry.is_symlink():
                    try:
                        inner = os.open(entry.name, os.O_RDONLY | os.O_DIRECTORY
                                        | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=fd)
                    except OSError as e:
                        raise FileFailure(LIST_FAILED, os.fsdecode(name), e.strerror)
                    try:
                        walk(inner, name)
                    finally:
                        os.close(inner)

    try:
        walk(top, os.fsencode(path.rstrip("/") or "/"))
    except OSError as e:
        raise FileFailure(LIST_FAILED, path, e.strerror or str(e))
    except RecursionError:
        raise FileFailure(LIST_FAILED, path, "folders nested too deep")
    finally:
        os.close(top)
    entries.sort()
    # Names that are not UTF-8 are written with replacement characters, not refused.
    return json.dumps([{"path": p.decode("utf-8", "replace"), "type": "folder" if d else "file"}
                       for p, d in entries], ensure_ascii=False, separators=(",", ":"))


# --- The connection ------------------------------------------------------------

class ProtocolError(Exception):
    pass


class Connection:
    """One app-service connection: length-prefixed Frame messages on a Unix socket."""

    def __init__(self, wire, sock):
        self.wire, self.sock = wire, sock
        self.write_lock = threading.Lock()

    def read_exactly(self, n):
        # Memory grows with what has arrived, not with what a prefix announces.
        chunks, left = [], n
        while left:
            chunk = self.sock.recv(min(left, 1 << 16))
            if not chunk:
                return None
            chunks.append(chunk)
            left -= len(chunk)
        return b"".join(chunks)

    def read_frame(self):
        """The next Frame, None at the end of the socket; ProtocolError for a bad one."""
        prefix = self.read_exactly(4)
        if prefix is None:
            return None
        (length,) = struct.unpack(">I", prefix)
        if length > MAX_FRAME:
            raise ProtocolError("frame of %d bytes refused (at most %d)" % (length, MAX_FRAME))
        body = self.read_exactly(length)
        if body is None:
            return None
        frame = self.wire.Frame()
        try:
            frame.ParseFromString(body)
        except Exception as e:  # protobuf's DecodeError, or text that is not UTF-8
            raise ProtocolError("malformed frame of %d bytes: %s" % (length, e))
        return frame

    def write_frame(self, frame):
        body = frame.SerializeToString()
        with self.write_lock:
            self.sock.sendall(struct.pack(">I", len(body)) + body)

    def close(self, status=0):
        """Sends the close frame (0 Completed, 3 Unknown) and ends the socket, which
        wakes the reader."""
        try:
            self.write_frame(self.wire.Frame(close=self.wire.Close(status=status)))
        except OSError:
            pass
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def socket_path(package, service):
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime:
        base = os.path.join(runtime, "tarvik")
    else:
        cache = os.environ.get("XDG_CACHE_HOME", "")
        base = os.path.join(cache if cache.startswith("/") else
                            os.path.expanduser("~/.cache"), "tarvik-run")
    return os.path.join(base, package, service + ".sock")


# --- The helper ------------------------------------------------------------------

class Helper:
    def __init__(self, wire, options, log):
        self.wire, self.options, self.log = wire, options, log
        self.roots = served_roots(log)
        self.lock = threading.Lock()  # guards the cache, the acks and our own requests
        self.results = collections.OrderedDict()  # request id -> answer, until acknowledged
        self.in_progress = set()
        self.acks = set()  # ids of our requests that the application has answered
        self.waiting = {}  # sequence of our request -> its "commandId"
        self.sequence = 0
        self.last_id = 0
        self.workers = threading.BoundedSemaphore(MAX_WORKERS)
        self.exit_requested = False
        self.handlers = {4: self.list_directory, 38: self.test_delay,
                         39: self.test_app_exit, 40: self.test_kalder}

    # Our own requests (41, 37) carry ids from the boot clock, so a helper started
    # later never repeats an id of one it replaces.
    def send_request(self, connection, command, **entries):
        with self.lock:
            self.last_id = max(self.last_id + 1, time.clock_gettime_ns(time.CLOCK_BOOTTIME))
            self.sequence += 1
            sequence, request_id = self.sequence, self.last_id
            acks = sorted(self.acks)[:25]
            self.acks.difference_update(acks)
            if len(self.waiting) >= MAX_CACHED:  # the application answers none of them
                self.waiting.pop(next(iter(self.waiting)))
            self.waiting[sequence] = request_id
        message = {"command": Int32(command), "commandId": UInt64(request_id),
                   "ackCounts": Int32(len(acks))}
        message.update({"Ack%d" % (i + 1): UInt64(a) for i, a in enumerate(acks)})
        message.update(entries)
        frame = self.wire.Frame()
        frame.request.sequence = sequence
        to_wire(message, frame.request.message)
        connection.write_frame(frame)

    def answered(self, frame):
        """The application answered one of our requests: acknowledge it on the next."""
        with self.lock:
            request_id = self.waiting.pop(frame.response.sequence, None)
            if request_id is not None:
                self.acks.add(request_id)

    def received(self, connection, frame):
        request = from_wire(frame.request.message)
        sequence = frame.request.sequence
        command = typed(request, "command", "int32_value")
        request_id = typed(request, "commandId", "uint64_value")
        # The application has our answers to these: drop them from the cache.
        count = typed(request, "ackCounts", "int32_value") or 0
        with self.lock:
            for slot in range(1, min(count, 25) + 1):
                self.results.pop(typed(request, "Ack%d" % slot, "uint64_value"), None)
        handler = self.handlers.get(command)
        if handler is None:
            self.log("WRN", "command %s not implemented by this helper" % command)
            return self.answer(connection, sequence, response(False, errorCode=Int32(E_NOTIMPL)))
        if request_id is None:
            self.log("CRT", "kCommandId !found")
        with self.lock:
            # A retry of a request still executing is told to try again later; one
            # already executed gets the first execution's answer.
            if request_id in self.in_progress:
                return self.answer(connection, sequence, {"response": Int32(2)})
            if request_id in self.results:
                self.log("DBG", "found ID %d" % request_id)
                return self.answer(connection, sequence, self.results[request_id])
            if request_id is not None:
                self.in_progress.add(request_id)
        self.workers.acquire()  # at most MAX_WORKERS at once; the reader waits here
        threading.Thread(target=self.execute, daemon=True,
                         args=(connection, sequence, request_id, handler, request)).start()

    def execute(self, connection, sequence, request_id, handler, request):
        try:
            result = handler(connection, request)
        except Exception as e:  # a fault in a handler fails its request, not the helper
            self.log("CRT", "Exception executing Handler req %s: %r" % (request_id, e))
            result = response(False)
        finally:
            self.workers.release()
        with self.lock:
            self.in_progress.discard(request_id)
            if request_id is not None and typed(result, "response", "int32_value") != 2:
                self.results[request_id] = result
                if len(self.results) > MAX_CACHED:
                    dropped, _ = self.results.popitem(last=False)
                    self.log("WRN", "results cache full, dropped unacknowledged %d" % dropped)
        self.answer(connection, sequence, result)
        if handler == self.test_app_exit:
            connection.close()  # the reader sees the end and the helper exits

    def answer(self, connection, sequence, message):
        frame = self.wire.Frame()
        frame.response.sequence = sequence
        frame.response.status = 0
        frame.response.message_present = True
        to_wire(message, frame.response.message)
        try:
            connection.write_frame(frame)
        except OSError as e:  # the application retries; the cache answers the retry
            self.log("WRN", "answer to %d not sent: %s" % (sequence, e))

    # --- Commands --------------------------------------------------------------

    def test_delay(self, connection, request):
        delay = typed(request, "TestDelay", "uint64_value")
        if delay is None:
            self.log("WRN", "TestDelay missing or not UInt64")
            return response(False)
        scale = float(os.environ.get("TARVIK_CLOCK_SCALE", "1") or 1)
        time.sleep(min(delay / 1000.0 / max(scale, 1e-6), 86400.0 * 365))
        text = "Delayed %d ms" % delay
        value = typed(request, "value", "uint64_value")
        if value is not None:
            text += " value %d" % value
        return response(True, TestReponse=String(text))

    def test_app_exit(self, connection, request):
        self.log("INF", "exit requested by the application")
        self.exit_requested = True
        return response(True)

    def test_kalder(self, connection, request):
        iterations = typed(request, "TestIterations", "int32_value")
        if iterations is None:
            return response(False)
        for i in range(1, iterations + 1):
            self.send_request(connection, 37, messageType=String("TestKalder"),
                              payload=String("iteration %d" % i))
        return response(True)

    def list_directory(self, connection, request):
        path = text_or_empty(request, "filePath")
        recursive = text_or_empty(request, "doRecursiveListing") in ("true", "True", "1")
        try:
            listing = list_folder(self.roots, path, recursive)
        except FileFailure as failure:
            self.log("WRN", str(failure))
            return response(False, result=Int32(1), errorCode=Int32(failure.code),
                            fileError=String(str(failure)))
        except OSError as e:
            self.log("WRN", "listing %s: %s" % (path, e))
            return response(False, result=Int32(1), errorCode=Int32(PATH_CHECK),
                            fileError=String("listing %s: %s" % (path, e.strerror)))
        return response(True, result=Int32(0), directoryListing=String(listing))

    # --- Connecting and serving ------------------------------------------------

    def open(self):
        """Connects and sends the opening frame; the Connection, or None."""
        path = socket_path(self.options["package"], self.options["service"])
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        try:
            sock.settimeout(10)
            sock.connect(path)
            connection = Connection(self.wire, sock)
            connection.write_frame(self.wire.Frame(open=self.wire.Open(
                service_name=self.options["service"], caller_package_family_name="",
                protocol_version=1)))
            answer = connection.read_frame()
            sock.settimeout(None)
            if answer is None or answer.WhichOneof("body") != "open_result":
                raise ProtocolError("no open_result")
            if answer.open_result.status != 0:
                raise ProtocolError("status %d" % answer.open_result.status)
            return connection
        except (OSError, ProtocolError) as e:
            self.log("WRN", "cannot open %s: %s" % (self.options["service"], e))
            sock.close()
            return None

    def serve(self, connection):
        """Reads frames until the connection ends; a bad frame ends it with a log line."""
        self.log("INF", "connected to %s" % self.options["service"])
        try:
            self.send_request(connection, 41)
            while True:
                frame = connection.read_frame()
                body = frame.WhichOneof("body") if frame is not None else None
                if body == "request":
                    self.received(connection, frame)
                elif body == "response":
                    self.answered(frame)
                elif body == "close" or frame is None:
                    self.log("INF", "connection closed")
                    break
                else:
                    raise ProtocolError("unexpected %s frame" % body)
        except ProtocolError as e:
            self.log("CRT", "closing the connection: %s" % e)
            connection.close(3)
        except OSError as e:
            self.log("WRN", "connection lost: %s" % e)
        connection.sock.close()


def lock_stamp(path):
    try:
        return os.stat(path).st_mtime_ns if path else 0
    except OSError:
        return 0


def watch_application(pid, log):
    """The helper ends with its application."""
    try:
        fd = os.pidfd_open(pid)
    except OSError:
        log("INF", "application %d is gone, helper exiting" % pid)
        os._exit(0)

    def wait():
        select.select([fd], [], [])
        log("INF", "application %d is gone, helper exiting" % pid)
        os._exit(0)
    threading.Thread(target=wait, daemon=True).start()


def main(argv):
    try:
        options = parse_options(argv or settings_args())
        log = Log(options["log"], options["logLevel"])
        wire = load_wire()
    except (ValueError, OSError, subprocess.CalledProcessError, ImportError) as e:
        print("pyhelper: %s" % e, file=sys.stderr)
        return 2
    log("INF", "helper for %s/%s starting" % (options["package"], options["service"]))
    if options["pid"] > 0:
        watch_application(options["pid"], log)
    helper = Helper(wire, options, log)
    while True:
        # A signal of the lock file from now on makes the next attempt come at once.
        stamp = lock_stamp(options["lock"])
        connection = helper.open()
        if connection is not None:
            helper.serve(connection)
            if helper.exit_requested:
                log("INF", "helper exiting")
                os._exit(0)
        # Reconnect after the interval, or at once when the application signals the lock file.
        until = time.monotonic() + options["ReconnectInterval"]
        while time.monotonic() < until and lock_stamp(options["lock"]) == stamp:
            time.sleep(0.05)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
