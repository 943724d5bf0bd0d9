"""Send map points to the local halvex_mapapi_server from Python: a client of its point socket.

    import halvex_mapapi_client

    with halvex_mapapi_client.Client() as client:  # $HALVEX_MAPAPI_SOCKET, else the default
        client.send(lat=40.7128, lng=-74.006, c="#ff8800")  # True: OK, False: FAILED
        client.send_json('{"zipcode":"02134","r":10}')

Each send waits for the service's reply and returns True when it answered OK (it holds the
point and posts it to the map service) or False when it answered FAILED (the point is not
taken; the service's own output says why). It raises TooLong (a ValueError) for a message
over MESSAGE_MAX bytes, which is not sent; Unreachable (a ConnectionError) when no
connection can be made, or the service keeps closing it before it answers, until the
time-out; TimedOut (a TimeoutError) when the message went out and no reply came in time:
the service is stopped or stalled and may still take the point when it goes on. All three
are also Error. A bad argument raises ValueError before anything is sent.

Reconnecting: the service answers every message it has read, even while it stops, so a
connection that ends before the reply means the message was not taken: the send connects
again and sends it again, waiting while the socket is missing or refuses (a restarted service
makes it anew), until its time-out. So is a point answered FAILED by a service that has begun
to stop (it refuses every point then, after it has removed its socket file: a file gone or
made anew since the connection tells so); under systemd's socket activation the file stays,
and such a point is answered False. A message that may have been read (no reply in time) is
never sent again. Only a service that crashes between reading a message and answering it can
get a point twice this way. After a send found the service unreachable, the next one tries one
connection and does not wait for the socket to come back.

Time-outs are in seconds and bound the whole call. A client is used by one thread at a time.
Standard library only.
"""
import errno
import json
import math
import os
import socket
import time

SOCKET_ENV = "HALVEX_MAPAPI_SOCKET"
SOCKET_DEFAULT = "/tmp/halvex_mapapi_server_socket"
# The service takes one receive of at most this many bytes as one message.
MESSAGE_MAX = 1024
TIMEOUT = 10.0
# The service holds a radius as a signed 32-bit number, delay and visible_time unsigned.
R_MAX = 2**31 - 1
UINT32_MAX = 2**32 - 1
COLOUR_MAX = 0xFFFFFF

_REPLY_OK = b"OK\n"
_REPLY_FAILED = b"FAILED\n"
# Room for a reply: the longer one, and a byte that shows a longer text is no reply.
_REPLY_ROOM = 8
# Waits between tries to connect, and to send again after a connection ended unread.
_PAUSE_FIRST = 0.005
_PAUSE_MAX = 0.1


class Error(Exception):
    """What a send could not do."""


class Unreachable(Error, ConnectionError):
    """No connection to the service, or it closed each one before answering."""


class TimedOut(Error, TimeoutError):
    """The message went out and no reply came within the time-out."""


class TooLong(Error, ValueError):
    """The message is longer than MESSAGE_MAX bytes; it was not sent."""


def _number(name, value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{name} must be a number, not {value!r}")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    return repr(value)  # the fewest digits that read back as the same double


def _whole(name, value, most):
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= most:
        raise ValueError(f"{name} must be a whole number from 0 to {most}, not {value!r}")
    return str(value)


def _colour(name, value):
    if isinstance(value, str):
        return json.dumps(value)  # read by the service as "#rrggbb"
    return '"#%06x"' % int(_whole(name, value, COLOUR_MAX))


def point_json(lat=None, lng=None, zipcode=None, r=None, c=None, c2=None, delay=None,
               visible_time=None):
    """The message send() sends for these fields (None: not given). lat and lng come together;
    zipcode is an int or a text of digits; a colour is 0xRRGGBB or a text "#rrggbb". Numbers
    are written so that the service reads back exactly the value given."""
    if (lat is None) != (lng is None):
        raise ValueError("lat and lng are given together or not at all")
    members = []
    if lat is not None:
        members += [f'"lat":{_number("lat", lat)}', f'"lng":{_number("lng", lng)}']
    if zipcode is not None:
        if isinstance(zipcode, bool) or not isinstance(zipcode, (int, str)):
            raise ValueError(f"zipcode must be an int or a text, not {zipcode!r}")
        members.append(f'"zipcode":{json.dumps(zipcode)}')
    for name, value, most in (("r", r, R_MAX), ("delay", delay, UINT32_MAX),
                              ("visible_time", visible_time, UINT32_MAX)):
        if value is not None:
            members.append(f'"{name}":{_whole(name, value, most)}')
    for name, value in (("c", c), ("c2", c2)):
        if value is not None:
            members.append(f'"{name}":{_colour(name, value)}')
    return "{" + ",".join(members) + "}"


class Client:
    """A connection to the service's socket: path, else $HALVEX_MAPAPI_SOCKET, else
    SOCKET_DEFAULT. Connects at once: Unreachable when the socket is missing or refuses;
    a service whose queue of new connections is full is tried again until timeout."""

    def __init__(self, path=None, timeout=TIMEOUT):
        self.path = path or os.environ.get(SOCKET_ENV) or SOCKET_DEFAULT
        self.timeout = timeout
        self._sock = None
        self._sock_file = None  # (device, inode) of the socket file the connection went through
        self._wait_restart = False  # a connection worked since the service was unreachable
        self._connect(time.monotonic() + timeout)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def send(self, lat=None, lng=None, zipcode=None, r=None, c=None, c2=None, delay=None,
             visible_time=None, timeout=None):
        """Send one point given as fields (see point_json()); True for OK, False for FAILED."""
        text = point_json(lat, lng, zipcode, r, c, c2, delay, visible_time)
        return self.send_json(text, timeout)

    def send_json(self, text, timeout=None):
        """Send one message, JSON text (str or bytes) as the service reads it; True for OK,
        False for FAILED."""
        data = text.encode() if isinstance(text, str) else bytes(text)
        if not data:
            raise ValueError("an empty message cannot be sent")
        if len(data) > MESSAGE_MAX:
            raise TooLong(f"message of {len(data)} bytes, longer than {MESSAGE_MAX}")
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        pause = 0.0
        while True:
            if self._sock is None:
                self._connect(deadline)
            reply = self._exchange(data, deadline)
            if reply is not None:
                return reply
            self._wait_restart = True  # it closed under the message: a restart may be under way
            if deadline - time.monotonic() <= pause:
                self._wait_restart = False
                raise Unreachable(errno.ECONNRESET,
                                  f"{self.path}: the service closed the connection before "
                                  "answering")
            time.sleep(pause)
            pause = min(max(2 * pause, _PAUSE_FIRST), _PAUSE_MAX)

    def _connect(self, deadline):
        pause = _PAUSE_FIRST
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.setblocking(False)  # a full queue of new connections answers EAGAIN at once
            try:
                s.connect(self.path)
            except OSError as e:
                s.close()
                left = deadline - time.monotonic()
                retried = e.errno == errno.EAGAIN or (
                    self._wait_restart and e.errno in (errno.ENOENT, errno.ECONNREFUSED))
                if not retried or left <= 0:
                    self._wait_restart = False
                    raise Unreachable(e.errno, f"cannot connect to {self.path}: "
                                      f"{os.strerror(e.errno)}") from None
                time.sleep(min(pause, left))
                pause = min(2 * pause, _PAUSE_MAX)
                continue
            s.setblocking(True)
            self._sock, self._wait_restart = s, True
            self._sock_file = self._socket_file()
            return

    def _socket_file(self):
        try:
            st = os.stat(self.path)
        except OSError:
            return None
        return st.st_dev, st.st_ino

    def _stopping(self):
        """A stop removes the socket file before it answers FAILED to every point, and a restart
        makes a new one."""
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            return True
        except OSError:
            return False
        return (st.st_dev, st.st_ino) != self._sock_file

    def _fail(self, error):
        self.close()
        raise error

    def _exchange(self, data, deadline):
        """True or False for the reply; None when the connection ended with the message
        unread."""
        try:
            sent = self._sock.send(data)  # one call: the socket holds no earlier message
        except (BrokenPipeError, ConnectionResetError):
            return self.close()
        except OSError as e:
            self._fail(Unreachable(e.errno, f"{self.path}: {os.strerror(e.errno)}"))
        if sent != len(data):
            self._fail(Unreachable(errno.EIO, f"{self.path}: the message went out in part"))
        reply = b""
        while b"\n" not in reply:
            left = deadline - time.monotonic()
            if left <= 0:
                self._fail(TimedOut(errno.ETIMEDOUT, f"{self.path}: no reply in time"))
            self._sock.settimeout(left)
            try:
                chunk = self._sock.recv(_REPLY_ROOM - len(reply))
            except TimeoutError:
                continue
            except ConnectionResetError:
                chunk = b""
            except OSError as e:
                self._fail(Unreachable(e.errno, f"{self.path}: {os.strerror(e.errno)}"))
            if not chunk and not reply:
                return self.close()
            if not chunk or len(reply + chunk) >= _REPLY_ROOM and b"\n" not in chunk:
                self._fail(Unreachable(errno.EPROTO, f"{self.path}: no reply of the protocol"))
            reply += chunk
        if reply not in (_REPLY_OK, _REPLY_FAILED):
            self._fail(Unreachable(errno.EPROTO, f"{self.path}: reply {reply!r}"))
        if reply == _REPLY_FAILED and self._stopping():
            return self.close()  # not judged: sent again to the service that comes next
        return reply == _REPLY_OK
