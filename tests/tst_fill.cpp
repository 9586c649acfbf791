#include "failure.h"
#include "filledrows.h"
#include "pageset.h"
#include "rowdrawn.h"
#include "rowfill.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

// Thursday, 7 March 2024, 09:05:03.
const QDateTime Now(QDate(2024, 3, 7), QTime(9, 5, 3), Qt::UTC);

FieldValues figures() {
    FieldValues values;
    values.readJson("{\"pH\": 7.26, \"TSS\": 12.345, \"site\": \"Nord\", \"temp\": 18.5,"
                    " \"count\": 42, \"unit\": \"µg/l\", \"quote\": \"a\\\"b\","
                    " \"tilde\": \"x~y\", \"nl\": \"two\\nlines\", \"euro\": \"5 €\","
                    " \"c1\": \"\\u0085\", \"half\": \"x\\ud800y\"}",
                    QStringLiteral("figures.json"));
    values.set(QStringLiteral("flow.in-1=120.4"));
    return values;
}

QString failureOf(const std::function<void()> &action) {
    try {
        action();
    } catch (const Failure &failure) {
        return failure.text();
    }
    return QStringLiteral("(no failure)");
}

} // namespace

class TestFill : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void goodRows_data();
    void goodRows();
    void settingValues_data();
    void settingValues();
    void badRows_data();
    void badRows();
    void refusedValues_data();
    void refusedValues();
    void badFiles_data();
    void badFiles();
    void badSettings_data();
    void badSettings();
    void laterFileAndSettingsWin();
    void float32Figures_data();
    void float32Figures();
    void rowsAreTemplatesOnlyWhenValuesGiven();
    void sketchedCells_data();
    void sketchedCells();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString writeFile(const QString &name, const QByteArray &bytes) {
        const QString path = m_dir->filePath(name);
        if (!writeBytes(path, bytes))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }
};

void TestFill::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestFill::goodRows_data() {
    QTest::addColumn<QString>("templ");
    QTest::addColumn<QString>("filled");

    const QString longPlain(40, QLatin1Char('~'));
    QTest::newRow("row without braces goes out unchanged") << longPlain << longPlain;
    QTest::newRow("floats with width") << "pH{pH:>6.1f} {TSS:6.1f}"
                                       << "pH   7.3   12.3";
    QTest::newRow("text left-aligned") << "{site:<10}|"
                                       << "Nord      |";
    QTest::newRow("no format") << "{count} {pH} {site}"
                               << "42 7.26 Nord";
    QTest::newRow("doubled braces") << "{{pH}} is {pH} }}{{"
                                    << "{pH} is 7.26 }{";
    QTest::newRow("Latin-1 literal kept") << "{temp:.1f} °C"
                                          << "18.5 °C";
    QTest::newRow("Latin-1 value padded by characters") << "[{unit:>6}]"
                                                        << "[  µg/l]";
    QTest::newRow("Latin-1 fill character") << "{count:°^6}"
                                            << "°°42°°";
    QTest::newRow("whole number as integer") << "{count:03d}"
                                             << "042";
    QTest::newRow("whole number as float") << "{count:.1f}"
                                           << "42.0";
    QTest::newRow("text cut by precision") << "{site:.2}"
                                           << "No";
    QTest::newRow("name with dot and dash") << "{flow.in-1:.0f} m3/h"
                                            << "120 m3/h";
    QTest::newRow("date default") << "{date}"
                                  << "2024-03-07";
    QTest::newRow("time default") << "{time}"
                                  << "09:05";
    QTest::newRow("date with format") << "{date:%d.%m.%Y}"
                                      << "07.03.2024";
    QTest::newRow("day and month names") << "{date:%a %d %b}"
                                         << "Thu 07 Mar";
    QTest::newRow("32 characters fit") << "{site:<32}"
                                       << "Nord" + QString(28, QLatin1Char(' '));
    QTest::newRow("Latin-1 counts one character") << "µ{site:<31}"
                                                  << "µNord" + QString(27, QLatin1Char(' '));
}

void TestFill::goodRows() {
    QFETCH(QString, templ);
    QFETCH(QString, filled);
    PageSet templates;
    templates.setRow(5, 2, templ);
    const FilledRows result(templates.rows(), figures(), Now);
    QCOMPARE(result.row(PageSet::indexOf(5, 2)), filled);
    QCOMPARE(result.values().unavailableNames(), QStringList());
}

void TestFill::settingValues_data() {
    QTest::addColumn<QString>("assignment");
    QTest::addColumn<QString>("templ");
    QTest::addColumn<QString>("filled");

    QTest::newRow("plain decimal is a number") << "v=-12.5"
                                               << "{v:.2f}"
                                               << "-12.50";
    QTest::newRow("whole decimal takes d") << "v=120"
                                           << "{v:5d}"
                                           << "  120";
    QTest::newRow("leading zero stays text") << "v=007"
                                             << "{v:<5}|"
                                             << "007  |";
    QTest::newRow("exponent stays text") << "v=1e3"
                                         << "{v}"
                                         << "1e3";
    QTest::newRow("empty value is empty text") << "v="
                                               << "[{v}]"
                                               << "[]";
    QTest::newRow("value may hold =") << "v=a=b"
                                      << "{v}"
                                      << "a=b";
    QTest::newRow("negative zero has no sign") << "v=-0"
                                               << "{v}"
                                               << "0";
    QTest::newRow("rounds to zero without a sign") << "v=-0.03"
                                                   << "{v:+.1f}|{v:5.1f}"
                                                   << "+0.0|  0.0";
    QTest::newRow("rounds away from zero keeps it") << "v=-0.06"
                                                    << "{v:.1f} {v:.0e}"
                                                    << "-0.1 -6e-02";
}

void TestFill::settingValues() {
    QFETCH(QString, assignment);
    QFETCH(QString, templ);
    QFETCH(QString, filled);
    FieldValues values;
    values.set(assignment);
    QCOMPARE(fillRow(templ, values, Now).text, filled);
    QCOMPARE(values.unavailableNames(), QStringList());
}

void TestFill::badRows_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("templ");
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("reason");

    QTest::newRow("name used but absent") << 0 << "{flow}"
                                          << "page 1, row 1"
                                          << "no value named \"flow\"";
    QTest::newRow("unclosed brace") << 15 << "pH {pH"
                                    << "page 1, row 16"
                                    << "unclosed { at column 4";
    QTest::newRow("lone closing brace") << 17 << "pH} 7"
                                        << "page 2, row 2"
                                        << "lone } at column 3";
    QTest::newRow("format without name") << 19 << "{:5}"
                                         << "page 2, row 4"
                                         << "empty name";
    QTest::newRow("space in name") << 20 << "{p H}"
                                   << "page 2, row 5"
                                   << "' ' at column 3 cannot be part of a name";
    QTest::newRow("brace inside format") << 21 << "{pH:{w}}"
                                         << "page 2, row 6"
                                         << "{ at column 5 inside the field at column 1";
    QTest::newRow("format nothing fits") << 30 << "{pH:q}"
                                         << "page 2, row 15"
                                         << "{pH:q} is not a format";
    QTest::newRow("tilde in the template") << 31 << "{pH} ~"
                                           << "page 2, row 16"
                                           << "the row holds '~'";
    QTest::newRow("control character as a fill") << 33 << "{quote:\u0090^8}"
                                                 << "page 3, row 2"
                                                 << "control character (U+0090)";
    QTest::newRow("date format giving a line break") << 32 << "{date:%n}"
                                                     << "page 3, row 1"
                                                     << "control character (U+000A)";
    QTest::newRow("unknown date conversion") << 47 << "{date:%Q}"
                                             << "page 3, row 16"
                                             << "{date:%Q} is not a date format";
    QTest::newRow("width beyond any row") << 50 << "{pH:999999999}"
                                          << "page 4, row 3"
                                          << "above 999";
    QTest::newRow("date width beyond any row") << 51 << "{date:>99999999%Y}"
                                               << "page 4, row 4"
                                               << "above 999";
    QTest::newRow("33 characters")
        << 63 << "{site:<33}"
        << "page 4, row 16"
        << "has 33 characters even with its figures missing; a row holds 32";
}

void TestFill::badRows() {
    QFETCH(int, index);
    QFETCH(QString, templ);
    QFETCH(QString, where);
    QFETCH(QString, reason);
    PageSet templates;
    templates.setRow(index, templ);
    templates.setRow(PageSet::RowCount - 1, QStringLiteral("{}")); // the first bad row is named
    const QString text = FilledRows(templates.rows(), figures(), Now).failure();
    QVERIFY2(text.startsWith(where + QStringLiteral(": ")), qPrintable(text));
    QVERIFY2(text.contains(reason), qPrintable(text));
}

void TestFill::refusedValues_data() {
    QTest::addColumn<QStringList>("templates"); // rows 0, 1, ...
    QTest::addColumn<QStringList>("settings");  // beside figures()
    QTest::addColumn<QStringList>("filled");
    QTest::addColumn<QStringList>("unavailable");
    QTest::addColumn<QString>("reason"); // the first unavailable value's

    const QString twelve(12, u'x');
    QTest::newRow("double quote in value")
        << QStringList{"<{quote}>"} << QStringList{} << QStringList{"<-->"} << QStringList{"quote"}
        << "holds '\"'";
    QTest::newRow("tilde in value") << QStringList{"{tilde:>4}"} << QStringList{}
                                    << QStringList{"  --"} << QStringList{"tilde"} << "holds '~'";
    QTest::newRow("newline in value") << QStringList{"{nl}"} << QStringList{} << QStringList{"--"}
                                      << QStringList{"nl"} << "control character (U+000A)";
    QTest::newRow("C1 control in value")
        << QStringList{"{c1}"} << QStringList{} << QStringList{"--"} << QStringList{"c1"}
        << "control character (U+0085)";
    QTest::newRow("value outside Latin-1")
        << QStringList{"{euro} {pH}"} << QStringList{} << QStringList{"-- 7.26"}
        << QStringList{"euro"} << "'€' (U+20AC), which is outside Latin-1";
    QTest::newRow("lone surrogate in value")
        << QStringList{"{half}"} << QStringList{} << QStringList{"--"} << QStringList{"half"}
        << "lone surrogate (U+D800)";
    QTest::newRow("integer format on fraction")
        << QStringList{"{pH:3d}"} << QStringList{} << QStringList{" --"} << QStringList{"pH"}
        << "{pH:3d} does not fit the number 7.26";
    QTest::newRow("float format on text")
        << QStringList{"{site:.1f}"} << QStringList{} << QStringList{"--"} << QStringList{"site"}
        << "{site:.1f} does not fit the text \"Nord\"";
    QTest::newRow("1e300 through a fixed format")
        << QStringList{"NOx {big:>6.1f} mg", "{big}"} << QStringList{"big=1" + QString(300, u'0')}
        << QStringList{"NOx     -- mg", "--"} << QStringList{"big"} << "makes a row of 310";
    QTest::newRow("float32 maximum through a fixed format")
        << QStringList{"SO2 {so2:>6.1f} {pH:.1f}"}
        << QStringList{"so2=340282346638528859811704183484516925440"}
        << QStringList{"SO2     -- 7.3"} << QStringList{"so2"} << "makes a row of 49";
    QTest::newRow("refused in a later row, missing in an earlier one")
        << QStringList{"{wide}", "flow {wide:.0f} m3/h"}
        << QStringList{"wide=10000000000000000000000"} << QStringList{"--", "flow -- m3/h"}
        << QStringList{"wide"} << "makes a row of 33";
    QTest::newRow("no single value to blame: every field missing")
        << QStringList{"{a}{b}{c}{d} {pH}", "{a}"}
        << QStringList{"a=" + twelve, "b=" + twelve, "c=" + twelve, "d=" + twelve}
        << QStringList{"-------- --", twelve} << QStringList{"a", "b", "c", "d", "pH"}
        << "longer than 32 characters with the other figures";
}

void TestFill::refusedValues() {
    QFETCH(QStringList, templates);
    QFETCH(QStringList, settings);
    QFETCH(QStringList, filled);
    QFETCH(QStringList, unavailable);
    QFETCH(QString, reason);
    FieldValues values = figures();
    for (const QString &setting : settings)
        values.set(setting);
    const FilledRows result(templates, values, Now);
    for (qsizetype i = 0; i < filled.size(); ++i)
        QCOMPARE(result.row(int(i)), filled.at(i));
    QCOMPARE(result.values().unavailableNames(), unavailable);
    const QList<FieldValues::Line> lines = result.values().lines();
    const auto line = std::find_if(lines.cbegin(), lines.cend(), [&](const auto &line) {
        return line.name == unavailable.first();
    });
    QVERIFY(line != lines.cend());
    QCOMPARE(line->state, Reading::State::Failed);
    QVERIFY2(line->problem.contains(reason), qPrintable(line->problem));
}

void TestFill::badFiles_data() {
    QTest::addColumn<QByteArray>("bytes"); // null: no file; "FIFO", "folder": one in its place
    QTest::addColumn<QString>("reason");

    QTest::newRow("missing file") << QByteArray() << "No such file";
    QTest::newRow("not JSON") << QByteArray(R"({"pH" 7.2})")
                              << "not JSON: missing name separator at offset 7";
    QTest::newRow("array, not object") << QByteArray("[1, 2]") << "not a JSON object";
    QTest::newRow("bool value") << QByteArray(R"({"ok": true})") << "\"ok\" is true or false";
    QTest::newRow("array value") << QByteArray(R"({"pH": [7]})") << "\"pH\" is an array";
    QTest::newRow("object value") << QByteArray(R"({"pH": {"v": 7}})") << "\"pH\" is an object";
    QTest::newRow("date given") << QByteArray(R"({"date": "today"})") << "\"date\" is built in";
    QTest::newRow("10 MB file") << "{\"pad\": \"" + QByteArray(10'000'000, 'x') + "\"}"
                                << "larger than 1 MiB";
    QTest::newRow("FIFO") << QByteArray("FIFO") << "it is a FIFO, not a regular file";
    QTest::newRow("folder") << QByteArray("folder") << "it is a folder, not a regular file";
}

void TestFill::badFiles() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    // A FIFO without a writer would hold a blocking open for ever.
    QString path = m_dir->filePath(QStringLiteral("values.json"));
    if (bytes.isNull())
        path = m_dir->filePath(QStringLiteral("absent.json"));
    else if (bytes == "FIFO")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (bytes == "folder")
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("values.json")));
    else
        writeFile(QStringLiteral("values.json"), bytes);
    FieldValues values = figures();
    const FieldValues before = values;
    const QString text = failureOf([&] { values.readJsonFile(path); });
    QVERIFY2(text.startsWith(QStringLiteral("Cannot read %1: ").arg(path)), qPrintable(text));
    QVERIFY2(text.contains(reason), qPrintable(text));
    QCOMPARE(values, before);
}

void TestFill::badSettings_data() {
    QTest::addColumn<QString>("assignment");
    QTest::addColumn<QString>("reason");

    QTest::newRow("no equals sign") << "pH7"
                                    << "no '='";
    QTest::newRow("empty name") << "=7"
                                << "empty name";
    QTest::newRow("space in name") << "p H=7"
                                   << "' ' cannot be part of a name";
    QTest::newRow("built-in name") << "time=12:00"
                                   << "\"time\" is built in";
}

void TestFill::badSettings() {
    QFETCH(QString, assignment);
    QFETCH(QString, reason);
    FieldValues values;
    const QString text = failureOf([&] { values.set(assignment); });
    QVERIFY2(text.startsWith(QStringLiteral("Setting \"%1\": ").arg(assignment)), qPrintable(text));
    QVERIFY2(text.contains(reason), qPrintable(text));
    QVERIFY(!values.given());
}

void TestFill::laterFileAndSettingsWin() {
    const QString first =
        writeFile(QStringLiteral("first.json"), R"({"a": 1, "b": 1, "c": 1, "d": 1})");
    const QString second =
        writeFile(QStringLiteral("second.json"), R"({"a": 2, "b": 2, "d": null, "e": null})");
    FieldValues values;
    Reading current{QStringLiteral("e"), 5.0, Now, Reading::State::Ok, QStringLiteral("json"), {}};
    values.addReadings({current});
    values.set(QStringLiteral("a=setting")); // before the files, and still wins
    values.readJsonFile(first);
    values.readJsonFile(second);
    // null in a later file leaves a value unavailable, whatever gave it before.
    QCOMPARE(fillRow(QStringLiteral("{a} {b} {c} {d} {e}"), values, Now).text,
             QStringLiteral("setting 2 1 -- --"));
    QCOMPARE(values.unavailableNames(), QStringList({"d", "e"}));
}

// An analyser's float nearest 7.12 is 7.119999885559082 as a double: without a precision it shows
// as the float it is, in the row and in the listing; a double of the same value shows whole.
void TestFill::float32Figures_data() {
    QTest::addColumn<bool>("float32");
    QTest::addColumn<QString>("templ");
    QTest::addColumn<QString>("filled");

    const auto row = [](const char *name, bool float32, const char *templ, const char *filled) {
        QTest::newRow(name) << float32 << QString::fromUtf8(templ) << QString::fromUtf8(filled);
    };
    row("float32 bare field", true, "{m1}", "7.12");
    row("float32 width only", true, "{m1:>8}", "    7.12");
    row("float32 dot as fill", true, "{m1:.>8}", "....7.12");
    row("float32 g", true, "{m1:g}", "7.12");
    row("float32 precision 3", true, "{m1:.3f}", "7.120");
    row("float32 precision rounds the value as it is", true, "{m1:.9f}", "7.119999886");
    row("double of a float bare", false, "{m1}", "7.119999885559082");
}

void TestFill::float32Figures() {
    QFETCH(bool, float32);
    QFETCH(QString, templ);
    QFETCH(QString, filled);
    Reading reading{QStringLiteral("m1"), double(7.12f), Now, Reading::State::Ok, {}, {}};
    reading.float32 = float32;
    FieldValues values;
    values.addReadings({reading});
    QCOMPARE(fillRow(templ, values, Now).text, filled);
    const FieldValues::Line line = values.lines().value(0);
    QCOMPARE(numberText(std::get<double>(*line.value), line.float32),
             float32 ? QStringLiteral("7.12") : QStringLiteral("7.119999885559082"));
}

void TestFill::rowsAreTemplatesOnlyWhenValuesGiven() {
    const QStringList templates{QStringLiteral("{date} {x"), QStringLiteral("{date}")};
    const FilledRows none(templates, {}, Now);
    QCOMPARE(QStringList({none.row(0), none.row(1)}), templates);

    FieldValues empty;
    empty.readJson("{}", QStringLiteral("empty.json"));
    QCOMPARE(FilledRows(templates, empty, Now).row(1), QStringLiteral("2024-03-07"));
}

// Each row as "text|states", one letter a character: L lit, U unavailable, E error.
void TestFill::sketchedCells_data() {
    QTest::addColumn<QStringList>("templates");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("problem");
    QTest::newRow("row without fields")
        << QStringList{"SO2 high"} << QStringList{"SO2 high|LLLLLLLL"} << QString();
    QTest::newRow("filled field") << QStringList{"pH {pH:.1f}"} << QStringList{"pH 7.3|LLLLLL"}
                                  << QString();
    QTest::newRow("null value padded as its field")
        << QStringList{"X{gone:>4.1f}!"} << QStringList{"X  --!|LUUUUL"} << QString();
    QTest::newRow("value refused by a later row shows missing above")
        << QStringList{"A{pH:.1f}", "B{pH:d}"} << QStringList{"A--|LUU", "B--|LUU"} << QString();
    QTest::newRow("time fields stay lit")
        << QStringList{"{time} {gone}"} << QStringList{"09:05 --|LLLLLLUU"} << QString();
    QTest::newRow("unknown name") << QStringList{"ok", "{nope}"}
                                  << QStringList{"ok|LL", "{nope}|EEEEEE"}
                                  << QStringLiteral("no value named \"nope\"");
}

void TestFill::sketchedCells() {
    QFETCH(QStringList, templates);
    FieldValues values = figures();
    values.readJson("{\"gone\": null}", QStringLiteral("gone.json"));
    QStringList shown;
    QString problem;
    const FilledRows fill(templates, values, Now);
    for (const RowSketch &row : fill.rows()) {
        shown << drawn(row);
        problem += row.problem;
    }
    QTEST(shown, "expected");
    QTEST(problem, "problem");
}

QTEST_GUILESS_MAIN(TestFill)
#include "tst_fill.moc"
