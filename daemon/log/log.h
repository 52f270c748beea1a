#pragma once

#include <QString>

// One line per event on standard error, with the priority prefix journald reads ("<3>" error,
// "<4>" warning, "<6>" info, "<7>" debug), so the journal keeps the levels.
namespace Log {

void error(const QString &message);
void warning(const QString &message);
void info(const QString &message);
// Only with --verbose: a line per command and the MQTT library's own lines.
void debug(const QString &message);
void setVerbose(bool verbose);

} // namespace Log
