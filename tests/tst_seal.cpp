// A sealed journal: forged copies are caught and named, jobs killed at any point leave a journal
// that verifies, and display-send seals, verifies and says why a record went unsealed.

#include "jobrecords.h"
#include "journal.h"
#include "journalfiles.h"
#include "journalseal.h"
#include "programrun.h"
#include "sealverifier.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace journal_detail;

namespace {

const QDateTime Now = QDateTime::currentDateTimeUtc();

QStringList rowsOf(char mark) {
    return QStringList(96, QStringLiteral("row %1").arg(QLatin1Char(mark)));
}

// Runs statements (separated by ";") on the journal at path; false when one fails.
bool run(const QString &path, const QString &statements) {
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "forge");
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery query(db);
        for (const QString &statement : statements.split(u';', Qt::SkipEmptyParts))
            ok = ok && query.exec(statement);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("forge"));
    return ok;
}

// What an owner holding today's sealing key can do: seal again, with it, every seal from the
// first of record from on, as the programs seal.
bool resealFrom(const QString &path, qint64 from) {
    QString problem;
    const std::optional<SealKey> key = SealKeyFile::read(SealKeyFile::pathFor(path), problem);
    bool ok = key.has_value();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "reseal");
        db.setDatabaseName(path);
        ok = ok && db.open();
        QSqlQuery seals(db);
        QSqlQuery fields(db);
        QSqlQuery update(db);
        ok = ok && seals.exec(QStringLiteral("SELECT seq, record, stage, seal FROM seals ORDER BY "
                                             "seq"));
        QByteArray previous;
        QList<QVariantList> changes;
        while (ok && seals.next()) {
            const qint64 seq = seals.value(0).toLongLong();
            const qint64 id = seals.value(1).toLongLong();
            QByteArray seal = seals.value(3).toByteArray();
            if (id >= from) {
                fields.prepare(sealedFieldsQuery(QStringLiteral("WHERE j.id = ?")));
                fields.addBindValue(id);
                ok = fields.exec() && fields.next();
                seal = key->seal(sealMessage(fields, 0, SealStage(seals.value(2).toInt()), id, seq,
                                             key->epoch, previous));
                changes.append({key->epoch, seal, seq});
            }
            previous = seal;
        }
        for (const QVariantList &change : std::as_const(changes)) {
            update.prepare(QStringLiteral("UPDATE seals SET epoch = ?, seal = ? WHERE seq = ?"));
            for (const QVariant &value : change)
                update.addBindValue(value);
            ok = ok && update.exec();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reseal"));
    return ok;
}

QString findingsText(const SealVerification &verification) {
    QStringList lines{verification.verifiedLine()};
    for (const SealFinding &finding : verification.findings)
        lines << finding.text();
    return lines.join(u'\n');
}

// The child of killedJobsLeaveAJournalThatVerifies: jobs an hour apart (one epoch each, so that
// every record carries the key forward) until it is killed.
[[noreturn]] void runJobs(const QString &path) {
    Journal journal(path);
    for (;;) {
        const QList<JournalRecord> last = journal.history(1);
        const QDateTime at = last.first().started.addSecs(3600);
        journal.finish(journal.begin(uploadStarted(rowsOf('k'), at)),
                       uploadCompleted(at.addSecs(30)));
    }
}

} // namespace

class TestSeal : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_dir.emplace();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { m_dir.reset(); }
    void forgeriesNamed_data();
    void forgeriesNamed();
    void killedJobsLeaveAJournalThatVerifies();
    void programSealsAndVerifies_data();
    void programSealsAndVerifies();

private:
    QString path() const { return m_dir->filePath(QStringLiteral("display-journal.db")); }
    std::optional<QTemporaryDir> m_dir;
};

void TestSeal::forgeriesNamed_data() {
    QTest::addColumn<QString>("statements");
    QTest::addColumn<qint64>("resealFrom"); // 0: not sealed again
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("named");
    const QString moved = QStringLiteral(
        "UPDATE jobs SET started = strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-1 minute'), finished ="
        " strftime('%Y-%m-%dT%H:%M:%fZ', 'now') WHERE id = 5");
    QTest::newRow("unchanged") << QString() << 0LL << 0 << "verified through record 14";
    QTest::newRow("a changed field") << "UPDATE jobs SET lights = 'ggggggggg' WHERE id = 5" << 0LL
                                     << 1 << "record 5 was changed";
    QTest::newRow("changed rows") << "UPDATE rowsets SET rows = replace(rows, 'b', 'X')" << 0LL << 1
                                  << "records 7–10 were changed";
    QTest::newRow("a deleted record in the middle")
        << "DELETE FROM jobs WHERE id = 7; DELETE FROM seals WHERE record = 7" << 0LL << 1
        << "record 7 is missing";
    QTest::newRow("a deleted record, its seals left")
        << "DELETE FROM jobs WHERE id = 7" << 0LL << 1 << "record 7 is missing";
    QTest::newRow("an added record")
        << "INSERT INTO jobs (started, program, job, port, device) SELECT started, program, job, "
           "port, device FROM jobs WHERE id = 14"
        << 0LL << 1 << "record 15 is not sealed";
    QTest::newRow("an added record with copied seals")
        << "INSERT INTO jobs SELECT 15, started, finished, program, job, port, device, outcome, "
           "error, frames, lights, delay, rowset, user, host, boards, unavailable FROM jobs WHERE "
           "id = 14; INSERT INTO seals SELECT seq + 2, 15, stage, epoch, seal FROM seals WHERE "
           "record = 14"
        << 0LL << 1 << "record 15 was changed";
    QTest::newRow("swapped records")
        << "UPDATE jobs SET id = -5 WHERE id = 5; UPDATE jobs SET id = 5 WHERE id = 6; "
           "UPDATE jobs SET id = 6 WHERE id = -5"
        << 0LL << 1 << "records 5 and 6 are out of order";
    QTest::newRow("old records re-sealed with the current key")
        << QString() << 5LL << 1 << "records 5–14 were sealed in a later epoch";
    QTest::newRow("a record's time moved into the current epoch")
        << moved << 0LL << 1 << "record 5 was changed";
    QTest::newRow("a record's time moved into the current epoch, re-sealed")
        << moved << 5LL << 1 << "record 5 is out of order";
    QTest::newRow("sealing said to begin later")
        << "UPDATE sealing SET first_record = 9" << 0LL << 1 << "sealing record";
}

// Two records before sealing, then twelve sealed six hours apart over three days, a month ago;
// the key since carried forward to today.
void TestSeal::forgeriesNamed() {
    QFETCH(QString, statements);
    QFETCH(qint64, resealFrom);
    QFETCH(int, status);
    QFETCH(QString, named);
    const QDateTime origin = Now.addDays(-30);
    std::optional<QString> verificationKey;
    {
        Journal journal(path());
        QDateTime at = origin.addDays(-1);
        for (int n = 0; n < 14; ++n) {
            if (n == 2) {
                QString problem;
                verificationKey = journal.startSealing(86400, problem, origin);
                QVERIFY2(verificationKey, qPrintable(problem));
                at = origin.addSecs(60);
            }
            journal.finish(journal.begin(uploadStarted(rowsOf(n >= 6 && n < 10 ? 'b' : 'a'), at)),
                           uploadCompleted(at.addSecs(30)));
            at = at.addSecs(6 * 3600);
        }
        QCOMPARE(journal.advanceSealing(Now), QString());
        QCOMPARE(journal.takeProblem(), QString());
    }
    QVERIFY(run(path(), statements));
    if (resealFrom)
        QVERIFY(::resealFrom(path(), resealFrom));

    const SealVerification verification =
        verifySeals(path(), *SealKey::fromVerificationText(*verificationKey));
    const QString text = findingsText(verification);
    QVERIFY2(text.contains(named), qPrintable(text));
    QCOMPARE(int(verification.status), status);
    QVERIFY2(text.contains(QStringLiteral("precede sealing")), qPrintable(text));
}

void TestSeal::killedJobsLeaveAJournalThatVerifies() {
    std::optional<QString> verificationKey;
    {
        Journal journal(path());
        QString problem;
        verificationKey = journal.startSealing(3600, problem, Now.addDays(-400));
        QVERIFY2(verificationKey, qPrintable(problem));
        const QDateTime at = Now.addDays(-400).addSecs(60);
        journal.finish(journal.begin(uploadStarted(rowsOf('k'), at)),
                       uploadCompleted(at.addSecs(30)));
    }
    for (int round = 0; round < 100; ++round) {
        QProcess jobs;
        jobs.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--jobs"), path()});
        QVERIFY(jobs.waitForStarted());
        QTest::qWait(QRandomGenerator::global()->bounded(20, 120));
        jobs.kill(); // SIGKILL, wherever it is: a record, a seal, a key being replaced
        QVERIFY(jobs.waitForFinished());
    }
    const SealKey key = *SealKey::fromVerificationText(*verificationKey);
    SealVerification verification = verifySeals(path(), key);
    QCOMPARE(int(verification.status), 0);
    for (const SealFinding &finding : std::as_const(verification.findings))
        QVERIFY2(finding.kind == SealFinding::Kind::Unfinished, qPrintable(finding.text()));
    const qint64 before = verification.verifiedThrough;
    QVERIFY2(before > 10, qPrintable(verification.verifiedLine()));

    // The key still seals.
    Journal journal(path());
    const QDateTime at = journal.history(1).first().started.addSecs(3600);
    const qint64 id = journal.begin(uploadStarted(rowsOf('k'), at));
    journal.finish(id, uploadCompleted(at.addSecs(30)));
    QCOMPARE(journal.takeProblem(), QString());
    verification = verifySeals(path(), key);
    QCOMPARE(int(verification.status), 0);
    QCOMPARE(verification.verifiedThrough, id);
}

void TestSeal::programSealsAndVerifies_data() {
    QTest::addColumn<bool>("oldJournal");
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<bool>("keyRemoved");
    QTest::addColumn<QString>("keyText"); // empty: the key seal-init printed
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    const QStringList none;
    QTest::newRow("sealed jobs verify") << false << QString() << false << QString() << none << 0
                                        << "verified through record 2 (" << QString();
    QTest::newRow("as JSON") << false << QString() << false << QString()
                             << QStringList{QStringLiteral("--json")} << 0
                             << "{\"finding\":\"verified\",\"through\":2," << QString();
    QTest::newRow("a journal upgraded from version 1")
        << true << QString() << false << QString() << none << 0
        << "verified through record 4 (…records 1–2 precede sealing" << QString();
    QTest::newRow("a changed record")
        << false << "UPDATE jobs SET device = '/dev/x' WHERE id = 1" << false << QString() << none
        << 1 << "record 1 was changed" << QString();
    QTest::newRow("the sealing key removed")
        << false << QString() << true << QString() << none << 1 << "record 2 is not sealed"
        << "Record 2 of the job journal is not sealed: the sealing key";
    QTest::newRow("a file without a key") << false << QString() << false << "dsv1:nonsense" << none
                                          << 3 << QString() << "holds no verification key";
}

// seal-init, two board tests on a device that is not there (journaled as port errors), then
// --verify with the key read from a file.
void TestSeal::programSealsAndVerifies() {
    QFETCH(bool, oldJournal);
    QFETCH(QString, tamper);
    QFETCH(bool, keyRemoved);
    QFETCH(QString, keyText);
    QFETCH(QStringList, options);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    if (oldJournal)
        QVERIFY(writeVersion1Journal(path()));
    const auto send = [this](const QStringList &arguments) {
        return runProgram(QStringLiteral(DISPLAY_SEND_QUICK),
                          arguments + QStringList{QStringLiteral("--journal"), path()});
    };
    const ProgramResult init = send({QStringLiteral("--seal-init")});
    QCOMPARE(init.status, 0);
    QVERIFY2(init.out.contains(QStringLiteral("Keep it off this machine")), qPrintable(init.out));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(SealKeyFile::pathFor(path())).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
    QCOMPARE(send({QStringLiteral("--seal-init")}).status, 3); // once only
    for (int job = 0; job < 2; ++job) {
        if (job == 1 && keyRemoved)
            QVERIFY(QFile::remove(SealKeyFile::pathFor(path())));
        const ProgramResult test = send({QStringLiteral("--test"), QStringLiteral("--device"),
                                         m_dir->filePath(QStringLiteral("no-such-tty"))});
        QCOMPARE(test.status, 2);
        if (job == 1 && !err.isEmpty() && status != 3)
            QVERIFY2(test.err.contains(err), qPrintable(test.err));
    }
    QVERIFY(run(path(), tamper));
    const QString keyFile = m_dir->filePath(QStringLiteral("verification-key"));
    const QString printed = init.out.mid(init.out.indexOf(QStringLiteral("dsv1:")));
    QVERIFY(writeBytes(keyFile,
                       (keyText.isEmpty() ? printed.section(u'\n', 0, 0) : keyText).toLatin1()));
    const ProgramResult verify = send(QStringList{QStringLiteral("--verify"), keyFile} + options);
    QCOMPARE(verify.status, status);
    const QStringList parts = out.split(QStringLiteral("…"));
    for (const QString &part : parts)
        QVERIFY2(verify.out.contains(part), qPrintable(verify.out + verify.err));
    if (status == 3)
        QVERIFY2(verify.err.contains(err), qPrintable(verify.err));
}

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--jobs") == 0)
        runJobs(QString::fromLocal8Bit(argv[2]));
    TestSeal test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_seal.moc"
