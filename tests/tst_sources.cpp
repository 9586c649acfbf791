#include "filesources.h"
#include "rowfill.h"
#include "sources.h"

#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <ctime>

namespace {

// Every reading is judged at this moment.
const QDateTime Now(QDate(2026, 12, 8), QTime(10, 0), QTimeZone::utc());

qint64 minutesAgo(int minutes) {
    return Now.addSecs(-60 * minutes).toMSecsSinceEpoch();
}

// "[{...params...}]" for one device.
QByteArray device(const QString &id, const QString &params) {
    return QStringLiteral(R"({"deviceId": "%1", "params": [%2]})").arg(id, params).toUtf8();
}

QString param(const QString &name, const QString &value, qint64 ms, const QString &flag = {}) {
    return QStringLiteral(R"({"parameter": "%1", "value": %2, "timestamp": %3%4})")
        .arg(name, value, QString::number(ms),
             flag.isEmpty() ? QString() : QStringLiteral(R"(, "flag": "%1")").arg(flag));
}

SourceSection section(const QString &kind, const QString &target, const QString &options) {
    SourceSection s;
    s.name = QStringLiteral("v");
    s.kind = kind;
    s.target = target;
    for (const QString &pair : options.split(u';', Qt::SkipEmptyParts)) {
        if (pair.startsWith(QLatin1String("max-age=")))
            s.maxAge = SourcesFile::parseAge(pair.section(u'=', 1)).value();
        else
            s.options.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    }
    return s;
}

Reading reading(const QString &name, Reading::State state, std::optional<double> value,
                int minutes) {
    Reading r;
    r.name = name;
    r.state = state;
    r.value = value;
    r.time = Now.addSecs(-60 * minutes);
    return r;
}

// What the operator hears of a reading: why it is not shown, and what was passed over.
QString heard(const Reading &r) {
    return (QStringList{r.problem} + r.notes).join(u'\n').trimmed();
}

void writeFile(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode = {}) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | mode));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

Q_DECLARE_METATYPE(Reading::State)

// The monitoring system's files as the boards' sources: which figure is taken, and when it is
// not shown.
class TestSources : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void jsonReading_data();
    void jsonReading();
    void csvReading_data();
    void csvReading();
    void csvGrowsBeyondTheTail();
    void csvRows_data();
    void csvRows();
    void badSectionBesideGoodOnes_data();
    void badSectionBesideGoodOnes();
    void fieldsFromReadings_data();
    void fieldsFromReadings();
};

void TestSources::jsonReading_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("options");
    QTest::addColumn<Reading::State>("state");
    QTest::addColumn<double>("value"); // when the reading carries one
    QTest::addColumn<QString>("problem");
    using S = Reading::State;
    const QString cod = QStringLiteral("parameter=cod");

    QTest::newRow("fresh, flag U")
        << "[" + device("s1", param("cod", "198", minutesAgo(5), "U")) + "]" << cod << S::Ok
        << 198.0 << QString();
    QTest::newRow("fresh, no flag")
        << device("s1", param("COD", "\"7.5\"", minutesAgo(1))) << cod << S::Ok << 7.5 << QString();
    QTest::newRow("stale past 30m") << "[" + device("s1", param("cod", "198", minutesAgo(31))) + "]"
                                    << cod << S::Stale << 198.0 << "more than 30m ago";
    QTest::newRow("max-age 2h keeps it fresh")
        << "[" + device("s1", param("cod", "198", minutesAgo(100))) + "]" << cod + ";max-age=2h"
        << S::Ok << 198.0 << QString();
    QTest::newRow("flagged M") << "[" + device("s1", param("cod", "198", minutesAgo(5), "M")) + "]"
                               << cod << S::Flagged << 198.0 << "flagged M";
    QTest::newRow("accept-flags U,C takes C")
        << "[" + device("s1", param("cod", "198", minutesAgo(5), "C")) + "]"
        << cod + ";accept-flags=U, C" << S::Ok << 198.0 << QString();
    QTest::newRow("two readings: the newer counts, though listed first")
        << "[" +
               device("s1", param("cod", "201", minutesAgo(2)) + "," +
                                param("cod", "150", minutesAgo(20))) +
               "]"
        << cod << S::Ok << 201.0 << QString();
    QTest::newRow("two readings: the newer is flagged")
        << "[" +
               device("s1", param("cod", "150", minutesAgo(20)) + "," +
                                param("cod", "201", minutesAgo(2), "D")) +
               "]"
        << cod << S::Flagged << 201.0 << "flagged D";
    const QByteArray twoDevices = "[" + device("s1", param("cod", "1", minutesAgo(1))) + "," +
                                  device("s2", param("cod", "2", minutesAgo(9))) + "]";
    QTest::newRow("device filter") << twoDevices << cod + ";device=s2" << S::Ok << 2.0 << QString();
    QTest::newRow("no such device")
        << twoDevices << cod + ";device=s3" << S::Failed << 0.0 << "no parameter cod of device s3";
    QTest::newRow("no such parameter")
        << twoDevices << "parameter=nox" << S::Failed << 0.0 << "no parameter nox";
    QTest::newRow("two devices give it: device = is needed")
        << twoDevices << cod << S::Failed << 0.0
        << "cod is given by devices s1 and s2; name one with device =";
    QTest::newRow("three devices give it in any case, each named once")
        << "[" + device("s1", param("cod", "1", minutesAgo(1))) + "," +
               device("s2", param("COD", "2", minutesAgo(1))) + "," +
               device("s1", param("cod", "3", minutesAgo(2))) + "," +
               device("s4", param("nox", "4", minutesAgo(1))) + "," +
               device("s3", param("cod", "5", minutesAgo(1))) + "]"
        << "parameter=Cod" << S::Failed << 0.0
        << "Cod is given by devices s1, s2 and s3; name one with device =";
    QTest::newRow("value not a number")
        << "[" + device("s1", param("cod", "\"n/a\"", minutesAgo(1))) + "]" << cod << S::Failed
        << 0.0 << "is not a number";
    QTest::newRow("not JSON") << QByteArray("[{") << cod << S::Failed << 0.0 << "not JSON";
    QTest::newRow("text with a thousands separator is no number")
        << "[" + device("s1", param("cod", "\"1,234\"", minutesAgo(1))) + "]" << cod << S::Failed
        << 0.0 << "is not a number";
    QTest::newRow("a reading from the future is passed over, and named")
        << "[" +
               device("s1", param("cod", "201", minutesAgo(-60)) + "," +
                                param("cod", "150", minutesAgo(5))) +
               "]"
        << cod << S::Ok << 150.0
        << "a reading of cod dated 2026-12-08 11:00:00 UTC, ahead of this machine's clock";
    const auto aheadBy = [](int seconds) {
        return "[" +
               device("s1", param("cod", "201", Now.addSecs(seconds).toMSecsSinceEpoch()) + "," +
                                param("cod", "150", minutesAgo(5))) +
               "]";
    };
    QTest::newRow("a reading 119 s ahead is current")
        << aheadBy(119) << cod << S::Ok << 201.0 << QString();
    QTest::newRow("a reading 120 s ahead is current")
        << aheadBy(120) << cod << S::Ok << 201.0 << QString();
    QTest::newRow("a reading 121 s ahead is passed over")
        << aheadBy(121) << cod << S::Ok << 150.0
        << "a reading of cod dated 2026-12-08 10:02:01 UTC, ahead of this machine's clock";
    QTest::newRow("only a reading from the future")
        << "[" + device("s1", param("cod", "201", minutesAgo(-3))) + "]" << cod << S::Failed << 0.0
        << "dated 2026-12-08 10:03:00 UTC, ahead of this machine's clock";
}

void TestSources::jsonReading() {
    QFETCH(QByteArray, json);
    QFETCH(QString, options);
    QFETCH(Reading::State, state);
    QFETCH(double, value);
    QFETCH(QString, problem);
    const SourceSection s = section(QStringLiteral("json"), QStringLiteral("/feed.json"), options);

    const Reading r = readJsonReadings(json, s, Now);
    QCOMPARE(r.state, state);
    QVERIFY2(heard(r).contains(problem) && heard(r).isEmpty() == problem.isEmpty(),
             qPrintable(heard(r)));
    if (state != Reading::State::Failed)
        QCOMPARE(r.value, std::optional<double>(value));
}

void TestSources::csvReading_data() {
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QString>("options");
    QTest::addColumn<Reading::State>("state");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("problem");
    using S = Reading::State;
    const auto local = [](int minutes, const char *format) {
        return Now.addSecs(-60 * minutes).toLocalTime().toString(QLatin1String(format)).toUtf8();
    };

    QTest::newRow("comma, ISO with T and Z")
        << QByteArray("time,pH,NOx\n2026-12-08T09:40:00Z,7.0,40\n2026-12-08T09:55:30Z,7.2,41\n")
        << "column=NOx" << S::Ok << 41.0 << QString();
    QTest::newRow("semicolon, dd-mm-yyyy local, decimal comma")
        << "Zeit;pH\n" + local(50, "dd-MM-yyyy HH:mm") + ";6,9\n" +
               local(10, "dd-MM-yyyy HH:mm:ss") + ";7,25\n"
        << "column=ph" << S::Ok << 7.25 << QString();
    QTest::newRow("tab, ISO with a space and an offset, rows out of order")
        << QByteArray("site\twhen\tSO2\nA\t2026-12-08 11:58:00+02:00\t80\n"
                      "A\t2026-12-08 10:55+01:00\t95\n")
        << "column=SO2;time-column=when" << S::Ok << 80.0 << QString();
    QTest::newRow("quoted fields hold the delimiter")
        << QByteArray("\"time, UTC\",\"dust, mg\"\n2026-12-08T09:58:00Z,\"12.5\"\n")
        << "column=dust, mg" << S::Ok << 12.5 << QString();
    QTest::newRow("stale") << "time,pH\n" + local(45, "yyyy-MM-dd HH:mm") + ",7.1\n"
                           << "column=pH" << S::Stale << 7.1 << "more than 30m ago";
    QTest::newRow("missing column") << QByteArray("time,pH\n2026-12-08T09:58:00Z,7\n")
                                    << "column=TSS" << S::Failed << 0.0 << "no column TSS";
    QTest::newRow("missing time column")
        << QByteArray("time,pH\n2026-12-08T09:58:00Z,7\n") << "column=pH;time-column=at"
        << S::Failed << 0.0 << "no column at";
    QTest::newRow("a last line still being written waits")
        << QByteArray("time,pH\n2026-12-08T09:50:00Z,7.1\n2026-12-08T09:59:00Z,7") << "column=pH"
        << S::Ok << 7.1 << QString();
    QTest::newRow("no row with a time") << QByteArray("time,pH\nyesterday,7\n") << "column=pH"
                                        << S::Failed << 0.0 << "no row with a time in column time";
    QTest::newRow("empty value") << QByteArray("time,pH\n2026-12-08T09:58:00Z,\n") << "column=pH"
                                 << S::Failed << 0.0 << "is not a number";
}

void TestSources::csvReading() {
    QFETCH(QByteArray, csv);
    QFETCH(QString, options);
    QFETCH(Reading::State, state);
    QFETCH(double, value);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("export.csv"));
    writeFile(path, csv);

    const Reading r = readFileSource(section(QStringLiteral("csv"), path, options), Now);
    QCOMPARE(r.state, state);
    QVERIFY2(r.problem.contains(problem) && r.problem.isEmpty() == problem.isEmpty(),
             qPrintable(r.problem));
    if (state != Reading::State::Failed)
        QCOMPARE(r.value, std::optional<double>(value));
}

void TestSources::csvGrowsBeyondTheTail() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("export.csv"));
    // Two tails of old rows: only the header and the end are read.
    QByteArray csv = "time,pH\n";
    const QByteArray old = "2026-12-01T00:00:00Z,1.0\n";
    csv += old.repeated(2 * CsvSource::MaxTailBytes / old.size());
    writeFile(path, csv);
    const SourceSection s = section(QStringLiteral("csv"), path, QStringLiteral("column=pH"));
    QCOMPARE(readFileSource(s, Now).state, Reading::State::Stale);

    writeFile(path, "2026-12-08T09:59:00Z,7.4\n", QIODevice::Append);
    const Reading grown = readFileSource(s, Now);
    QCOMPARE(grown.state, Reading::State::Ok);
    QCOMPARE(grown.value, std::optional<double>(7.4));
}

// What a row holds, and which rows count: numbers, times, quoted line ends, headers.
void TestSources::csvRows_data() {
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QByteArray>("tailFrom"); // the tail begins just before this; empty: whole
    QTest::addColumn<QByteArray>("zone");     // TZ while reading; empty: as it is
    QTest::addColumn<QString>("options");
    QTest::addColumn<Reading::State>("state");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("heard");
    using S = Reading::State;
    const QByteArray at58 = "2026-12-08T09:58:00Z";

    QTest::newRow("decimal comma, three digits")
        << "t;pH\n" + at58 + ";7,125\n"
        << QByteArray() << QByteArray() << "column=pH" << S::Ok << 7.125 << QString();
    QTest::newRow("decimal comma, leading zero")
        << "t\tpH\n" + at58 + "\t0,050\n"
        << QByteArray() << QByteArray() << "column=pH" << S::Ok << 0.05 << QString();
    QTest::newRow("no thousands separator: 1,234.5")
        << "t;pH\n" + at58 + ";1,234.5\n"
        << QByteArray() << QByteArray() << "column=pH" << S::Failed << 0.0
        << "\"1,234.5\" at 2026-12-08 09:58:00 UTC is not a number";
    QTest::newRow("a row dated tomorrow does not beat today's newest")
        << "t,pH\n2026-12-09T09:00:00Z,9.9\n" + at58 + ",7.1\n"
        << QByteArray() << QByteArray() << "column=pH" << S::Ok << 7.1
        << "a row dated 2026-12-09 09:00:00 UTC, ahead of this machine's clock, skipped";
    QTest::newRow("only rows from the future")
        << QByteArray("t,pH\n2026-12-08T10:02:30Z,9.9\n2026-12-08T10:05:00Z,9.8\n") << QByteArray()
        << QByteArray() << "column=pH" << S::Failed << 0.0
        << "the newest row is dated 2026-12-08 10:05:00 UTC, ahead of this machine's clock";
    QTest::newRow("spring gap: 02:30 is no time, the later row counts")
        << QByteArray("t;pH\n29-03-2026 01:59;1\n29-03-2026 02:30;2\n29-03-2026 03:10;3\n")
        << QByteArray() << QByteArray("Europe/Berlin") << "column=pH;max-age=365d" << S::Ok << 3.0
        << "the row at 29-03-2026 02:30 names a local time the clock jumped over; skipped";
    QTest::newRow("autumn hour: 02:30 is its earlier instant")
        << QByteArray("t;pH\n25-10-2026 02:30;1\n2026-10-25T01:00:00Z;2\n") << QByteArray()
        << QByteArray("Europe/Berlin") << "column=pH;max-age=365d" << S::Ok << 2.0 << QString();
    QTest::newRow("a dot where the file's figures have a decimal comma")
        << "t;pH\n2026-12-08T09:50:00Z;7,5\n" + at58 + ";1.234\n"
        << QByteArray() << QByteArray() << "column=pH" << S::Failed << 0.0
        << "\"1.234\" at 2026-12-08 09:58:00 UTC looks like a thousands-separated number";
    QTest::newRow("decimal = comma refuses a dot, though no figure has a comma")
        << "t\tpH\n" + at58 + "\t7.5\n"
        << QByteArray() << QByteArray() << "column=pH;decimal=comma" << S::Failed << 0.0
        << "looks like a thousands-separated number (decimal = comma)";
    QTest::newRow("decimal = point: a comma is no decimal mark")
        << "t;pH\n" + at58 + ";7,5\n"
        << QByteArray() << QByteArray() << "column=pH;decimal=point" << S::Failed << 0.0
        << "\"7,5\" at 2026-12-08 09:58:00 UTC is not a number";
    const QByteArray broken = "t,note,pH\n2026-12-08T09:50:00Z,\"x\r\n2026-12-08T09:59:00Z,y,9.9"
                              "\nz\",7.1\n2026-12-08T09:55:00Z,,7.3\n";
    QTest::newRow("a quoted field holds line ends")
        << broken << QByteArray() << QByteArray() << "column=pH" << S::Ok << 7.3 << QString();
    QTest::newRow("a tail that starts inside a quoted field")
        << broken << QByteArray("2026-12-08T09:59") << QByteArray() << "column=pH" << S::Ok << 7.3
        << QString();
    QTest::newRow("a row with another count of fields is skipped")
        << "t,pH\n" + at58 + ",7.1\n2026-12-08T09:59:00Z,7,3\n"
        << QByteArray() << QByteArray() << "column=pH" << S::Ok << 7.1 << QString();
    QTest::newRow("a Latin-1 header")
        << "t;Temp\xb0"
           "C\n" +
               at58 + ";21,5\n"
        << QByteArray() << QByteArray() << "column=Temp°C" << S::Ok << 21.5 << QString();
    QTest::newRow("a column named twice") << "t,pH,PH\n" + at58 + ",7.1,7.2\n"
                                          << QByteArray() << QByteArray() << "column=pH"
                                          << S::Failed << 0.0 << "column pH appears twice";
}

void TestSources::csvRows() {
    QFETCH(QByteArray, csv);
    QFETCH(QByteArray, tailFrom);
    QFETCH(QByteArray, zone);
    QFETCH(QString, options);
    QFETCH(Reading::State, state);
    QFETCH(double, value);
    QFETCH(QString, heard);
    const QByteArray oldZone = qgetenv("TZ");
    const auto restore = qScopeGuard([&] {
        oldZone.isNull() ? qunsetenv("TZ") : qputenv("TZ", oldZone);
        tzset();
    });
    if (!zone.isEmpty()) {
        qputenv("TZ", zone);
        tzset();
    }
    const qsizetype from = tailFrom.isEmpty() ? 0 : csv.indexOf(tailFrom) - 1;
    QVERIFY(from >= 0);

    const Reading r = CsvSource::read(csv, csv.sliced(from), from,
                                      section(QStringLiteral("csv"), "x.csv", options), Now);
    QCOMPARE(r.state, state);
    QVERIFY2(::heard(r).contains(heard) && ::heard(r).isEmpty() == heard.isEmpty(),
             qPrintable(::heard(r)));
    if (state != Reading::State::Failed)
        QCOMPARE(r.value, std::optional<double>(value));
}

void TestSources::badSectionBesideGoodOnes_data() {
    QTest::addColumn<QString>("bad");     // the [bad] section's lines
    QTest::addColumn<QString>("problem"); // empty: the section is read and its figure shown

    QTest::newRow("unknown kind") << "http = x"
                                  << "line 4: [bad] names no source";
    QTest::newRow("no kind at all") << ""
                                    << "line 4: [bad] names no source";
    QTest::newRow("two kinds") << "json = a.json\ncsv = a.csv\ncolumn = x"
                               << "line 6: a second source (csv)";
    QTest::newRow("json without parameter") << "json = a.json"
                                            << "a json source needs parameter";
    QTest::newRow("csv with a json key") << "csv = a.csv\ncolumn = x\nparameter = y"
                                         << "a csv source takes no \"parameter\"";
    QTest::newRow("decimal neither comma nor point") << "csv = a.csv\ncolumn = x\ndecimal = dot"
                                                     << "line 7: decimal \"dot\" is neither";
    QTest::newRow("bad max-age") << "json = f.json\nparameter = cod\nmax-age = soon"
                                 << "line 7: max-age \"soon\"";
    QTest::newRow("logger's no-data below min") << "json = f.json\nparameter = cod\nmin = 200"
                                                << "198 below min 200";
    QTest::newRow("above max") << "json = f.json\nparameter = cod\nmax = 1e2"
                               << "198 above max 100";
    QTest::newRow("198 just below min") << "json = f.json\nparameter = cod\nmin = 198.001"
                                        << "198 below min 198.001";
    QTest::newRow("198 at min: shown") << "json = f.json\nparameter = cod\nmin = 198"
                                       << "";
    QTest::newRow("198 just above min: shown") << "json = f.json\nparameter = cod\nmin = 197.999"
                                               << "";
    QTest::newRow("198 just above max") << "json = f.json\nparameter = cod\nmax = 197.999"
                                        << "198 above max 197.999";
    QTest::newRow("198 at max: shown") << "json = f.json\nparameter = cod\nmax = 198"
                                       << "";
    QTest::newRow("198 just below max: shown") << "json = f.json\nparameter = cod\nmax = 198.001"
                                               << "";
    QTest::newRow("min not a number") << "json = f.json\nparameter = cod\nmin = zero"
                                      << "line 7: min \"zero\" is not a number";
    QTest::newRow("min above max") << "json = f.json\nparameter = cod\nmin = 5\nmax = 1"
                                   << "line 4: [bad]: min 5 is above max 1";
    QTest::newRow("line without =") << "json = f.json\nparameter = cod\noops"
                                    << "line 7: not a KEY = VALUE line";
    QTest::newRow("built-in name") << "json = f.json\nparameter = cod"
                                   << "line 4: \"date\" is built in";
    QTest::newRow("analyser without a register")
        << "modbus-tcp = 10.0.0.5:502"
        << "sources.conf [bad]: no register (30001 to 39999";
    QTest::newRow("analyser on a COM number nothing resolves")
        << "modbus-rtu = COM 5\nregister = 30001"
        << "sources.conf [bad]: ";
}

void TestSources::badSectionBesideGoodOnes() {
    QFETCH(QString, bad);
    QFETCH(QString, problem);
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("f.json")),
              "[" + device("s1", param("cod", "198", minutesAgo(1))) + "]");
    const QString name = QTest::currentDataTag() == QByteArray("built-in name") ? "date" : "bad";
    // The bad section begins on line 4; the first good one names its file relative to
    // sources.conf, the last with an absolute path.
    const QString conf = dir.filePath(QStringLiteral("sources.conf"));
    writeFile(conf, QStringLiteral("[cod]\njson = f.json\nparameter = cod\n[%1]\n%2\n[cod2]\n"
                                   "json = %3\nparameter = cod\n")
                        .arg(name, bad, dir.filePath(QStringLiteral("f.json")))
                        .toUtf8());
    SourcesReader reader(SourcesFile::read(conf), Now);
    QSignalSpy finished(&reader, &SourcesReader::finished);
    reader.start();
    QCOMPARE(finished.size(), 0); // never from inside start()
    QVERIFY(finished.wait(1000));
    const Readings &readings = reader.readings();
    QCOMPARE(readings.size(), 3);
    QCOMPARE(readings.at(0).state, Reading::State::Ok); // relative to sources.conf
    QCOMPARE(readings.at(2).state, Reading::State::Ok);
    QCOMPARE(readings.at(1).name, name);
    QCOMPARE(readings.at(1).state, problem.isEmpty() ? Reading::State::Ok : Reading::State::Failed);
    QVERIFY2(readings.at(1).problem.contains(problem), qPrintable(readings.at(1).problem));
}

void TestSources::fieldsFromReadings_data() {
    QTest::addColumn<Readings>("readings");
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<QString>("templ");
    QTest::addColumn<QString>("filled");
    QTest::addColumn<QStringList>("unavailable");
    using S = Reading::State;
    const auto at = [](int minutes) {
        return Now.addSecs(-60 * minutes).toLocalTime().toString(QStringLiteral("HH:mm"));
    };
    const Readings fresh{reading("cod", S::Ok, 198, 12), reading("pH", S::Ok, 7.12, 3)};
    const Readings stale{reading("cod", S::Stale, 198, 50), reading("pH", S::Ok, 7.12, 3)};
    const Readings none{reading("cod", S::Failed, {}, 0)};

    QTest::newRow("updated: the oldest reading")
        << fresh << QStringList{} << "{cod:>4.0f} {updated:%H:%M}"
        << " 198 " + at(12) << QStringList{};
    QTest::newRow("updated: a stale reading is not in use")
        << stale << QStringList{} << "{pH:.1f} {updated:%H:%M}"
        << "7.1 " + at(3) << QStringList{"cod"};
    QTest::newRow("updated: no sources, the upload's time")
        << Readings{} << QStringList{"a=1"} << "{updated:%H:%M}"
        << Now.toLocalTime().toString("HH:mm") << QStringList{};
    QTest::newRow("updated: sources, none in use") << none << QStringList{} << "[{updated:>7%H:%M}]"
                                                   << "[     --]" << QStringList{"cod", "updated"};
    QTest::newRow("updated unused does not count") << none << QStringList{} << "{cod}"
                                                   << "--" << QStringList{"cod"};
    QTest::newRow("updated given by --set wins")
        << none << QStringList{"updated=today", "cod=1"} << "{updated}"
        << "today" << QStringList{};
    QTest::newRow("missing keeps a number's right alignment")
        << stale << QStringList{} << "COD{cod:6.1f}|"
        << "COD    --|" << QStringList{"cod"};
    QTest::newRow("missing keeps left alignment and fill") << stale << QStringList{} << "{cod:*<5}|"
                                                           << "--***|" << QStringList{"cod"};
    QTest::newRow("missing cut to the width") << stale << QStringList{} << "{cod:1.0f}|"
                                              << "-|" << QStringList{"cod"};
    QTest::newRow("missing without a width") << stale << QStringList{} << "{cod:.0f}|"
                                             << "--|" << QStringList{"cod"};
    QTest::newRow("--set wins over a stale source")
        << stale << QStringList{"cod=120"} << "{cod:.0f}"
        << "120" << QStringList{};
}

void TestSources::fieldsFromReadings() {
    QFETCH(Readings, readings);
    QFETCH(QStringList, settings);
    QFETCH(QString, templ);
    QFETCH(QString, filled);
    QFETCH(QStringList, unavailable);
    FieldValues values;
    if (!readings.isEmpty())
        values.addReadings(readings);
    for (const QString &setting : settings)
        values.set(setting);

    QCOMPARE(fillRow(templ, values, Now).text, filled);
    QCOMPARE(values.unavailableNames(), unavailable);
}

QTEST_GUILESS_MAIN(TestSources)
#include "tst_sources.moc"
