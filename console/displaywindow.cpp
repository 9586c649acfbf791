#include "displaywindow.h"

#include "boardview.h"
#include "consolebox.h"
#include "failure.h"
#include "folderfigures.h"
#include "jobjournal.h"
#include "jobrunner.h"
#include "journalforwarder.h"
#include "layout.h"
#include "livepreview.h"
#include "pagetabs.h"
#include "portmapfile.h"
#include "receiveline.h"
#include "rowbox.h"
#include "rowfill.h"
#include "settinglist.h"
#include "settings.h"
#include "statuslight.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTimer>

namespace {

const QString PortErrorTitle = QStringLiteral("Communication Port Error");

} // namespace

ConsoleSetup ConsoleSetup::forConfig(const QString &configPath) {
    const PortMapLoad loaded = PortMapFile::loadFor(configPath);
    ConsoleSetup setup;
    setup.configPath = configPath;
    setup.ports = loaded.map;
    setup.portMapProblems = loaded.problems;
    return setup;
}

DisplayWindow::DisplayWindow(const ConsoleSetup &setup, QWidget *parent)
    : QWidget(parent)
    , m_controls(buildControls(this, Layout::displayControls(), LayoutUnits::forPrimaryScreen()))
    , m_tabs(controlNamed<PageTabs>(m_controls, QStringLiteral("SSTab")))
    , m_portList(controlNamed<SettingList>(m_controls, QStringLiteral("cmbComm")))
    , m_delayList(controlNamed<SettingList>(m_controls, QStringLiteral("cmbDelay")))
    , m_sendButton(controlNamed<QPushButton>(m_controls, QStringLiteral("cmdSend")))
    , m_testButton(controlNamed<QPushButton>(m_controls, QStringLiteral("cmdTest")))
    , m_receiveOnlyButton(controlNamed<QPushButton>(m_controls, QStringLiteral("cmdRecOnly")))
    , m_receiveLine(controlNamed<QLabel>(m_controls, QStringLiteral("lblRx")))
    , m_unavailableLine(controlNamed<QLabel>(m_controls, QStringLiteral("lblValues")))
    , m_runner(new JobRunner(this))
    , m_store(QDir::current().absoluteFilePath(setup.configPath))
    , m_ports(setup.ports)
    , m_journal(new JobJournal(setup.journalPath.isEmpty()
                                   ? Journal::defaultPath(m_store.path())
                                   : QDir::current().absoluteFilePath(setup.journalPath),
                               QStringLiteral("console"), setup.journal, this))
    , m_portMapProblems(setup.portMapProblems)
    , m_sourcesPath(setup.sourcesPath)
    , m_valueFiles(setup.valueFiles)
    , m_figureWatch(new FigureWatch(
          QFileInfo(m_store.path()).absolutePath(), [this] { return folderFigures(); }, this))
    , m_cancelRead(new QShortcut(Qt::Key_Escape, this)) {
    setObjectName(QStringLiteral("frmDisplay"));
    setWindowTitle(WindowTitle);
    // Small enough for the 57 characters of the version label to fit their line.
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(8.25);
    setFont(font);
    const LayoutUnits units = LayoutUnits::forPrimaryScreen();
    setFixedSize(units.px(Layout::DisplayWidth), units.px(Layout::DisplayHeight));

    // What a screen reader says, and what the lights say to an operator who cannot tell their
    // colours apart.
    for (int index = 0; index < PageSet::RowCount; ++index) {
        m_rows.at(index) =
            controlNamed<RowBox>(m_controls, QStringLiteral("txtLabel%1").arg(index));
        m_rows.at(index)->setAccessibleName(QStringLiteral("Page %1, row %2")
                                                .arg(index / PageSet::RowsPerPage + 1)
                                                .arg(index % PageSet::RowsPerPage + 1));
    }
    for (int address = 0; address < BoardAddress::Count; ++address) {
        m_lights.at(address) =
            controlNamed<StatusLight>(m_controls, QStringLiteral("shpStatus%1").arg(address));
        describeLight(address, QStringLiteral("not asked yet"));
    }
    // A screen reader finds a list's label through the label's buddy.
    controlNamed<QLabel>(m_controls, QStringLiteral("Label1"))->setBuddy(m_portList);
    controlNamed<QLabel>(m_controls, QStringLiteral("Label2"))->setBuddy(m_delayList);
    m_receiveLine->setMargin(2);

    // The tooltip is read from the journal each time it is asked for: a scheduled display-send
    // on the same folder may have sent since, and the console's start-up never waits for it.
    m_sendButton->installEventFilter(this);
    connect(m_sendButton, &QPushButton::clicked, this, &DisplayWindow::runUpload);
    connect(m_testButton, &QPushButton::clicked, this, &DisplayWindow::runProbe);
    connect(m_receiveOnlyButton, &QPushButton::clicked, this, &DisplayWindow::toggleMonitor);

    startUp();
    m_tabs->setCurrentIndex(0);

    m_livePreview = new LivePreview(
        m_tabs, m_rows, controlNamed<BoardView>(m_controls, QStringLiteral("Image1")),
        controlNamed<QLabel>(m_controls, QStringLiteral("lblFigures")), this);
    connect(m_figureWatch, &FigureWatch::figuresRead, this, &DisplayWindow::figuresRead);
    m_cancelRead->setEnabled(false);
    connect(m_cancelRead, &QShortcut::activated, this, [this] {
        cancelSendRead(QStringLiteral("SEND cancelled while the figures were read: nothing was "
                                      "sent."));
    });
}

FolderFigures *DisplayWindow::folderFigures() {
    auto *const figures = new FolderFigures(
        FigureFiles{
            .configPath = m_store.path(),
            .sourcesPath = m_sourcesPath,
            .valueFiles = m_valueFiles,
            .assignments = {},
        },
        this);
    if (!figures->any()) {
        delete figures;
        return nullptr;
    }
    figures->setComPortResolver(PortMapFile::serialLines(m_ports));
    return figures;
}

void DisplayWindow::setFigures(const FieldValues &values, const QDateTime &readAt) {
    m_livePreview->setFigures({FigureRead::Status::Read, values, {}, readAt});
}

DisplayWindow::~DisplayWindow() {
    // A job still running ends and is recorded while this window is whole; nothing more is shown.
    for (Job *job : {m_job, m_monitor}) {
        if (job)
            job->disconnect(this);
    }
    delete m_figureWatch;
    delete m_runner;
    delete m_progressWindow;
    endPortWait();
}

// ---- showing --------------------------------------------------------------------------------

bool DisplayWindow::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_sendButton && event->type() == QEvent::ToolTip)
        m_sendButton->setToolTip(m_journal->lastUploadSummary());
    return QWidget::eventFilter(watched, event);
}

void DisplayWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    // From the event loop, once the window is up: start-up never waits for a source.
    m_figureWatch->setWatching(true);
    QTimer::singleShot(0, m_figureWatch, &FigureWatch::read);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    if (const QScreen *shownOn = screen()) {
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                        shownOn->availableGeometry()));
    }
    m_tabs->setFocus();
    if (!m_startUpProblem.isEmpty() || !m_portMapProblems.isEmpty())
        QTimer::singleShot(0, this, &DisplayWindow::showStartUpProblems);
}

void DisplayWindow::hideEvent(QHideEvent *event) {
    QWidget::hideEvent(event);
    m_figureWatch->setWatching(false);
}

// ---- jobs --------------------------------------------------------------------------------------

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

void DisplayWindow::runProbe() {
    if (m_job || m_sendWaits)
        return;
    m_portNumber = qint16(Settings::portNumberForPosition(m_portList->currentIndex()));
    startJob(m_journal->probe(*m_runner, PortTarget::number(m_portNumber, m_ports), *this), m_job);
}

void DisplayWindow::toggleMonitor() {
    if (m_monitor)
        return m_monitor->cancel();
    // The monitor uses the port number as it stands (possibly from display.cfg), not the list.
    m_receiveOnlyButton->setText(QStringLiteral("Stop"));
    startJob(m_runner->monitor(PortTarget::number(m_portNumber, m_ports), *this), m_monitor);
}

void DisplayWindow::startJob(Job *job, Job *&running) {
    if (!job)
        return;
    running = job;
    connect(job, &Job::finished, this, [this, &running](JobOutcome outcome) {
        running = nullptr;
        endPortWait();
        m_sendButton->setEnabled(true);
        if (!m_monitor)
            m_receiveOnlyButton->setText(QStringLiteral("Rec Only"));
        if (outcome != JobOutcome::Busy && &running == &m_job) {
            showJournalProblem();
            JournalForwarder(m_store.path()).jobEnded();
        }
    });
    // A serial port opens at once, but a device server on the network may take up to 3 s to
    // connect, and nothing else on the screen changes meanwhile: a busy pointer says the press
    // was taken (the window stays usable).
    showBusy();
    job->start();
    if (running == job && job->state() != Job::State::Connecting)
        endPortWait();
}

// ---- what the jobs show -----------------------------------------------------------------------

void DisplayWindow::progressShown(const QString &message) {
    endPortWait();
    m_sendButton->setEnabled(false);
    if (!m_progressWindow) {
        m_progressWindow = new ProgressWindow;
        m_progressWindow->placeBy(this);
    }
    m_progressWindow->show();
    m_progressWindow->setMessage(message);
    m_progressWindow->setValue(0);
}

void DisplayWindow::progressChanged(float value) {
    m_progressWindow->setValue(value);
}

void DisplayWindow::progressClosed() {
    delete m_progressWindow;
    m_progressWindow = nullptr;
}

void DisplayWindow::frameWritten(const QByteArray &) {
    endPortWait();
}

void DisplayWindow::exchanged(const ExchangeResult &exchange) {
    setReceiveLine(exchange.reply);
    if (exchange.judgement)
        showJudgement(*exchange.judgement);
}

void DisplayWindow::received(const QByteArray &bytes, qint64 dropped) {
    // What was dropped lies beyond the first bytes the line shows, and its "…" says there was more.
    Q_UNUSED(dropped)
    endPortWait();
    setReceiveLine(bytes);
}

void DisplayWindow::failed(const QString &text) {
    endPortWait();
    reportPortError(text);
}

void DisplayWindow::showBusy() {
    if (m_waitingForPort)
        return;
    QGuiApplication::setOverrideCursor(QCursor(Qt::BusyCursor));
    m_waitingForPort = true;
}

void DisplayWindow::endPortWait() {
    if (!m_waitingForPort)
        return;
    QGuiApplication::restoreOverrideCursor();
    m_waitingForPort = false;
}

void DisplayWindow::setReceiveLine(const QByteArray &reply) {
    const int width = m_receiveLine->contentsRect().width() - 2 * m_receiveLine->margin();
    m_receiveLine->setText(m_receiveLine->fontMetrics().elidedText(renderReceiveLine(reply),
                                                                   Qt::ElideRight, qMax(0, width)));
}

void DisplayWindow::showJudgement(const Judgement &judgement) {
    if (judgement.address < 0 || judgement.address >= BoardAddress::Count)
        return;
    m_lights.at(judgement.address)->setColour(judgement.answered ? Qt::green : Qt::red);
    describeLight(judgement.address,
                  judgement.answered ? QStringLiteral("answered") : QStringLiteral("no answer"));
}

void DisplayWindow::describeLight(int address, const QString &state) {
    const QString text = QStringLiteral("Board %1: %2").arg(QString::number(address), state);
    m_lights.at(address)->setToolTip(text);
    m_lights.at(address)->setAccessibleName(text);
}

// The job that failed keeps the progress where it stopped, and the port, until the box closes.
void DisplayWindow::reportPortError(const QString &text) {
    QMessageBox *box = newBox(this, QMessageBox::Information, PortErrorTitle, text);
    for (Job *job : {m_job, m_monitor}) {
        if (job)
            job->holdUntilGone(box);
    }
    box->open();
}

// Once per run of the console, after the job, which went on as usual: a journal that cannot be
// kept is worth one interruption, not one at every upload.
void DisplayWindow::showJournalProblem() {
    const QString problem = m_journal->takeProblem().join(QLatin1Char('\n'));
    if (problem.isEmpty())
        return;
    if (!isVisible()) {
        // The window closed during the job: nobody is there to read a box.
        qCWarning(lcJournal).noquote() << problem;
        return;
    }
    newBox(this, QMessageBox::Warning, WindowTitle,
           QStringLiteral("%1\n\nThe job itself ran as usual. Further problems with the journal "
                          "are not shown while the console runs.")
               .arg(problem))
        ->open();
}
