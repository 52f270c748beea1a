#pragma once

#include <QString>
#include <QStringList>

// What the command line asks for, decided before any window or display exists.
struct CommandLineResult
{
    bool startWindow = false;
    int exitCode = 0;
    QString output; // for standard output
    QString error;  // for standard error
    QString socket; // --socket PATH: usb16relayd's socket, for a port the service holds
};

// arguments includes the program's own name first, as argv does. Qt's own options (-platform,
// -style, ...) are accepted and left for QApplication.
CommandLineResult readCommandLine(const QStringList &arguments);
