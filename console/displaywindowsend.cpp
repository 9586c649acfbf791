// SEND: the folder's figures read afresh, the rows filled with them (or, without figures, sent
// as typed once the operator says so), and the upload started with what the rows could not show.

#include "consolebox.h"
#include "displaywindow.h"
#include "failure.h"
#include "folderfigures.h"
#include "job.h"
#include "jobjournal.h"
#include "livepreview.h"
#include "pagetabs.h"
#include "rowbox.h"
#include "rowfill.h"
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
    m_figureWatch->readAfresh();
}

void DisplayWindow::cancelSendRead(const QString &said) {
    if (!m_sendWaits)
        return;
    m_figureWatch->cancel();
    m_sendWaits = false;
    m_cancelRead->setEnabled(false);
    endPortWait();
    m_unavailableLine->setText(said);
    m_unavailableLine->setToolTip(said);
}

void DisplayWindow::figuresRead(const FigureRead &figures) {
    m_livePreview->setFigures(figures);
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
    const PageSet pages = shownPages();
    const auto asTyped = [this](int index) { return m_rows.at(index)->text(); };
    const std::optional<FolderFigures::FieldRow> found = FolderFigures::firstFieldRow(pages);
    if (!found)
        return startUpload(asTyped, nullptr);
    const int page = found->index / PageSet::RowsPerPage;
    m_tabs->setCurrentIndex(page);
    m_rows.at(found->index)->setFocus();
    QMessageBox *box = newBox(
        this, QMessageBox::Warning, WindowTitle,
        QStringLiteral("Page %1, row %2 holds the field %3, but this folder has no sources.conf "
                       "or values.json to fill it from.\n\n\"Send as typed\" puts the braces on "
                       "the boards. A brace itself is written {{ or }}.")
            .arg(QString::number(page + 1),
                 QString::number(found->index % PageSet::RowsPerPage + 1), found->field));
    box->setStandardButtons(QMessageBox::Cancel);
    QPushButton *const send =
        box->addButton(QStringLiteral("Send as typed"), QMessageBox::AcceptRole);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setEscapeButton(QMessageBox::Cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, send, asTyped](QAbstractButton *button) {
        if (button != send || m_job || m_sendWaits)
            return;
        // The journal names the fields that went out unfilled.
        QStringList unfilled;
        for (const RowBox *row : m_rows)
            unfilled += fieldNames(row->text());
        unfilled.removeDuplicates();
        unfilled.sort();
        startUpload(asTyped, std::make_shared<QStringList>(unfilled), UnavailableSaid::AsTyped);
    });
    box->open();
}

void DisplayWindow::uploadFilled(FieldValues values) {
    const QDateTime now = QDateTime::currentDateTime();
    const PageSet templates = shownPages();
    // A template that cannot be filled stops SEND before the port is touched, at its row.
    FieldValues trial = values;
    for (int index = 0; index < PageSet::RowCount; ++index) {
        try {
            fillRow(templates.row(index), trial, now);
        } catch (const Failure &failure) {
            const int page = index / PageSet::RowsPerPage;
            const auto focusRow = [this, page, index] {
                m_tabs->setCurrentIndex(page);
                m_rows.at(index)->setFocus();
            };
            focusRow();
            QMessageBox *box =
                newBox(this, QMessageBox::Warning, WindowTitle,
                       QStringLiteral("Page %1, row %2 cannot be filled: %3\n\nNothing was sent.")
                           .arg(QString::number(page + 1),
                                QString::number(index % PageSet::RowsPerPage + 1), failure.text()));
            connect(box, &QDialog::finished, this, focusRow);
            box->open();
            return;
        }
    }
    PageSet filled;
    try {
        filled = fillRows(templates, values, now);
    } catch (const Failure &failure) { // every row was tried above
        newBox(this, QMessageBox::Warning, WindowTitle, failure.text())->open();
        return;
    }
    // Rows are read as their frames are built: an edit made during the upload travels, filled
    // with these figures; a row that no longer fills goes out as it was filled at SEND. What an
    // edited row shows as the missing text joins the unavailable names, as the boards got it.
    const auto sent = std::make_shared<QStringList>(values.unavailableNames());
    startUpload(
        [this, templates, filled, values, now, sent](int index) mutable {
            const QString text = m_rows.at(index)->text();
            if (text == templates.row(index))
                return filled.row(index);
            try {
                const QString row = fillRow(text, values, now);
                for (const QString &name : values.unavailableNames()) {
                    if (!sent->contains(name))
                        *sent << name;
                }
                sent->sort();
                return row;
            } catch (const Failure &) {
                return filled.row(index);
            }
        },
        sent);
}

void DisplayWindow::startUpload(std::function<QString(int)> rowText,
                                std::shared_ptr<QStringList> unavailable, UnavailableSaid said) {
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
    Job *const job =
        m_journal->upload(*m_runner, request, *this,
                          JobNotes{.boards = JobNotes::allBoards(),
                                   .unavailable = *unavailable,
                                   .unavailableAtEnd = [unavailable] { return *unavailable; }});
    if (job) {
        connect(job, &Job::finished, this, [this, said, unavailable](JobOutcome outcome) {
            if (outcome != JobOutcome::Busy)
                showUnavailable(*unavailable, said);
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
