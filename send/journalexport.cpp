#include "journalexport.h"

#include "failure.h"
#include "journal.h"
#include "report.h"
#include "reportfile.h"
#include "sealverifier.h"
#include "sendstatus.h"

#include <utility>

JournalExport::JournalExport(const SendOptions &options, QTextStream &out,
                             std::function<void(const QString &)> error)
    : m_options(options)
    , m_out(out)
    , m_error(std::move(error)) {}

int JournalExport::history(const QString &path) {
    // Read-only: the journal is never created, moved or rewritten by a look at it, and records
    // are printed as they are read, so memory stays flat however many are asked for.
    if (m_options.csv) {
        // The stream writes the byte order mark itself, and would drop one given as text.
        m_out.setGenerateByteOrderMark(true);
        m_out << QString::fromUtf8(historyCsvHeader());
    }
    const JournalReading reading =
        readJournal(path, m_options.historyLimit, m_options.json || m_options.csv,
                    [this](const JournalRecord &record, QByteArrayView storedRows) {
                        if (m_options.csv)
                            m_out << QString::fromUtf8(historyCsv(record, storedRows));
                        else if (m_options.json)
                            m_out << QString::fromUtf8(historyJson(record, storedRows)) << '\n';
                        else
                            m_out << historyLine(record) << '\n';
                    });
    m_out.flush();
    if (!reading.exists) {
        m_error(QStringLiteral("no job journal at %1 yet").arg(path));
        return AllAnswered;
    }
    if (!reading.problem.isEmpty()) {
        m_error(reading.problem);
        // Something the operator asked for could not be read: records shown or not, say so.
        if (reading.read == 0)
            return BadInput;
    }
    return AllAnswered;
}

int JournalExport::report(const QString &path) {
    // Read-only, as --history: the page is written whole, or not at all when nothing was read.
    ReportOptions options;
    options.days = m_options.reportDays;
    options.expectEverySeconds = m_options.expectEverySeconds;
    if (!m_options.verifyKeyPath.isEmpty()) {
        QString problem;
        const std::optional<SealKey> key = readVerificationKey(m_options.verifyKeyPath, problem);
        if (!key) {
            m_error(problem);
            return BadInput;
        }
        options.sealLine = verifySeals(path, *key).summary();
    }
    const ReportPage page = writeReport(path, options);
    if (!page.reading.exists) {
        m_error(QStringLiteral("no job journal at %1").arg(path));
        return BadInput;
    }
    if (!page.reading.problem.isEmpty())
        m_error(page.reading.problem);
    if (page.html.isEmpty())
        return BadInput;
    if (m_options.reportPath == QLatin1String("-")) {
        m_out << QString::fromUtf8(page.html);
        m_out.flush();
        return AllAnswered;
    }
    try {
        ReportFile::write(m_options.reportPath, page.html);
    } catch (const Failure &failure) {
        m_error(failure.text());
        return BadInput;
    }
    return AllAnswered;
}
