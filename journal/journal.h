#pragma once

#include "sealkey.h"

#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QList>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <optional>

class QSqlError;

Q_DECLARE_LOGGING_CATEGORY(lcJournal)

// What is known when a job starts. program: "console" or "send"; job: "upload" or "test";
// port: the port number, 0 when a device was named directly. An upload carries its page delay
// and its 96 rows as they go out; a test carries neither. user and host: the account and the
// machine that ran the job; boards: the addresses expected to answer, ascending.
struct JournalStart {
    QString program;
    QString job;
    int port = 0;
    QString device;
    std::optional<int> delaySeconds;
    std::optional<QStringList> rows;
    QDateTime started = QDateTime::currentDateTimeUtc();
    QString user;
    QString host;
    QList<int> boards;
};

// What is known when it ends. outcome: "complete", "port-error" (error holds the text) or
// "aborted" (the window closed or a signal). lights: nine of 'c' (not asked yet), 'g' (answered)
// or 'r' (did not), light 0 first.
struct JournalEnd {
    QString outcome;
    QString error;
    int frames = 0;
    QString lights;
    QDateTime finished = QDateTime::currentDateTimeUtc();
    // Set when an upload sent other rows or another delay than it began with: the console stays
    // live during an upload, and an edit reaches the boards if its pair had not gone yet.
    std::optional<int> delaySeconds;
    std::optional<QStringList> rows;
    // The names of the values the rows asked for that had none to give.
    QStringList unavailable;
};

// One job as the journal holds it. finished, outcome, error (null when none), frames and lights
// are unset while the job has not ended (or never will: a crash leaves it so). user, host and
// boards ("1-5,7") are unset in records from before the journal kept them, unavailable also
// while the job has not ended.
struct JournalRecord {
    qint64 id = -1;
    QDateTime started;
    std::optional<QDateTime> finished;
    QString program;
    QString job;
    int port = 0;
    QString device;
    std::optional<QString> outcome;
    std::optional<QString> error;
    int frames = 0;
    QString lights;
    std::optional<int> delaySeconds;
    std::optional<QStringList> rows;
    std::optional<QString> user;
    std::optional<QString> host;
    std::optional<QString> boards;
    std::optional<QStringList> unavailable;

    friend bool operator==(const JournalRecord &, const JournalRecord &) = default;
};

QDebug operator<<(QDebug debug, const JournalRecord &record);

// The record as a job's start makes it, and as its end completes it: the delay and rows the end
// gives, the start's where it gives none. An empty user, host or list of boards is unknown (NULL),
// so that the record at hand is the one the journal reads back.
JournalRecord journalRecord(const JournalStart &start);
JournalRecord journalRecord(const JournalStart &start, const JournalEnd &end);

// Records of a journal on their way to a shared journal: the journal's own random id (its
// records' ids are unique only within it), the records with their rows as stored (a JSON array),
// and the id of the last one.
// A sealed journal's sealing record (see SealKey): the key's id, origin and epoch length, the
// first record sealed, when sealing began (UTC ISO text) and in which epoch, and its seal.
struct JournalSealing {
    QByteArray keyId;
    qint64 origin = 0;
    qint64 epochSeconds = 0;
    qint64 firstRecord = 0;
    QString since;
    qint64 epoch = 0;
    QByteArray seal;

    friend bool operator==(const JournalSealing &, const JournalSealing &) = default;
};

// One link of the chain of seals: its number, the record it seals, when (0 at the record's
// start, 1 at its end), the epoch of the key that made it and the seal.
struct JournalSeal {
    qint64 seq = 0;
    qint64 record = 0;
    int stage = 0;
    qint64 epoch = 0;
    QByteArray seal;

    friend bool operator==(const JournalSeal &, const JournalSeal &) = default;
};

struct ForwardBatch {
    QString journalId;
    QList<std::pair<JournalRecord, QByteArray>> records;
    qint64 lastId = 0;
    // The first records, forwarded before they ended and sent again now that they have.
    qsizetype completed = 0;
    // A sealed journal's sealing record, and the seals of the batch's records in the order they
    // were made, with those of other records made in between, so that the office can follow
    // the chain from each seal to the next.
    std::optional<JournalSealing> sealing;
    QList<JournalSeal> seals;
    // The most seals a batch carries: those of its records come first.
    static constexpr qsizetype MaxSealsPerRecord = 3;
    // A record left unfinished (a crash) this long is forwarded as it is.
    static constexpr qint64 UnfinishedAfterSeconds = 3600;
};

struct JournalOptions {
    // The longest one SQLite call waits for another process's write lock. Two seconds: a writer
    // holds the lock for well under a millisecond (one record a transaction), so only a stuck or
    // hostile process is ever waited out, and a job start is never held up longer than that.
    int busyTimeoutMs = 2000;
    // For tests: the most pages the file may grow to (PRAGMA max_page_count, a setting of the
    // connection), so that a full disk can be met without filling one. 0: no limit.
    int maxPageCount = 0;
    // A damaged journal is moved aside and a fresh one started only at the place the programs
    // keep it by default (beside display.cfg). A file named on the command line may be anyone's:
    // it is left as it is, and jobs go on without a journal.
    bool moveAsideDamaged = true;
};

// The journal of every job: display-journal.db, an SQLite database (WAL, synchronous=NORMAL)
// shared safely by any number of processes. It never stands in a job's way: no method throws,
// every wait is bounded by the busy timeout, and when it cannot be opened or written the job goes
// on and the problem is handed out once by takeProblem(). The file is opened at the first use.
class Journal {
public:
    static constexpr int SchemaVersion = 5;
    // PRAGMA application_id of our journals ("DSPJ"): a database without it is not ours to change.
    static constexpr int ApplicationId = 0x4453504A;

    explicit Journal(QString path, JournalOptions options = {});
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // display-journal.db in the folder of the config file in use.
    static QString defaultPath(const QString &configPath);

    const QString &path() const { return m_path; }

    // Writes the record of a job that starts; its id, or -1 when it could not be written.
    qint64 begin(const JournalStart &start);
    // Completes the record begun as id (nothing when id is -1).
    void finish(qint64 id, const JournalEnd &end);

    // The newest limit records, newest first. Empty when there is no journal yet.
    QList<JournalRecord> history(int limit);
    // The newest upload's record, if any.
    std::optional<JournalRecord> lastUpload();
    // The record written as id, if it can be read.
    std::optional<JournalRecord> record(qint64 id);
    // The newest ended record before this one of the same job on the same port and device that
    // says how the boards fared (complete or port-error), if any.
    std::optional<JournalRecord> previousOf(const JournalRecord &record);

    // The problem met since it was last taken, once; empty when there is none. A problem that
    // goes on (a read-only folder, a newer journal) is handed out once, not at every job.
    QString takeProblem();

    // The records not yet forwarded to a shared journal, oldest first, at most limit of them: up
    // to the first one still running (begun less than unfinishedAfter ago and not ended), which
    // waits for its end. Before them, the records that were forwarded unfinished and have ended
    // since. Nothing when the journal cannot be read; no file is made.
    std::optional<ForwardBatch> unforwarded(int limit,
                                            QDateTime now = QDateTime::currentDateTimeUtc());
    // The records up to lastId are in the shared journal. The mark only moves forward, so two
    // forwards at once leave it at the furthest.
    bool markForwarded(qint64 lastId);
    // The batch is in the shared journal: the mark moves to its last record, and the records it
    // held unfinished are remembered to be sent again once they end.
    bool markForwarded(const ForwardBatch &batch);

    // Sealing (a folder's sealing key beside the journal, see SealKey). Begins sealing this
    // journal: makes the sealing key (0600) with epochs of epochSeconds, from the next record on.
    // The verification key's text, or nothing with the reason in problem (a key is there
    // already, the journal or the folder cannot be written).
    std::optional<QString> startSealing(qint64 epochSeconds, QString &problem,
                                        QDateTime now = QDateTime::currentDateTimeUtc());
    // Brings the sealing key to the epoch of now, so that the key of a past epoch is gone even
    // when no job runs. Empty when it is there, or when the folder is not sealed; otherwise why
    // it could not be.
    QString advanceSealing(QDateTime now = QDateTime::currentDateTimeUtc());
    // The sealing key beside this journal.
    QString sealKeyPath() const;

    // For filling a journal in bulk (the bench): the begin() and finish() calls between
    // startBatch() and endBatch() share one transaction. Not for real jobs.
    bool startBatch();
    bool endBatch();

private:
    enum class State { Closed, Open, Disabled };

    bool ensureOpen(bool create);
    // The sealing record and the seals a batch carries (none when the journal is not sealed).
    bool readSeals(ForwardBatch &batch);
    bool openOnce();
    bool refuse(const QString &problem);
    bool createSchema();
    void close();
    bool exec(const QString &statement);
    bool transaction();
    bool commit();
    // BEGIN or COMMIT; a failure is recorded, after a rollback when rollBackOnFailure.
    bool writeStep(const QString &statement, bool rollBackOnFailure);
    void rollback();
    // Records a failure; true when it says the file is damaged (and so was moved aside).
    bool fail(const QString &what, const QSqlError &error);
    void raise(const QString &problem);
    void succeeded() { m_failing = false; }
    bool moveAsideDamaged();
    std::optional<qint64> rowSetId(const QStringList &rows, QSqlError &error);
    // Within the write transaction: seals the record at stage (a SealStage) for its moment.
    // A seal that cannot be made leaves the record unsealed and says why, once a record; false
    // only when the journal itself failed (the transaction is then rolled back).
    bool seal(qint64 id, int stage, const QDateTime &moment);
    // The sealing key for a seal of moment, carried forward (on disk too) to its epoch; nothing
    // with why when there is none to use, or when the folder is not sealed (why empty).
    std::optional<SealKey> sealingKey(const QDateTime &moment, QString &why);
    void sayUnsealed(qint64 id, const QString &why);
    QList<JournalRecord> select(const QString &where, int limit, const QVariantList &values = {});

    QString m_path;
    JournalOptions m_options;
    QString m_connection;
    State m_state = State::Closed;
    bool m_inBatch = false;
    bool m_failing = false; // a problem was said and nothing has worked since
    bool m_damageSeen = false;
    QString m_problem;
    qint64 m_unsealedSaid = -1; // the record last said to be unsealed
};

// Reading a journal without changing anything on disk (display-send --history): opened
// read-only, never created, moved or rewritten, links not followed. Records are handed out one
// at a time, newest first, so memory stays flat however many are read.
struct JournalReading {
    bool exists = false; // there is a file at the path
    qint64 read = 0;     // records handed out
    QString problem;     // what could not be read, empty when nothing was left out
};
// Calls each for the newest limit records, newest first. The records' rows are left unset: with
// withRows, each is given them as the journal stores them (a JSON array of the 96 strings), to
// hand on to historyJson without decoding. Where the file is damaged, the records that can still
// be read are handed out (newest first) and problem says what could not be.
JournalReading readJournal(
    const QString &path, int limit, bool withRows,
    const std::function<void(const JournalRecord &record, QByteArrayView storedRows)> &each);

// The newest record of job on port and device, with the outcome given (any when empty), read as
// readJournal reads: nothing on disk changes.
struct JournalLookup {
    bool exists = false;
    QString problem; // why the journal could not be read, empty when it could
    std::optional<JournalRecord> record;
};
JournalLookup readNewest(const QString &path, const QString &job, int port, const QString &device,
                         const QString &outcome = {});

// "1-3,5,7-8" for the addresses given (ascending), and back; an address that is not 0 to 8 in
// the text is left out. A blank text names boards 1 to 8, all that an upload asks: records from
// before the journal kept the list expected them, and a job never expects no board.
QString boardsText(const QList<int> &boards);
QList<int> boardsFromText(const QString &text);

// What changed between two records of one kind on one device that those who answer for the
// boards want to hear of, one phrase each ("board 5 stopped answering", "the port failed",
// "pH became unavailable"); empty when nothing did. An outcome word (complete or port-error), the
// boards that answered among those both records expected, and the names of unavailable values
// are compared; an error's wording, the frame count and the rows are not. Without a previous
// record, a job is compared with one that went well. An aborted or unfinished job says nothing
// of the boards: nothing is said of it.
QStringList outcomeChanges(const std::optional<JournalRecord> &previous,
                           const JournalRecord &current);
// The boards a record expected (1 to 8 when its list is missing or blank) whose light is not green;
// none when the job never reached them (a port error).
QList<int> silentBoards(const JournalRecord &record);

// One line of `display-send --history`: local start time, duration, program, job, port and
// device, outcome, frames, lights and the start of the error text.
QString historyLine(const JournalRecord &record);
// One line of `display-send --history --json` (no line end): an object with exactly the keys
// started, finished, program, job, port, device, outcome, error, frames, lights, delay, user,
// host, boards, unavailable (the record's columns, journalColumns()) and rows.
QByteArray historyJson(const JournalRecord &record, QByteArrayView storedRows = {});
// `display-send --history --csv`: the header line, then one line a record (CRLF ends each, as
// RFC 4180 has it). The fields of the JSON, the rows as six cells page1 to page6 of 16 lines
// each. A cell a spreadsheet would take for a formula is prefixed with an apostrophe; control
// characters other than line feeds are written as U+FFFD, so that neither a spreadsheet nor a
// terminal acts on them.
QByteArray historyCsvHeader();
// One cell as those lines write it, and a JSON string as --json writes it (a shared journal's
// site).
QByteArray csvCell(const QString &value);
QByteArray jsonString(const QString &text);
QByteArray historyCsv(const JournalRecord &record, QByteArrayView storedRows = {});

// For the SEND button's tooltip: "Last sent 08.12.2026 14:05; all boards answered" (local time)
// from an upload record; empty when there is none.
// When several boards are silent: "boards 2, 4 and 6 did not answer"; all eight: "no board
// answered". An upload that was stopped: "it was stopped before the end"; one never finished (a
// crash, or still running): "it did not finish".
QString lastUploadSummary(const std::optional<JournalRecord> &upload);
// The same from the newest upload among records (newest first, as history() gives them).
QString lastUploadSummary(const QList<JournalRecord> &records);
