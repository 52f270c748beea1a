#pragma once

#include <QMessageBox>

class QLabel;
class QScrollArea;

// The report window: a warning with an OK button whose text scrolls once it would not fit the
// screen, with the newest (last) lines in view. It stays a transient of its parent window, so
// window managers keep it above that window.
class ReportBox final : public QMessageBox
{
    Q_OBJECT

public:
    ReportBox(const QString &title, QWidget *parent);

    void setLog(const QString &text);
    // Shows the box above its parent window, raised.
    void showAboveParent();

protected:
    bool event(QEvent *event) override;

private:
    void wrapText();
    void fit();

    QLabel *m_label = nullptr;
    QScrollArea *m_area = nullptr;
    bool m_fitting = false;
};
