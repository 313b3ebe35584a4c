#include "socketdeadline.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

#include <dlfcn.h>
#include <sys/socket.h>

SocketDeadline::~SocketDeadline()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void SocketDeadline::arm(int fd, int ms)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_fd = fd;
        m_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        m_fired = false;
        if (!m_thread.joinable())
            m_thread = std::thread([this] { watch(); });
    }
    m_changed.notify_one();
}

bool SocketDeadline::disarm()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_fd = -1;
    return m_fired;
}

void SocketDeadline::watch()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        if (m_fd < 0) {
            m_changed.wait(lock);
        } else if (m_changed.wait_until(lock, m_at) == std::cv_status::timeout && m_fd >= 0
            && std::chrono::steady_clock::now() >= m_at) {
            // Under the lock: the caller cannot have closed fd, which it
            // does only after disarm().
            ::shutdown(m_fd, SHUT_RDWR);
            m_fired = true;
            m_fd = -1;
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
