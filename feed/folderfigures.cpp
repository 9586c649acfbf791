#include "folderfigures.h"

#include "configstore.h"
#include "failure.h"
#include "regularfile.h"
#include "sources.h"

#include <QDateTime>
#include <QTimer>

FolderFigures::FolderFigures(const FigureFiles &files, QObject *parent)
    : QObject(parent)
    , m_sourcesPath(files.sourcesPath)
    , m_valueFiles(files.valueFiles)
    , m_assignments(files.assignments)
    , m_missingText(files.missingText) {
    if (m_sourcesPath.isEmpty()) {
        const QString path = ConfigStore::besideConfig(files.configPath, SourcesFile::FileName);
        if (!RegularFile::absent(path))
            m_sourcesPath = path;
    }
    if (m_valueFiles.isEmpty()) {
        const QString path = ConfigStore::besideConfig(files.configPath, ValuesFileName);
        if (!RegularFile::absent(path))
            m_valueFiles << path;
    }
}

FolderFigures::~FolderFigures() {
    delete m_reader; // before the resolver it may still call
}

bool FolderFigures::any() const {
    return !m_sourcesPath.isEmpty() || !m_valueFiles.isEmpty() || !m_assignments.isEmpty();
}

void FolderFigures::start() {
    if (std::exchange(m_started, true))
        return;
    if (m_sourcesPath.isEmpty()) {
        QTimer::singleShot(0, this, [this] { merge({}); });
        return;
    }
    SourcesConfig config;
    try {
        config = SourcesFile::read(m_sourcesPath);
    } catch (const Failure &failure) {
        m_failure = failure.text();
        QTimer::singleShot(0, this, &FolderFigures::finished);
        return;
    }
    m_problems = config.problems;
    for (const SourceSection &section : std::as_const(config.sections)) {
        if (section.kind == QLatin1String("json") || section.kind == QLatin1String("csv"))
            m_sourceFiles << section.target;
    }
    m_reader = new SourcesReader(std::move(config), QDateTime::currentDateTimeUtc(), this);
    m_reader->setComPortResolver(m_resolveCom);
    connect(m_reader, &SourcesReader::finished, this, [this] {
        const Readings readings = m_reader->readings();
        m_reader->deleteLater();
        m_reader = nullptr;
        merge(readings);
    });
    m_reader->start();
}

void FolderFigures::merge(const Readings &readings) {
    for (const Reading &reading : readings) {
        for (const QString &note : reading.notes) {
            if (!m_notes.contains(note))
                m_notes << note;
        }
    }
    FieldValues values;
    values.setMissingText(m_missingText);
    try {
        if (!m_sourcesPath.isEmpty())
            values.addReadings(readings);
        for (const QString &file : std::as_const(m_valueFiles))
            values.readJsonFile(file);
        for (const QString &assignment : std::as_const(m_assignments))
            values.set(assignment);
        m_values = std::move(values);
    } catch (const Failure &failure) {
        m_failure = failure.text();
    }
    Q_EMIT finished();
}

QStringList FolderFigures::files() const {
    QStringList files = m_valueFiles + m_sourceFiles;
    if (!m_sourcesPath.isEmpty())
        files.prepend(m_sourcesPath);
    return files;
}
