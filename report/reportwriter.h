#pragma once

#include "reportgatherer.h"

#include <QByteArray>
#include <QMap>
#include <QString>

// The report's one HTML page: its head, a warning when the journal could not be read whole, then
// a section for each device.
class ReportWriter {
public:
    using Device = ReportGatherer::Device;

    static QByteArray page(const QString &journalPath, const ReportOptions &options,
                           const QString &readingProblem, const QMap<QString, Device> &devices);

    // A shared journal's page: a table of every site first (its last complete upload and age,
    // its silent boards and unavailable figures), then each site's devices.
    struct Site {
        QString name;
        QMap<QString, Device> devices;
        // When its newest upload was made and received, in words; empty when it has none.
        QString receipt = {};
        bool late = false; // received later than expected: the site could not reach the server
    };
    // retired: what the administrator retired, left out of the page, one line each.
    static QByteArray sharedPage(const QString &source, const ReportOptions &options,
                                 const QString &readingProblem, const QList<Site> &sites,
                                 const QStringList &retired = {});
    // The page when the shared journal could not be reached or read: it says so, and why.
    static QByteArray blindPage(const QString &source, const ReportOptions &options,
                                const QString &problem);

private:
    ReportWriter(const ReportOptions &options, QString &html)
        : m_options(options)
        , m_html(html)
        , m_now(options.now.toMSecsSinceEpoch())
        , m_start(options.now.addDays(-options.days).toMSecsSinceEpoch()) {}

    // The page's head, down to the line that says what it covers, from source.
    static QString head(const QString &source, const ReportOptions &options,
                        const QString &readingProblem);
    void siteTable(const QList<Site> &sites);
    void device(const Device &device);
    // The expected boards whose newest answer is none.
    static QList<int> darkBoardsOf(const Device &device);

    void lastUpload(const Device &device);
    // Each board whose newest answer is none, and since when: what the report is read for first.
    void darkBoards(const Device &device);
    double x(qint64 ms) const;
    void strips(const Device &device);
    void strip(const Device &device, int board);
    void uploadsPerDay(const Device &device);
    void failures(const Device &device);
    void pages(const Device &device);

    const ReportOptions &m_options;
    QString &m_html;
    const qint64 m_now;
    const qint64 m_start;
};
