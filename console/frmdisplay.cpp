#include "frmdisplay.h"

#include "boardlink.h"
#include "controls.h"
#include "defaultpages.h"
#include "failure.h"
#include "jobs.h"
#include "layout.h"
#include "pageset.h"
#include "receiveline.h"
#include "settings.h"

#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>

namespace {

const QString WindowTitle = QStringLiteral("Environmental Display Board Console");
const QString PortErrorTitle = QStringLiteral("Communication Port Error");

QColor colourOf(Light light) {
    switch (light) {
    case Light::Cyan:
        return {0, 255, 255};
    case Light::Green:
        return {0, 255, 0};
    case Light::Red:
        return {255, 0, 0};
    }
    return {0, 255, 255};
}

QFont windowFont() {
    // Small enough for the 57 characters of the version label to fit their line.
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(8.25);
    return font;
}

} // namespace

frmDisplay::frmDisplay(QWidget *parent)
    : QWidget(parent)
    , m_controls(buildControls(this, Layout::displayControls(), LayoutUnits::forPrimaryScreen()))
    , m_tabs(controlNamed<PageTabs>(m_controls, QStringLiteral("SSTab")))
    , m_cmbComm(controlNamed<SettingList>(m_controls, QStringLiteral("cmbComm")))
    , m_cmbDelay(controlNamed<SettingList>(m_controls, QStringLiteral("cmbDelay")))
    , m_cmdSend(controlNamed<QPushButton>(m_controls, QStringLiteral("cmdSend")))
    , m_cmdTest(controlNamed<QPushButton>(m_controls, QStringLiteral("cmdTest")))
    , m_cmdRecOnly(controlNamed<QPushButton>(m_controls, QStringLiteral("cmdRecOnly")))
    , m_lblRx(controlNamed<QLabel>(m_controls, QStringLiteral("lblRx")))
    , m_cm(new BoardLink(this))
    , m_exchange(new SendRec(m_cm, this, this))
    , m_monitor(new MonitorJob(*this, *m_cm, this))
    , m_progress(this)
    , m_store(QDir::current().absoluteFilePath(QString::fromLatin1(ConfigStore::DefaultFileName))) {
    setObjectName(QStringLiteral("frmDisplay"));
    setWindowTitle(WindowTitle);
    setFont(windowFont());
    const LayoutUnits units = LayoutUnits::forPrimaryScreen();
    setFixedSize(units.px(Layout::DisplayWidth), units.px(Layout::DisplayHeight));

    for (int index = 0; index < PageSet::RowCount; ++index)
        m_rows.at(index) =
            controlNamed<RowBox>(m_controls, QStringLiteral("txtLabel%1").arg(index));
    for (int address = 0; address < StatusLightCount; ++address)
        m_lights.at(address) =
            controlNamed<StatusLight>(m_controls, QStringLiteral("shpStatus%1").arg(address));
    auto *image = controlNamed<QLabel>(m_controls, QStringLiteral("Image1"));
    image->setPixmap(boardPicture(image->size(), devicePixelRatioF()));

    m_cm->setObjectName(QStringLiteral("cm"));
    m_lblRx->setMargin(2);

    connect(m_cmdSend, &QPushButton::clicked, this, &frmDisplay::runUpload);
    connect(m_cmdTest, &QPushButton::clicked, this, &frmDisplay::runProbe);
    connect(m_cmdRecOnly, &QPushButton::clicked, this, &frmDisplay::toggleMonitor);

    startUp();
    m_tabs->setCurrentIndex(0);
}

frmDisplay::~frmDisplay() = default;

// ---- start-up and close ------------------------------------------------------------------------

void frmDisplay::startUp() {
    m_cmbComm->addItems(Settings::portEntries());
    for (int position = 0; position < m_cmbComm->count(); ++position) {
        const QString device = devicePathForPort(Settings::portNumberForPosition(position));
        m_cmbComm->setItemData(
            position, device.isEmpty() ? QStringLiteral("no device has this number") : device,
            Qt::ToolTipRole);
    }
    m_cmbComm->setCurrentIndex(Settings::DefaultPortPosition);

    m_cmbDelay->addItems(Settings::delayEntries());
    m_cmbDelay->setCurrentIndex(Settings::DefaultDelayPosition);

    m_portNumber = 1;

    const PageSet defaults = DefaultPages::pages();
    for (int index = 0; index < PageSet::RowCount; ++index)
        placeRow(index, defaults.row(index));

    loadConfiguration();
}

void frmDisplay::loadConfiguration() {
    PageSet pages = shownPages();
    try {
        // The port number and each row are taken as soon as they are read, so a damaged file
        // leaves what came before the damage in place for the rewrite below.
        m_store.load(m_portNumber, pages);
        for (int index = 0; index < PageSet::RowCount; ++index)
            placeRow(index, pages.row(index));
        const std::optional<int> position = Settings::portPositionForNumber(m_portNumber);
        if (!position) {
            throw Failure(QStringLiteral("%1 names port %2, which the port list does not offer")
                              .arg(m_store.path())
                              .arg(m_portNumber));
        }
        m_cmbComm->setCurrentIndex(*position);
    } catch (const Failure &) {
        for (int index = 0; index < PageSet::RowCount; ++index)
            placeRow(index, pages.row(index));
        try {
            saveConfiguration();
        } catch (const Failure &failure) {
            // Shown once the window is up; the console works without the file.
            m_startUpProblem = failure.text();
        }
    }
}

void frmDisplay::saveConfiguration() const {
    m_store.save(m_portNumber, shownPages());
}

PageSet frmDisplay::shownPages() const {
    PageSet pages;
    for (int index = 0; index < PageSet::RowCount; ++index)
        pages.setRow(index, m_rows.at(index)->text());
    return pages;
}

void frmDisplay::placeRow(int index, const QString &text) {
    RowBox *box = m_rows.at(index);
    if (box->text() != text)
        box->placeText(text);
    box->setCursorPosition(0);
}

QString frmDisplay::configPath() const {
    return m_store.path();
}

void frmDisplay::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    if (const QScreen *shownOn = screen()) {
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                        shownOn->availableGeometry()));
    }
    m_tabs->setFocus();
    if (!m_startUpProblem.isEmpty())
        QTimer::singleShot(0, this, &frmDisplay::showStartUpProblem);
}

void frmDisplay::showStartUpProblem() {
    QMessageBox box(QMessageBox::Warning, WindowTitle,
                    QStringLiteral("%1\n\nThe console works as usual and tries again to save the "
                                   "port number and the pages when its window closes.")
                        .arg(m_startUpProblem),
                    QMessageBox::Ok, this);
    box.exec();
}

void frmDisplay::closeEvent(QCloseEvent *event) {
    endRunningJob();
    for (;;) {
        try {
            saveConfiguration();
            break;
        } catch (const Failure &failure) {
            const SaveAnswer answer = askAfterFailedSave(failure.text());
            if (answer == SaveAnswer::Retry)
                continue;
            if (answer == SaveAnswer::KeepOpen) {
                event->ignore();
                return;
            }
            break;
        }
    }
    event->accept();
}

void frmDisplay::endRunningJob() {
    // A job waiting for the boards sends nothing more: its wait ends now and the port closes
    // before the job unwinds. The progress window goes with the job.
    if (m_jobRunning)
        m_exchange->abort();
    if (m_monitor->isRunning()) {
        try {
            m_monitor->toggle();
        } catch (const Failure &) {
            // The port is closed below in any case.
        }
    }
    m_cm->close();
    m_progress.close();
}

frmDisplay::SaveAnswer frmDisplay::askAfterFailedSave(const QString &why) {
    QMessageBox box(QMessageBox::Warning, WindowTitle,
                    QStringLiteral("%1\n\nThe port number and the pages are kept in this file "
                                   "for the next start.")
                        .arg(why),
                    QMessageBox::NoButton, this);
    QPushButton *retry = box.addButton(QMessageBox::Retry);
    QPushButton *discard =
        box.addButton(QStringLiteral("Close without saving"), QMessageBox::DestructiveRole);
    QPushButton *keepOpen = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(retry);
    box.setEscapeButton(keepOpen);
    box.exec();
    if (box.clickedButton() == retry)
        return SaveAnswer::Retry;
    if (box.clickedButton() == discard)
        return SaveAnswer::CloseWithoutSaving;
    return SaveAnswer::KeepOpen;
}

// ---- jobs --------------------------------------------------------------------------------------

SendRec &frmDisplay::exchange() {
    // An exchange aborted by a close that the operator then cancelled can never run again.
    if (m_exchange->isAborted()) {
        const int replyWindowMs = m_exchange->replyWindowMs();
        delete m_exchange;
        m_exchange = new SendRec(m_cm, this, this);
        m_exchange->setReplyWindowMs(replyWindowMs);
    }
    return *m_exchange;
}

void frmDisplay::runUpload() {
    runJob([this] { UploadJob(*this, *m_cm, exchange()).run(); });
}

void frmDisplay::runProbe() {
    runJob([this] { ProbeJob(*this, *m_cm, exchange()).run(); });
}

void frmDisplay::runJob(const std::function<void()> &job) {
    if (m_jobRunning)
        return;
    m_jobRunning = true;
    // The jobs report their own failures; nothing may reach Qt's event loop all the same.
    try {
        job();
    } catch (const Aborted &) {
    } catch (const Failure &failure) {
        reportPortError(failure.text());
    }
    afterJob();
}

void frmDisplay::afterJob() {
    m_jobRunning = false;
    if (m_exchange->isAborted()) {
        // The window closed during the job: what the job left behind goes now.
        m_progress.close();
        m_cm->close();
        setSendEnabled(true);
    }
}

void frmDisplay::toggleMonitor() {
    try {
        m_monitor->toggle();
    } catch (const Failure &failure) {
        reportPortError(failure.text());
    }
}

// ---- what the jobs read and write --------------------------------------------------------------

QString frmDisplay::rowText(int index) const {
    return m_rows.at(index)->text();
}

int frmDisplay::portListPosition() const {
    return m_cmbComm->currentIndex();
}

int frmDisplay::delayListPosition() const {
    return m_cmbDelay->currentIndex();
}

void frmDisplay::setSendEnabled(bool enabled) {
    m_cmdSend->setEnabled(enabled);
}

void frmDisplay::setMonitorCaption(const QString &caption) {
    m_cmdRecOnly->setText(caption);
}

void frmDisplay::setReceiveLine(const QByteArray &reply) {
    m_reply = reply;
    const int width = m_lblRx->contentsRect().width() - 2 * m_lblRx->margin();
    m_lblRx->setText(m_lblRx->fontMetrics().elidedText(renderReceiveLine(reply), Qt::ElideRight,
                                                       qMax(0, width)));
}

void frmDisplay::setLight(int address, Light colour) {
    if (address >= 0 && address < StatusLightCount)
        m_lights.at(address)->setColour(colourOf(colour));
}

void frmDisplay::reportPortError(const QString &text) {
    QMessageBox box(QMessageBox::Information, PortErrorTitle, text, QMessageBox::Ok, this);
    box.exec();
}
