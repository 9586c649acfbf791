#pragma once

#include "sendoptions.h"

#include <QString>
#include <QTextStream>

#include <functional>

// --history and --report: the journal read without changing it, its records on standard output
// as lines, JSON or CSV, or its report as one HTML page.
class JournalExport {
public:
    JournalExport(const SendOptions &options, QTextStream &out,
                  std::function<void(const QString &)> error);

    // The exit status of each.
    int history(const QString &path);
    int report(const QString &path);

private:
    const SendOptions &m_options;
    QTextStream &m_out;
    const std::function<void(const QString &)> m_error;
};
