#pragma once

#include <QLatin1StringView>
#include <QString>
#include <QStringList>

// The shared journal's schema, version by version. Each version's statements are written down
// here, never derived from the local journal's columns, so that a new local column changes no
// site's forward; --shared-init runs the versions a database lacks, in order, in one transaction.
//
// Version 1: the records (jobs) of every site and the row sets they name, written by the sites'
// role with INSERT.
// Version 2: the server decides who a site is. Sites hold no right on a table: they call
// forward_batch(), a SECURITY DEFINER function, with a batch (below). It takes the site from the
// login through the sites table (filled by --shared-add-site), binds each local journal's id to
// the site that first sent it, checks every field, computes each row set's hash itself, stamps
// each record with the server's time of receipt (received) and completes a record that was sent
// unfinished once its end arrives.
// Version 3: each device's newest upload, and its newest complete one, found through indexes
// that lead with the device and hold uploads only (a site may hold years of board tests, or
// devices that never had an upload): the check reads a few index pages a device.
// Version 4: sites and devices retired by the administrator (--shared-retire), each from a time:
// the check and the report leave them out until a record of theirs is received after it. A
// device is retired by its name on every port; a row without one retires the whole site.
// Version 5: a sealed journal's sealing record and seals, kept beside its records (sealings,
// seals) so that the office verifies a site's copy with the site's verification key.
//
// The forward's batch, a JSON array of at most MaxBatch records; from a sealed journal (version 5
// on), an object of that array as records, of sealing (the journal's sealing record: key, its id
// in hex; origin; epochSeconds; first, the first record sealed; since, a time as below; epoch;
// seal, in hex) and of seals (at most MaxSeals, each of seq, record, stage 0 or 1, epoch and
// seal in hex). Each record is an object of:
//   record      the record's number in its local journal (a whole number from 1)
//   started     "YYYY-MM-DDTHH:MM:SS.sssZ" (UTC)
//   finished    the same, not before started, or null while the job runs
//   program     "console" or "send"        job       "upload" or "test"
//   port        0 .. 65535                  device    text of up to MaxName characters
//   outcome     "complete", "port-error", "aborted" or null
//   error       null or text of up to MaxError characters
//   frames      0 .. 100000                 lights    nine of c, g and r
//   delay       null or 0 .. 86400          user, host, boards: null or up to MaxName
//   unavailable null or a list of up to MaxNames names of up to MaxName characters
//   rows        null or a list of 96 texts of up to MaxRow characters
namespace SharedSchema {

inline constexpr int Version = 5;
inline constexpr QLatin1StringView Name{"display_journal"};

inline constexpr int MaxBatch = 1000;
inline constexpr int MaxSeals = 3000;
inline constexpr int MaxName = 200;
inline constexpr int MaxNames = 500;
inline constexpr int MaxError = 2000;
inline constexpr int MaxRow = 1000;

// The group roles of one fleet: named after its database, since roles belong to the whole
// server and two fleets on one server must not share their rights.
struct Roles {
    QString site;
    QString reader;
};
Roles rolesFor(const QString &database);

// "display_journal.jobs"
QString table(const char *name);

// The statements that bring a database from version - 1 to version.
QStringList statements(int version);

// The record columns of the jobs table at Version, in the local journal's names.
const QStringList &recordColumns();

// SQLSTATEs the function raises, for the programs to tell the operator's mistakes apart.
inline constexpr QLatin1StringView NotASite{"DJ001"};
inline constexpr QLatin1StringView OtherSite{"DJ002"};
inline constexpr QLatin1StringView CopiedJournal{"DJ003"};
inline constexpr QLatin1StringView BadBatch{"DJ004"};

} // namespace SharedSchema
