#include "processlimits.h"

#include <QDebug>

#include <sys/resource.h>

void raiseOpenFileLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    qDebug().noquote() << QStringLiteral("[i] open file limit raised from %1 to %2")
                              .arg(quint64(before))
                              .arg(limit.rlim_max == RLIM_INFINITY
                                      ? QStringLiteral("unlimited")
                                      : QString::number(quint64(limit.rlim_max)));
}
