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


START_ATTEMPTS = 3


def loopback_listeners(port):
    """The "socket:[inode]" names of the sockets listening on 127.0.0.1:port."""
    wanted = f"0100007F:{port:04X}"
    with open("/proc/net/tcp") as table:
        next(table)  # the heading
        return {f"socket:[{fields[9]}]" for fields in map(str.split, table)
                if fields[1] == wanted and fields[3] == "0A"}


def group_listens_on(group, port):
    """Whether a process of the group holds the listener on 127.0.0.1:port.
    Answering a connect is not enough: when the daemon lost the port to a
    server of another test, that server answers."""
    listeners = loopback_listeners(port)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.getpgid(int(pid)) != group:
                continue
            folder = f"/proc/{pid}/fd"
            if any(os.readlink(os.path.join(folder, fd)) in listeners for fd in os.listdir(folder)):
                return True
        except OSError:
            continue  # the process or one of its descriptors has gone meanwhile
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

    def listening_on(self, port, limit=10.0):
        """Waits until this daemon listens on the port; False when it exits
        first (it could not bind) or the limit passes."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline and self.process.poll() is None:
            if group_listens_on(self.process.pid, port):
                return True
            time.sleep(0.02)  # between looks, not instead of them
        return False

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


def launch_args(name, port, folder):
    if name == "DANTE":
        config = os.path.join(folder, "danted.conf")
        with open(config, "w") as out:
            out.write(dante_config(port))
        return ["/usr/sbin/danted", "-f", config, "-p", os.path.join(folder, "danted.pid")]
    args = ["/usr/bin/microsocks", "-i", "127.0.0.1", "-p", str(port)]
    return args + ["-u", USER, "-P", PASSWORD] if name == "MICROSOCKS_AUTH" else args


def start_daemon(name, folder):
    """Starts the daemon on a free port, again on another one when a server
    of another test took the port first; the daemon and its port."""
    for _ in range(START_ATTEMPTS):
        port = free_port()
        daemon = Daemon(name.lower(), launch_args(name, port, folder), folder)
        if daemon.listening_on(port):
            return daemon, port
        log = daemon.log()
        daemon.stop()
    raise RuntimeError(f"{name.lower()} did not listen on 127.0.0.1 in {START_ATTEMPTS} attempts:\n"
                       + log)


def start_daemons(folder):
    """The daemons and the environment variables naming their ports."""
    ports, daemons = {}, []
    try:
        for name in ("DANTE", "MICROSOCKS", "MICROSOCKS_AUTH"):
            daemon, ports[name] = start_daemon(name, folder)
            daemons.append(daemon)
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
