#pragma once

#include "fieldvalues.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>

class FolderFigures;
class QFileSystemWatcher;
class QTimer;

// What one read of the folder's figures found.
struct FigureRead {
    enum class Status {
        NotRead,   // nothing was read yet
        NoFigures, // the folder has no sources.conf and no values.json: rows go out as typed
        Read,      // values holds the figures
        Failed,    // they cannot be read: failure says why, as SEND's box says it
    };

    Status status = Status::NotRead;
    FieldValues values;
    QString failure;
    QDateTime readAt; // local time; invalid until read

    // How the read went, for the operator: "Figures read at 2024-03-07 09:05:03".
    QString said() const;

    friend bool operator==(const FigureRead &, const FigureRead &) = default;
};

// The folder's figures as the console shows them, read again whenever they may have changed:
// when a file they come from changes (each file and the folder that holds it are watched, so a
// rewrite by rename, and a sources.conf or values.json that appears later, count) and every
// ReadInterval, for analysers and for the age of readings. Every read is answered with read(),
// whatever it found; reads never overlap, and a change seen during a read reads again once it
// is answered.
class FigureWatch : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds ReadInterval{60};
    // A burst of writes to a file (an export rewriting it) is read once, after it settles.
    static constexpr std::chrono::milliseconds SettleTime{250};

    // folder: where display.cfg is. make: the folder's reader, not started; nothing when the
    // folder has no figures.
    FigureWatch(QString folder, std::function<FolderFigures *()> make, QObject *parent);
    ~FigureWatch() override;

    // Watches and reads every ReadInterval while on: while the console's window is shown.
    void setWatching(bool on);
    // Reads now, or once the read under way has been answered.
    void read();
    // A fresh read for SEND: a read under way is dropped, since it may have begun before the
    // operator's last look at the files.
    void readAfresh();
    // Drops the read under way; nothing is answered for it.
    void cancel();

Q_SIGNALS:
    void figuresRead(const FigureRead &figures);

private:
    void start();
    void answer(const FigureRead &figures);
    // Watches the folder, each file and its folder; a replaced file is watched anew.
    void watch(const QStringList &files);
    // A file's or folder's change: read again only when a file the figures come from changed,
    // not for every journal write in the same folder.
    void changed();
    QHash<QString, QString> fingerprints() const;

    const QString m_folder;
    const std::function<FolderFigures *()> m_make;
    QFileSystemWatcher *const m_watcher;
    QTimer *const m_interval;
    QTimer *const m_settle;
    FolderFigures *m_reader = nullptr;
    QStringList m_files; // what the last read read, and the folder's own figure files
    QHash<QString, QString> m_seen;
    bool m_again = false;
};
