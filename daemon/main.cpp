#include "localsocket.h"
#include "options.h"
#include "service.h"

#include <QCoreApplication>

#include <memory>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("usb16relayd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(USB16RELAY_VERSION));

    auto socket = std::make_unique<LocalSocket>();
    const bool socketActivated = socket->adoptFromSystemd();
    int exitCode = 0;
    std::optional<Options> options =
        Options::parse(QCoreApplication::arguments(), socketActivated, &exitCode);
    if (!options)
        return exitCode;
    Service service(std::move(*options), std::move(socket));
    return service.run();
}
