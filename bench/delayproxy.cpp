// A TCP relay on loopback that holds every chunk it relays for a fixed time,
// each way: a database that answers over a slower path, for the benchmark of
// the connection pool where the kernel offers no netem queueing discipline.

#include "delayrelay.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: delayproxy LISTEN_PORT TARGET_PORT DELAY_US (each way)\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    DelayRelay relay(std::atoi(argv[1]), std::atoi(argv[2]), std::chrono::microseconds(std::atoi(argv[3])));
    if (relay.port() == 0) {
        std::perror("delayproxy: listen");
        return 1;
    }
    relay.run();
}
