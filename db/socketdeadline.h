#ifndef SOCKETDEADLINE_H
#define SOCKETDEADLINE_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class QSqlDatabase;

// A blocking driver call with no deadline of its own, bounded from outside:
// when it has not returned in time, the socket it waits on is shut, so the
// driver's read ends as on a lost connection. For the dialog's connection to
// a list of servers, which has no pool deadline to be retired by:
// PostgreSQL's driver waits for a stopped server until it resumes, while the
// next server of the list could answer.
class SocketDeadline
{
public:
    // Starts the watcher thread.
    SocketDeadline();
    ~SocketDeadline();
    SocketDeadline(const SocketDeadline &) = delete;
    SocketDeadline &operator=(const SocketDeadline &) = delete;

    // Until disarm(), fd is shut down (both ways) ms from now. A copy of fd
    // is watched, so a driver that closes fd meanwhile cannot have the
    // number, given to another file, shut. False when fd cannot be watched
    // (no watcher thread, no descriptor left): the call runs unbounded.
    bool arm(int fd, int ms);
    // Ends the watch; true when the deadline had passed and the socket was shut.
    bool disarm();

    // The socket of a PostgreSQL connection (QPSQL), found through the libpq
    // Qt's plugin loaded; -1 for another driver or one not open.
    static int postgresSocket(const QSqlDatabase &db);

private:
    void watch();

    std::mutex m_mutex; // guards everything below but m_thread
    std::condition_variable m_changed;
    int m_fd = -1; // the copy watched; armed while not -1
    std::chrono::steady_clock::time_point m_at;
    bool m_fired = false;
    bool m_idle = false; // the watcher waits for an arm(), not for a time
    bool m_stopping = false;
    std::thread m_thread;
};

#endif // SOCKETDEADLINE_H
