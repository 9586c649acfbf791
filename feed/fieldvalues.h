#pragma once

#include "reading.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QMap>
#include <QString>

#include <optional>
#include <variant>

// A figure a field may show. A number is held as a double.
using FieldValue = std::variant<double, QString>;

// The names and values a fill may use. Values come from JSON files (an object of names to numbers,
// strings or null; a later file wins) and from NAME=VALUE settings, which win over every file
// whatever the order they were given in. "date" and "time" are built in and refused here.
class FieldValues {
public:
    // The names built in to every fill, and the one a value may take over.
    static const QString DateName;
    static const QString TimeName;
    static const QString UpdatedName;
    static bool isBuiltIn(const QString &name);
    // Letters, digits, '_', '.' and '-': what a field's name is made of.
    static bool isNameCharacter(QChar c);

    // A values file larger than this is not a set of figures for 96 rows of 32 characters.
    static constexpr qint64 MaxFileSize = 1024 * 1024;

    // Each throws Failure naming the file and the reason; on a failure nothing of that file is
    // taken.
    void readJsonFile(const QString &path);
    void readJson(const QByteArray &bytes, const QString &name);

    // "NAME=VALUE". A VALUE written like a JSON number without exponent (an optional '-', digits
    // without a leading zero, an optional '.' and digits: 12, -0.5, 7.25) is a number; anything
    // else (007, +5, 1e3, an empty value) is the text as written. Throws Failure when there is no
    // '=', the name is empty or holds a character a field cannot name.
    void set(const QString &assignment);

    // The sources' readings, one per name. A reading that is not Ok makes its name unavailable
    // unless a file or a setting gives it.
    void addReadings(const Readings &readings);
    // What an unavailable value's field shows ("--").
    void setMissingText(const QString &text) { m_missing = text; }
    const QString &missingText() const { return m_missing; }

    // True once sources, a file or a setting were read, even empty: only then are rows templates.
    bool given() const { return m_given; }

    std::optional<FieldValue> value(const QString &name) const;
    // True when the value in use is an analyser's 32-bit float (Reading::float32).
    bool isFloat32(const QString &name) const;
    // True when a source, a file or a setting names it, whether it is available or not.
    bool gives(const QString &name) const;
    bool unavailable(const QString &name) const;
    // When the figures were current: the oldest Ok reading in use; now when there are no
    // sources; nothing when sources are configured and none is in use.
    std::optional<QDateTime> updated(const QDateTime &now) const;
    // Every unavailable name, sorted: the sources' and files' unavailable values, the values the
    // fill refused, and "updated" when a row showed it missing.
    QStringList unavailableNames() const;

    // Makes a value unavailable everywhere: the fill found it cannot be shown.
    void refuse(const QString &name, const QString &reason);
    // Notes a value one row showed as the missing text, without refusing it elsewhere.
    void noteMissing(const QString &name, const QString &reason);

    // Each name given or unavailable, sorted, as --show-values lists it.
    struct Line {
        QString name;
        std::optional<FieldValue> value;
        Reading::State state = Reading::State::Ok;
        QDateTime time; // UTC; invalid when not known
        QString source; // "values FILE", "set", or the reading's source
        QString problem;
        bool float32 = false; // the value is an analyser's 32-bit float
    };
    QList<Line> lines() const;
    // As --show-values and the console's preview list them: lines(), then, with sources, when the
    // live figures were current ({updated}) unless a value of that name is given.
    QList<Line> listedLines() const;

    // The fill's bookkeeping: how many values it refused, and forgetting which values the rows
    // showed missing before every row is filled again.
    qsizetype refusedCount() const { return m_refused.size(); }
    void forgetMissingInRows() { m_missingInRows.clear(); }

    friend bool operator==(const FieldValues &, const FieldValues &) = default;
    friend QDebug operator<<(QDebug debug, const FieldValues &values);

private:
    QMap<QString, Reading> m_fromSources;
    QMap<QString, std::optional<FieldValue>> m_fromFiles; // nothing: the file gave null
    QMap<QString, QString> m_fileOf;                      // by name: the file that gave it
    QMap<QString, QString> m_refused;                     // by name: why the fill refused it
    QMap<QString, QString> m_missingInRows;               // by name: why a row showed it missing
    QMap<QString, FieldValue> m_fromSettings;
    QString m_missing = QStringLiteral("--");
    bool m_sourcesConfigured = false;
    bool m_given = false;
};
