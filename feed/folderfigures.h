#pragma once

#include "fieldvalues.h"
#include "modbus.h"

#include <QObject>
#include <QString>
#include <QStringList>

class SourcesReader;

// Where the figures of a folder's rows come from. A folder holds display.cfg and, optionally,
// sources.conf (live sources) and values.json (fixed values) beside it; settings (NAME=VALUE) win
// over both. A file named here replaces the folder's own of that kind.
struct FigureFiles {
    QString configPath;
    QString sourcesPath;     // empty: sources.conf beside configPath, unless there is none
    QStringList valueFiles;  // empty: values.json beside configPath, unless there is none
    QStringList assignments; // NAME=VALUE, in order
    QString missingText = QStringLiteral("--");
};

// Reads a folder's figures in one asynchronous step, for the console's SEND and for display-send
// alike: start(), then finished() once, from the event loop. Deleting it cancels the reading (an
// analyser's connection closes). Only the true absence of sources.conf or values.json means
// none: an entry of that name that is not a readable regular file (a folder, a dangling link) is
// a failure, as is a values file or a setting that cannot be read.
class FolderFigures : public QObject {
    Q_OBJECT

public:
    static constexpr QLatin1StringView ValuesFileName{"values.json"};

    explicit FolderFigures(const FigureFiles &files, QObject *parent = nullptr);
    ~FolderFigures() override;

    // How an analyser's "modbus-rtu = COM n" finds its serial line.
    void setComPortResolver(ComPortResolver resolve) { m_resolveCom = std::move(resolve); }

    // True when there is anything to fill rows with: a sources file, a values file or a setting.
    // Without, rows go out as written.
    bool any() const;

    void start();

    // Once finished: why nothing may be sent (empty when the figures were read), the sources
    // file's lines that could not be used (said, not fatal), and the figures.
    const QString &failure() const { return m_failure; }
    const QStringList &problems() const { return m_problems; }
    // What the sources passed over on the way (a reading from the future, a local time the clock
    // skipped), each said once however many values share the file.
    const QStringList &notes() const { return m_notes; }
    const FieldValues &values() const { return m_values; }

    // The files the figures come from, for a watcher: the sources file, the values files and,
    // once start() has read the sources file, the files its sections read. Each as given.
    QStringList files() const;

Q_SIGNALS:
    void finished();

private:
    void merge(const Readings &readings);

    ComPortResolver m_resolveCom;
    QString m_sourcesPath;
    QStringList m_valueFiles;
    QStringList m_assignments;
    QString m_missingText;
    SourcesReader *m_reader = nullptr;
    QString m_failure;
    QStringList m_problems;
    QStringList m_notes;
    QStringList m_sourceFiles; // what the sources file's sections read
    FieldValues m_values;
    bool m_started = false;
};
