#pragma once

#include <QtGlobal>

// A process's resident memory (VmRSS of /proc/PID/status) in KiB; -1 when it cannot be read.
qint64 residentKiB(qint64 pid);
