#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One figure as a source gave it: a file of the monitoring system, or an analyser read over the
// network or a serial line. A reading that is not Ok carries no value a row may show; problem
// says why, in words for the operator ("stale: read 2026-12-08 09:14", "no column NOx").
struct Reading {
    enum class State { Ok, Stale, Flagged, Failed };

    QString name;                // the value's name, as templates use it: {cod:.0f}
    std::optional<double> value; // set when state is Ok; a stale or flagged figure keeps it
                                 // for the operator to see, never for a row
    QDateTime time;              // when the figure was measured (UTC); invalid when unknown
    State state = State::Failed;
    QString source;  // where it came from, for the operator: "json /srv/feed/latest.json"
    QString problem; // why it is not Ok; empty when it is
    // What the operator hears once beside the reading, whatever its state: rows passed over on
    // the way to it ("csv /srv/x.csv: a row dated ... ahead of this machine's clock, skipped").
    QStringList notes = {};
    // The figure is an analyser's 32-bit float, read as it is or only scaled: it holds about seven
    // digits, and shows as the shortest text that reads back as the same float ("7.12", where
    // the double it became would show as "7.119999885559082"). An offset can make the figure far
    // larger than the register, with a float's steps coarser than what the register carried: an
    // offset figure is a double like any other.
    bool float32 = false;

    bool ok() const { return state == State::Ok && value.has_value(); }
    friend bool operator==(const Reading &, const Reading &) = default;
};

using Readings = QList<Reading>;

// "ok", "stale", "flagged", "failed": the words --show-values prints.
QString stateName(Reading::State state);

// The number a figure stands for: for a 32-bit float, the number its shortest text reads as
// (7.12 for the float nearest 7.12); any other figure is itself.
double meantNumber(double value, bool float32);
// The shortest text that reads back as the figure: "7.12", "241.5", "1e+20".
QString numberText(double value, bool float32 = false);
