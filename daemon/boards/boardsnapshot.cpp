#include "boardsnapshot.h"

#include <atomic>

quint64 BoardSnapshot::nextSeq()
{
    // Microseconds since the epoch at the start, then one more for every snapshot: later ones
    // carry larger numbers, even after a restart.
    static std::atomic<quint64> sequence{quint64(QDateTime::currentMSecsSinceEpoch()) * 1000};
    return ++sequence;
}
