#pragma once

#include <QString>

// Who holds a serial port that cannot be opened because it is in use: the
// program and process named in the port's lock file, or, where the system
// tells, a process that has the device open. Empty when nobody can be named.
QString portHolder(const QString &device);

// A process other than this one that has the device open, as the system
// tells it (/proc on Linux): "cat (process 4321)". Empty when there is none
// or the system does not say (other users' processes may be hidden). What
// the system says is looked up at most every quarter second, for all
// devices at once.
QString otherProcessUsing(const QString &device);
