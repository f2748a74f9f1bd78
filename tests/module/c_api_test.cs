// QBSocks.cs under mono against libqbsocks.so.1 (under linux_servers.py): version, route,
// connects with and without a bound, a refusing target's result and reason, a route
// with a user name beyond ASCII.
using System;
using System.Net;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using QBSocks32;

static class CApiTest
{
    [DllImport("libc")] static extern int close(int fd);
    static int failures = 0;

    static void Expect(bool ok, string what, object got)
    {
        if (!ok) Console.WriteLine("FAILED " + what + " (got \"" + got + "\")");
        failures += ok ? 0 : 1;
    }

    static int Main(string[] args)
    {
        Expect(QBSocks.Version() == args[0] && QBSocks.Route() == "direct", "version and route", QBSocks.Version());
        Socket closed = new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp);
        closed.Bind(new IPEndPoint(IPAddress.Loopback, 0));  // not listening: connects are refused
        int echo = int.Parse(Environment.GetEnvironmentVariable("QBSOCKS_ECHO_PORT"));
        string reason;
        UIntPtr handle;  // a descriptor under mono on Linux
        foreach (int timeoutMs in new[] { 0, 30000 })
        {
            QBSocksResult result = QBSocks.Connect("127.0.0.1", echo, timeoutMs, out handle, out reason);
            Expect(result == QBSocksResult.Ok && reason == "" && close((int)handle.ToUInt32()) == 0,
                   "a connect, bound " + timeoutMs + ", and its descriptor closed", result + ": " + reason);
        }
        QBSocksResult refused = QBSocks.Connect("127.0.0.1", ((IPEndPoint)closed.LocalEndPoint).Port, 0, out handle, out reason);
        Expect(refused == QBSocksResult.TargetUnreachable && reason == "connection refused" && handle == QBSocks.NoHandle,
               "a refusing target", refused + ": " + reason);
        string settings = Environment.GetEnvironmentVariable("XDG_CONFIG_HOME") + "/qbsocks";
        System.IO.Directory.CreateDirectory(settings);
        System.IO.File.WriteAllText(settings + "/user.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\" +
            "Software\\Quillbrook\\Game\\Share\\Proxy]\n\"ProxyEnable\"=dword:1\n\"SocksServer\"=\"127.0.0.1\"\n" +
            "\"SocksPort\"=dword:438\n\"SocksVersion\"=dword:5\n\"UserName\"=\"Jos\u00e9\"\n");  // UTF-8, no mark
        Expect(QBSocks.Route() == "SOCKS5 proxy 127.0.0.1:1080 as Jos\u00e9", "a user name beyond ASCII", QBSocks.Route());
        System.IO.File.Delete(settings + "/user.reg");
        Console.WriteLine(failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
