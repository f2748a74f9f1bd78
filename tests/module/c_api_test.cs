// QBSocks.cs under mono against libqbsocks.so.1 (under linux_servers.py): version, route,
// connects with and without a bound, a refusing target's result and reason, a route
// with a user name beyond ASCII, the facts of failures, a cancel through a token and a
// QBSocksCancel, a token's registration ended with its connect, the async form, 1,000 async
// connects at once on the library's thread, half of them cancelled; with the
// argument "unreachable", what a call throws when the library is nowhere.
using System;
using System.Net;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;
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

    static void WriteSettings(string folder, int port, int version, string user, string password, string server = "127.0.0.1")
    {
        System.IO.File.WriteAllText(folder + "/user.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\" +
            "Software\\Quillbrook\\Game\\Share\\Proxy]\n\"ProxyEnable\"=dword:" + (port > 0 ? 1 : 0) +
            "\n\"SocksServer\"=\"" + server + "\"\n\"SocksPort\"=dword:" + port.ToString("x") + "\n\"SocksVersion\"=dword:" +
            version + "\n\"UserName\"=\"" + user + "\"\n\"Password\"=\"" + password + "\"\n");
    }

    class FactRow
    {
        public int ProxyPort, Version, TargetPort, SystemError;
        public string User, Reason, Host, Server;
        public byte[] Reply;  // a scripted SOCKS5 proxy's reply to the request
        public QBSocksResult Result;
        public QBSocksStep Step;
        public QBSocksCause Cause;
        public int? ProxyCode;

        public FactRow(int proxyPort, int version, string user, int targetPort, QBSocksResult result, QBSocksStep step,
                       QBSocksCause cause, int? proxyCode, int systemError, string reason, string host = "127.0.0.1",
                       string server = "127.0.0.1", byte[] reply = null)
        {
            ProxyPort = proxyPort; Version = version; User = user; TargetPort = targetPort; Result = result; Step = step;
            Cause = cause; ProxyCode = proxyCode; SystemError = systemError; Reason = reason; Host = host; Server = server;
            Reply = reply;
        }
    }

    static string Said(QBSocksOutcome o) { return o.Result + " " + o.Step + " " + o.Cause + " " + o.ProxyCode + " " + o.SystemError + " " + o.Reason; }

    static string Said(QBSocksException e)
    {
        return Said(new QBSocksOutcome { Result = e.Result, Step = e.Step, Cause = e.Cause, ProxyCode = e.ProxyCode,
                                         SystemError = e.SystemError, Reason = e.Message }) + ", " + e.SocketErrorCode;
    }

    static async Task Take(Socket peer, int count)
    {
        byte[] data = new byte[count];
        for (int got = 0, n = 1; got < count && n > 0; got += n)
            n = await peer.ReceiveAsync(new ArraySegment<byte>(data, got, count - got), SocketFlags.None);
    }

    // A SOCKS5 proxy for the connects of a row: takes the method offer, chooses no authentication,
    // takes the request for 127.0.0.1 (10 bytes), answers with reply and closes. With held, each
    // request signals it and waits for release before the reply. No thread of its own per peer.
    static Socket ScriptedProxy(byte[] reply, CountdownEvent held = null, Task release = null)
    {
        var listener = new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp);
        listener.Bind(new IPEndPoint(IPAddress.Loopback, 0));
        listener.Listen(1024);
        Accept(listener, reply, held, release);
        return listener;
    }

    static async void Accept(Socket listener, byte[] reply, CountdownEvent held, Task release)
    {
        try
        {
            for (;;) Answer(await listener.AcceptAsync(), reply, held, release);
        }
        catch (SocketException) { }  // stopped
        catch (ObjectDisposedException) { }
    }

    static async void Answer(Socket peer, byte[] reply, CountdownEvent held, Task release)
    {
        using (peer)
            try
            {
                await Take(peer, 4);
                await peer.SendAsync(new ArraySegment<byte>(new byte[] { 5, 0 }), SocketFlags.None);
                await Take(peer, 10);
                if (held != null) held.Signal();
                if (release != null) await release;
                await peer.SendAsync(new ArraySegment<byte>(reply), SocketFlags.None);
            }
            catch (SocketException) { }  // a cancelled connect's peer
    }

    // Failures' facts, as the outcome and as the exception (a SocketException).
    static void Facts(int closedPort, int echo, string settings)
    {
        int auth = int.Parse(Environment.GetEnvironmentVariable("QBSOCKS_MICROSOCKS_AUTH_PORT"));
        string user = Environment.GetEnvironmentVariable("QBSOCKS_MICROSOCKS_USER");
        int dante = int.Parse(Environment.GetEnvironmentVariable("QBSOCKS_DANTE_PORT"));
        var rows = new[] {
            new FactRow(0, 0, "", closedPort, QBSocksResult.TargetUnreachable, QBSocksStep.TargetConnect,
                        QBSocksCause.SystemError, null, 10061, "connection refused"),
            new FactRow(closedPort, 5, "", echo, QBSocksResult.ProxyUnreachable, QBSocksStep.ProxyConnect,
                        QBSocksCause.SystemError, null, 10061, "cannot reach the proxy 127.0.0.1:" + closedPort +
                        ": connection refused"),
            new FactRow(auth, 5, user, echo, QBSocksResult.ProxyFailed, QBSocksStep.Auth, QBSocksCause.Refused, 2, 0,
                        "Username/password subnegotition failure"),
            new FactRow(dante, 4, "", closedPort, QBSocksResult.ProxyFailed, QBSocksStep.Reply, QBSocksCause.Refused, 91, 0,
                        "Request rejected or failed"),
            new FactRow(0, 5, "", echo, QBSocksResult.ProxyFailed, QBSocksStep.Reply, QBSocksCause.Refused, 2, 0,
                        "Connection not allowed by ruleset", reply: new byte[] { 5, 2, 0, 1, 0, 0, 0, 0, 0, 0 }),
            new FactRow(0, 5, "", echo, QBSocksResult.ProxyFailed, QBSocksStep.Reply, QBSocksCause.Closed, null, 0,
                        "General negotiation failure", reply: new byte[] { 5, 0, 0, 1 }),  // then the proxy closes
            new FactRow(1080, 5, "", echo, QBSocksResult.ProxyUnreachable, QBSocksStep.ProxyLookup, QBSocksCause.SystemError,
                        null, 11001, "cannot look up the proxy's name proxy.invalid: host name not found", server: "proxy.invalid"),
            new FactRow(0, 0, "", echo, QBSocksResult.TargetUnreachable, QBSocksStep.TargetLookup, QBSocksCause.SystemError,
                        null, 11001, "host name not found", host: "target.invalid"),
        };
        foreach (FactRow row in rows)
        {
            Socket proxy = row.Reply != null ? ScriptedProxy(row.Reply) : null;
            int proxyPort = proxy != null ? ((IPEndPoint)proxy.LocalEndPoint).Port : row.ProxyPort;
            WriteSettings(settings, proxyPort, row.Version, row.User, "wrong", row.Server);
            UIntPtr handle;
            QBSocksOutcome o, expected = new QBSocksOutcome { Result = row.Result, Step = row.Step, Cause = row.Cause,
                ProxyCode = row.ProxyCode, SystemError = row.SystemError, Reason = row.Reason };
            QBSocksResult result = QBSocks.Connect(row.Host, row.TargetPort, 0, null, out handle, out o);
            Expect(Said(o) == Said(expected) && result == row.Result && handle == QBSocks.NoHandle, "the facts of " + row.Reason, Said(o));
            SocketError code = row.SystemError != 0 ? (SocketError)row.SystemError : SocketError.SocketError;
            string got = "no throw";
            try { QBSocks.ConnectHandle(row.Host, row.TargetPort); }
            catch (QBSocksException e) { got = Said(e); }
            Expect(got == Said(expected) + ", " + code, "the exception of " + row.Reason, got);
            if (proxy != null) proxy.Close();
        }
    }

    const string facts = "Cancelled Reply Cancelled  0 cancelled while waiting for the proxy's reply";

    static int OpenDescriptors() { return System.IO.Directory.GetFileSystemEntries("/proc/self/fd").Length; }

    // A silent SOCKS4 proxy: a cancel from another thread once the request is there ends the
    // connect within a few seconds in the reply wait, with these facts, nothing left open: a
    // token's through ConnectHandle, as .NET's own cancelled calls throw, and a QBSocksCancel's.
    static void Cancelled(int echo, string settings)
    {
        var source = new CancellationTokenSource();
        CancelledBy(source.Cancel, () => {
            try { QBSocks.ConnectHandle("127.0.0.1", echo, 0, source.Token); }
            catch (OperationCanceledException e)
            {
                var inner = e.InnerException as QBSocksException;
                return e.GetType().Name + " " + (e.CancellationToken == source.Token) + " " + (inner == null ? "no facts" : Said(inner));
            }
            return "no throw";
        }, "OperationCanceledException True " + facts + ", OperationAborted", settings);
        using (var cancel = new QBSocksCancel())
            CancelledBy(cancel.Cancel, () => {
                UIntPtr handle;
                QBSocksOutcome o;
                QBSocks.Connect("127.0.0.1", echo, 0, cancel, out handle, out o);
                return (handle == QBSocks.NoHandle) + " " + Said(o);
            }, "True " + facts, settings);
    }

    static void CancelledBy(Action cancel, Func<string> connect, string expected, string settings)
    {
        Socket silent = new Socket(AddressFamily.InterNetwork, SocketType.Stream, ProtocolType.Tcp);
        silent.Bind(new IPEndPoint(IPAddress.Loopback, 0));
        silent.Listen(1);
        WriteSettings(settings, ((IPEndPoint)silent.LocalEndPoint).Port, 4, "", "");
        Socket accepted = null;
        DateTime triggered = DateTime.MaxValue;
        Thread canceller = new Thread(() => {
            accepted = silent.Accept();
            accepted.Receive(new byte[9]);
            triggered = DateTime.UtcNow;
            cancel();
        });
        int before = OpenDescriptors();
        canceller.Start();
        string got = connect();
        bool soon = DateTime.UtcNow - triggered < TimeSpan.FromSeconds(5);
        canceller.Join();
        accepted.Close();
        int after = OpenDescriptors();
        Expect(got == expected && soon && after == before, "a cancel in the reply wait", got + ", soon " + soon + ", descriptors " + before + " then " + after);
        silent.Close();
    }

    // A token's registration ends with its connect (one made, one refused): the source's later
    // Cancel runs no callback in the context the connect captured.
    static void RegistrationReleased(int echo, int closedPort, string settings)
    {
        WriteSettings(settings, 0, 0, "", "");
        int stale = 0;
        var inConnect = new AsyncLocal<bool>(change => { if (change.ThreadContextChanged && change.CurrentValue) ++stale; });
        var source = new CancellationTokenSource();
        foreach (int port in new[] { echo, closedPort })
        {
            UIntPtr handle;
            QBSocksOutcome o;
            inConnect.Value = true;
            if (QBSocks.Connect("127.0.0.1", port, 0, source.Token, out handle, out o) == QBSocksResult.Ok) close((int)handle.ToUInt32());
            inConnect.Value = false;
        }
        source.Cancel();
        Expect(stale == 0, "no registration left by a finished connect", stale);
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
        bool soon = DateTime.UtcNow - start < TimeSpan.FromSeconds(5);
        // The library's thread closes its own handles just after its last callback.
        bool closed = SpinWait.SpinUntil(() => OpenDescriptors() <= before, TimeSpan.FromSeconds(5));
        Expect(got == "Cancelled True" && soon && closed, "an async cancel", got);
        foreach (var row in new[] { Tuple.Create(closedPort, 0, SocketError.ConnectionRefused), Tuple.Create(silentPort, 1000, SocketError.TimedOut) })
        {
            WriteSettings(settings, row.Item1, 5, "", "");
            try { got = "no throw " + QBSocks.ConnectHandleAsync("127.0.0.1", echo, row.Item2).GetAwaiter().GetResult(); }
            catch (SocketException e) { got = e.SocketErrorCode.ToString(); }
            Expect(got == row.Item3.ToString(), "a SocketException " + row.Item3, got);
        }
        silent.Stop();
    }

    // 1,000 async connects at once through a proxy that holds every reply until it has all the
    // requests: no thread per connect (the process's threads counted then); half of them cancelled
    // there end with the facts, the rest connect once the replies go; nothing is left open.
    static void AtOnce(int echo, string settings)
    {
        const int count = 1000;
        var held = new CountdownEvent(count);
        var release = new TaskCompletionSource<bool>();
        Socket proxy = ScriptedProxy(new byte[] { 5, 0, 0, 1, 0, 0, 0, 0, 0, 0 }, held, release.Task);
        WriteSettings(settings, ((IPEndPoint)proxy.LocalEndPoint).Port, 5, "", "");
        int descriptors = OpenDescriptors(), threads = Process.GetCurrentProcess().Threads.Count;
        var source = new CancellationTokenSource();
        var connects = Enumerable.Range(0, count).Select(i => QBSocks.ConnectHandleAsync("127.0.0.1", echo, 0,
            i % 2 == 0 ? source.Token : CancellationToken.None)).ToArray();
        bool allHeld = held.Wait(TimeSpan.FromSeconds(60));
        int most = Process.GetCurrentProcess().Threads.Count;
        source.Cancel();
        var ends = connects.Where((c, i) => i % 2 == 0).Select(Ended).ToList();  // before the replies go
        release.SetResult(true);
        ends.AddRange(connects.Where((c, i) => i % 2 == 1).Select(Ended));
        string got = string.Join("; ", ends.GroupBy(end => end).Select(g => g.Count() + " " + g.Key));
        bool closed = SpinWait.SpinUntil(() => OpenDescriptors() <= descriptors, TimeSpan.FromSeconds(10));
        Console.WriteLine(count + " async connects at once: " + threads + " threads before, " + most + " while pending");
        Expect(allHeld && most - threads < count / 10 && closed && got == count / 2 + " Canceled " + facts +
               ", OperationAborted; " + count / 2 + " Ok", "connects at once, half cancelled", got + ", threads " + most +
               ", descriptors " + descriptors + " then " + OpenDescriptors());
        proxy.Close();
    }

    static string Ended(Task<UIntPtr> connect)
    {
        try { return close((int)connect.GetAwaiter().GetResult().ToUInt32()) == 0 ? "Ok" : "not closed"; }
        catch (OperationCanceledException e) { return connect.Status + " " + Said((QBSocksException)e.InnerException); }
        catch (QBSocksException e) { return Said(e); }
    }

    // No libqbsocks.so.1 on the search path (LD_LIBRARY_PATH is folder alone): a call says
    // what was not found, where the search looked, and what to do.
    static int Unreachable(string folder)
    {
        const string file = "libqbsocks.so.1";
        string expected = "cannot load " + file + " (" + file + ": cannot open shared object file: No such file or directory): " +
            "looked in LD_LIBRARY_PATH (" + folder + "), the ld.so cache and /lib, /usr/lib. Install the package libqbsocks1, " +
            "or add the folder that holds " + file + " to LD_LIBRARY_PATH";
        foreach (Func<object> call in new Func<object>[] { QBSocks.Version, () => QBSocks.ConnectHandle("127.0.0.1", 1) })
        {
            string got = "no throw";
            try { call(); }
            catch (DllNotFoundException e) { got = e.Message; }
            Expect(got == expected, "the library nowhere", got);
        }
        return failures == 0 ? 0 : 1;
    }

    static int Main(string[] args)
    {
        if (args[0] == "unreachable") return Unreachable(args[1]);
        string config = Environment.GetEnvironmentVariable("XDG_CONFIG_HOME");  // the test's own folder
        if (string.IsNullOrEmpty(config)) throw new InvalidOperationException("XDG_CONFIG_HOME is not set: no folder to write the settings in");
        string settings = config + "/qbsocks";
        System.IO.Directory.CreateDirectory(settings);
        System.IO.File.Delete(settings + "/user.reg");  // none: direct, whatever a run before left
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
        System.IO.File.WriteAllText(settings + "/user.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\" +
            "Software\\Quillbrook\\Game\\Share\\Proxy]\n\"ProxyEnable\"=dword:1\n\"SocksServer\"=\"127.0.0.1\"\n" +
            "\"SocksPort\"=dword:438\n\"SocksVersion\"=dword:5\n\"UserName\"=\"Jos\u00e9\"\n");  // UTF-8, no mark
        Expect(QBSocks.Route() == "SOCKS5 proxy 127.0.0.1:1080 as Jos\u00e9", "a user name beyond ASCII", QBSocks.Route());
        Expect(QBSocks.ProxyUri().OriginalString == "socks5://Jos%C3%A9:@127.0.0.1:1080", "its proxy Uri", QBSocks.ProxyUri());
        Facts(((IPEndPoint)closed.LocalEndPoint).Port, echo, settings);
        Cancelled(echo, settings);
        RegistrationReleased(echo, ((IPEndPoint)closed.LocalEndPoint).Port, settings);
        Async(echo, ((IPEndPoint)closed.LocalEndPoint).Port, settings);
        AtOnce(echo, settings);
        System.IO.File.Delete(settings + "/user.reg");
        Console.WriteLine(failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
