#include "term_io.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace
{

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t rawActive = 0;
termios savedTerminal;

void OnStopSignal(int signal)
{
    stopRequested = 1;
    TerminalRestore();            // tcsetattr is safe in a signal handler
    std::signal(signal, SIG_DFL); // a second request ends the process at once
}

} // namespace

void TermIoStartup()
{
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = OnStopSignal; // no SA_RESTART: a wait returns early to look at the request
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

bool StopRequested()
{
    return stopRequested != 0;
}

bool StdinIsTerminal()
{
    return isatty(STDIN_FILENO) == 1;
}

bool TerminalRawStart()
{
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0)
        return false;
    termios raw = savedTerminal;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag = (raw.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        return false;
    rawActive = 1;
    return true;
}

void TerminalRestore()
{
    if (rawActive) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        rawActive = 0;
    }
}

int StdinWait(int ms)
{
    pollfd p = {STDIN_FILENO, POLLIN, 0};
    const int n = poll(&p, 1, ms);
    if (n >= 0)
        return n > 0 ? 1 : 0;
    return errno == EINTR ? 0 : -1;
}

long StdinRead(void *buffer, size_t size)
{
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buffer, size);
        if (n >= 0 || errno != EINTR)
            return static_cast<long>(n);
    }
}

bool StdoutWrite(const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
