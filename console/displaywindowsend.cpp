// SEND: the folder's figures read afresh, the rows filled with them in one FilledRows (or,
// without figures, sent as typed once the operator says so), and the upload started with what the
// rows could not show. The window keeps only its own part: the wait, the boxes, the focus, and
// each row's text as its frame is built.

#include "consolebox.h"
#include "displaywindow.h"
#include "filledrows.h"
#include "folderfigures.h"
#include "job.h"
#include "jobjournal.h"
#include "livepreview.h"
#include "pagetabs.h"
#include "rowbox.h"
#include "settinglist.h"
#include "settings.h"
#include "uploadrequest.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>

void DisplayWindow::runUpload() {
    if (m_job)
        return;
    if (m_sendWaits)
        return cancelSendRead(QStringLiteral("SEND cancelled: the figures were still being read. "
                                             "Nothing was sent."));
    // The port number is taken from the list before the port is set and opened, so it holds
    // even when the upload then fails on the port.
    m_portNumber = qint16(Settings::portNumberForPosition(m_portList->currentIndex()));
    // SEND reads afresh, and its figures answer the live view too. An analyser may take its
    // time-outs to answer: the window stays live under a busy pointer, and says how to give up.
    m_sendWaits = true;
    m_cancelRead->setEnabled(true);
    m_unavailableLine->setText(QStringLiteral("Reading figures… Esc cancels"));
    m_unavailableLine->setToolTip(QString());
    showBusy();
    m_livePreview->readAfresh();
}

// SEND stops waiting; the read goes on, and the live view shows what it finds.
void DisplayWindow::cancelSendRead(const QString &said) {
    if (!m_sendWaits)
        return;
    m_sendWaits = false;
    m_cancelRead->setEnabled(false);
    endPortWait();
    m_unavailableLine->setText(said);
    m_unavailableLine->setToolTip(said);
}

void DisplayWindow::figuresRead(const FigureRead &figures) {
    if (!std::exchange(m_sendWaits, false))
        return;
    m_cancelRead->setEnabled(false);
    endPortWait();
    m_unavailableLine->clear();
    switch (figures.status) {
    case FigureRead::Status::NotRead:
        break;
    case FigureRead::Status::NoFigures:
        return uploadAsTyped();
    case FigureRead::Status::Failed:
        newBox(this, QMessageBox::Warning, WindowTitle,
               QStringLiteral("%1\n\nNothing was sent.").arg(figures.failure))
            ->open();
        return;
    case FigureRead::Status::Read:
        return uploadFilled(figures.values);
    }
}

// Without figures the rows go out as typed; a row holding a field would put its braces on the
// boards, so that is sent only when the operator says so.
void DisplayWindow::uploadAsTyped() {
    const auto asTyped = [this](int index) { return m_rows.at(index)->text(); };
    const FilledRows fill(shownPages().rows(), {}, QDateTime::currentDateTime());
    const std::optional<FilledRows::Unfilled> &found = fill.firstUnfilled();
    if (!found)
        return startUpload(asTyped, {});
    focusRow(found->index);
    QMessageBox *box = newBox(
        this, QMessageBox::Warning, WindowTitle,
        QStringLiteral("%1 holds the field %2, but this folder has no sources.conf or values.json "
                       "to fill it from.\n\n\"Send as typed\" puts the braces on the boards. A "
                       "brace itself is written {{ or }}.")
            .arg(PageSet::rowLabel(found->index, PageSet::Start::Capital), found->why));
    box->setStandardButtons(QMessageBox::Cancel);
    QPushButton *const send =
        box->addButton(QStringLiteral("Send as typed"), QMessageBox::AcceptRole);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setEscapeButton(QMessageBox::Cancel);
    // The journal names the fields that went out unfilled. The box is modal: no row changes.
    const QStringList unfilled = fill.unavailable();
    connect(box, &QMessageBox::buttonClicked, this,
            [this, send, asTyped, unfilled](QAbstractButton *button) {
                if (button != send || m_job || m_sendWaits)
                    return;
                startUpload(
                    asTyped, [unfilled] { return unfilled; }, UnavailableSaid::AsTyped);
            });
    box->open();
}

void DisplayWindow::focusRow(int index) {
    m_tabs->setCurrentIndex(PageSet::pageOf(index));
    m_rows.at(index)->setFocus();
}

void DisplayWindow::uploadFilled(const FieldValues &values) {
    const auto fill =
        std::make_shared<FilledRows>(shownPages().rows(), values, QDateTime::currentDateTime());
    // A template that cannot be filled stops SEND before the port is touched, at its row.
    if (const std::optional<FilledRows::Unfilled> &unfilled = fill->firstUnfilled()) {
        const int index = unfilled->index;
        focusRow(index);
        QMessageBox *box =
            newBox(this, QMessageBox::Warning, WindowTitle,
                   QStringLiteral("%1 cannot be filled: %2\n\nNothing was sent.")
                       .arg(PageSet::rowLabel(index, PageSet::Start::Capital), unfilled->why));
        connect(box, &QDialog::finished, this, [this, index] { focusRow(index); });
        box->open();
        return;
    }
    // Rows are read as their frames are built: an edit made during the upload travels, filled
    // with these figures, and what it shows missing joins the unavailable names.
    startUpload(
        [this, fill](int index) { return fill->rowAsEdited(index, m_rows.at(index)->text()); },
        [fill] { return fill->unavailable(); });
}

void DisplayWindow::startUpload(std::function<QString(int)> rowText,
                                std::function<QStringList()> unavailable, UnavailableSaid said) {
    const UploadRequest request{
        .port = PortTarget::number(m_portNumber, m_ports),
        .rowText = std::move(rowText),
        .delaySeconds =
            [this] { return Settings::delaySecondsForPosition(m_delayList->currentIndex()); },
    };
    m_unavailableLine->clear();
    m_unavailableLine->setToolTip(QString());
    if (!unavailable)
        return startJob(m_journal->upload(*m_runner, request, *this), m_job);
    Job *const job = m_journal->upload(*m_runner, request, *this,
                                       JobNotes{.boards = JobNotes::allBoards(),
                                                .unavailable = unavailable(),
                                                .unavailableAtEnd = unavailable});
    if (job) {
        connect(job, &Job::finished, this, [this, said, unavailable](JobOutcome outcome) {
            if (outcome != JobOutcome::Busy)
                showUnavailable(unavailable(), said);
        });
    }
    startJob(job, m_job);
}

void DisplayWindow::showUnavailable(const QStringList &names, UnavailableSaid said) {
    if (names.isEmpty())
        return m_unavailableLine->clear();
    const QString text =
        said == UnavailableSaid::AsTyped
            ? QStringLiteral("Sent as typed, unfilled: %1").arg(names.join(u", "))
            : QStringLiteral("Unavailable, shown as --: %1").arg(names.join(u", "));
    m_unavailableLine->setToolTip(text);
    m_unavailableLine->setText(m_unavailableLine->fontMetrics().elidedText(
        text, Qt::ElideRight, m_unavailableLine->width()));
}
