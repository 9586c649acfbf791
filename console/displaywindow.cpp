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
        m_rows.at(index)->setAccessibleName(PageSet::rowLabel(index, PageSet::Start::Capital));
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

    // A sealed folder's key is carried to each new epoch while the console is open, even when
    // no job runs (the seal timer of display-send does it when the console is closed). After
    // start-up, never in its way; nothing is opened when the folder is not sealed.
    auto *const sealTimer = new QTimer(this);
    sealTimer->setInterval(std::chrono::hours(1));
    const auto advanceSealing = [this] {
        if (const QString problem = m_journal->journal().advanceSealing(); !problem.isEmpty())
            qCWarning(lcJournal).noquote() << problem;
    };
    connect(sealTimer, &QTimer::timeout, this, advanceSealing);
    sealTimer->start();
    QTimer::singleShot(0, this, advanceSealing);

    m_livePreview = new LivePreview(
        m_tabs, m_rows, controlNamed<BoardView>(m_controls, QStringLiteral("Image1")),
        controlNamed<QLabel>(m_controls, QStringLiteral("lblFigures")),
        new FigureWatch(
            QFileInfo(m_store.path()).absolutePath(), [this] { return folderFigures(); }, nullptr),
        this);
    connect(m_livePreview, &LivePreview::figuresRead, this, &DisplayWindow::figuresRead);
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
    delete std::exchange(m_livePreview, nullptr); // a figure read under way ends
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
    m_livePreview->setWatching(true);
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
    if (m_livePreview)
        m_livePreview->setWatching(false);
}

// ---- jobs --------------------------------------------------------------------------------------

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
    const bool recorded = job->kind() != JobKind::Monitor;
    connect(job, &Job::finished, this, [this, &running, recorded](JobOutcome outcome) {
        running = nullptr;
        endPortWait();
        m_sendButton->setEnabled(true);
        if (!m_monitor)
            m_receiveOnlyButton->setText(QStringLiteral("Rec Only"));
        if (outcome != JobOutcome::Busy && recorded) {
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
