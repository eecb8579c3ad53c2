// Query.cs: ask a device behind a network serial port one question and print its answer.
//
//     query ADDRESS [REQUEST]          for example:  query 127.0.0.1:2217 "ID?"
//
// The same program as query.c, in C# with the Kalvicom package's NetworkSerialPort (a SerialPort
// look-alike). Build it against Kalvicom.dll (bindings/dotnet, or lib/ of the NuGet package):
//     csc Query.cs -r:Kalvicom.dll       (Windows; kalvicom.dll beside query.exe)
//     mcs Query.cs -r:Kalvicom.dll -out:query.exe && mono query.exe ADDRESS     (Linux)
// Exit status: 0 with an answer, 1 when anything failed, 2 for a usage error.
using System;
using System.IO;
using Kalvicom;

static class Query
{
    static string Ask(string address, string request)
    {
        using (var port = new NetworkSerialPort(address)) {
            port.BaudRate = 9600; // 8N1 are the defaults
            port.ReadTimeout = 2000; // how long the device may take to answer
            port.NewLine = "\r";
            port.Open();
            port.WriteLine(request);
            try {
                return port.ReadLine().TrimStart('\n');
            } catch (TimeoutException) {
                // What came before the time-out is still there to read.
                throw new TimeoutException(port.ReadExisting().Length == 0 ? "no answer" : "the answer stopped before its line end");
            }
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
        } catch (TimeoutException e) {
            Console.Error.WriteLine("query: " + e.Message);
        } catch (IOException e) { // no device server there, or the connection was lost
            Console.Error.WriteLine("query: " + e.Message);
        } catch (DllNotFoundException e) {
            Console.Error.WriteLine("query: " + e.Message);
        }
        return 1;
    }
}
