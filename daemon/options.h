#pragma once

#include "config.h"

#include <QStringList>

#include <optional>

// What the command line and the config file ask of the service, in one value: made at start, and
// again from the same command line on every reload.
struct Options
{
    Config config;
    QString configFile; // empty when the command line names the one board itself
    bool verbose = false;
    bool socketActivated = false; // systemd handed over the Unix socket

    // Nothing when the program should end at once: `exitCode` 0 after --help or --version, 1
    // after a mistake (its message logged).
    static std::optional<Options> parse(const QStringList &arguments, bool socketActivated,
                                        int *exitCode);
    // The config file read again with the same command line; nothing, with `error` set, when it
    // no longer reads.
    std::optional<Options> reread(QString *error) const;

private:
    static std::optional<Options> read(const QStringList &arguments, bool socketActivated,
                                       QString *error);

    QStringList m_arguments;
};
