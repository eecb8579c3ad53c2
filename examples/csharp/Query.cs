// Query.cs: ask a device behind a network serial port one question and print its answer.
//
//     query ADDRESS [REQUEST]          for example:  query 127.0.0.1:2217 "ID?"
//
// The same program as query.c, in C#. Build it with Kalvicom.cs:
//     csc Query.cs Kalvicom.cs           (Windows; kalvicom.dll beside query.exe)
//     mcs Query.cs Kalvicom.cs -out:query.exe && mono query.exe ADDRESS     (Linux)
// Exit status: 0 with an answer, 1 when anything failed, 2 for a usage error.
using System;
using System.Runtime.InteropServices;
using System.Text;
using Kalvicom;

static class Query
{
    const int AnswerMax = 256;     // longest answer line accepted
    const uint AnswerWaitMs = 2000; // how long the device may stay silent before giving up

    class QueryFailed : Exception
    {
        public QueryFailed(string what) : base(what) {}
    }

    static void Check(bool ok, string what)
    {
        if (!ok)
            throw new QueryFailed(what);
    }

    static string Ask(string address, string request)
    {
        IntPtr port = Native.KvCreateFile(address);
        if (port == IntPtr.Zero || port == Native.INVALID_HANDLE_VALUE)
            throw new QueryFailed("cannot open the port (malformed address, or no device server there)");
        try {
            var dcb = new DCB { BaudRate = 9600, ByteSize = 8, Parity = Native.NOPARITY,
                                StopBits = Native.ONESTOPBIT };
            dcb.DCBlength = (uint)Marshal.SizeOf(typeof(DCB));
            Check(Native.KvSetCommState(port, ref dcb), "cannot set 9600 8N1");

            // "First byte" reads: each returns as soon as some data has arrived, or after
            // AnswerWaitMs with none.
            var timeouts = new COMMTIMEOUTS { ReadIntervalTimeout = Native.MAXDWORD,
                                              ReadTotalTimeoutMultiplier = Native.MAXDWORD,
                                              ReadTotalTimeoutConstant = AnswerWaitMs };
            Check(Native.KvSetCommTimeouts(port, ref timeouts), "cannot set the time-outs");

            byte[] output = Encoding.ASCII.GetBytes(request + "\r");
            uint written;
            Check(Native.KvWriteFile(port, output, (uint)output.Length, out written) && written == output.Length,
                  "cannot send the request (connection lost)");

            // The answer may come in several pieces: read until a line end arrives.
            var answer = new StringBuilder();
            var piece = new byte[64];
            while (answer.ToString().IndexOfAny(new[] { '\r', '\n' }) < 0) {
                if (answer.Length >= AnswerMax)
                    throw new QueryFailed("the answer is longer than expected");
                uint got;
                Check(Native.KvReadFile(port, piece, (uint)piece.Length, out got),
                      "cannot read the answer (connection lost)");
                if (got == 0)
                    throw new QueryFailed(answer.Length == 0 ? "no answer" : "the answer stopped before its line end");
                answer.Append(Encoding.ASCII.GetString(piece, 0, (int)got));
            }
            return answer.ToString().Split('\r', '\n')[0];
        } finally {
            Native.KvCloseHandle(port);
        }
    }

    static int Main(string[] args)
    {
        if (args.Length < 1 || args.Length > 2) {
            Console.Error.WriteLine("usage: query ADDRESS [REQUEST]");
            return 2;
        }
        try {
            Console.Out.Write(Ask(args[0], args.Length > 1 ? args[1] : "ID?") + "\n");
            return 0;
        } catch (QueryFailed e) {
            Console.Error.WriteLine("query: " + e.Message);
            return 1;
        } catch (DllNotFoundException e) {
            Console.Error.WriteLine("query: " + e.Message);
            return 1;
        }
    }
}
