#pragma once

#include "simulatedboard.h"

#include <QTemporaryDir>

#include <map>
#include <memory>

// Simulated boards on ptys, reachable as COM n through a private port directory for as long as
// this object lives.
class BoardPorts final
{
public:
    // The port directory is made from dirTemplate when one is given (see QTemporaryDir).
    explicit BoardPorts(const QString &dirTemplate = {});
    ~BoardPorts();
    BoardPorts(const BoardPorts &) = delete;
    BoardPorts &operator=(const BoardPorts &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString pathOf(int port) const;

    // Starts a board as COM port with the given relay state (relay 1 = bit 15); null on failure.
    SimulatedBoard *add(int port, quint16 state = 0);
    SimulatedBoard *board(int port) const;

private:
    QTemporaryDir m_dir;
    std::map<int, std::unique_ptr<SimulatedBoard>> m_boards;
};

// The commands a board received, in order, without the status requests.
QList<QByteArray> switching(const SimulatedBoard *board);
// A state as the service writes it: four upper-case hex digits, relay 1 = bit 15.
QString maskText(quint16 state);
