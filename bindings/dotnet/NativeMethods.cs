// NativeMethods.cs: the nine kalvicom calls and their two records, declared for C# (and any other
// .NET language) with P/Invoke: the raw interface beneath NetworkSerialPort, for callers who want
// the calls as the header has them. kalvicom.dll (Windows, 64-bit or 32-bit to match the process)
// or libkalvicom.so (Linux) must be where the runtime finds native libraries: the NuGet package's
// runtimes/RID/native folders, the program's folder, or the system's library path.
//
// The records are blittable: DCB keeps its bit-fields in one 32-bit word (Flags) with accessors
// for the named bits, so both records are passed by reference without copying.
using System;
using System.Runtime.InteropServices;

namespace Kalvicom
{
    // The line settings (28 bytes). kalvicom reads and writes only BaudRate, ByteSize, Parity and
    // StopBits.
    [StructLayout(LayoutKind.Sequential)]
    public struct DCB
    {
        public uint DCBlength;
        public uint BaudRate;
        public uint Flags; // fBinary (bit 0) ... fAbortOnError (bit 14); see the accessors
        public ushort wReserved;
        public ushort XonLim;
        public ushort XoffLim;
        public byte ByteSize;
        public byte Parity;   // NativeMethods.NOPARITY ... NativeMethods.SPACEPARITY
        public byte StopBits; // NativeMethods.ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
        public byte XonChar;
        public byte XoffChar;
        public byte ErrorChar;
        public byte EofChar;
        public byte EvtChar;
        public ushort wReserved1;

        uint Bits(int at, int width) { return (Flags >> at) & ((1u << width) - 1); }
        void SetBits(int at, int width, uint value)
        {
            uint mask = ((1u << width) - 1) << at;
            Flags = (Flags & ~mask) | ((value << at) & mask);
        }
        bool Flag(int at) { return Bits(at, 1) != 0; }
        void SetFlag(int at, bool on) { SetBits(at, 1, on ? 1u : 0u); }
        public bool fBinary { get { return Flag(0); } set { SetFlag(0, value); } }
        public bool fParity { get { return Flag(1); } set { SetFlag(1, value); } }
        public bool fOutxCtsFlow { get { return Flag(2); } set { SetFlag(2, value); } }
        public bool fOutxDsrFlow { get { return Flag(3); } set { SetFlag(3, value); } }
        public uint fDtrControl { get { return Bits(4, 2); } set { SetBits(4, 2, value); } }
        public bool fDsrSensitivity { get { return Flag(6); } set { SetFlag(6, value); } }
        public bool fTXContinueOnXoff { get { return Flag(7); } set { SetFlag(7, value); } }
        public bool fOutX { get { return Flag(8); } set { SetFlag(8, value); } }
        public bool fInX { get { return Flag(9); } set { SetFlag(9, value); } }
        public bool fErrorChar { get { return Flag(10); } set { SetFlag(10, value); } }
        public bool fNull { get { return Flag(11); } set { SetFlag(11, value); } }
        public uint fRtsControl { get { return Bits(12, 2); } set { SetBits(12, 2, value); } }
        public bool fAbortOnError { get { return Flag(14); } set { SetFlag(14, value); } }
    }

    // The read time-outs (five 32-bit words); the two Write members are not used.
    [StructLayout(LayoutKind.Sequential)]
    public struct COMMTIMEOUTS
    {
        public uint ReadIntervalTimeout;
        public uint ReadTotalTimeoutMultiplier;
        public uint ReadTotalTimeoutConstant;
        public uint WriteTotalTimeoutMultiplier;
        public uint WriteTotalTimeoutConstant;
    }

    // The calls. Each returns true on success and false on failure, as the header describes; the
    // calling convention is the platform's (stdcall on 32-bit Windows).
    public static class NativeMethods
    {
        const string Library = "kalvicom"; // kalvicom.dll, libkalvicom.so

        public static readonly IntPtr INVALID_HANDLE_VALUE = new IntPtr(-1);
        public const uint MAXDWORD = 0xFFFFFFFF;
        public const byte NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
        public const byte ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

        [DllImport(Library, CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern IntPtr KvCreateFile(string address);
        [DllImport(Library)]
        public static extern bool KvCloseHandle(IntPtr port);
        [DllImport(Library)]
        public static extern bool KvReadFile(IntPtr port, byte[] buffer, uint size, out uint got);
        [DllImport(Library)]
        public static extern bool KvWriteFile(IntPtr port, byte[] data, uint size, out uint written);
        [DllImport(Library)]
        public static extern bool KvSetCommTimeouts(IntPtr port, ref COMMTIMEOUTS timeouts);
        [DllImport(Library)]
        public static extern bool KvSetCommState(IntPtr port, ref DCB dcb);
        [DllImport(Library)]
        public static extern bool KvGetCommState(IntPtr port, ref DCB dcb);
        [DllImport(Library)]
        public static extern bool KvSetCommConfig(IntPtr port, IntPtr config, uint size);
        [DllImport(Library)]
        public static extern bool KvSetupComm(IntPtr port, uint inSize, uint outSize);
    }
}
