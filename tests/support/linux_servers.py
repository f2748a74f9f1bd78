#!/usr/bin/env python3
"""The one launcher of the test servers: Dante and microsocks from Debian's
packages, and an echo target, on 127.0.0.1 with free ports. The C++ test
support, the tests of the C interface and its bindings, the Wine runs and
scripts/demo.sh all start the SOCKS daemons here.

    linux_servers.py COMMAND [ARG...]

Starts an echo target, Dante (SOCKS4 and SOCKS5) and microsocks (SOCKS5,
without and with a user name and password), runs COMMAND with their ports
in the environment, stops them all and exits with COMMAND's status. The
Windows interop tests run this way under Wine, which passes the
environment through to the Windows program:

    QBSOCKS_ECHO_PORT, QBSOCKS_DANTE_PORT, QBSOCKS_MICROSOCKS_PORT,
    QBSOCKS_MICROSOCKS_AUTH_PORT, QBSOCKS_MICROSOCKS_USER,
    QBSOCKS_MICROSOCKS_PASSWORD

    linux_servers.py --serve FOLDER SERVER [ARG...]

Starts one server in this process's group, its files in FOLDER and its
output on this process's standard error: SERVER is "dante", "microsocks"
or a program's path, the ARGs follow the server's own with "{port}"
replaced by its port. Prints "PORT PID" once the server listens and exits
when it does; a server that does not start is said on standard error, with
status 1. tests/support/servers.cpp starts its daemons so.
"""
import ctypes
import os
import signal
import socket
import string
import subprocess
import sys
import tempfile
import threading
import time

USER = "alice"
PASSWORD = "s3cret-pass"
DANTE = "/usr/sbin/danted"
MICROSOCKS = "/usr/bin/microsocks"
DANTE_TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "danted.conf.in")


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


class StartError(Exception):
    """A server that did not start, and why."""


def dante_args(port, folder):
    """Dante's command line, its configuration written from the template."""
    # Dante switches to the unprivileged user between privileged operations;
    # those settings only make sense when we are root.
    users = "user.privileged: root\nuser.unprivileged: nobody" if os.geteuid() == 0 else ""
    config = os.path.join(folder, "danted.conf")
    with open(DANTE_TEMPLATE) as template, open(config, "w") as out:
        out.write(string.Template(template.read()).substitute(port=port, users=users))
    return [DANTE, "-f", config, "-p", os.path.join(folder, "danted.pid")]


def server_args(server, port, folder, extra):
    """The command line that starts the server on 127.0.0.1:port."""
    extra = [arg.replace("{port}", str(port)) for arg in extra]
    if server == "dante":
        return dante_args(port, folder) + extra
    if server == "microsocks":
        return [MICROSOCKS, "-i", "127.0.0.1", "-p", str(port)] + extra
    return [server] + extra


def dies_with(launcher):
    """For the child before it runs the server: killed when the launcher
    dies, so that a starter killed outright leaves no server behind."""
    def arrange():
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        if os.getppid() != launcher:
            os._exit(127)
    return arrange


def describe(status):
    return f"killed by signal {-status}" if status < 0 else f"exited with status {status}"


class Daemon:
    """A server process. With a log file of its own it runs in a process
    group of its own, so that stopping it also stops what it forked;
    without one it writes to our standard error and runs in our group,
    which whoever started us stops as a whole."""

    def __init__(self, name, args, log_path=None):
        self.name = name
        self.log_path = log_path
        if not os.access(args[0], os.X_OK):
            raise StartError(f"{name}: {args[0]} is missing or not executable; run scripts/setup.sh "
                             "to install the test servers (Debian packages dante-server and microsocks)")
        own_group = log_path is not None
        with open(log_path, "wb") if own_group else open(2, "wb", closefd=False) as log:
            self.process = subprocess.Popen(
                args, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                start_new_session=own_group, preexec_fn=None if own_group else dies_with(os.getpid()))
        self.group = self.process.pid if own_group else os.getpgrp()

    def wait_listening(self, port, limit=10.0):
        """None once this server listens on 127.0.0.1:port; otherwise why
        not (it exited first, or the limit passed)."""
        deadline = time.monotonic() + limit
        while (status := self.process.poll()) is None:
            if group_listens_on(self.group, port):
                return None
            if time.monotonic() >= deadline:
                return f"did not listen on 127.0.0.1:{port} within {limit:g} s"
            time.sleep(0.02)  # between looks, not instead of them
        return f"{describe(status)} before listening on 127.0.0.1:{port}"

    def log(self):
        """What it wrote; None where that went to our standard error."""
        if self.log_path is None:
            return None
        with open(self.log_path, errors="replace") as log:
            return log.read()

    def send(self, number):
        """To what it forked too where it has a group of its own."""
        if self.log_path is not None:
            os.killpg(self.group, number)
        else:
            os.kill(self.process.pid, number)

    def stop(self):
        if self.process.poll() is None:
            try:
                self.send(signal.SIGTERM)
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.send(signal.SIGKILL)
                self.process.wait()
            except ProcessLookupError:
                pass


def start_server(name, server, extra, folder, log_path=None):
    """Starts the server on a free port, again on another one when a server
    of another test took the port first: the Daemon and its port."""
    for _ in range(START_ATTEMPTS):
        port = free_port()
        daemon = Daemon(name, server_args(server, port, folder, extra), log_path)
        why = daemon.wait_listening(port)
        if why is None:
            return daemon, port
        daemon.stop()
    output = daemon.log()
    raise StartError(f"{name} {why} ({START_ATTEMPTS} attempts)"
                     + ("" if output is None else f"; its output:\n{output}"))


# The daemons of the environment's ports: name, server, arguments.
DAEMONS = (("DANTE", "dante", []), ("MICROSOCKS", "microsocks", []),
           ("MICROSOCKS_AUTH", "microsocks", ["-u", USER, "-P", PASSWORD]))


def start_daemons(folder):
    """The daemons and the environment variables naming their ports."""
    ports, daemons = {}, []
    try:
        for name, server, extra in DAEMONS:
            log_path = os.path.join(folder, name.lower() + ".log")
            daemon, ports[name] = start_server(name.lower(), server, extra, folder, log_path)
            daemons.append(daemon)
    except BaseException:
        for daemon in daemons:
            daemon.stop()
        raise
    environment = {f"QBSOCKS_{name}_PORT": str(port) for name, port in ports.items()}
    environment.update(QBSOCKS_MICROSOCKS_USER=USER, QBSOCKS_MICROSOCKS_PASSWORD=PASSWORD)
    return daemons, environment


def serve(folder, server, extra):
    """One server for a starter that stops our process group when done."""
    try:
        daemon, port = start_server(os.path.basename(server), server, extra, folder)
    except StartError as error:
        print(error, file=sys.stderr)
        return 1
    print(port, daemon.process.pid, flush=True)
    daemon.process.wait()
    return 0


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "--serve":
        return serve(sys.argv[2], sys.argv[3], sys.argv[4:])
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
