#include "report.h"
#include "reportwriter.h"
#include "sharedjournal.h"

#include <QHash>

#include <memory>
#include <vector>

ReportPage writeSharedReport(SharedJournal &shared, const QString &site,
                             const ReportOptions &options) {
    ReportPage report;
    report.reading.exists = true;
    // Records come site by site, newest first within each: one gatherer a site, as for a
    // journal of its own. The journal each device's last complete upload came from, to find
    // its rows afterwards.
    std::vector<std::pair<QString, std::unique_ptr<ReportGatherer>>> gatherers;
    std::vector<QHash<QString, QString>> lastJournals;
    const bool read = shared.records(
        options.now.addDays(-options.days), options.now, site,
        [&](const QString &name, const QString &journal, const JournalRecord &record) {
            if (gatherers.empty() || gatherers.back().first != name) {
                gatherers.emplace_back(name, std::make_unique<ReportGatherer>(options));
                lastJournals.emplace_back();
            }
            ++report.reading.read;
            gatherers.back().second->add(record);
            if (record.job == QLatin1String("upload") &&
                record.outcome == QLatin1String("complete")) {
                QHash<QString, QString> &journals = lastJournals.back();
                const QString label = ReportGatherer::labelOf(record);
                if (!journals.contains(label)) // the newest
                    journals.insert(label, journal);
            }
        });
    // A record dated after the report's end has no place in its strips: counted, said once.
    SharedJournal::After after;
    if (!read || !shared.recordsAfter(options.now, site, after)) {
        report.reading.problem = shared.problem();
        return report;
    }
    if (after.count > 0) {
        const QDateTime newest = QDateTime::fromString(after.newest, Qt::ISODateWithMs);
        report.reading.problem =
            QStringLiteral("%1 %2 dated after %3, the newest %4: a clock ahead?")
                .arg(QString::number(after.count),
                     after.count == 1 ? QStringLiteral("record") : QStringLiteral("records"),
                     options.now.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                     newest.isValid() ? newest.toLocalTime().toString(QStringLiteral("yyyy-MM-dd"))
                                      : after.newest.left(SharedSchema::MaxName));
    }
    QList<ReportWriter::Site> sites;
    for (std::size_t index = 0; index < gatherers.size(); ++index) {
        ReportWriter::Site &written = sites.emplaceBack();
        written.name = gatherers[index].first;
        written.devices = std::move(gatherers[index].second->devices());
        for (ReportGatherer::Device &device : written.devices) {
            if (device.lastComplete)
                device.lastRows = storedRows(shared.storedRows(
                    lastJournals[index].value(device.label), device.lastComplete->id));
        }
    }
    const QString source = site.isEmpty() ? QStringLiteral("the shared journal, every site")
                                          : QStringLiteral("the shared journal, site %1").arg(site);
    report.html = ReportWriter::sharedPage(source, options, report.reading.problem, sites);
    return report;
}
