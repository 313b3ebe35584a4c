#ifndef BENCH_LOOPBACK_H
#define BENCH_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

// The IPv4 loopback address with a port: where every bench tool connects or listens.
inline sockaddr_in loopback(int port)
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

#endif // BENCH_LOOPBACK_H
