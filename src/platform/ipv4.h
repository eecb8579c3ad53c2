// The IPv4 socket address that both platform files connect to.
#ifndef KALVICOM_PLATFORM_IPV4_H
#define KALVICOM_PLATFORM_IPV4_H

#include <cstdint>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

// address[0].address[1].address[2].address[3]:port.
inline sockaddr_in Ipv4SocketAddress(const uint8_t address[4], uint16_t port)
{
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    std::memcpy(&to.sin_addr.s_addr, address, 4); // already in network order
    return to;
}

#endif
