#pragma once

#include <QSerialPort>
#include <QString>

#include <optional>

// Line settings written as "baud,parity,data bits,stop bits", e.g. "9600,N,8,1".
struct LineSettings
{
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    // Nothing for a malformed text; *why then says what was expected.
    static std::optional<LineSettings> parse(const QString &text, QString *why);
};
