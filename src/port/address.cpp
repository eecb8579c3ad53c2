#include "port/address.h"

static bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads one number as an unsigned scanf conversion does, refusing values past 32 bits.
static bool ReadNumber(const char **text, uint32_t *value)
{
    const char *p = *text;
    while (IsBlank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return false;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10u + static_cast<uint32_t>(*p - '0');
        if (v > 0xFFFFFFFFu)
            return false;
        ++p;
    }
    // A minus sign would negate modulo 2^32 and could bring a large number back into range
    // ("-4294967295" is 1): only -0 is taken.
    if (negative && v != 0)
        return false;
    *value = static_cast<uint32_t>(v);
    *text = p;
    return true;
}

bool ParseAddress(const char *text, uint8_t address[4], uint32_t *port)
{
    static const char separators[4] = {'.', '.', '.', ':'};
    uint32_t numbers[5];
    for (int i = 0; i < 5; ++i) {
        if (!ReadNumber(&text, &numbers[i]))
            return false;
        if (i < 4) {
            if (*text != separators[i] || numbers[i] > 255u)
                return false;
            ++text;
        }
    }
    if (numbers[4] > 65535u)
        return false;
    for (int i = 0; i < 4; ++i)
        address[i] = static_cast<uint8_t>(numbers[i]);
    *port = numbers[4];
    return true;
}
