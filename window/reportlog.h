#pragma once

#include <QString>
#include <QTime>

#include <deque>

// Every failure since the operator last dismissed the report, oldest first, each with its time.
// A failure that repeats the one before it is counted rather than listed again, and only the
// latest ones are kept so that the report stays on the screen.
class ReportLog final
{
public:
    static constexpr int kMaxEntries = 20;
    static constexpr int kMaxLength = 600; // characters of one failure's text

    void add(const QString &text, const QTime &at);
    void clear();
    bool isEmpty() const { return m_entries.empty(); }
    QString text() const;

    // Cuts text longer than maxLength, marking the cut with an ellipsis.
    static QString elided(const QString &text, int maxLength);

private:
    struct Entry
    {
        QString text;
        QTime first;
        QTime last;
        int count = 1;
    };

    std::deque<Entry> m_entries;
    int m_leftOut = 0;
};
