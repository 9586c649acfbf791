#include "receiveline.h"

#include <QTest>

class TestReceiveLine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void render_data();
    void render();
};

void TestReceiveLine::render_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("maxBytes");
    QTest::addColumn<QString>("shown");

    QTest::newRow("empty") << QByteArray() << 256 << QString();
    QTest::newRow("plain reply") << QByteArray("3 OK") << 256 << QStringLiteral("3 OK");
    QTest::newRow("CR LF visible") << QByteArray("1\r\n") << 256 << QStringLiteral("1\u240D\u240A");
    QTest::newRow("NUL and ESC as hex")
        << QByteArray("\0\x1b", 2) << 256 << QStringLiteral("\u27E800\u27E9\u27E81B\u27E9");
    QTest::newRow("DEL and C1 as hex")
        << QByteArray("\x7f\x85") << 256 << QStringLiteral("\u27E87F\u27E9\u27E885\u27E9");
    QTest::newRow("Latin-1 letters kept")
        << QByteArray("\xe9\xb0") << 256 << QStringLiteral("\u00e9\u00b0");
    QTest::newRow("long reply cut") << QByteArray(300, 'x') << 4 << QStringLiteral("xxxx\u2026");
    QTest::newRow("exactly the limit") << QByteArray(4, 'x') << 4 << QStringLiteral("xxxx");
}

void TestReceiveLine::render() {
    QFETCH(QByteArray, reply);
    QFETCH(int, maxBytes);
    QFETCH(QString, shown);
    QCOMPARE(renderReceiveLine(reply, maxBytes), shown);
}

QTEST_GUILESS_MAIN(TestReceiveLine)
#include "tst_receiveline.moc"
