#pragma once

#include <QString>

#include <chrono>

// Bytes the board still owes: answers to questions that were asked but not (fully) answered,
// because the asker gave up at its timeout or was killed. A late board sends them anyway, and
// they would be taken for the answer to the next question. The count is kept in a small note
// beside the serial lock files, so that the next program on the same device waits for them too.
// The note is written before each question goes out, so even SIGKILL leaves it right.
class OwedAnswers final
{
public:
    // Answers older than this are taken as lost (a board switched off while asked never sends
    // them); nothing that answers this late is usable anyway.
    static constexpr std::chrono::milliseconds kHorizon{10000};

    // Picks up what earlier programs left for this device (its canonical path).
    void attach(const QString &devicePath);
    void detach();

    int bytes() const { return m_bytes; }
    // Milliseconds since the last question that is still owed.
    qint64 ageMs() const;

    void owe(int bytes);
    void pay(int bytes);

    // Where the notes live: USB16RELAY_OWED_DIR for tests, else /run/lock, else the temp dir.
    static QString noteDirectory();

private:
    void save();

    QString m_notePath;
    int m_bytes = 0;
    qint64 m_since = 0; // wall-clock milliseconds since the epoch: the note outlives processes
};
