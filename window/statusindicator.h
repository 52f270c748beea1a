#pragma once

#include <QWidget>

// A borderless rectangle filled with its background colour. The colour word written is the
// one read back, unchanged: the relay buttons decide on it.
class StatusIndicator final : public QWidget
{
    Q_OBJECT

public:
    explicit StatusIndicator(QWidget *parent = nullptr);

    quint32 backColor() const { return m_backColor; }
    void setBackColor(quint32 colourWord);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    quint32 m_backColor;
};
