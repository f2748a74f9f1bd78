// QBSocks.cs under mono against libqbsocks.so.1 (under linux_servers.py): version, route,
// connects with and without a bound, a refusing target's result and reason, a route
// with a user name beyond ASCII, the facts of failures, a cancel through a token, the async form.
using System;
using System.Net;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Threading;
using QBSocks32;

static class CApiTest
{
    [DllImport("libc")] static extern int close(int fd);
    [DllImport("libc")] static extern IntPtr send(int fd, byte[] data, IntPtr size, int flags);
    [DllImport("libc")] static extern IntPtr recv(int fd, byte[] data, IntPtr size, int flags);
    static int failures = 0;

    static void Expect(bool ok, string what, object got)
    {
        if (!ok) Console.WriteLine("FAILED " + what + " (got \"" + got + "\")");
        failures += ok ? 0 : 1;
    }

    static void WriteSettings(string folder, int port, int version, string user, string password)
    {
        System.IO.File.WriteAllText(folder + "/user.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\" +
            "Software\\Quillbrook\\Game\\Share\\Proxy]\n\"ProxyEnable\"=dword:" + (port > 0 ? 1 : 0) +
            "\n\"SocksServer\"=\"127.0.0.1\"\n\"SocksPort\"=dword:" + port.ToString("x") + "\n\"SocksVersion\"=dword:" +
            version + "\n\"UserName\"=\"" + user + "\"\n\"Password\"=\"" + password + "\"\n");
    }

    class FactRow
    {
        public int ProxyPort, Version, TargetPort, SystemError;
        public string User, Reason;
        public QBSocksResult Result;
        public QBSocksStep Step;
        public QBSocksCause Cause;
        public int? ProxyCode;

        public FactRow(int proxyPort, int version, string user, int targetPort, QBSocksResult result, QBSocksStep step,
                       QBSocksCause cause, int? proxyCode, int systemError, string reason)
        {
            ProxyPort = proxyPort; Version = version; User = user; TargetPort = targetPort; Result = result; Step = step;
            Cause = cause; ProxyCode = proxyCode; SystemError = systemError; Reason = reason;
        }
    }

    // Failures' facts, as the outcome and as the exception (a SocketException).
    static void Facts(int closedPort, int echo, string settings)
    {
        int auth = int.Parse(Environment.GetEnvironmentVariable("QBSOCKS_MICROSOCKS_AUTH_PORT"));
        string user = Environment.GetEnvironmentVariable("QBSOCKS_MICROSOCKS_USER");
        var rows = new[] {
            new FactRow(0, 0, "", closedPort, QBSocksResult.TargetUnreachable, QBSocksStep.TargetConnect,
                        QBSocksCause.SystemError, null, 10061, "connection refused"),
            new FactRow(closedPort, 5, "", echo, QBSocksResult.ProxyUnreachable, QBSocksStep.ProxyConnect,
                        QBSocksCause.SystemError, null, 10061, "cannot reach the proxy 127.0.0.1:" + closedPort +
                        ": connection refused"),
            new FactRow(auth, 5, user, echo, QBSocksResult.ProxyFailed, QBSocksStep.Auth, QBSocksCause.Refused, 2, 0,
                        "Username/password subnegotition failure"),
        };
        foreach (FactRow row in rows)
        {
            WriteSettings(settings, row.ProxyPort, row.Version, row.User, "wrong");
            UIntPtr handle;
            QBSocksOutcome o;
            QBSocksResult result = QBSocks.Connect("127.0.0.1", row.TargetPort, 0, null, out handle, out o);
            string got = result + " " + o.Step + " " + o.Cause + " " + o.ProxyCode + " " + o.SystemError + " " + o.Reason;
            Expect(result == row.Result && o.Result == result && o.Step == row.Step && o.Cause == row.Cause &&
                   o.ProxyCode == row.ProxyCode && o.SystemError == row.SystemError && o.Reason == row.Reason &&
                   handle == QBSocks.NoHandle, "the facts of " + row.Reason, got);
            try { QBSocks.ConnectHandle("127.0.0.1", row.TargetPort); Expect(false, "a throw of " + row.Reason, "none"); }
            catch (QBSocksException e)
            {
                SocketError code = row.SystemError != 0 ? (SocketError)row.SystemError : SocketError.SocketError;
                Expect(e.Result == row.Result && e.Step == row.Step && e.Cause == row.Cause && e.ProxyCode == row.ProxyCode &&
                       e.SystemError == row.SystemError && e.Message == row.Reason && e.SocketErrorCode == code,
                       "the exception of " + row.Reason, e.Step + " " + e.SocketErrorCode + " " + e.Message);
            }
        }
    }

    static int OpenDescriptors() { return System.IO.Directory.GetFileSystemEntries("/proc/self/fd").Length; }

    // A silent SOCKS4 proxy: a token cancelled from another thread once the
    // request is there ends the connect within a second, nothing left open.
    static void Cancelled(int echo, string settings)
    {
        Socket silent = new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp);
        silent.Bind(new IPEndPoint(IPAddress.Loopback, 0));
        silent.Listen(1);
        WriteSettings(settings, ((IPEndPoint)silent.LocalEndPoint).Port, 4, "", "");
        var source = new CancellationTokenSource();
        Socket accepted = null;
        DateTime triggered = DateTime.MaxValue;
        Thread canceller = new Thread(() => {
            accepted = silent.Accept();
            accepted.Receive(new byte[9]);
            triggered = DateTime.UtcNow;
            source.Cancel();
        });
        int before = OpenDescriptors();
        canceller.Start();
        string got = "no throw";
        try { QBSocks.ConnectHandle("127.0.0.1", echo, 0, source.Token); }
        catch (OperationCanceledException e)
        {
            var facts = e.InnerException as QBSocksException;
            bool soon = DateTime.UtcNow - triggered < TimeSpan.FromSeconds(5);
            got = facts == null ? e.ToString() : facts.Result + " " + facts.Step + " " + soon + " " + e.CancellationToken.IsCancellationRequested;
        }
        canceller.Join();
        accepted.Close();
        int after = OpenDescriptors();
        // The request is there once sent: the connect may not yet wait for the reply when the cancel comes.
        Expect((got == "Cancelled Reply True True" || got == "Cancelled Request True True") && after == before, "a cancel in the reply wait", got + ", descriptors " + before + " then " + after);
        silent.Close();
    }

    // The async form: a connect and echo through microsocks (the descriptor as mono uses it); a token
    // cancelling after 0.5 s a connect that a silent proxy holds (the library's bound 30 s) ends it well
    // before, with the facts, nothing left open; a refused and a timed-out connect caught as SocketException.
    static void Async(int echo, int closedPort, string settings)
    {
        WriteSettings(settings, int.Parse(Environment.GetEnvironmentVariable("QBSOCKS_MICROSOCKS_PORT")), 5, "", "");
        int fd = (int)QBSocks.ConnectHandleAsync("127.0.0.1", echo).Result.ToUInt32();
        byte[] back = new byte[4];
        bool echoed = send(fd, new byte[] { 1, 2, 3, 4 }, (IntPtr)4, 0) == (IntPtr)4 && recv(fd, back, (IntPtr)4, 0x100) == (IntPtr)4;
        Expect(echoed && back[3] == 4 && close(fd) == 0, "an async connect and echo", back[3]);  // 0x100: MSG_WAITALL
        var silent = new TcpListener(IPAddress.Loopback, 0);
        silent.Start(8);
        int silentPort = ((IPEndPoint)silent.LocalEndpoint).Port;
        WriteSettings(settings, silentPort, 5, "", "");
        var source = new CancellationTokenSource();
        int before = OpenDescriptors();
        DateTime start = DateTime.UtcNow;
        var connect = QBSocks.ConnectHandleAsync("127.0.0.1", echo, 30000, source.Token);
        Socket accepted = silent.AcceptSocket();  // the connect is in the library: the cancel cannot come before it
        source.CancelAfter(500);
        string got = "no throw";
        try { connect.GetAwaiter().GetResult(); }
        catch (OperationCanceledException e) { got = (e.InnerException as QBSocksException)?.Result + " " + e.CancellationToken.IsCancellationRequested; }
        accepted.Close();
        Console.WriteLine("an async connect, cancelled after 0.5 s, ended after " + (int)(DateTime.UtcNow - start).TotalMilliseconds + " ms");
        Expect(got == "Cancelled True" && DateTime.UtcNow - start < TimeSpan.FromSeconds(5) && OpenDescriptors() == before, "an async cancel", got);
        foreach (var row in new[] { Tuple.Create(closedPort, 0, SocketError.ConnectionRefused), Tuple.Create(silentPort, 1000, SocketError.TimedOut) })
        {
            WriteSettings(settings, row.Item1, 5, "", "");
            try { got = "no throw " + QBSocks.ConnectHandleAsync("127.0.0.1", echo, row.Item2).GetAwaiter().GetResult(); }
            catch (SocketException e) { got = e.SocketErrorCode.ToString(); }
            Expect(got == row.Item3.ToString(), "a SocketException " + row.Item3, got);
        }
        silent.Stop();
    }

    static int Main(string[] args)
    {
        Expect(QBSocks.Version() == args[0] && QBSocks.Route() == "direct" && QBSocks.ProxyUri() == null, "version, route, no proxy Uri", QBSocks.Version());
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
        Expect(QBSocks.ProxyUri().OriginalString == "socks5://Jos%C3%A9:@127.0.0.1:1080", "its proxy Uri", QBSocks.ProxyUri());
        Facts(((IPEndPoint)closed.LocalEndPoint).Port, echo, settings);
        Cancelled(echo, settings);
        Async(echo, ((IPEndPoint)closed.LocalEndPoint).Port, settings);
        System.IO.File.Delete(settings + "/user.reg");
        Console.WriteLine(failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
