/*
 * query: ask a device behind a network serial port one question and print its answer.
 *
 *     query ADDRESS [REQUEST]          for example:  query 127.0.0.1:2217 "ID?"
 *
 * Opens the port, sets 9600 baud, 8 data bits, no parity, 1 stop bit, sends REQUEST (default
 * "ID?") followed by a carriage return, and prints the line the device answers with. Every call is
 * checked. Exit status: 0 with an answer, 1 when anything failed, 2 for a usage error.
 */
#include <stdio.h>
#include <string.h>

#include "kalvicom.h"

#define ANSWER_MAX 256      /* longest answer line accepted */
#define ANSWER_WAIT_MS 2000 /* how long the device may stay silent before giving up */

/* Closes the port (INVALID_HANDLE_VALUE is accepted), reports what went wrong and gives the exit
 * status. */
static int Fail(HANDLE port, const char *what)
{
    KvCloseHandle(port);
    fprintf(stderr, "query: %s\n", what);
    return 1;
}

static int HasLineEnd(const char *text, DWORD length)
{
    return memchr(text, '\r', length) != NULL || memchr(text, '\n', length) != NULL;
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: query ADDRESS [REQUEST]\n");
        return 2;
    }
    const char *request = argc > 2 ? argv[2] : "ID?";
    char out[ANSWER_MAX];
    size_t requestLength = strlen(request);
    if (requestLength + 1 > sizeof out) {
        fprintf(stderr, "query: the request is too long\n");
        return 2;
    }
    memcpy(out, request, requestLength);
    out[requestLength++] = '\r';

    HANDLE port = KvCreateFile(argv[1]);
    if (port == INVALID_HANDLE_VALUE)
        return Fail(port, "cannot open the port (malformed address, or no device server there)");

    /* Only these four members are used; the rest of the record is left alone. */
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!KvSetCommState(port, &dcb))
        return Fail(port, "cannot set 9600 8N1");

    /* "First byte" reads: each read returns as soon as some data has arrived, or after
     * ANSWER_WAIT_MS with none. The default (a 10 ms total time-out) is too short to wait for an
     * answer. */
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = ANSWER_WAIT_MS;
    if (!KvSetCommTimeouts(port, &timeouts))
        return Fail(port, "cannot set the time-outs");

    DWORD written = 0;
    if (!KvWriteFile(port, out, (DWORD)requestLength, &written) || written != requestLength)
        return Fail(port, "cannot send the request (connection lost)");

    /* The answer may come in several pieces: read until a line end arrives. */
    char answer[ANSWER_MAX + 1];
    DWORD have = 0;
    while (!HasLineEnd(answer, have)) {
        if (have == ANSWER_MAX)
            return Fail(port, "the answer is longer than expected");
        DWORD got = 0;
        if (!KvReadFile(port, answer + have, ANSWER_MAX - have, &got))
            return Fail(port, "cannot read the answer (connection lost)");
        if (got == 0)
            return Fail(port, have == 0 ? "no answer" : "the answer stopped before its line end");
        have += got;
    }
    KvCloseHandle(port);

    answer[have] = '\0';
    answer[strcspn(answer, "\r\n")] = '\0';
    printf("%s\n", answer);
    return 0;
}
