"""test_client_python.py -- the Python client module against the real service, through the
shared fixture's driver (tests/support/service_driver.cpp): each answer a send can get, and a
restart in the middle of a stream of points."""
import os
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.environ["HALVEX_CLIENT_PYTHON_DIR"])
import halvex_mapapi_client as hc  # noqa: E402


class Service:
    def __init__(self):
        self.proc = subprocess.Popen([os.environ["HALVEX_SERVICE_DRIVER"]], text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.noise = []  # what the fixture printed besides its answers: its failed checks
        self.sock = self.ask("up", "sock ").split(" ", 1)[1]

    def ask(self, command, answer):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        for line in self.proc.stdout:
            if line.startswith(answer):
                return line.rstrip("\n")
            self.noise.append(line)
        raise AssertionError(f"{command}: no answer; {''.join(self.noise)}")


@pytest.fixture
def service():
    s = Service()
    yield s
    assert s.ask("failures", "failures ") == "failures 0", "".join(s.noise)
    s.proc.stdin.close()
    s.proc.wait(timeout=60)


def test_says_accepted_refused_and_too_long(service):
    with hc.Client(service.sock) as client:
        assert client.send(lat=1.2345678, lng=-123.456789, c=0xFF8800, delay=5) is True
        assert client.send_json('{"lat":"north","lng":1}') is False
        with pytest.raises(hc.TooLong):
            client.send_json(" " * 1025)
        assert client.send(zipcode=7) is True
    with pytest.raises(ValueError):
        hc.point_json(lat=float("nan"), lng=0)


def test_says_unreachable_and_timed_out(service):
    with pytest.raises(hc.Unreachable):
        hc.Client(service.sock + ".none")
    with hc.Client(service.sock) as client:
        service.ask("pause", "ok")
        sent = time.monotonic()
        with pytest.raises(hc.TimedOut):
            client.send(zipcode=1, timeout=0.3)
        assert time.monotonic() - sent >= 0.3
        service.ask("resume", "ok")
        assert client.send(zipcode=2) is True


def test_restart_mid_stream_loses_no_point_and_sends_none_twice(service):
    sent, restarted = [0], threading.Event()

    def restart():
        while sent[0] < 100:
            time.sleep(0.001)
        service.ask("restart", "ok")
        restarted.set()

    thread = threading.Thread(target=restart)
    thread.start()
    after = 0
    with hc.Client(service.sock) as client:
        while not restarted.is_set() or after < 100:
            after += restarted.is_set()
            assert client.send(zipcode=sent[0] + 1, timeout=40) is True
            sent[0] += 1
            time.sleep(0.001)  # a steady stream
    thread.join()
    service.ask("stop", "stopped")
    codes = sorted(int(c) for c in service.ask("zipcodes", "zipcodes").split()[1:])
    assert codes == list(range(1, sent[0] + 1))
