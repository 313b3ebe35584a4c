#ifndef BENCH_DELAYRELAY_H
#define BENCH_DELAYRELAY_H

#include "loopback.h"

#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <utility>

// A TCP relay on loopback that holds what it relays for a set time each way:
// a slower path where the kernel offers no netem queueing discipline, for the
// benchmark of the connection pool and for tests. What one side sends reaches
// the other after the delay and in order, as a network delivers it: its bytes,
// the end of its stream, and a reset (a side that is reset has the other reset
// once the bytes sent before it have arrived). With a window, at most that many
// bytes are held each way, and a sender that sends more waits as over a real
// path, rather than finishing at loopback speed. One thread, epoll, and a
// timerfd for the release times.
class DelayRelay
{
public:
    // No window: whatever arrives is held, however much.
    static constexpr size_t Unbounded = SIZE_MAX;

    DelayRelay(int listenPort, int targetPort, std::chrono::microseconds delay, size_t window = Unbounded)
        : m_targetPort(targetPort), m_delay(delay), m_window(window)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        limitBuffer(m_listener); // the connections it accepts inherit it
        sockaddr_in address = loopback(listenPort);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
            && ::listen(m_listener, SOMAXCONN) == 0
            && ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        m_timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        m_wake = ::eventfd(0, EFD_CLOEXEC);
        for (const int fd : {m_listener, m_timer, m_wake})
            control(EPOLL_CTL_ADD, fd, EPOLLIN);
    }

    ~DelayRelay()
    {
        for (Pair &pair : m_pairs)
            close(pair);
        for (const int fd : {m_listener, m_timer, m_wake, m_epoll})
            ::close(fd);
    }

    DelayRelay(const DelayRelay &) = delete;
    DelayRelay &operator=(const DelayRelay &) = delete;

    // The port it listens on: listenPort, or the one the system chose for 0;
    // 0 when it could not listen.
    int port() const { return m_port; }
    // Relays until stop() is called, from any thread.
    void run()
    {
        epoll_event events[64];
        for (;;) {
            const int n = ::epoll_wait(m_epoll, events, 64, -1);
            for (int k = 0; k < n; ++k) {
                const int fd = events[k].data.fd;
                if (fd == m_wake)
                    return;
                if (fd == m_listener) {
                    accept();
                } else if (fd == m_timer) {
                    uint64_t expirations;
                    [[maybe_unused]] const ssize_t got = ::read(m_timer, &expirations, sizeof expirations);
                } else if (const auto side = m_sides.find(fd); side != m_sides.end()) {
                    Pair &pair = *side->second.first;
                    const int i = side->second.second;
                    const uint32_t what = events[k].events;
                    if (what & EPOLLOUT)
                        pair.flows[1 - i].waitsToWrite = false;
                    if (what & EPOLLHUP)
                        pair.sides[i].hungUp = true;
                    take(pair, i, what & (EPOLLERR | EPOLLHUP));
                }
            }
            settle();
        }
    }
    void stop()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
    }

    // Resets passed on to the side that connected, and to the target.
    int resetsToClients() const { return m_resetsToClients; }
    int resetsToTarget() const { return m_resetsToTarget; }

private:
    using Clock = std::chrono::steady_clock;

    enum class Kind { Bytes, End, Reset };
    struct Chunk
    {
        Clock::time_point due;
        Kind kind;
        std::string bytes;
    };
    // What one side sends, held for the other.
    struct Flow
    {
        std::deque<Chunk> held;
        size_t heldBytes = 0;
        size_t sentOfFirst = 0;
        bool ended = false, reset = false; // held: nothing more is read
        bool waitsToWrite = false;         // the other side's buffer is full
        bool delivered = false;            // its end has been passed on
    };
    struct Side
    {
        int fd = -1;
        uint32_t interest = EPOLLIN;
        bool watched = true;
        bool hungUp = false;
    };
    // sides[0] connected to the relay, sides[1] is the relay's connection to
    // the target; flows[i] is what sides[i] sends.
    struct Pair
    {
        Side sides[2];
        Flow flows[2];
        bool closed = false;
    };

    void control(int operation, int fd, uint32_t events)
    {
        epoll_event event {};
        event.events = events;
        event.data.fd = fd;
        ::epoll_ctl(m_epoll, operation, fd, &event);
    }

    // With a window, the system's buffer is no larger either.
    void limitBuffer(int fd) const
    {
        const int bytes = int(std::min<size_t>(m_window, 1 << 30));
        if (m_window != Unbounded)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }

    void accept()
    {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        const int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        limitBuffer(target);
        const sockaddr_in address = loopback(m_targetPort);
        if (client < 0
            || ::connect(target, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            ::close(client);
            ::close(target);
            return;
        }
        Pair &pair = m_pairs.emplace_back();
        pair.sides[0].fd = client;
        pair.sides[1].fd = target;
        const int one = 1;
        for (int i = 0; i < 2; ++i) {
            ::setsockopt(pair.sides[i].fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            m_sides[pair.sides[i].fd] = {&pair, i};
            control(EPOLL_CTL_ADD, pair.sides[i].fd, EPOLLIN);
        }
    }

    void hold(Flow &flow, Kind kind, std::string bytes = std::string())
    {
        flow.heldBytes += bytes.size();
        flow.held.push_back({Clock::now() + m_delay, kind, std::move(bytes)});
    }

    // Reads what sides[i] sent, as far as the window allows; notes a reset,
    // also one that follows the end of its stream.
    void take(Pair &pair, int i, bool trouble)
    {
        Flow &flow = pair.flows[i];
        const int fd = pair.sides[i].fd;
        if (!flow.ended && !flow.reset && flow.heldBytes < m_window) {
            char buffer[65536];
            const ssize_t n
                = ::recv(fd, buffer, std::min(sizeof buffer, m_window - flow.heldBytes), MSG_DONTWAIT);
            if (n > 0) {
                hold(flow, Kind::Bytes, std::string(buffer, size_t(n)));
            } else if (n == 0) {
                flow.ended = true;
                hold(flow, Kind::End);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                flow.reset = true;
                hold(flow, Kind::Reset);
            }
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (trouble && !flow.reset && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0
            && error != 0) {
            flow.reset = true;
            hold(flow, Kind::Reset);
        }
    }

    // Passes on what flows[i] holds that is due, in order.
    void deliver(Pair &pair, int i)
    {
        Flow &flow = pair.flows[i];
        const int to = pair.sides[1 - i].fd;
        const auto now = Clock::now();
        while (!pair.closed && !flow.waitsToWrite && !flow.held.empty() && flow.held.front().due <= now) {
            const Chunk &chunk = flow.held.front();
            if (chunk.kind == Kind::Bytes) {
                const ssize_t n = ::send(to, chunk.bytes.data() + flow.sentOfFirst,
                    chunk.bytes.size() - flow.sentOfFirst, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                    flow.waitsToWrite = true;
                    return;
                }
                if (n < 0) {
                    // The other side was reset: nothing more reaches it, and
                    // its reset travels back.
                    flow.held.clear();
                    flow.heldBytes = flow.sentOfFirst = 0;
                    Flow &back = pair.flows[1 - i];
                    if (!back.reset) {
                        back.reset = true;
                        hold(back, Kind::Reset);
                    }
                    return;
                }
                flow.sentOfFirst += size_t(n);
                flow.heldBytes -= size_t(n);
                if (flow.sentOfFirst < chunk.bytes.size()) {
                    flow.waitsToWrite = true;
                    return;
                }
                flow.sentOfFirst = 0;
            } else if (chunk.kind == Kind::End) {
                ::shutdown(to, SHUT_WR);
                flow.delivered = true;
            } else {
                // Closed with a zero linger time, the connection is reset.
                const linger abrupt {1, 0};
                ::setsockopt(to, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
                ++(i == 0 ? m_resetsToTarget : m_resetsToClients);
                pair.closed = true;
            }
            flow.held.pop_front();
        }
    }

    void close(Pair &pair)
    {
        for (Side &side : pair.sides) {
            m_sides.erase(side.fd);
            ::close(side.fd);
        }
    }

    // After every round of events: what is due goes, finished pairs close,
    // each side is watched for what its flows wait for, and the timer is set
    // for the next chunk due.
    void settle()
    {
        Clock::time_point next = Clock::time_point::max();
        for (auto pair = m_pairs.begin(); pair != m_pairs.end();) {
            deliver(*pair, 0);
            deliver(*pair, 1);
            const bool ended = pair->flows[0].delivered && pair->flows[1].delivered;
            if (pair->closed || ended) {
                close(*pair);
                pair = m_pairs.erase(pair);
                continue;
            }
            for (int i = 0; i < 2; ++i) {
                const Flow &flow = pair->flows[i];
                Side &side = pair->sides[i];
                const uint32_t interest
                    = (!flow.ended && !flow.reset && flow.heldBytes < m_window ? uint32_t(EPOLLIN) : 0u)
                    | (pair->flows[1 - i].waitsToWrite ? uint32_t(EPOLLOUT) : 0u);
                // A side that hung up reports it for as long as it is watched.
                const bool watch = interest != 0 || !side.hungUp;
                if (watch != side.watched || (watch && interest != side.interest))
                    control(watch == side.watched ? EPOLL_CTL_MOD
                            : watch               ? EPOLL_CTL_ADD
                                                  : EPOLL_CTL_DEL,
                        side.fd, interest);
                side.watched = watch;
                side.interest = interest;
                if (!flow.waitsToWrite && !flow.held.empty())
                    next = std::min(next, flow.held.front().due);
            }
            ++pair;
        }
        itimerspec when {};
        if (next != Clock::time_point::max()) {
            const auto wait = std::max<Clock::duration>(next - Clock::now(), std::chrono::microseconds(1));
            when.it_value.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(wait).count();
            when.it_value.tv_nsec = long((wait % std::chrono::seconds(1)) / std::chrono::nanoseconds(1));
        }
        ::timerfd_settime(m_timer, 0, &when, nullptr);
    }

    int m_targetPort;
    std::chrono::microseconds m_delay;
    size_t m_window;
    int m_port = 0;
    int m_listener = -1, m_epoll = -1, m_timer = -1, m_wake = -1;
    std::list<Pair> m_pairs;
    std::map<int, std::pair<Pair *, int>> m_sides; // by descriptor: its pair, and which side
    std::atomic<int> m_resetsToClients {0}, m_resetsToTarget {0};
};

#endif // BENCH_DELAYRELAY_H
