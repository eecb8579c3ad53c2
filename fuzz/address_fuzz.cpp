// The address parser on any text: it must never read past the terminating NUL, and it must accept
// exactly the texts a plain reading of "%u.%u.%u.%u:%u" accepts with every number in range
// (address numbers 0 to 255, port 0 to 65535, none past 32 bits, no negative number other than
// -0), giving the same five numbers.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "port/address.h"

namespace {

bool IsSpace(char c)
{
    return std::strchr(" \t\n\v\f\r", c) != nullptr && c != '\0';
}

// One number: blanks, an optional sign, then at least one digit, read with strtoull on the digits
// alone. Sets *value to its 32-bit value; fails for values past 32 bits and negative values.
bool ReferenceNumber(const char **text, uint32_t *value)
{
    const char *p = *text;
    while (IsSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    size_t digits = std::strspn(p, "0123456789");
    if (digits == 0)
        return false;
    const std::string run(p, digits);
    errno = 0;
    unsigned long long v = std::strtoull(run.c_str(), nullptr, 10);
    if (errno == ERANGE || v > 0xFFFFFFFFull || (negative && v != 0))
        return false;
    *value = static_cast<uint32_t>(v);
    *text = p + digits;
    return true;
}

bool ReferenceParse(const char *text, uint32_t numbers[5])
{
    const char expected[4] = {'.', '.', '.', ':'};
    for (int i = 0; i < 5; ++i) {
        if (!ReferenceNumber(&text, &numbers[i]))
            return false;
        if (i < 4) {
            if (*text != expected[i])
                return false;
            ++text;
        }
    }
    for (int i = 0; i < 4; ++i)
        if (numbers[i] > 255)
            return false;
    return numbers[4] <= 65535;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size heap copy, so that reading past the NUL is caught.
    char *text = static_cast<char *>(std::malloc(size + 1));
    std::memcpy(text, data, size);
    text[size] = '\0';

    uint8_t address[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    uint32_t port = 0xAAAAAAAAu;
    const bool accepted = ParseAddress(text, address, &port);
    uint32_t numbers[5];
    const bool expected = ReferenceParse(text, numbers);
    if (accepted != expected) {
        std::fprintf(stderr, "\"%s\": parser %s, reference %s\n", text, accepted ? "accepts" : "refuses",
                     expected ? "accepts" : "refuses");
        std::abort();
    }
    if (accepted) {
        for (int i = 0; i < 4; ++i)
            if (address[i] != numbers[i])
                std::abort();
        if (port != numbers[4])
            std::abort();
    }
    std::free(text);
    return 0;
}
