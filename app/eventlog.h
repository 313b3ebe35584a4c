#ifndef EVENTLOG_H
#define EVENTLOG_H

#include <QString>

// Local date and time as "dd.MM.yyyy hh:mm:ss " (20 characters, ends in a blank).
QString timeStamp();

#endif // EVENTLOG_H
