#include "watchloop.h"

#include "exitstatus.h"
#include "interruption.h"
#include "output.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <csignal>
#include <optional>
#include <unistd.h>

int watchLoop(std::chrono::milliseconds interval,
              const std::function<std::variant<RelayState, int>()> &read,
              const std::function<QByteArray(const QString &time, const RelayState &)> &line)
{
    Interruption::endAtOnce(QString(), true);
    std::optional<RelayState> shown;
    QElapsedTimer round;
    for (;;) {
        round.start();
        const std::variant<RelayState, int> got = read();
        if (const int *status = std::get_if<int>(&got))
            return *status;
        const RelayState &state = std::get<RelayState>(got);
        if (!shown || *shown != state) {
            const QDateTime now = QDateTime::currentDateTime();
            const QString time =
                now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
            const int status = Output::printed(line(time, state));
            if (status != kExitDone)
                return status;
            shown = state;
        }
        // Also between changes: a reader that left (watch | head -n 1) ends the watch at once.
        const auto left = interval - std::chrono::milliseconds(round.elapsed());
        if (Interruption::sleep(std::max(left, std::chrono::milliseconds::zero()), STDOUT_FILENO) ==
            Interruption::Wake::OutputGone)
            return kExitSignalBase + SIGPIPE;
    }
}
