#include "commandline.h"
#include "standardstreams.h"
#include "usb16relay.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // First of all: a closed standard output or error must not become the serial port.
    StandardStreams::reserve();

    // Read before QApplication exists: --help and --version must answer without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLineResult commandLine = readCommandLine(arguments);
    std::fputs(commandLine.output.toLocal8Bit().constData(), stdout);
    std::fputs(commandLine.error.toLocal8Bit().constData(), stderr);
    if (!commandLine.startWindow)
        return commandLine.exitCode;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("usb16relay"));
    QApplication::setDesktopFileName(QStringLiteral("usb16relay"));

    Usb16Relay window;
    if (!commandLine.socket.isEmpty())
        window.setServiceSocket(commandLine.socket);
    window.Form_Load();
    window.show();
    return app.exec();
}
