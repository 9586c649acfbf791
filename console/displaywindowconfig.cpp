#include "displaywindow.h"

#include "consolebox.h"
#include "defaultpages.h"
#include "failure.h"
#include "folderfigures.h"
#include "job.h"
#include "livepreview.h"
#include "rowbox.h"
#include "settinglist.h"
#include "settings.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

// The window's configuration: display.cfg read at start-up, with a damaged file replaced and the
// operator told once the window is up, and written when the window closes, with a box that keeps
// the window when the write fails.

void DisplayWindow::startUp() {
    m_portList->addItems(Settings::portEntries());
    for (int position = 0; position < m_portList->count(); ++position) {
        const int number = Settings::portNumberForPosition(position);
        const QString device = m_ports.devicePath(number);
        const QString problem = m_ports.problem(number);
        m_portList->setItemData(position,
                                !problem.isEmpty()
                                    ? QStringLiteral("opens nothing: %1").arg(problem)
                                : device.isEmpty() ? QStringLiteral("no device has this number")
                                                   : device,
                                Qt::ToolTipRole);
    }
    m_portList->setCurrentIndex(Settings::DefaultPortPosition);

    m_delayList->addItems(Settings::delayEntries());
    m_delayList->setCurrentIndex(Settings::DefaultDelayPosition);

    const PageSet defaults = DefaultPages::pages();
    for (int index = 0; index < PageSet::RowCount; ++index)
        placeRow(index, defaults.row(index));

    loadConfiguration();
}

void DisplayWindow::loadConfiguration() {
    PageSet pages = shownPages();
    std::optional<int> position;
    QString unreadable;
    try {
        // The port number and each row are taken as soon as they are read, so a damaged file
        // leaves what came before the damage in place for the rewrite below.
        m_store.load(m_portNumber, pages);
        position = Settings::portPositionForNumber(m_portNumber);
        if (!position)
            throw Failure(QStringLiteral("%1 names port %2, which the port list does not offer")
                              .arg(m_store.path(), QString::number(m_portNumber)));
    } catch (const Failure &failure) {
        unreadable = failure.text();
    }
    for (int index = 0; index < PageSet::RowCount; ++index)
        placeRow(index, pages.row(index));
    if (unreadable.isEmpty())
        return m_portList->setCurrentIndex(*position);
    // Shown once the window is up; the console works without the file.
    try {
        const QString kept = m_store.replaceUnreadable(m_portNumber, shownPages());
        if (!kept.isEmpty()) {
            m_startUpProblem =
                QStringLiteral("%1\n\nThe old file was kept as %2. %3 now holds the port number "
                               "and the pages the console shows.")
                    .arg(unreadable, kept, m_store.path());
        }
    } catch (const Failure &failure) {
        m_keepBeforeSave = QFileInfo::exists(m_store.path());
        const QString saveProblem =
            QStringLiteral("%1\n\nThe console works as usual and tries again to save the port "
                           "number and the pages when its window closes.")
                .arg(failure.text());
        m_startUpProblem = m_keepBeforeSave
                               ? QStringLiteral("%1\n\n%2").arg(unreadable, saveProblem)
                               : saveProblem;
    }
}

void DisplayWindow::saveConfiguration() {
    if (!m_keepBeforeSave) {
        m_store.save(m_portNumber, shownPages());
        return;
    }
    m_store.replaceUnreadable(m_portNumber, shownPages());
    m_keepBeforeSave = false;
}

PageSet DisplayWindow::shownPages() const {
    PageSet pages;
    for (int index = 0; index < PageSet::RowCount; ++index)
        pages.setRow(index, m_rows.at(index)->text());
    return pages;
}

void DisplayWindow::placeRow(int index, const QString &text) {
    RowBox *box = m_rows.at(index);
    if (box->text() != text)
        box->placeText(text);
    box->setCursorPosition(0);
}

void DisplayWindow::showStartUpProblems() {
    QMessageBox *first = nullptr;
    if (!m_startUpProblem.isEmpty())
        first = newBox(this, QMessageBox::Warning, WindowTitle, m_startUpProblem);
    if (!m_portMapProblems.isEmpty()) {
        // Up to three files of 21 lines each: past a screenful the rest goes to the details.
        constexpr int Shown = 20;
        QStringList shown = m_portMapProblems.mid(0, Shown);
        if (m_portMapProblems.size() > Shown)
            shown << QStringLiteral("and %1 more (Show Details...)")
                         .arg(m_portMapProblems.size() - Shown);
        QMessageBox *box = newBox(
            this, QMessageBox::Warning, WindowTitle,
            QStringLiteral("These lines of the port map were left out:\n\n%1\n\nEvery other line "
                           "is in use. A port number on a line left out opens nothing until the "
                           "line is mended.")
                .arg(shown.join(QLatin1Char('\n'))));
        if (m_portMapProblems.size() > Shown)
            box->setDetailedText(m_portMapProblems.join(QLatin1Char('\n')));
        // One box at a time: the port map's once the file's has been read.
        if (first)
            connect(first, &QDialog::finished, this, [box] { box->open(); });
        else
            first = box;
    }
    first->open();
}

void DisplayWindow::closeEvent(QCloseEvent *event) {
    // The operator is answering a failed save: that answer closes the window or keeps it.
    if (m_saveAsked) {
        event->ignore();
        return;
    }
    // A job waiting for the boards sends nothing more: the progress window closes, then the port,
    // and its record ends now.
    for (Job *job : {m_job, m_monitor}) {
        if (job)
            job->cancel();
    }
    // Figures still being read are not sent.
    cancelSendRead({});
    m_livePreview->cancelRead();
    if (!m_closeWithoutSaving) {
        try {
            saveConfiguration();
        } catch (const Failure &failure) {
            event->ignore();
            askAfterFailedSave(failure.text());
            return;
        }
    }
    // A box left open (a port error, a journal problem, a start-up problem) would outlive the
    // window and keep the program running with nothing behind it; none of them is answered now.
    for (QMessageBox *box : findChildren<QMessageBox *>(Qt::FindDirectChildrenOnly)) {
        box->disconnect(this);
        box->hide();
        box->deleteLater();
    }
    event->accept();
}

// The window stays, with every row in it, until the operator retries, gives up the save or
// keeps working.
void DisplayWindow::askAfterFailedSave(const QString &why) {
    QMessageBox *box = newBox(this, QMessageBox::Warning, WindowTitle,
                              QStringLiteral("%1\n\nThe port number and the pages are kept in "
                                             "this file for the next start.")
                                  .arg(why),
                              QMessageBox::NoButton);
    QPushButton *retry = box->addButton(QMessageBox::Retry);
    QPushButton *discard =
        box->addButton(QStringLiteral("Close without saving"), QMessageBox::DestructiveRole);
    box->setDefaultButton(retry);
    box->setEscapeButton(box->addButton(QMessageBox::Cancel));
    m_saveAsked = true;
    connect(box, &QDialog::finished, this, [this, box, retry, discard] {
        m_saveAsked = false;
        m_closeWithoutSaving = box->clickedButton() == discard;
        if (box->clickedButton() == retry || m_closeWithoutSaving)
            close();
        m_closeWithoutSaving = false;
    });
    box->open();
}
