#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

#include <array>
#include <optional>

// What one read of a board found, or that the board cannot be read: the one value every front
// formats, so that the page, the API and Home Assistant say the same of the same read.
struct BoardSnapshot
{
    QString board; // the board's id
    bool online = false;
    QString offlineReason;        // why not, while offline
    std::optional<quint16> state; // as last read; kept while offline, marked so by `online`
    QDateTime readAt;             // when the board reported `state`; invalid until it has
    // Grows with every snapshot of every board, and across restarts: a client keeps a state only
    // over an older one.
    quint64 seq = 0;
    quint16 changed = 0; // the relays this read found otherwise than the last
    quint16 overdue = 0; // relays whose pulse has ended but are not confirmed back yet
    std::array<QDateTime, 16> changedAt; // when this run saw each relay change
    // By whom: "mqtt: TOPIC", "http: ADDRESS", "socket: USER (PROGRAM, pid N)", "restore",
    // "on-connect", "pulse-end", "interlock" or "board" (no command).
    std::array<QString, 16> changedBy;

    static quint64 nextSeq();
};

Q_DECLARE_METATYPE(BoardSnapshot)
