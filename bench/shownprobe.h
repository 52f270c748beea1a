#pragma once

#include <QObject>

// Inside the measured program: once its first window has been exposed and the event loop has
// painted it and come back, writes "usb16relay-shown <monotonic ms>" to standard error
// and quits the program.
class ShownProbe final : public QObject
{
    Q_OBJECT

public:
    explicit ShownProbe(QObject *parent = nullptr);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void report();

    bool m_seen = false;
};
