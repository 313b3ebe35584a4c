#include "socketdeadline.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

SocketDeadline::SocketDeadline()
{
    try {
        m_thread = std::thread([this] { watch(); });
    } catch (const std::system_error &) {
        // No thread to spare: statements run unbounded, as without a deadline.
    }
}

SocketDeadline::~SocketDeadline()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_one();
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SocketDeadline::arm(int fd, int ms)
{
    if (!m_thread.joinable())
        return false;
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return false;
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_fd = copy;
        m_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        m_fired = false;
        // A watcher in a timed wait wakes at the last deadline, which is
        // earlier, and waits again for this one: no wake-up per statement.
        wake = m_idle;
    }
    if (wake)
        m_changed.notify_one();
    return true;
}

bool SocketDeadline::disarm()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    return m_fired;
}

void SocketDeadline::watch()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        m_idle = m_fd < 0 || m_fired;
        if (m_idle) {
            m_changed.wait(lock);
        } else if (m_changed.wait_until(lock, m_at) == std::cv_status::timeout && m_fd >= 0 && !m_fired
            && std::chrono::steady_clock::now() >= m_at) {
            ::shutdown(m_fd, SHUT_RDWR); // the socket itself: the driver's read ends
            m_fired = true;
        }
    }
}

int SocketDeadline::postgresSocket(const QSqlDatabase &db)
{
    // Qt's driver hands its PGconn out as a QVariant of type "PGconn*"; the
    // libpq it uses is loaded by then.
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!db.isOpen() || qstrcmp(handle.typeName(), "PGconn*") != 0)
        return -1;
    using Socket = int (*)(const void *);
    static const Socket socketOf = [] {
        void *lib = ::dlopen("libpq.so.5", RTLD_LAZY | RTLD_NOLOAD);
        return lib ? reinterpret_cast<Socket>(::dlsym(lib, "PQsocket")) : nullptr;
    }();
    const void *connection = *static_cast<void *const *>(handle.constData());
    return socketOf && connection ? socketOf(connection) : -1;
}
