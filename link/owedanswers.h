#pragma once

#include <QByteArray>
#include <QList>
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
//
// Where anyone may create files (/run/lock), a stranger could take the note's name first and
// stop every run. There each program writes its note under a name no one can guess; the next
// one reads every note for the device that counts and believes the newest, and removes the ones
// its own note replaces where it may (a note it may not remove stays, older than its own).
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
    enum class NoteFound { None, Ignored, Stale, Current };
    NoteFound readNote(int directory, const QByteArray &name, const struct stat &device);
    void readPrivateNotes(int directory, const struct stat &device);
    bool savePrivate(int directory, const QByteArray &note, bool probe,
                     const std::function<bool(const QString &, const QString &)> &cannot);
    void removeOwnNote(int directory, const QByteArray &settled);
    void warn(const QByteArray &name, const QString &what);

    Keeping m_keeping = Keeping::SharedNote;
    QString m_directory;
    QString m_name;
    // Others may create files in the directory: notes under names no one can guess, m_name
    // then being their common beginning.
    bool m_privateNames = false;
    bool m_sharedWithoutStickyBit = false; // anyone may remove or replace any note there
    QByteArray m_ownName;                  // this program's note there, once written
    QList<QByteArray> m_superseded;        // earlier notes there for this device
    qint64 m_newestSince = -1;             // of the notes read
    struct stat m_device
    {
    };
    bool m_attached = false;
    int m_bytes = 0;
    qint64 m_since = 0; // CLOCK_BOOTTIME milliseconds: the note outlives processes, no one steps it
    QString m_error;
    std::function<void(const QString &)> m_warning;
};
