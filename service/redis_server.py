"""A throw-away Redis server for the tests and the demo.

Runs Debian's ``redis-server`` on a free loopback port, in a temporary
directory, with persistence off; ``stop()`` and ``start()`` again keep the
port, so a test can take Redis away in the middle of a run and bring it back.

>>> with RedisServer() as server:  # doctest: +SKIP
...     client = server.client()
...     client.ping()
True
"""

from __future__ import annotations

import shutil
import socket
import subprocess
import tempfile
import time


def redis_server_path() -> str | None:
    """Where ``redis-server`` is, or None when it is not installed."""
    return shutil.which("redis-server") or next(
        (p for p in ("/usr/bin/redis-server", "/usr/sbin/redis-server") if shutil.which(p)), None)


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class RedisServer:
    """One ``redis-server`` process on 127.0.0.1; a context manager."""

    def __init__(self, port: int = 0, *, start_timeout: float = 10.0) -> None:
        executable = redis_server_path()
        if executable is None:
            raise RuntimeError("redis-server is not installed (Debian: apt-get install redis-server)")
        self.executable = executable
        self.port = port or _free_port()
        self.start_timeout = start_timeout
        self._dir = tempfile.TemporaryDirectory(prefix="redis-")
        self._process: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def client(self, **kwargs):
        """A redis-py client of this server (``kwargs`` go to ``redis.Redis``)."""
        import redis

        return redis.Redis(host="127.0.0.1", port=self.port, **kwargs)

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def start(self) -> RedisServer:
        if self.running:
            return self
        args = [self.executable, "--bind", "127.0.0.1", "--port", str(self.port), "--dir", self._dir.name,
                "--save", "", "--appendonly", "no", "--daemonize", "no", "--protected-mode", "yes",
                "--loglevel", "warning", "--logfile", ""]
        self._process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                raise RuntimeError(f"redis-server exited with status {self._process.returncode}")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2) as sock:
                    sock.sendall(b"PING\r\n")
                    if sock.recv(16).startswith(b"+PONG"):
                        return self
            except OSError:
                pass
            time.sleep(0.02)
        self.stop()
        raise RuntimeError(f"redis-server did not answer on port {self.port} within {self.start_timeout} s")

    def stop(self) -> None:
        process, self._process = self._process, None
        if process is None:
            return
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def close(self) -> None:
        self.stop()
        self._dir.cleanup()

    def __enter__(self) -> RedisServer:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.close()
