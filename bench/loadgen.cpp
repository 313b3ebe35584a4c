// Closed-loop load generator for the HTTP check: `concurrency` connections are
// kept in flight; each sends one request, reads the answer to EOF and closes,
// then a new connection takes its place. Loopback only, bounded in time and
// count. Plain epoll and non-blocking sockets, so the generator itself is not
// what limits the measurement.

#include "loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Limits that keep a run bounded whatever the arguments say.
constexpr int MaxConcurrency = 1024;
constexpr double MaxDurationSeconds = 120.0;
constexpr long MaxRequests = 5'000'000;
// A request that has not completed by then counts as an error.
constexpr auto RequestTimeout = std::chrono::seconds(5);

struct Options
{
    int port = 0;
    int concurrency = 1;
    double duration = 5.0;
    long maxRequests = MaxRequests;
    int users = 0;          // >0: username=user<k>&password=pass<k>, k cycling over [1, users]
    std::string expect;     // the answer must contain this
    std::string raw;        // sent as it is instead of a check (\r\n written as such)
    int pauseMs = 0;        // between a request's answer and the next request of its slot
    std::string probePorts; // "probe" mode: wait until these ports accept
};

struct Conn
{
    int fd = -1;
    Clock::time_point started;
    std::string request;
    size_t sent = 0;
    std::string answer;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr,
        "usage: loadgen --port P [--concurrency C] [--duration S] [--requests N]\n"
        "               [--users N] [--expect TEXT] [--raw REQUEST] [--pause MS]\n"
        "       loadgen --probe P1,P2,... [--duration S]\n"
        "Connects to 127.0.0.1 only. Prints one line of figures.\n");
    std::exit(2);
}

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--port")
            o.port = std::atoi(next().c_str());
        else if (a == "--concurrency")
            o.concurrency = std::atoi(next().c_str());
        else if (a == "--duration")
            o.duration = std::atof(next().c_str());
        else if (a == "--requests")
            o.maxRequests = std::atol(next().c_str());
        else if (a == "--users")
            o.users = std::atoi(next().c_str());
        else if (a == "--expect")
            o.expect = next();
        else if (a == "--pause")
            o.pauseMs = std::atoi(next().c_str());
        else if (a == "--raw")
            o.raw = next();
        else if (a == "--probe")
            o.probePorts = next();
        else
            usage();
    }
    o.concurrency = std::clamp(o.concurrency, 1, MaxConcurrency);
    o.duration = std::clamp(o.duration, 0.01, MaxDurationSeconds);
    o.maxRequests = std::clamp(o.maxRequests, 1L, MaxRequests);
    return o;
}

bool accepts(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in addr = loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// Waits until every listed port accepts; prints the time that took.
int probe(const Options &o)
{
    std::vector<int> ports;
    for (size_t pos = 0; pos < o.probePorts.size();) {
        const size_t comma = o.probePorts.find(',', pos);
        ports.push_back(std::atoi(o.probePorts.substr(pos, comma - pos).c_str()));
        pos = comma == std::string::npos ? o.probePorts.size() : comma + 1;
    }
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration<double>(o.duration);
    for (int port : ports) {
        while (!accepts(port)) {
            if (Clock::now() > deadline) {
                std::printf("probe timeout port=%d\n", port);
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }
    std::printf("probe_ms=%.1f\n", std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    return 0;
}

std::string requestFor(const Options &o, long n)
{
    if (!o.raw.empty())
        return o.raw;
    if (o.users <= 0)
        return "GET /t/check?username=user1&password=pass1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const long k = 1 + n % o.users;
    return "GET /t/check?username=user" + std::to_string(k) + "&password=pass" + std::to_string(k)
        + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

} // namespace

int main(int argc, char **argv)
{
    const Options o = parse(argc, argv);
    if (!o.probePorts.empty())
        return probe(o);
    if (o.port <= 0)
        usage();

    const int ep = epoll_create1(0);
    std::vector<Conn> conns(size_t(o.concurrency));
    std::vector<uint32_t> latencyUs;
    latencyUs.reserve(size_t(std::min<long>(o.maxRequests, 2'000'000)));
    long started = 0, errors = 0, refused = 0, mismatched = 0;
    const sockaddr_in addr = loopback(o.port);
    const auto begin = Clock::now();
    const auto stopStarting = begin + std::chrono::duration<double>(o.duration);

    auto finish = [&](Conn &c, bool ok) {
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        close(c.fd);
        c.fd = -1;
        if (ok && !o.expect.empty() && c.answer.find(o.expect) == std::string::npos) {
            ok = false;
            ++mismatched;
        }
        if (ok)
            latencyUs.push_back(uint32_t(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - c.started).count()));
        else
            ++errors;
    };

    auto launch = [&](size_t slot) {
        Conn &c = conns[slot];
        if (started >= o.maxRequests || Clock::now() >= stopStarting)
            return;
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        c.started = Clock::now();
        c.request = requestFor(o, started);
        c.sent = 0;
        c.answer.clear();
        ++started;
        if (connect(c.fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0
            && errno != EINPROGRESS) {
            if (errno == ECONNREFUSED)
                ++refused;
            close(c.fd);
            c.fd = -1;
            ++errors;
            return;
        }
        epoll_event ev {};
        ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = slot;
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    };

    for (size_t i = 0; i < conns.size(); ++i)
        launch(i);

    std::vector<epoll_event> events(conns.size());
    char buf[65536];
    for (;;) {
        const bool anyOpen = std::any_of(conns.begin(), conns.end(), [](const Conn &c) { return c.fd >= 0; });
        if (!anyOpen) {
            if (started >= o.maxRequests || Clock::now() >= stopStarting)
                break;
            for (size_t i = 0; i < conns.size(); ++i)
                launch(i);
            continue;
        }
        const int n = epoll_wait(ep, events.data(), int(events.size()), 100);
        const auto now = Clock::now();
        for (int i = 0; i < n; ++i) {
            const size_t slot = events[size_t(i)].data.u64;
            Conn &c = conns[slot];
            if (c.fd < 0)
                continue;
            const uint32_t e = events[size_t(i)].events;
            if (c.sent < c.request.size() && (e & EPOLLOUT)) {
                int soerr = 0;
                socklen_t len = sizeof soerr;
                getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
                if (soerr != 0) {
                    if (soerr == ECONNREFUSED)
                        ++refused;
                    finish(c, false);
                    launch(slot);
                    continue;
                }
                const ssize_t w
                    = send(c.fd, c.request.data() + c.sent, c.request.size() - c.sent, MSG_NOSIGNAL);
                if (w > 0)
                    c.sent += size_t(w);
                if (c.sent == c.request.size()) {
                    epoll_event ev {};
                    ev.events = EPOLLIN | EPOLLRDHUP;
                    ev.data.u64 = slot;
                    epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
                }
            }
            if (e & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
                bool done = false, ok = true;
                for (;;) {
                    const ssize_t r = recv(c.fd, buf, sizeof buf, 0);
                    if (r > 0) {
                        c.answer.append(buf, size_t(r));
                        continue;
                    }
                    if (r == 0) {
                        done = true;
                        ok = !c.answer.empty();
                    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                        done = true;
                        ok = false;
                    }
                    break;
                }
                if (done) {
                    finish(c, ok);
                    if (o.pauseMs > 0) // a paced probe, not a load: blocking is fine
                        std::this_thread::sleep_for(std::chrono::milliseconds(o.pauseMs));
                    launch(slot);
                }
            }
        }
        for (size_t slot = 0; slot < conns.size(); ++slot) {
            Conn &c = conns[slot];
            if (c.fd >= 0 && now - c.started > RequestTimeout) {
                finish(c, false);
                launch(slot);
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    std::sort(latencyUs.begin(), latencyUs.end());
    auto pct = [&](double p) -> double {
        if (latencyUs.empty())
            return 0;
        return latencyUs[std::min(latencyUs.size() - 1, size_t(p * double(latencyUs.size())))] / 1000.0;
    };
    std::printf("requests=%zu rps=%.0f p50_ms=%.3f p99_ms=%.3f max_ms=%.3f errors=%ld refused=%ld "
                "mismatched=%ld\n",
        latencyUs.size(), double(latencyUs.size()) / seconds, pct(0.50), pct(0.99),
        latencyUs.empty() ? 0.0 : latencyUs.back() / 1000.0, errors, refused, mismatched);
    return errors == 0 ? 0 : 1;
}
