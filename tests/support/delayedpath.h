#ifndef DELAYEDPATH_H
#define DELAYEDPATH_H

#include "bench/delayrelay.h"

#include <QtGlobal>

#include <thread>

// A path to a port on loopback that delays every byte, the end of a stream
// and a reset by delayMs each way, with at most windowBytes in flight each
// way, for as long as the object lives: the benchmark's relay on a thread of
// its own, so the test's event loop, and an agent on it, run meanwhile.
class DelayedPath
{
public:
    DelayedPath(quint16 targetPort, int delayMs, size_t windowBytes)
        : relay(0, targetPort, std::chrono::milliseconds(delayMs), windowBytes),
          m_thread([this] { relay.run(); })
    { }
    ~DelayedPath()
    {
        relay.stop();
        m_thread.join();
    }
    DelayedPath(const DelayedPath &) = delete;
    DelayedPath &operator=(const DelayedPath &) = delete;

    quint16 port() const { return quint16(relay.port()); }

    DelayRelay relay;

private:
    std::thread m_thread;
};

#endif // DELAYEDPATH_H
