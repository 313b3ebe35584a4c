// The least work one thread can do per connection: accept, read once, write a
// fixed answer of the agent's size, close. The load benchmark measures the
// agent against this floor on the same machine in the same run.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: refserver PORT [USERID]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string userid = argc > 2 ? argv[2] : "12345";
    // Same bytes as the agent's found answer, so both move the same payload.
    const std::string answer = "HTTP/1.0 200 Ok\r\nContent-Type: text/html; charset=\"utf-8\"\r\n\r\n"
                               "{\"rez\":\"exist\",\"userid\":\""
        + userid + "\"}\n";
    std::signal(SIGPIPE, SIG_IGN);

    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(lfd, 128) != 0) {
        std::perror("refserver: listen");
        return 1;
    }
    const int ep = epoll_create1(0);
    epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.fd = lfd;
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);

    epoll_event events[256];
    char buf[4096];
    for (;;) {
        const int n = epoll_wait(ep, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == lfd) {
                for (;;) {
                    const int c = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK);
                    if (c < 0)
                        break;
                    epoll_event cev {};
                    cev.events = EPOLLIN;
                    cev.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                }
                continue;
            }
            if (read(fd, buf, sizeof buf) < 0) {
                close(fd);
                continue;
            }
            if (write(fd, answer.data(), answer.size()) < 0) {
                // the client is gone; nothing to do but close
            }
            close(fd);
        }
    }
}
