// QBSocks.cs: QBSocks32's C interface (qbsocks.h) from C#. Add this one
// file to a project and ship qbsocks.dll of the process's architecture
// (the kit's c\bin for x86, c-x64\bin for x64) beside the .exe.
//
//   string reason;
//   UIntPtr handle;
//   QBSocksResult result = QBSocks.Connect("example.org", 80, 10000, out handle, out reason);
//   if (result != QBSocksResult.Ok) Console.Error.WriteLine("cannot connect: " + reason);
//
//   // .NET 5 and later: a Socket that owns the connection.
//   using (Socket socket = QBSocks.ConnectSocket("example.org", 80, 10000)) { ... }
//
// The declarations:
// - CallingConvention.Winapi is __stdcall on x86 Windows (QBSOCKS_CALL,
//   exported under the plain names) and the platform's C convention
//   everywhere else, so one declaration serves x86, x64 and mono on Linux.
// - The handle is a UIntPtr (uintptr_t): a SOCKET on Windows, a descriptor
//   elsewhere. On Ok it is the caller's, connected, in blocking mode, not
//   inherited by child processes: close it exactly once (closesocket, or
//   the Socket that owns it).
// - Texts cross as bytes: the host goes as ASCII, a name with other letters
//   as its IDNA (punycode) form, never through the ANSI code page; the
//   reason comes back as ASCII, the route as the library reads the
//   settings (the server, a user name beyond ASCII): the ANSI code page on
//   Windows, UTF-8 elsewhere, as PtrToStringAnsi decodes. qbsocks_version's text belongs
//   to the library: it is returned as IntPtr and copied, so the marshaller
//   never frees it.
// - Threads: each call is independent (the settings are read at every
//   connect; a reason belongs to its call), so threads may connect at once.
//   A connect blocks its thread: call it from a worker thread (Task.Run),
//   not from a window's thread, and bound it with timeoutMs.
// - On Windows the socket layer must be started before a connect: the
//   class's static constructor calls WSAStartup once (the count it adds is
//   never taken back, as the process uses sockets until it ends).
//
// On mono under Linux, map the library to its soname in the program's
// .exe.config: <dllmap dll="qbsocks" target="libqbsocks.so.1"/>; on .NET 5
// and later under Linux, NativeLibrary.SetDllImportResolver can load
// "libqbsocks.so.1" for "qbsocks".
//
// .NET Framework (4.x) has no Socket constructor that takes a handle:
// ConnectSocket is left out there. Use the handle with declarations of
// your own (send, recv, closesocket from ws2_32.dll), or make a Socket of
// it through WSADuplicateSocketW into a SocketInformation (the process id
// of the current process, its WSAPROTOCOL_INFOW bytes as
// ProtocolInformation, Options = SocketInformationOptions.Connected) and
// new Socket(info), then closesocket the original handle.
using System;
using System.Globalization;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Text;

namespace QBSocks32
{
    // The results of qbsocks_connect; a number never changes.
    public enum QBSocksResult
    {
        Ok = 0,
        ProxyUnreachable = 1,    // the proxy server could not be reached
        ProxyFailed = 2,         // the proxy refused, or the negotiation failed
        TargetUnreachable = 3,   // the direct connect to the target failed
        NoSocket = 4,            // no socket could be created (socket layer not started?)
        BadArgument = 5,         // host or socket_out is null
        BadTarget = 6,           // the path the settings chose cannot carry this host text
        TimedOut = 7,            // timeoutMs ran out; the reason names the step
        SettingsUnreadable = 8,  // the settings could not be read; nothing went direct instead
    }

    // A failed connect: Result, and the library's reason as Message.
    public class QBSocksException : Exception
    {
        public QBSocksException(QBSocksResult result, string reason) : base(reason) { Result = result; }
        public QBSocksResult Result { get; private set; }
    }

    public static class QBSocks
    {
        // "qbsocks.dll" on Windows; see the note on mono and Linux above.
        public const string Library = "qbsocks";

        // QBSOCKS_NO_HANDLE: all bits set, never a socket.
        public static readonly UIntPtr NoHandle = UIntPtr.Size == 8 ? new UIntPtr(ulong.MaxValue) : new UIntPtr(uint.MaxValue);

        const int ReasonSize = 512;

        [DllImport("ws2_32.dll", CallingConvention = CallingConvention.Winapi)]
        static extern int WSAStartup(ushort version, byte[] data);

        static QBSocks()
        {
            if (Environment.OSVersion.Platform == PlatformID.Win32NT) WSAStartup(0x0202, new byte[1024]);  // WSADATA fits
        }

        [DllImport(Library, EntryPoint = "qbsocks_connect", CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int qbsocks_connect(byte[] host, uint port, out UIntPtr socket, byte[] reason, UIntPtr reasonSize);

        [DllImport(Library, EntryPoint = "qbsocks_connect_timeout", CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int qbsocks_connect_timeout(byte[] host, uint port, uint timeoutMs, out UIntPtr socket,
                                                         byte[] reason, UIntPtr reasonSize);

        [DllImport(Library, EntryPoint = "qbsocks_route", CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern UIntPtr qbsocks_route(byte[] text, UIntPtr size);

        [DllImport(Library, EntryPoint = "qbsocks_version", CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern IntPtr qbsocks_version();

        // Connects to host:port as CSocks::Connect does, directly or through
        // the proxy the current settings name. timeoutMs bounds the whole
        // call (0: the library's own bounds alone). On Ok, handle is the
        // caller's; otherwise it is NoHandle and reason says why.
        public static QBSocksResult Connect(string host, int port, int timeoutMs, out UIntPtr handle, out string reason)
        {
            if (host == null) throw new ArgumentNullException("host");
            if (port < 0 || port > 65535) throw new ArgumentOutOfRangeException("port");
            if (timeoutMs < 0) throw new ArgumentOutOfRangeException("timeoutMs");
            byte[] text = HostBytes(host);
            byte[] why = new byte[ReasonSize];
            int result = timeoutMs == 0
                ? qbsocks_connect(text, (uint)port, out handle, why, new UIntPtr((uint)why.Length))
                : qbsocks_connect_timeout(text, (uint)port, (uint)timeoutMs, out handle, why, new UIntPtr((uint)why.Length));
            reason = AsciiUntilNul(why);
            return (QBSocksResult)result;
        }

        // The path the settings choose now: "direct", "SOCKS5 proxy
        // 127.0.0.1:1080 as alice", or "direct: " and why.
        public static string Route()
        {
            for (int size = 128; ; )
            {
                byte[] text = new byte[size];
                ulong length = qbsocks_route(text, new UIntPtr((uint)size)).ToUInt64();
                if (length < (ulong)size) return SystemTextUntilNul(text);
                size = (int)length + 1;  // the settings changed between the calls
            }
        }

        // The library's version, "1.0.0.1".
        public static string Version()
        {
            return Marshal.PtrToStringAnsi(qbsocks_version());
        }

#if NET5_0_OR_GREATER
        // A connected Socket that owns the handle (closing or disposing it
        // closes the connection); a failure throws QBSocksException.
        public static Socket ConnectSocket(string host, int port, int timeoutMs = 0)
        {
            UIntPtr handle;
            string reason;
            QBSocksResult result = Connect(host, port, timeoutMs, out handle, out reason);
            if (result != QBSocksResult.Ok) throw new QBSocksException(result, reason);
            return new Socket(new SafeSocketHandle((IntPtr)(long)handle.ToUInt64(), true));
        }
#endif

        static byte[] HostBytes(string host)
        {
            foreach (char c in host)
            {
                if (c == '\0') throw new ArgumentException("the host contains a NUL character", "host");
                if (c > 0x7f)
                {
                    host = new IdnMapping().GetAscii(host);
                    break;
                }
            }
            byte[] bytes = new byte[host.Length + 1];  // the terminator stays 0
            Encoding.ASCII.GetBytes(host, 0, host.Length, bytes, 0);
            return bytes;
        }

        // The ANSI code page on Windows, UTF-8 elsewhere: the encoding of the
        // settings' texts as the library reads them (qbsocks.h).
        static string SystemTextUntilNul(byte[] text)
        {
            GCHandle pinned = GCHandle.Alloc(text, GCHandleType.Pinned);
            try { return Marshal.PtrToStringAnsi(pinned.AddrOfPinnedObject()); }
            finally { pinned.Free(); }
        }

        static string AsciiUntilNul(byte[] text)
        {
            int length = Array.IndexOf(text, (byte)0);
            return Encoding.ASCII.GetString(text, 0, length < 0 ? text.Length : length);
        }
    }
}
