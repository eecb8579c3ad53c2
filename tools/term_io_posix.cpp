#include "term_io.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <unistd.h>

void TermIoStartup()
{
    std::signal(SIGPIPE, SIG_IGN);
}

int StdinWait(int ms)
{
    pollfd p = {STDIN_FILENO, POLLIN, 0};
    for (;;) {
        int n = poll(&p, 1, ms);
        if (n >= 0)
            return n > 0 ? 1 : 0;
        if (errno != EINTR)
            return -1;
    }
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
