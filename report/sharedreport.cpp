#include "report.h"
#include "reportwriter.h"
#include "sharedjournal.h"

#include <QHash>

#include <memory>
#include <vector>

namespace {

QString sourceOf(const QString &site) {
    return site.isEmpty() ? QStringLiteral("the shared journal, every site")
                          : QStringLiteral("the shared journal, site %1").arg(site);
}

} // namespace

ReportPage blindSharedReport(const QString &site, const ReportOptions &options,
                             const QString &problem) {
    ReportPage report;
    report.reading.problem = problem;
    report.blind = true;
    report.html = ReportWriter::blindPage(sourceOf(site), options, problem);
    return report;
}

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
    const QString source = sourceOf(site);
    // A record dated after the report's end has no place in its strips: counted, said once.
    // Each device's newest receipt, and what was retired, come from the check's reading.
    SharedJournal::After after;
    QList<SharedJournal::DeviceState> states;
    QList<SharedJournal::Retirement> retired;
    if (!read || !shared.recordsAfter(options.now, site, after) ||
        !shared.deviceStates(site, states) || !shared.retirements(site, retired)) {
        return blindSharedReport(site, options, shared.problem());
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
    // Per site: the labels of its retired devices, and its newest receipt of the others.
    QHash<QString, QStringList> leftOut;
    QHash<QString, const SharedJournal::DeviceState *> newest;
    for (const SharedJournal::DeviceState &state : states) {
        JournalRecord device;
        device.port = state.port;
        device.device = state.device;
        if (SharedJournal::standing(retired, state.site, state.device)) {
            leftOut[state.site] << ReportGatherer::labelOf(device);
            continue;
        }
        const SharedJournal::DeviceState *&kept = newest[state.site];
        if (state.lastReceived && !state.aheadSeconds &&
            (!kept || *state.lastReceived > *kept->lastReceived))
            kept = &state;
    }
    QList<ReportWriter::Site> sites;
    for (std::size_t index = 0; index < gatherers.size(); ++index) {
        QMap<QString, ReportGatherer::Device> devices =
            std::move(gatherers[index].second->devices());
        for (const QString &label : leftOut.value(gatherers[index].first))
            devices.remove(label);
        if (devices.isEmpty())
            continue; // the whole site retired
        ReportWriter::Site &written = sites.emplaceBack();
        written.name = gatherers[index].first;
        written.devices = std::move(devices);
        if (const SharedJournal::DeviceState *state = newest.value(written.name)) {
            written.receipt = SharedJournal::receiptWords(*state->lastMade, *state->lastReceived,
                                                          options.now, options.expectEverySeconds);
            written.late = SharedJournal::receivedLate(*state->lastMade, *state->lastReceived,
                                                       options.expectEverySeconds);
        }
        for (ReportGatherer::Device &device : written.devices) {
            if (device.lastComplete)
                device.lastRows = storedRows(shared.storedRows(
                    lastJournals[index].value(device.label), device.lastComplete->id));
        }
    }
    QStringList retiredLines;
    for (const SharedJournal::Retirement &retirement : retired) {
        if (retirement.back)
            continue;
        const QString since =
            retirement.retired.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
        retiredLines << (retirement.device.isEmpty()
                             ? QStringLiteral("site %1 since %2").arg(retirement.site, since)
                             : QStringLiteral("%1 of site %2 since %3")
                                   .arg(retirement.device, retirement.site, since));
    }
    report.html =
        ReportWriter::sharedPage(source, options, report.reading.problem, sites, retiredLines);
    return report;
}
