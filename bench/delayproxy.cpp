// A TCP relay on loopback that holds every chunk it relays for a fixed time,
// each way: a database that answers over a slower path, for the benchmark of
// the connection pool where the kernel offers no netem queueing discipline.
// One thread, epoll, and a timerfd for the microsecond release times.

#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk
{
    Clock::time_point due;
    std::string data; // empty: the end of the stream
};

// One direction of one relayed connection.
struct Direction
{
    int to = -1;
    std::deque<Chunk> queue;
    bool ended = false; // its end of stream has been passed on
};

void watch(int epoll, int fd)
{
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: delayproxy LISTEN_PORT TARGET_PORT DELAY_US (each way)\n");
        return 2;
    }
    const int listenPort = std::atoi(argv[1]);
    const int targetPort = std::atoi(argv[2]);
    const auto delay = std::chrono::microseconds(std::atoi(argv[3]));
    std::signal(SIGPIPE, SIG_IGN);

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in address = loopback(listenPort);
    if (bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || listen(listener, 128) != 0) {
        std::perror("delayproxy: listen");
        return 1;
    }
    const int epoll = epoll_create1(0);
    const int timer = timerfd_create(CLOCK_MONOTONIC, 0);
    watch(epoll, listener);
    watch(epoll, timer);

    std::map<int, Direction> directions; // by the descriptor data is read from
    auto arm = [&] {
        Clock::time_point first = Clock::time_point::max();
        for (const auto &entry : directions)
            if (!entry.second.queue.empty() && entry.second.queue.front().due < first)
                first = entry.second.queue.front().due;
        itimerspec next {};
        if (first != Clock::time_point::max()) {
            const auto wait = std::max<Clock::duration>(first - Clock::now(), std::chrono::microseconds(1));
            next.it_value.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(wait).count();
            next.it_value.tv_nsec = long((wait % std::chrono::seconds(1)) / std::chrono::nanoseconds(1));
        }
        timerfd_settime(timer, 0, &next, nullptr);
    };

    epoll_event events[64];
    for (;;) {
        const int n = epoll_wait(epoll, events, 64, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                const int client = accept(listener, nullptr, nullptr);
                const int server = socket(AF_INET, SOCK_STREAM, 0);
                const sockaddr_in target = loopback(targetPort);
                if (client < 0
                    || connect(server, reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0) {
                    close(client);
                    close(server);
                    continue;
                }
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                directions[client].to = server;
                directions[server].to = client;
                watch(epoll, client);
                watch(epoll, server);
            } else if (fd == timer) {
                uint64_t expirations;
                [[maybe_unused]] const ssize_t got = read(timer, &expirations, sizeof expirations);
                const auto now = Clock::now();
                std::vector<int> finished;
                for (auto &entry : directions) {
                    Direction &d = entry.second;
                    while (!d.queue.empty() && d.queue.front().due <= now) {
                        const std::string &data = d.queue.front().data;
                        if (data.empty()) {
                            shutdown(d.to, SHUT_WR);
                            d.ended = true;
                        } else {
                            [[maybe_unused]] const ssize_t sent
                                = send(d.to, data.data(), data.size(), MSG_NOSIGNAL);
                        }
                        d.queue.pop_front();
                    }
                    // Both ways passed on their end: the pair goes.
                    if (d.ended && directions[d.to].ended && entry.first < d.to)
                        finished.push_back(entry.first);
                }
                for (int from : finished) {
                    const int to = directions[from].to;
                    close(from);
                    close(to);
                    directions.erase(from);
                    directions.erase(to);
                }
            } else {
                char buffer[65536];
                const ssize_t got = read(fd, buffer, sizeof buffer);
                auto it = directions.find(fd);
                if (it == directions.end())
                    continue;
                if (got <= 0)
                    epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
                it->second.queue.push_back(
                    {Clock::now() + delay, got > 0 ? std::string(buffer, size_t(got)) : std::string()});
            }
        }
        arm();
    }
}
