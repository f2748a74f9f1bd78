// The C# binding (bindings/dotnet/QBSocks.cs) under mono against
// libqbsocks.so.1, with the echo target of linux_servers.py: the version,
// the route, connects with and without a bound, exchanging bytes through
// the handle, and a failure with its reason (c_api_test.c's rows).
using System;
using System.Net;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using QBSocks32;

static class CApiTest
{
    [DllImport("libc")] static extern IntPtr send(int fd, byte[] data, UIntPtr size, int flags);
    [DllImport("libc")] static extern IntPtr recv(int fd, byte[] data, UIntPtr size, int flags);
    [DllImport("libc")] static extern int close(int fd);

    static int failures = 0;

    static void Expect(bool ok, string what, object got)
    {
        if (!ok) Console.WriteLine("FAILED " + what + " (got \"" + got + "\")");
        if (!ok) failures++;
    }

    static int Main(string[] args)
    {
        Expect(QBSocks.Version() == args[0], "the version", QBSocks.Version());
        Expect(QBSocks.Route() == "direct", "the route without settings", QBSocks.Route());
        int echo = int.Parse(Environment.GetEnvironmentVariable("QBSOCKS_ECHO_PORT"));
        Socket closed = new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp);
        closed.Bind(new IPEndPoint(IPAddress.Loopback, 0));  // not listening: connects are refused
        string reason;
        UIntPtr handle;
        foreach (int timeoutMs in new[] { 0, 30000 })
        {
            QBSocksResult result = QBSocks.Connect("127.0.0.1", echo, timeoutMs, out handle, out reason);
            Expect(result == QBSocksResult.Ok && reason == "", "a direct connect, bound " + timeoutMs, result + ": " + reason);
            byte[] ping = { (byte)'p', (byte)'i', (byte)'n', (byte)'g' }, back = new byte[4];
            int fd = (int)handle.ToUInt32();
            Expect(result == QBSocksResult.Ok && (long)send(fd, ping, new UIntPtr(4), 0) == 4 &&
                   (long)recv(fd, back, new UIntPtr(4), 0x100 /* MSG_WAITALL */) == 4 && back[3] == 'g', "the echo", back[0]);
            close(fd);
        }
        QBSocksResult refused = QBSocks.Connect("127.0.0.1", ((IPEndPoint)closed.LocalEndPoint).Port, 0, out handle, out reason);
        Expect(refused == QBSocksResult.TargetUnreachable && reason == "connection refused" && handle == QBSocks.NoHandle,
               "a refusing target", refused + ": " + reason);
        Console.WriteLine(failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
