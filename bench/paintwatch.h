#pragma once

#include <QObject>
#include <QPointer>

class StatusIndicator;

// Notes when an indicator is painted showing a given colour word.
class PaintWatch final : public QObject
{
    Q_OBJECT

public:
    explicit PaintWatch(StatusIndicator *indicator, QObject *parent = nullptr);
    ~PaintWatch() override;

    void expect(quint32 colourWord);
    bool painted() const { return m_paintedAtMs >= 0; }
    // Monotonic milliseconds of that paint; negative until it happens.
    double paintedAtMs() const { return m_paintedAtMs; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<StatusIndicator> m_indicator;
    quint32 m_expected = 0;
    double m_paintedAtMs = -1;
};
