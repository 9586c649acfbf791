#pragma once

// What the console tests share: a working directory of their own for display.cfg, the file's
// bytes, an operator who answers message boxes, and looks at the console's windows.

#include "boardlink.h"
#include "boards.h"
#include "configstore.h"
#include "defaultpages.h"
#include "displaywindow.h"
#include "folderfigures.h"
#include "jobrunner.h"
#include "pageset.h"
#include "progresswindow.h"
#include "rowbox.h"
#include "testfiles.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTestEventLoop>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

// Each test starts the console in a fresh empty directory, as the operator's working directory.
class WorkingDirectory {
public:
    WorkingDirectory()
        : m_previous(QDir::currentPath()) {
        QDir::setCurrent(m_dir.path());
    }
    ~WorkingDirectory() { QDir::setCurrent(m_previous); }

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString configPath() const { return m_dir.filePath(QStringLiteral("display.cfg")); }

    void writeConfig(const QByteArray &bytes) const { writeBytes(configPath(), bytes); }
    QByteArray readConfig() const { return fileBytes(configPath()); }
    bool hasConfig() const { return QFileInfo(configPath()).isFile(); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
};

// display.cfg as the console writes it: the port line and the given rows, each quoted.
inline QByteArray configLines(const QByteArray &portLine, const QList<QByteArray> &rows) {
    QByteArray bytes = portLine + "\r\n";
    for (const QByteArray &row : rows)
        bytes += '"' + row + "\"\r\n";
    return bytes;
}

inline QByteArray fullConfig(qint16 portNumber, const PageSet &pages) {
    return ConfigStore::serialize(portNumber, pages);
}

// The COM numbers under which the console tests reach fake boards, whatever pseudo-terminal the
// system gave them: the console's port map sends them to the boards' devices.
constexpr int BoardsPortNumber = 200;
constexpr int OtherBoardsPortNumber = 201;
// A reply window that keeps whole uploads quick in tests yet leaves the fake boards time to
// answer on a machine busy with other tests (20 ms was sometimes too short).
constexpr int QuickWindowMs = 100;

// Rows "row 0" .. "row 95".
inline PageSet numberedPages() {
    PageSet pages;
    for (int index = 0; index < PageSet::RowCount; ++index)
        pages.setRow(index, QStringLiteral("row %1").arg(index));
    return pages;
}

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
};

// Answers every message box that comes up, with the button captioned by the next of answers
// (the last one repeats), once the box has been up for holdMs. beforeAnswer runs first, while
// the box is still up.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(QStringList answers = {QStringLiteral("OK")})
        : m_answers(std::move(answers)) {
        connect(&m_poll, &QTimer::timeout, this, [this] { poll(); });
        m_poll.start(10);
    }

    QList<SeenBox> seen;
    std::function<void(const SeenBox &)> beforeAnswer;
    int holdMs = 0; // how long the operator reads a box before answering

private:
    static QString caption(const QAbstractButton *button) {
        return button->text().remove(QLatin1Char('&'));
    }

    void poll() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box == m_answered || !box->isVisible())
            return;
        if (box != m_reading) {
            m_reading = box;
            m_readingFor.start();
        }
        if (m_readingFor.elapsed() < holdMs)
            return;
        m_answered = box;
        SeenBox record{box->windowTitle(), box->text(), box->icon(), {}};
        const QList<QAbstractButton *> buttons = box->buttons();
        for (const QAbstractButton *button : buttons)
            record.buttons << caption(button);
        seen << record;
        if (beforeAnswer)
            beforeAnswer(record);
        const QString answer = m_answers.at(qMin(seen.size() - 1, m_answers.size() - 1));
        for (QAbstractButton *button : buttons) {
            if (caption(button) == answer) {
                button->click();
                return;
            }
        }
        box->reject();
    }

    QStringList m_answers;
    QTimer m_poll;
    QPointer<QMessageBox> m_answered;
    QPointer<QMessageBox> m_reading;
    QElapsedTimer m_readingFor;
};

// The progress window while it exists.
inline ProgressWindow *progressWindow() {
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (auto *progress = qobject_cast<ProgressWindow *>(window))
            return progress;
    }
    return nullptr;
}

inline QColor shownColour(QWidget *widget) {
    return widget->grab().toImage().pixelColor(widget->width() / 2, widget->height() / 2);
}

// Status lights 0..8 as the window shows them: C cyan, G green, R red, ? anything else.
inline QString shownLights(const QWidget *window) {
    QString shown;
    for (int address = 0; address < BoardAddress::Count; ++address) {
        auto *light = window->findChild<QWidget *>(QStringLiteral("shpStatus%1").arg(address));
        const QColor colour = light ? shownColour(light) : QColor();
        shown += colour == QColor(0, 255, 255) ? u'C'
                 : colour == QColor(0, 255, 0) ? u'G'
                 : colour == QColor(255, 0, 0) ? u'R'
                                               : u'?';
    }
    return shown;
}

// What the console tests share: a fresh working directory per test, the console started in it
// (on fake boards when a test asks for them), and its controls by object name.
class ConsoleFixture {
protected:
    void setUpConsole() {
        m_dir = std::make_unique<WorkingDirectory>();
        m_setup = {};
        QVERIFY(m_dir->isValid());
    }
    void tearDownConsole() {
        m_window.reset();
        m_dir.reset();
    }

    void startConsole() {
        m_window = std::make_unique<DisplayWindow>(m_setup);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    // Maps portNumber to the boards' device for the next start, and writes display.cfg so that
    // the console starts on it with these pages. False when there are no boards to reach.
    bool useBoards(const PtyBoards &boards, const PageSet &pages = DefaultPages::pages(),
                   int portNumber = BoardsPortNumber) {
        mapBoards(boards, portNumber);
        m_dir->writeConfig(fullConfig(qint16(portNumber), pages));
        return boards.isValid();
    }
    void mapBoards(const PtyBoards &boards, int portNumber) {
        m_setup.ports.insert(portNumber, boards.devicePath());
    }

    template <typename T> T *child(const QString &name) const {
        T *found = m_window->findChild<T *>(name);
        if (!found)
            qFatal("no control %s", qPrintable(name));
        return found;
    }
    template <typename T> T *child(const char *name) const {
        return child<T>(QString::fromLatin1(name));
    }
    RowBox *row(int index) const { return child<RowBox>(rowName(index)); }
    static QString rowName(int index) { return QStringLiteral("txtLabel%1").arg(index); }
    QStringList shownRows() const {
        QStringList rows;
        for (int index = 0; index < PageSet::RowCount; ++index)
            rows << row(index)->text();
        return rows;
    }
    QTimer *tmrTout() const { return child<QTimer>("tmrTout"); }
    // Presses the button and waits (in an event loop: QTest::qWaitFor sleeps between turns, which
    // would stretch the reply windows) until the job has ended and its boxes are answered.
    bool pressed(QPushButton *button) const {
        QTest::mouseClick(button, Qt::LeftButton);
        // SEND may first read the folder's figures.
        const auto ended = [this] {
            return m_window->findChildren<Job *>().isEmpty() &&
                   m_window->findChildren<FolderFigures *>().isEmpty() &&
                   !QApplication::activeModalWidget();
        };
        QTestEventLoop loop;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, &loop, [&] {
            if (ended())
                loop.exitLoop();
        });
        look.start(5);
        loop.enterLoopMSecs(60000);
        return ended();
    }
    BoardLink *cm() const { return child<BoardLink>("cm"); }
    QPushButton *cmdSend() const { return child<QPushButton>("cmdSend"); }

    std::unique_ptr<WorkingDirectory> m_dir;
    std::unique_ptr<DisplayWindow> m_window;
    ConsoleSetup m_setup;
};
