#include "progresswindow.h"

#include "layout.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>

ProgressWindow::ProgressWindow()
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
    , m_controls(buildControls(this, Layout::progressControls(), LayoutUnits::forPrimaryScreen()))
    , m_messageLabel(controlNamed<QLabel>(m_controls, QStringLiteral("lblMsg")))
    , m_progressBar(controlNamed<QProgressBar>(m_controls, QStringLiteral("pbar"))) {
    setObjectName(QStringLiteral("frmProgress"));
    const LayoutUnits units = LayoutUnits::forPrimaryScreen();
    setFixedSize(units.px(Layout::ProgressWidth), units.px(Layout::ProgressHeight));
    setWindowTitle(QString());
    // The operator keeps typing in the main window while the upload runs.
    setAttribute(Qt::WA_ShowWithoutActivating);
}

void ProgressWindow::setMessage(const QString &text) {
    m_messageLabel->setText(text);
}

void ProgressWindow::setValue(float value) {
    m_value = value;
    m_progressBar->setValue(qBound(0, qRound(value), 100));
}

void ProgressWindow::closeEvent(QCloseEvent *event) {
    // Only the upload ends this window; a close from the window manager is refused.
    if (event->spontaneous())
        event->ignore();
}

void ProgressWindow::placeBy(const QWidget *mainWindow) {
    // Below the main window if there is room, else above it, else at the bottom of the screen:
    // the lights and the receive line sit in the upper half of the main window.
    const QRect main = mainWindow->frameGeometry();
    const QSize decoration = main.size() - mainWindow->size();
    const QSize outer = size() + decoration;
    const QScreen *screen = mainWindow->screen();
    const QRect available = screen ? screen->availableGeometry() : main;

    int x = main.center().x() - outer.width() / 2;
    x = qBound(available.left(), x, qMax(available.left(), available.right() + 1 - outer.width()));
    int y = main.bottom() + 1;
    if (y + outer.height() > available.bottom() + 1) {
        if (main.top() - outer.height() >= available.top())
            y = main.top() - outer.height();
        else
            y = qMax(available.top(), available.bottom() + 1 - outer.height());
    }
    move(x, y);
}
