"""A real MQTT broker for the bridge tests: mosquitto on 127.0.0.1 at a free
port, from a config file of the test's own, optionally with persistence or
a password file."""

import getpass
import os
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

INSOLE = os.environ.get("INSOLE_BIN", "build/release/tools/insole")
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"mosquitto did not listen on {port}")


class Broker:
    def __init__(self, directory: Path, extra: str = ""):
        self.port = free_port()
        self.dir = directory
        (directory / "db").mkdir(exist_ok=True)
        self.config = directory / "mosquitto.conf"
        # `user` keeps a broker started as root from switching to a user that
        # cannot read the test's files.
        self.config.write_text(
            f"listener {self.port} 127.0.0.1\n"
            f"user {getpass.getuser()}\n"
            f"persistence true\npersistence_location {directory / 'db'}/\n" + extra
        )
        self.proc = None
        self.start()

    @property
    def url(self):
        return f"mqtt://127.0.0.1:{self.port}"

    def start(self):
        self.log = open(self.dir / "broker.log", "ab")
        self.proc = subprocess.Popen([MOSQUITTO, "-c", str(self.config)], stdout=self.log, stderr=self.log)
        wait_for_port(self.port)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=10)
        self.log.close()


@pytest.fixture
def broker(tmp_path):
    b = Broker(tmp_path, "allow_anonymous true\n")
    yield b
    b.stop()


@pytest.fixture
def login_broker(tmp_path):
    passwords = tmp_path / "passwords"
    passwords.touch(mode=0o600)
    subprocess.run(["mosquitto_passwd", "-b", str(passwords), "alice", "s3cret-Pa55"], check=True)
    b = Broker(tmp_path, f"allow_anonymous false\npassword_file {passwords}\n")
    yield b
    b.stop()


def insole(*args, **kwargs):
    return subprocess.run([INSOLE, *args], capture_output=True, text=True, timeout=120, **kwargs)


def start_insole(*args, **kwargs):
    return subprocess.Popen([INSOLE, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)
