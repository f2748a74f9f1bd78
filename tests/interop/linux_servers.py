#!/usr/bin/env python3
"""Runs a command with the Linux test servers of the interop tests around it.

    linux_servers.py COMMAND [ARG...]

Starts an echo target, Dante (SOCKS4 and SOCKS5) and microsocks (SOCKS5,
without and with a user name and password) on 127.0.0.1 with free ports,
runs COMMAND with their ports in the environment, stops them all and exits
with COMMAND's status. The Windows interop tests run this way under Wine,
which passes the environment through to the Windows program:

    QBSOCKS_ECHO_PORT, QBSOCKS_DANTE_PORT, QBSOCKS_MICROSOCKS_PORT,
    QBSOCKS_MICROSOCKS_AUTH_PORT, QBSOCKS_MICROSOCKS_USER,
    QBSOCKS_MICROSOCKS_PASSWORD
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

USER = "alice"
PASSWORD = "s3cret-pass"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, limit=10.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.02)  # between connect attempts, not instead of them
    return False


class EchoServer:
    """Sends every byte back until the peer closes. Listens on 127.0.0.1 and,
    where the system has it, on [::1] with the same port: a proxy that
    resolves "localhost" may pick ::1 first."""

    def __init__(self):
        self.listeners = [socket.create_server(("127.0.0.1", 0))]
        self.port = self.listeners[0].getsockname()[1]
        try:
            self.listeners.append(
                socket.create_server(("::1", self.port), family=socket.AF_INET6))
        except OSError:
            pass
        for listener in self.listeners:
            threading.Thread(target=self._accept, args=(listener,), daemon=True).start()

    def _accept(self, listener):
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return  # closed
            threading.Thread(target=self._echo, args=(connection,), daemon=True).start()

    @staticmethod
    def _echo(connection):
        with connection:
            try:
                while data := connection.recv(65536):
                    connection.sendall(data)
            except OSError:
                pass

    def close(self):
        for listener in self.listeners:
            listener.close()


class Daemon:
    """A SOCKS daemon in a process group of its own, so that stopping it
    also stops the processes it forked."""

    def __init__(self, name, args, folder):
        self.name = name
        self.log_path = os.path.join(folder, name + ".log")
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, start_new_session=True)

    def log(self):
        with open(self.log_path, errors="replace") as log:
            return log.read()

    def stop(self):
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
            except ProcessLookupError:
                pass


def dante_config(port):
    # Dante drops to the unprivileged user between privileged operations;
    # those settings only make sense when we are root.
    users = "user.privileged: root\nuser.unprivileged: nobody\n" if os.geteuid() == 0 else ""
    return (f"logoutput: stderr\n"
            f"internal: 127.0.0.1 port = {port}\n"
            f"external: 127.0.0.1\n"
            f"clientmethod: none\n"
            f"socksmethod: none\n{users}"
            "client pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  log: error\n}\n"
            "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n"
            "  protocol: tcp\n  socksmethod: none\n  log: error\n}\n")


def start_daemons(folder):
    """The daemons and the environment variables naming their ports."""
    ports = {name: free_port() for name in ("DANTE", "MICROSOCKS", "MICROSOCKS_AUTH")}
    config = os.path.join(folder, "danted.conf")
    with open(config, "w") as out:
        out.write(dante_config(ports["DANTE"]))
    launches = {
        "DANTE": ["/usr/sbin/danted", "-f", config, "-p", os.path.join(folder, "danted.pid")],
        "MICROSOCKS": ["/usr/bin/microsocks", "-i", "127.0.0.1", "-p", str(ports["MICROSOCKS"])],
        "MICROSOCKS_AUTH": ["/usr/bin/microsocks", "-i", "127.0.0.1",
                            "-p", str(ports["MICROSOCKS_AUTH"]), "-u", USER, "-P", PASSWORD],
    }
    daemons = []
    try:
        for name, args in launches.items():
            daemons.append(Daemon(name.lower(), args, folder))
            if not wait_for_port(ports[name]):
                raise RuntimeError(f"{name.lower()} does not listen on 127.0.0.1:{ports[name]}:\n"
                                   + daemons[-1].log())
    except BaseException:
        for daemon in daemons:
            daemon.stop()
        raise
    environment = {f"QBSOCKS_{name}_PORT": str(port) for name, port in ports.items()}
    environment.update(QBSOCKS_MICROSOCKS_USER=USER, QBSOCKS_MICROSOCKS_PASSWORD=PASSWORD)
    return daemons, environment


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    echo = EchoServer()
    with tempfile.TemporaryDirectory(prefix="qbsocks-servers-") as folder:
        daemons, environment = start_daemons(folder)
        try:
            environment["QBSOCKS_ECHO_PORT"] = str(echo.port)
            status = subprocess.call(sys.argv[1:], env={**os.environ, **environment})
            if status != 0:
                for daemon in daemons:
                    print(f"--- {daemon.name} said:\n{daemon.log()}", file=sys.stderr)
            return status
        finally:
            for daemon in daemons:
                daemon.stop()
            echo.close()


if __name__ == "__main__":
    sys.exit(main())
