#pragma once

#include <QString>
#include <QWidget>

// A borderless rectangle filled with its background colour. The colour word written is the
// one read back, unchanged: the relay buttons decide on it. For those who cannot tell red from
// green, its accessible description and tooltip say the state in words.
class StatusIndicator final : public QWidget
{
    Q_OBJECT

public:
    explicit StatusIndicator(QWidget *parent = nullptr);

    // Names the indicator after its relay; until a colour is written it reads "not read yet".
    void setRelay(int relay);

    quint32 backColor() const { return m_backColor; }
    void setBackColor(quint32 colourWord);
    // Red again, and "not read yet", as when created.
    void forget();
    // "on", "off", "not read yet" or "unknown".
    QString stateWords() const { return m_words; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void describe(const QString &state);
    void paint(quint32 colourWord);

    quint32 m_backColor;
    int m_relay = 0;
    QString m_words;
};
