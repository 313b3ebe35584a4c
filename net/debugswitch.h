#ifndef DEBUGSWITCH_H
#define DEBUGSWITCH_H

#include <QLoggingCategory>

namespace Net {
// Whether the debug output prints at all (QT_LOGGING_RULES may turn it off):
// what only it would show need not be composed.
inline bool debugOn()
{
    return QLoggingCategory::defaultCategory()->isDebugEnabled();
}
} // namespace Net

#endif // DEBUGSWITCH_H
