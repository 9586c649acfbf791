#include "figurewatch.h"

#include "folderfigures.h"
#include "sources.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

QString FigureRead::said() const {
    const QString at = readAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    switch (status) {
    case Status::NotRead:
        break;
    case Status::NoFigures:
        return QStringLiteral("No figures at %1: this folder has no sources.conf or values.json")
            .arg(at);
    case Status::Read:
        return QStringLiteral("Figures read at %1").arg(at);
    case Status::Failed:
        return QStringLiteral("Figures cannot be read (%1): %2").arg(at, failure);
    }
    return QStringLiteral("Figures not read yet");
}

FigureWatch::FigureWatch(QString folder, std::function<FolderFigures *()> make, QObject *parent)
    : QObject(parent)
    , m_folder(std::move(folder))
    , m_make(std::move(make))
    , m_watcher(new QFileSystemWatcher(this))
    , m_interval(new QTimer(this))
    , m_settle(new QTimer(this)) {
    m_interval->setObjectName(QStringLiteral("tmrFigures"));
    m_interval->setInterval(ReadInterval);
    connect(m_interval, &QTimer::timeout, this, &FigureWatch::read);
    m_settle->setSingleShot(true);
    m_settle->setInterval(SettleTime);
    connect(m_settle, &QTimer::timeout, this, &FigureWatch::changed);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, m_settle, qOverload<>(&QTimer::start));
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_settle,
            qOverload<>(&QTimer::start));
}

FigureWatch::~FigureWatch() {
    delete m_reader; // an analyser's connection closes
}

void FigureWatch::setWatching(bool on) {
    if (!on) {
        m_interval->stop();
        m_settle->stop();
        if (!m_watcher->files().isEmpty())
            m_watcher->removePaths(m_watcher->files());
        if (!m_watcher->directories().isEmpty())
            m_watcher->removePaths(m_watcher->directories());
        return;
    }
    m_interval->start();
    watch(m_files);
}

void FigureWatch::read() {
    if (m_reader) {
        m_again = true;
        return;
    }
    start();
}

void FigureWatch::readAfresh() {
    delete std::exchange(m_reader, nullptr);
    start();
}

void FigureWatch::cancel() {
    delete std::exchange(m_reader, nullptr);
    m_again = false;
}

void FigureWatch::start() {
    m_again = false;
    // What the files were as this read began: a change after it is read again.
    m_seen = fingerprints();
    if (m_interval->isActive())
        m_interval->start(); // the next timed read is a whole interval after this one
    FolderFigures *const reader = m_make();
    if (!reader) {
        m_files.clear();
        if (m_interval->isActive())
            watch(m_files);
        answer({FigureRead::Status::NoFigures, {}, {}, QDateTime::currentDateTime()});
        return;
    }
    m_reader = reader;
    reader->setParent(this);
    connect(reader, &FolderFigures::finished, this, [this, reader] {
        if (m_reader != reader)
            return;
        m_reader = nullptr;
        reader->deleteLater();
        m_files = reader->files();
        if (m_interval->isActive())
            watch(m_files);
        const bool failed = !reader->failure().isEmpty();
        answer({failed ? FigureRead::Status::Failed : FigureRead::Status::Read,
                failed ? FieldValues() : reader->values(), reader->failure(),
                QDateTime::currentDateTime()});
    });
    reader->start();
}

void FigureWatch::answer(const FigureRead &figures) {
    Q_EMIT figuresRead(figures);
    // From the event loop: whoever heard the answer may start SEND's own read first.
    if (m_again)
        QTimer::singleShot(0, this, [this] {
            if (m_again && !m_reader)
                start();
        });
}

void FigureWatch::watch(const QStringList &files) {
    QStringList paths{m_folder};
    for (const QString &file : files) {
        const QFileInfo info(file);
        paths << info.absolutePath();
        if (info.exists())
            paths << info.absoluteFilePath();
    }
    paths.removeDuplicates();
    // A file replaced by a rename is a new file: its old watch went with the old one.
    const QStringList watched = m_watcher->files() + m_watcher->directories();
    QStringList added;
    for (const QString &path : std::as_const(paths)) {
        if (!watched.contains(path))
            added << path;
    }
    if (!added.isEmpty())
        m_watcher->addPaths(added);
}

QHash<QString, QString> FigureWatch::fingerprints() const {
    QHash<QString, QString> seen;
    const QDir folder(m_folder);
    const QStringList files = m_files + QStringList{folder.filePath(SourcesFile::FileName),
                                                    folder.filePath(FolderFigures::ValuesFileName)};
    for (const QString &file : files) {
        const QFileInfo info(file);
        seen.insert(info.absoluteFilePath(),
                    info.exists()
                        ? QStringLiteral("%1 %2 %3")
                              .arg(QString::number(info.size()),
                                   QString::number(info.lastModified().toMSecsSinceEpoch()),
                                   QString::number(info.metadataChangeTime().toMSecsSinceEpoch()))
                        : QString());
    }
    return seen;
}

void FigureWatch::changed() {
    if (!m_interval->isActive())
        return;
    watch(m_files);
    if (fingerprints() != m_seen)
        read();
}
