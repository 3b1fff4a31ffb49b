#pragma once

#include <QString>

// Who holds a serial port that cannot be opened because it is in use: the
// program and process named in the port's lock file, or, where the system
// tells, a process that has the device open. Empty when nobody can be named.
QString portHolder(const QString &device);
