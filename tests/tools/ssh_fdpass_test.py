"""ssh's own client through a local microsocks to an sshd of this test's own
on 127.0.0.1, with qbsocks-cat -F as the ProxyCommand of ProxyUseFdpass: the
session comes up, and no qbsocks-cat stays beside ssh (one does with the
relaying ProxyCommand, which shows that the look sees it). Skipped, and said
so, where ssh or sshd is not installed.

    linux_servers.py python3 ssh_fdpass_test.py QBSOCKS_CAT
"""
import getpass
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import linux_servers  # noqa: E402

SSHD, CAT, PROXY = "/usr/sbin/sshd", sys.argv[1], os.environ["QBSOCKS_MICROSOCKS_PORT"]
if not shutil.which("ssh") or not os.access(SSHD, os.X_OK):
    print("skipped: ssh or sshd is not installed (openssh-client, openssh-server: scripts/setup.sh)")
    raise SystemExit(77)
folder = tempfile.mkdtemp()
os.environ["XDG_CONFIG_HOME"] = folder


def file(name):
    return os.path.join(folder, name)


for key in ("host", "user"):
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", file(key)], check=True)
shutil.copy(file("user.pub"), file("authorized_keys"))
with open(file("sshd_config"), "w") as out:
    out.write(f"ListenAddress 127.0.0.1\nHostKey {file('host')}\nAuthorizedKeysFile {file('authorized_keys')}\n"
              "PidFile none\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n")
os.makedirs(file("qbsocks"))
with open(file("qbsocks/user.reg"), "w") as out:
    out.write('Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\Share\\Proxy]\n'
              f'"ProxyEnable"=dword:1\n"SocksServer"="127.0.0.1"\n"SocksPort"=dword:{int(PROXY):x}\n'
              '"SocksVersion"=dword:5\n')
if os.geteuid() == 0:
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # where root's sshd drops its privileges
sshd, port = linux_servers.start_server("sshd", SSHD, ["-D", "-e", "-f", file("sshd_config"), "-p", "{port}"], folder,
                                        file("sshd.log"))
with open(file("host.pub")) as key, open(file("known_hosts"), "w") as out:
    out.write(f"[127.0.0.1]:{port} {key.read()}")

failures = []
for fdpass, options in (("yes", "-F "), ("no", "")):
    ssh = subprocess.Popen(["ssh", "-F", "/dev/null", "-i", file("user"), "-o", "BatchMode=yes", "-o",
                            f"UserKnownHostsFile={file('known_hosts')}", "-o", f"ProxyUseFdpass={fdpass}", "-o",
                            f"ProxyCommand={CAT} -v -w 10 {options}%h %p", "-p", str(port),
                            f"{getpass.getuser()}@127.0.0.1", "echo in; read line"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    session = ssh.stdout.readline()  # the remote command runs: ssh is in
    with open(f"/proc/{ssh.pid}/task/{ssh.pid}/children") as children:
        names = [open(f"/proc/{child}/comm").read().strip() for child in children.read().split()]
    out, err = ssh.communicate("done\n", timeout=30)
    if (session, ssh.returncode, names == ["qbsocks-cat"] * (fdpass == "no")) != ("in\n", 0, True) or \
            f"(SOCKS5 proxy 127.0.0.1:{PROXY})" not in err:
        print(f"FAILED ProxyUseFdpass={fdpass}: {session!r}, exit {ssh.returncode}, beside ssh {names}, {err!r}")
        failures.append(fdpass)
sshd.stop()
shutil.rmtree(folder)
print(f"{len(failures)} failed")
raise SystemExit(bool(failures))
