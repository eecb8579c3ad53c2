// NetworkSerialPort.cs: a serial port on a network device server, shaped like
// System.IO.Ports.SerialPort where kalvicom can honour it.
//
//     using (var port = new NetworkSerialPort("127.0.0.1:2217")) {
//         port.BaudRate = 9600;        // 8N1, the defaults
//         port.ReadTimeout = 2000;
//         port.NewLine = "\r";
//         port.Open();
//         port.WriteLine("ID?");
//         Console.WriteLine(port.ReadLine());
//     }
//
// What SerialPort has and a network port cannot do (DTR and RTS, handshake, break, the counts of
// queued bytes, write time-outs, events) is absent. A lost connection throws IOException and
// leaves the port closed; Open() connects again.
//
// Threads: one thread may write while another reads, as with the C calls. The line settings and
// Open/Close must not overlap other calls on the same port; a Close while a read waits takes
// effect when that read returns.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace Kalvicom
{
    // The same names and values as System.IO.Ports.Parity, which .NET Standard does not have (a
    // value of that enum converts with a cast).
    public enum Parity { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 }

    // The same names and values as System.IO.Ports.StopBits. None is refused, as SerialPort does.
    public enum StopBits { None = 0, One = 1, Two = 2, OnePointFive = 3 }

    public class NetworkSerialPort : IDisposable
    {
        public const int InfiniteTimeout = -1;

        // The baud rates the library sends; anything else is refused before anything is sent.
        static readonly int[] BaudRates = { 50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600,
                                            19200, 38400, 57600, 115200 };
        const int ChunkSize = 4096;
        // Longest single wait handed to the library; an infinite time-out waits in such rounds.
        const int RoundMs = 24 * 60 * 60 * 1000;

        readonly string address;
        readonly object gate = new object();
        IntPtr port = IntPtr.Zero; // zero while closed
        int users;                 // native calls in progress on port
        bool closing;              // port is released when the last of them returns

        int baudRate = 9600, dataBits = 8;
        Parity parity = Parity.None;
        StopBits stopBits = StopBits.One;
        int readTimeout = InfiniteTimeout;
        string newLine = "\n";
        Encoding encoding = Encoding.ASCII;

        // What has arrived but not been read yet: a ReadLine that times out leaves its part-line here.
        byte[] pending = new byte[ChunkSize];
        int pendingCount;
        readonly byte[] chunk = new byte[ChunkSize];
        PortStream stream;

        // address: "A.B.C.D:PORT", the device server's IPv4 address and the TCP port of its serial
        // port. Nothing is sent before Open().
        public NetworkSerialPort(string address)
        {
            if (address == null)
                throw new ArgumentNullException("address");
            this.address = address;
        }

        ~NetworkSerialPort() { Dispose(false); }

        public string PortName { get { return address; } }

        public bool IsOpen { get { lock (gate) return port != IntPtr.Zero && !closing; } }

        public int BaudRate
        {
            get { return baudRate; }
            set
            {
                if (Array.IndexOf(BaudRates, value) < 0)
                    throw new ArgumentOutOfRangeException("BaudRate", value, "kalvicom sends 50 to 115200 baud, the standard rates");
                baudRate = value;
                Reapply();
            }
        }

        public int DataBits
        {
            get { return dataBits; }
            set
            {
                if (value < 5 || value > 8)
                    throw new ArgumentOutOfRangeException("DataBits", value, "data bits are 5 to 8");
                dataBits = value;
                Reapply();
            }
        }

        public Parity Parity
        {
            get { return parity; }
            set
            {
                if (value < Parity.None || value > Parity.Space)
                    throw new ArgumentOutOfRangeException("Parity", value, "not a parity");
                parity = value;
                Reapply();
            }
        }

        public StopBits StopBits
        {
            get { return stopBits; }
            set
            {
                if (value < StopBits.One || value > StopBits.OnePointFive)
                    throw new ArgumentOutOfRangeException("StopBits", value, "stop bits are One, OnePointFive or Two");
                stopBits = value;
                Reapply();
            }
        }

        // Milliseconds a read waits for its first byte (ReadLine: for the whole line), or
        // InfiniteTimeout. 0 takes only what has already arrived.
        public int ReadTimeout
        {
            get { return readTimeout; }
            set
            {
                if (value < 0 && value != InfiniteTimeout)
                    throw new ArgumentOutOfRangeException("ReadTimeout", value, "a time-out is 0 or more ms, or InfiniteTimeout");
                readTimeout = value;
            }
        }

        public string NewLine
        {
            get { return newLine; }
            set
            {
                if (value == null)
                    throw new ArgumentNullException("NewLine");
                if (value.Length == 0)
                    throw new ArgumentException("NewLine must not be empty", "NewLine");
                newLine = value;
            }
        }

        // How text is turned into bytes and back; ASCII unless set, as SerialPort. Text is written
        // without a byte-order mark.
        public Encoding Encoding
        {
            get { return encoding; }
            set
            {
                if (value == null)
                    throw new ArgumentNullException("Encoding");
                encoding = value;
            }
        }

        // A Stream over the same port; closing it closes the port.
        public Stream BaseStream
        {
            get
            {
                EnsureOpen();
                return stream ?? (stream = new PortStream(this));
            }
        }

        // Connects and sends the line settings. Throws InvalidOperationException when already open
        // and IOException when the device server cannot be reached or drops the connection.
        public void Open()
        {
            lock (gate) {
                if (port != IntPtr.Zero)
                    throw new InvalidOperationException("The port is already open.");
            }
            IntPtr opened = NativeMethods.KvCreateFile(address);
            if (opened == IntPtr.Zero || opened == NativeMethods.INVALID_HANDLE_VALUE)
                throw new IOException("Cannot open " + address + ": malformed address, or no device server there.");
            lock (gate) {
                port = opened;
                closing = false;
            }
            pendingCount = 0;
            ApplySettings();
        }

        public void Close() { Dispose(); }

        public void Dispose()
        {
            Dispose(true);
            GC.SuppressFinalize(this);
        }

        protected virtual void Dispose(bool disposing)
        {
            lock (gate) {
                if (port == IntPtr.Zero || closing)
                    return;
                closing = true;
                if (users == 0)
                    Release();
            }
        }

        public int Read(byte[] buffer, int offset, int count)
        {
            CheckRange(buffer, offset, count);
            EnsureOpen();
            if (count == 0)
                return 0;
            if (pendingCount == 0 && Fill(readTimeout) == 0)
                throw new TimeoutException("No data arrived within " + readTimeout + " ms.");
            return Take(buffer, offset, count);
        }

        public int ReadByte()
        {
            var one = new byte[1];
            Read(one, 0, 1);
            return one[0];
        }

        // What has arrived so far, without waiting.
        public string ReadExisting()
        {
            EnsureOpen();
            while (Fill(0) == ChunkSize) { // a full chunk: there may be more
            }
            var all = new byte[pendingCount];
            Take(all, 0, all.Length);
            return encoding.GetString(all);
        }

        // The text up to NewLine, which is removed. On a time-out (ReadTimeout covers the whole
        // line) what has arrived stays for the next read.
        public string ReadLine()
        {
            EnsureOpen();
            byte[] end = encoding.GetBytes(newLine);
            int start = Environment.TickCount;
            for (int looked = 0;;) {
                int at = IndexOf(end, looked);
                if (at >= 0) {
                    string line = encoding.GetString(pending, 0, at);
                    Drop(at + end.Length);
                    return line;
                }
                looked = Math.Max(0, pendingCount - end.Length + 1);
                int wait = Remaining(start);
                if (Fill(wait) == 0 && wait != InfiniteTimeout && Remaining(start) == 0)
                    throw new TimeoutException("No complete line arrived within " + readTimeout + " ms.");
            }
        }

        // Drops what has arrived and not been read.
        public void DiscardInBuffer()
        {
            EnsureOpen();
            do
                pendingCount = 0;
            while (Fill(0) == ChunkSize); // a full chunk: there may be more
            pendingCount = 0;
        }

        public void Write(byte[] buffer, int offset, int count)
        {
            CheckRange(buffer, offset, count);
            byte[] data = buffer;
            if (offset != 0) {
                data = new byte[count];
                Buffer.BlockCopy(buffer, offset, data, 0, count);
            }
            IntPtr p = Enter();
            bool ok;
            uint written;
            try {
                ok = NativeMethods.KvWriteFile(p, data, (uint)count, out written) && written == (uint)count;
            } finally {
                Leave();
            }
            if (!ok)
                throw Lost("write");
        }

        public void Write(string text)
        {
            if (text == null)
                throw new ArgumentNullException("text");
            byte[] bytes = encoding.GetBytes(text);
            Write(bytes, 0, bytes.Length);
        }

        public void WriteLine(string text) { Write(text + newLine); }

        // --- inside ------------------------------------------------------------------------------

        void EnsureOpen()
        {
            if (!IsOpen)
                throw new InvalidOperationException("The port is closed.");
        }

        static void CheckRange(byte[] buffer, int offset, int count)
        {
            if (buffer == null)
                throw new ArgumentNullException("buffer");
            if (offset < 0)
                throw new ArgumentOutOfRangeException("offset");
            if (count < 0)
                throw new ArgumentOutOfRangeException("count");
            if (buffer.Length - offset < count)
                throw new ArgumentException("offset and count reach past the end of the buffer");
        }

        // The handle for one native call; Leave() must follow.
        IntPtr Enter()
        {
            lock (gate) {
                if (port == IntPtr.Zero || closing)
                    throw new InvalidOperationException("The port is closed.");
                ++users;
                return port;
            }
        }

        void Leave()
        {
            lock (gate) {
                if (--users == 0 && closing)
                    Release();
            }
        }

        // With gate held, once nothing uses the handle.
        void Release()
        {
            IntPtr p = port;
            port = IntPtr.Zero;
            closing = false;
            stream = null;
            NativeMethods.KvCloseHandle(p); // always succeeds
        }

        // Closes the port after a failed call and says so.
        IOException Lost(string what)
        {
            Dispose();
            return new IOException("Cannot " + what + ": connection lost to " + address + "; the port is closed.");
        }

        // A setting changed while open goes out at once.
        void Reapply()
        {
            if (IsOpen)
                ApplySettings();
        }

        void ApplySettings()
        {
            var dcb = new DCB();
            dcb.DCBlength = (uint)Marshal.SizeOf(typeof(DCB));
            dcb.BaudRate = (uint)baudRate;
            dcb.ByteSize = (byte)dataBits;
            dcb.Parity = (byte)parity; // the same numbers as NOPARITY ... SPACEPARITY
            dcb.StopBits = stopBits == StopBits.One ? NativeMethods.ONESTOPBIT
                         : stopBits == StopBits.Two ? NativeMethods.TWOSTOPBITS : NativeMethods.ONE5STOPBITS;
            IntPtr p = Enter();
            bool ok;
            try {
                ok = NativeMethods.KvSetCommState(p, ref dcb);
            } finally {
                Leave();
            }
            if (!ok)
                throw Lost("send the line settings");
        }

        int Remaining(int start)
        {
            if (readTimeout == InfiniteTimeout)
                return InfiniteTimeout;
            int elapsed = unchecked(Environment.TickCount - start); // wraps safely
            return elapsed >= readTimeout ? 0 : readTimeout - elapsed;
        }

        // Reads what arrives within waitMs (0: only what is there, InfiniteTimeout: until something
        // comes) onto the end of pending; returns how many bytes came.
        int Fill(int waitMs)
        {
            var t = new COMMTIMEOUTS();
            t.ReadIntervalTimeout = NativeMethods.MAXDWORD;
            if (waitMs != 0) {
                t.ReadTotalTimeoutMultiplier = NativeMethods.MAXDWORD;
                t.ReadTotalTimeoutConstant = (uint)(waitMs == InfiniteTimeout ? RoundMs : waitMs);
            }
            for (;;) {
                IntPtr p = Enter();
                bool ok;
                uint got = 0;
                try {
                    ok = NativeMethods.KvSetCommTimeouts(p, ref t) &&
                         NativeMethods.KvReadFile(p, chunk, (uint)chunk.Length, out got);
                } finally {
                    Leave();
                }
                if (!ok)
                    throw Lost("read");
                if (got > 0 || waitMs != InfiniteTimeout) {
                    if (pendingCount + (int)got > pending.Length)
                        Array.Resize(ref pending, Math.Max(2 * pending.Length, pendingCount + (int)got));
                    Buffer.BlockCopy(chunk, 0, pending, pendingCount, (int)got);
                    pendingCount += (int)got;
                    return (int)got;
                }
            }
        }

        int Take(byte[] buffer, int offset, int count)
        {
            int n = Math.Min(count, pendingCount);
            Buffer.BlockCopy(pending, 0, buffer, offset, n);
            Drop(n);
            return n;
        }

        void Drop(int n)
        {
            Buffer.BlockCopy(pending, n, pending, 0, pendingCount - n);
            pendingCount -= n;
        }

        // Where pattern starts in pending, looking from `from` on; -1 when it is not there.
        int IndexOf(byte[] pattern, int from)
        {
            for (int i = from; i + pattern.Length <= pendingCount; ++i) {
                int j = 0;
                while (j < pattern.Length && pending[i + j] == pattern[j])
                    ++j;
                if (j == pattern.Length)
                    return i;
            }
            return -1;
        }

        // BaseStream: reads and writes go to the port, with its time-outs.
        sealed class PortStream : Stream
        {
            readonly NetworkSerialPort owner;

            public PortStream(NetworkSerialPort owner) { this.owner = owner; }

            NetworkSerialPort Port
            {
                get
                {
                    if (!owner.IsOpen)
                        throw new ObjectDisposedException("BaseStream", "The port is closed.");
                    return owner;
                }
            }

            public override bool CanRead { get { return owner.IsOpen; } }
            public override bool CanWrite { get { return owner.IsOpen; } }
            public override bool CanSeek { get { return false; } }
            public override bool CanTimeout { get { return true; } }
            public override int ReadTimeout
            {
                get { return owner.ReadTimeout; }
                set { owner.ReadTimeout = value; }
            }
            public override int Read(byte[] buffer, int offset, int count) { return Port.Read(buffer, offset, count); }
            public override void Write(byte[] buffer, int offset, int count) { Port.Write(buffer, offset, count); }
            public override void Flush() { }
            public override long Length { get { throw new NotSupportedException(); } }
            public override long Position
            {
                get { throw new NotSupportedException(); }
                set { throw new NotSupportedException(); }
            }
            public override long Seek(long offset, SeekOrigin origin) { throw new NotSupportedException(); }
            public override void SetLength(long value) { throw new NotSupportedException(); }
            protected override void Dispose(bool disposing)
            {
                if (disposing)
                    owner.Close();
                base.Dispose(disposing);
            }
        }
    }
}
