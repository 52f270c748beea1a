#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <sys/stat.h>

// Bytes the board still owes: answers to questions that were asked but not (fully) answered,
// because the asker gave up at its timeout or was killed. A late board sends them anyway, and
// they would be taken for the answer to the next question.
//
// A program that holds the port for long keeps the count in memory. A short-lived one keeps it in
// a small note in a shared directory, so that the next program on the same device waits for them
// too; the note is written before each question goes out, so even SIGKILL leaves it right. The
// directory is shared, so a note is input from a stranger: it is opened without blocking or
// following links, must be a small regular file that no one but its writer's group may change,
// written by someone allowed to use the device (root, the device's owner, or a file of the
// device's group), and for this very device: a replugged adapter or a new pty under the same name
// starts clean. Anything else is ignored with a warning. When the note cannot be written, the
// program must not ask: owe() fails and says why.
class OwedAnswers final
{
public:
    // Answers older than this are taken as lost (a board switched off while asked never sends
    // them); nothing that answers this late is usable anyway.
    static constexpr std::chrono::milliseconds kHorizon{10000};

    enum class Keeping { SharedNote, InMemory };
    void setKeeping(Keeping keeping) { m_keeping = keeping; }
    Keeping keeping() const { return m_keeping; }

    // Picks up what earlier programs left for this device (its canonical path; `deviceFd` the
    // open device, whose node tells one plugged-in instance from the next).
    void attach(const QString &devicePath, int deviceFd);
    void detach();

    int bytes() const { return m_bytes; }
    // Milliseconds since the last question that is still owed.
    qint64 ageMs() const;

    // False when the debt cannot be recorded where every program looks (error() says why and
    // what to do); the question must not go out then.
    bool owe(int bytes);
    void pay(int bytes);
    // Whether the record can be kept (it is written as it stands): before anything is sent.
    bool check();
    // Forgets what is owed: answers the board will never send.
    void forgive();

    QString error() const { return m_error; }
    // Told of every note that is found and ignored or replaced, in a sentence; qWarning without.
    void setWarning(std::function<void(const QString &)> warning)
    {
        m_warning = std::move(warning);
    }

    // Where the notes live: USB16RELAY_OWED_DIR for tests, else /run/usb16relay where the
    // packages create it (only the dialout group may write there), else /run/lock.
    static QString noteDirectory();

private:
    bool save(bool probe = false);
    void warn(const QString &what);

    Keeping m_keeping = Keeping::SharedNote;
    QString m_directory;
    QString m_name;
    struct stat m_device
    {
    };
    bool m_attached = false;
    int m_bytes = 0;
    qint64 m_since = 0; // CLOCK_BOOTTIME milliseconds: the note outlives processes, no one steps it
    QString m_error;
    std::function<void(const QString &)> m_warning;
};
