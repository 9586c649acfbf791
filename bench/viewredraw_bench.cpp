// Redrawing the console's live view of the page shown after a keystroke: the key goes into a
// templated row of the first page, the page is filled again with 20 figures, and the view is
// painted. Prints the median and the slowest of the runs.
//
//   display-view-bench [keystrokes]      (default 400)
//
//   view_redraw_ms=<median ms from a key press to the view painted> view_redraw_max_ms=<slowest>
//
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise, in a new empty working
// folder, with every row of the first page a template of two figures.

#include "boardview.h"
#include "displaywindow.h"
#include "rowfill.h"

#include "figures.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int FigureCount = 20;

FieldValues twentyFigures() {
    QByteArray json = "{";
    for (int index = 0; index < FigureCount; ++index)
        json += QStringLiteral("%1\"v%2\": %3")
                    .arg(index ? QStringLiteral(", ") : QString(), QString::number(index),
                         QString::number(index * 3.7 + 0.25))
                    .toLatin1();
    FieldValues values;
    values.readJson(json + '}', QStringLiteral("values.json"));
    return values;
}

void press(QWidget *widget, Qt::Key key, const QString &text) {
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier, text);
    QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &down);
    QApplication::sendEvent(widget, &up);
}

} // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int keystrokes = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 400;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());

    DisplayWindow window;
    window.show();
    for (int index = 0; index < 16; ++index) {
        auto *row = window.findChild<QLineEdit *>(QStringLiteral("txtLabel%1").arg(index));
        row->setText(QStringLiteral("R%1 {v%2:>5.1f} {v%3:.0f}")
                         .arg(QString::number(index), QString::number(index % FigureCount),
                              QString::number((index + 7) % FigureCount)));
    }
    window.setFigures(twentyFigures(), QDateTime::currentDateTime());
    auto *view = window.findChild<BoardView *>(QStringLiteral("Image1"));
    auto *typedInto = window.findChild<QLineEdit *>(QStringLiteral("txtLabel3"));
    typedInto->setFocus();
    typedInto->setCursorPosition(int(typedInto->text().size()));

    QList<double> ms;
    QElapsedTimer clock;
    for (int stroke = 0; stroke < keystrokes; ++stroke) {
        clock.start();
        // A character in, then out again, so the row stays a template that fits.
        if (stroke % 2 == 0)
            press(typedInto, Qt::Key_X, QStringLiteral("x"));
        else
            press(typedInto, Qt::Key_Backspace, QString());
        view->repaint();
        ms << clock.nsecsElapsed() / 1e6;
        if (stroke == 0 && !view->rows().at(3).text.endsWith(QLatin1Char('x')))
            qFatal("the keystroke did not reach the live view");
    }
    std::printf("view_redraw_ms=%.3f view_redraw_max_ms=%.3f\n", median(ms),
                *std::max_element(ms.begin(), ms.end()));
    return 0;
}
