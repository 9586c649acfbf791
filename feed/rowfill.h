#pragma once

#include "pageset.h"
#include "reading.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QMap>
#include <QString>

#include <optional>
#include <variant>

// Filling rows from monitoring figures before an upload.
//
// A template row holds fields: {name} or {name:format}, where format is written in libfmt's format
// language
// ({pH:>5.1f}, {site:<10}); {{ and }} stand for single braces. Names are ASCII letters, digits,
// '_', '.' and '-', case-sensitive. Three names are built in, with a strftime-style format
// ({date:%d.%m.%Y}): {date} (default %Y-%m-%d) and {time} (default %H:%M) of the upload, and
// {updated} (default %Y-%m-%d %H:%M), the time of the oldest live reading in use, or the upload's
// when no sources are configured. A value named "updated" wins over the built-in.
//
// A value that cannot be shown is unavailable: its field shows the missing text instead, aligned
// as the field is and cut to its width, and the rest of the row is filled. A value is unavailable
// when its source could not give a fresh figure, when a values file gives it as null (whatever
// came before it: sources, earlier files), and when the fill refuses it: a number that is not
// finite, a text holding '"', '~', a control character or a character outside Latin-1, a value
// that does not fit its field's format ({n:d} for 7.25), or one that alone makes a row longer
// than a row holds. A row still too long with no single such value shows the missing text in
// every field. Only the template itself stops an upload: an unknown name, a malformed field, a
// template that is too long or holds '"' or '~' by itself.
//
// A figure that rounds to zero is shown without a sign: -0.03 through {x:.1f} is 0.0.
//
// A number is held as a double. An integer presentation (d, x, X, o, b, B) formats a whole
// number as an integer, so 42 from a JSON file fits both {n:3d} and {n:.1f}; 7.25 refuses d.

using FieldValue = std::variant<double, QString>;

// What one row will show, character by character, for a view of the boards before an upload.
enum class CellState {
    Lit,         // a character of the row as it goes out
    Unavailable, // part of a field whose value is unavailable: the missing text or its padding
    Error,       // the row cannot be filled at all
};

struct RowSketch {
    QString text;           // the filled row; the template as typed when it cannot be filled
    QList<CellState> cells; // one for each character of text
    QString problem;        // why the row cannot be filled; empty when it can

    friend bool operator==(const RowSketch &, const RowSketch &) = default;
};
QDebug operator<<(QDebug debug, const RowSketch &sketch);

// The names and values a fill may use. Values come from JSON files (an object of names to numbers,
// strings or null; a later file wins) and from NAME=VALUE settings, which win over every file
// whatever the order they were given in. "date" and "time" are built in and refused here.
class FieldValues {
public:
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
    bool sourcesConfigured() const { return m_sourcesConfigured; }
    // What an unavailable value's field shows ("--").
    void setMissingText(const QString &text) { m_missing = text; }
    const QString &missingText() const { return m_missing; }

    // True once sources, a file or a setting were read, even empty: only then are rows templates.
    bool given() const { return m_given; }

    std::optional<FieldValue> value(const QString &name) const;
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

    // Each name given, sorted, as --show-values lists it.
    struct Line {
        QString name;
        std::optional<FieldValue> value;
        Reading::State state = Reading::State::Ok;
        QDateTime time; // UTC; invalid when not known
        QString source; // "values FILE", "set", or the reading's source
        QString problem;
    };
    QList<Line> lines() const;

    friend bool operator==(const FieldValues &, const FieldValues &) = default;
    friend PageSet fillRows(const PageSet &templates, FieldValues &values, const QDateTime &now);
    friend QList<RowSketch> sketchRows(const QStringList &templates, FieldValues &values,
                                       const QDateTime &now);
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

// Fills every row of templates. When values were not given the rows go out unchanged. Values the
// rows cannot show are refused in values, so that every row shows them alike. Throws Failure
// "page P, row R: why" (1-based, as the operator's tabs count) at the first template that cannot
// be filled. now is shown as given: pass the local time.
PageSet fillRows(const PageSet &templates, FieldValues &values, const QDateTime &now);

// One row. A row without any brace is returned unchanged; otherwise the filled row is at most
// PageSet::MaxTypedLength characters of printable Latin-1 without '"' and '~'. Values it cannot
// show are refused in values. Throws Failure carrying only the reason when the template itself
// cannot be filled.
QString fillRow(const QString &templ, FieldValues &values, const QDateTime &now);

// One row as fillRow fills it, never throwing: a template that cannot be filled gives its reason
// in problem and every cell in error. Values it cannot show are refused in values.
RowSketch sketchRow(const QString &templ, FieldValues &values, const QDateTime &now);

// Rows as fillRows fills them: plain text when values were not given, and a value refused in one
// of them shows missing in all. A row that cannot be filled stops only itself.
QList<RowSketch> sketchRows(const QStringList &templates, FieldValues &values,
                            const QDateTime &now);
