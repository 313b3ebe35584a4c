#ifndef SOCKETDEADLINE_H
#define SOCKETDEADLINE_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class QSqlDatabase;

// A blocking driver call with no deadline of its own, bounded from outside:
// when it has not returned in time, the socket it waits on is shut, so the
// driver's read ends as on a lost connection. For the dialog's connection,
// which has no pool deadline to be retired by: PostgreSQL's driver waits for
// a stopped server until it resumes.
class SocketDeadline
{
public:
    SocketDeadline() = default;
    ~SocketDeadline();
    SocketDeadline(const SocketDeadline &) = delete;
    SocketDeadline &operator=(const SocketDeadline &) = delete;

    // Until disarm(), fd is shut down (both ways) ms from now.
    void arm(int fd, int ms);
    // Ends the watch; true when the deadline had passed and fd was shut.
    bool disarm();

    // The socket of a PostgreSQL connection (QPSQL), found through the libpq
    // Qt's plugin loaded; -1 for another driver or one not open.
    static int postgresSocket(const QSqlDatabase &db);

private:
    void watch();

    std::mutex m_mutex; // guards everything below but m_thread
    std::condition_variable m_changed;
    int m_fd = -1; // armed while not -1
    std::chrono::steady_clock::time_point m_at;
    bool m_fired = false;
    bool m_stopping = false;
    std::thread m_thread; // started at the first arm()
};

#endif // SOCKETDEADLINE_H
