#pragma once

#include "modbus.h"
#include "reading.h"

#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// sources.conf: where each live value comes from, one INI section per value name, as templates
// use it:
//
//   [cod]
//   json = /srv/cems/latest.json
//   parameter = cod
//   max-age = 20m
//   min = 0
//
// The key that names the section's kind (json, csv; modbus-tcp and modbus-rtu for analysers)
// says how the value is read. Comments begin with ";" or "#". A line that cannot be used is
// reported with its file and line; a section that holds one, or lacks what its kind needs, makes
// only its own value unavailable.

struct SourceSection {
    QString name;                   // the value's name
    QString kind;                   // "json", "csv", "modbus-tcp", ...
    QString target;                 // what the kind key names: a path (made absolute), HOST:PORT
    QMap<QString, QString> options; // the section's other keys, in lower case
    std::chrono::seconds maxAge{30 * 60};
    // A reading outside these is no figure: data loggers write -9999 or 9999 for "no data".
    std::optional<double> min;
    std::optional<double> max;
    QString problem; // why the section is bad, with file and line; empty when it can be read

    friend bool operator==(const SourceSection &, const SourceSection &) = default;
};

struct SourcesConfig {
    QString path;
    QList<SourceSection> sections; // in file order, each name once
    QStringList problems;          // "FILE, line N: what is wrong", in line order
};

namespace SourcesFile {

inline constexpr QLatin1StringView FileName("sources.conf");
// A sources file is a few dozen lines; a bigger one is a mistake.
inline constexpr qint64 MaxFileSize = 1024 * 1024;

// Throws Failure when the file cannot be read at all; bad lines and sections are in the result.
SourcesConfig read(const QString &path);
SourcesConfig parse(const QString &text, const QString &path);

// "20m", "2h", "90s", "1d": a reading's greatest age. Nothing when the text is none of these.
std::optional<std::chrono::seconds> parseAge(const QString &text);

} // namespace SourcesFile

// Reads every section's value, as one step: start(), then finished() once, when each value has
// a reading. File sources are read at once; analysers answer in their own time.
class SourcesReader : public QObject {
    Q_OBJECT

public:
    // now: the time readings are judged against (UTC).
    SourcesReader(SourcesConfig config, QDateTime now, QObject *parent = nullptr);

    // How a modbus-rtu = COM n is found; without one, such a section is unavailable.
    void setComPortResolver(ComPortResolver resolve) { m_resolveCom = std::move(resolve); }

    void start();
    // One reading per section, in the file's order; complete once finished() was emitted.
    const Readings &readings() const { return m_readings; }

Q_SIGNALS:
    void finished();

private:
    // Hands the analysers' sections to one reader, so that registers next to each other are
    // asked for together; it sets their readings when all have answered and calls settled().
    void startAnalysers(const QList<qsizetype> &indexes);
    void settled();

    ComPortResolver m_resolveCom;

    const SourcesConfig m_config;
    const QDateTime m_now;
    Readings m_readings;
    int m_pending = 0;
    bool m_started = false;
};
