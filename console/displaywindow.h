#pragma once

// The operator console.
//
//   DisplayWindow (frmDisplay) ── row boxes, lists ──▶ UploadRequest ──▶ JobRunner: upload (SEND),
//      │                                              probe (Test), monitor (Rec Only), as Jobs
//      │                       cm: BoardLink ◀── FrameExchange (tmrTout, 500 ms reply window)
//      ├── JobReport ◀── what the jobs show: lblRx, shpStatus0..8, the progress, failures
//      ├── ProgressWindow (frmProgress, created per upload, no owner)
//      ├── ConfigStore: display.cfg read at start-up, written at close
//      ├── JobJournal: each upload and test recorded in display-journal.db, opened at the
//      │   first job or the first look at SEND's tooltip
//      └── LivePreview: the page shown, filled, in Image1; when the figures were read, in
//          lblFigures; the rows' tooltips; PreviewWindow (frmPreview, modeless). It owns the
//          FigureWatch: the folder's sources.conf, values.json (or the files named on the
//          command line) read asynchronously by FolderFigures, once the window has shown, when
//          a file they come from changes, every 60 s and afresh at SEND, each answer shown
//          before SEND hears it. The rows are filled by FilledRows, as display-send fills them
//
// Everything runs on the GUI thread and nothing waits in a nested event loop: a job writes a frame,
// starts tmrTout and returns; the timeout reads, judges and writes the next frame. A port error is
// shown in a box opened without a loop of its own; the job keeps the progress and the port until
// the box is closed. Closing the window cancels the job: progress, then port, recorded once.

#include "configstore.h"
#include "figurewatch.h"
#include "jobreport.h"
#include "journal.h"
#include "pageset.h"
#include "porttarget.h"
#include "progresswindow.h"

#include <QHash>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class FieldValues;
class FolderFigures;
class Job;
class JobJournal;
class JobRunner;
class LivePreview;
class PageTabs;
class QLabel;
class QPushButton;
class QShortcut;
class RowBox;
class SettingList;
class StatusLight;

// Where the console keeps display.cfg (relative to the working directory), and which devices
// port numbers open when they are not the table's.
struct ConsoleSetup {
    QString configPath = QString::fromLatin1(ConfigStore::DefaultFileName);
    PortMap ports;
    // Empty: display-journal.db beside the config file.
    QString journalPath;
    JournalOptions journal;
    QStringList portMapProblems; // the port map's unusable lines, said once the window is up
    // Empty: sources.conf and values.json beside the config file, when it has them.
    QString sourcesPath;
    QStringList valueFiles;

    // For this display.cfg, with the port map from the ports.conf files that go with it.
    static ConsoleSetup forConfig(const QString &configPath);
};

class DisplayWindow : public QWidget, private JobReport {
    Q_OBJECT

public:
    explicit DisplayWindow(const ConsoleSetup &setup = {}, QWidget *parent = nullptr);
    ~DisplayWindow() override;

    qint16 portNumber() const { return m_portNumber; }

    // Figures for the live view, the rows' tooltips and the preview, as if read at readAt; the
    // next read of the folder replaces them.
    void setFigures(const FieldValues &values, const QDateTime &readAt);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void startUp();
    void loadConfiguration();
    void saveConfiguration();
    PageSet shownPages() const;
    void placeRow(int index, const QString &text);
    void askAfterFailedSave(const QString &why);
    void showStartUpProblems();

    void runUpload();
    // Every read's answer: the live view's figures, and SEND's when it waits for them.
    void figuresRead(const FigureRead &figures);
    void cancelSendRead(const QString &said);
    // SEND in a folder without figures: the rows as typed, once the operator says so when a row
    // holds a field.
    void uploadAsTyped();
    // SEND once the folder's figures are read: the rows filled with them, or nothing sent.
    void uploadFilled(const FieldValues &values);
    // Shows row index's page and puts the cursor in the row.
    void focusRow(int index);
    // The folder's figures reader, not started; nothing when the folder has no figures.
    FolderFigures *folderFigures();
    // How the line below the lights names what the rows could not show.
    enum class UnavailableSaid { Missing, AsTyped };
    // rowText gives each row as its frame is built; unavailable: the figures that rows show as
    // the missing text (or, sent as typed, the fields left unfilled), for the journal and the
    // line below the lights, asked again when the upload ends (rowText may add to them); empty
    // for rows without figures.
    void startUpload(std::function<QString(int)> rowText, std::function<QStringList()> unavailable,
                     UnavailableSaid said = UnavailableSaid::Missing);
    void showUnavailable(const QStringList &names, UnavailableSaid said);
    void runProbe();
    void toggleMonitor();
    void setReceiveLine(const QByteArray &reply);
    void showJudgement(const Judgement &judgement);
    void describeLight(int address, const QString &state);
    void reportPortError(const QString &text);
    void showJournalProblem();
    // Starts a job that opens the port; a busy pointer shows until the port opens or fails.
    void startJob(Job *job, Job *&running);
    // The busy pointer, until endPortWait(): the port is opening or SEND reads the figures.
    void showBusy();
    void endPortWait();

    // JobReport
    void progressShown(const QString &message) override;
    void progressChanged(float value) override;
    void progressClosed() override;
    void frameWritten(const QByteArray &frame) override;
    void exchanged(const ExchangeResult &exchange) override;
    void received(const QByteArray &bytes, qint64 dropped) override;
    void failed(const QString &text) override;

    const QHash<QString, QWidget *> m_controls;
    PageTabs *const m_tabs;
    SettingList *const m_portList;
    SettingList *const m_delayList;
    QPushButton *const m_sendButton;
    QPushButton *const m_testButton;
    QPushButton *const m_receiveOnlyButton;
    QLabel *const m_receiveLine;
    QLabel *const m_unavailableLine;
    std::array<RowBox *, PageSet::RowCount> m_rows{};
    std::array<StatusLight *, BoardAddress::Count> m_lights{};

    JobRunner *const m_runner;
    const ConfigStore m_store;
    const PortMap m_ports;
    JobJournal *const m_journal;
    const QStringList m_portMapProblems;
    const QString m_sourcesPath;
    const QStringList m_valueFiles;
    QShortcut *const m_cancelRead;        // Escape, while SEND waits for the figures
    LivePreview *m_livePreview = nullptr; // once the rows are in place; owns the figures' reads

    ProgressWindow *m_progressWindow = nullptr; // while an upload shows it
    Job *m_job = nullptr;                       // the upload or test under way
    Job *m_monitor = nullptr;                   // the receive monitor, while it runs
    bool m_sendWaits = false;                   // SEND waits for the figures
    qint16 m_portNumber = 1;
    bool m_waitingForPort = false; // the busy pointer is up until the port opens or fails
    QString m_startUpProblem;
    // display.cfg could not be read and is still as it was: a save keeps it beside first.
    bool m_keepBeforeSave = false;
    bool m_shownOnce = false;
    bool m_saveAsked = false;          // a failed save's box is up
    bool m_closeWithoutSaving = false; // the operator gave up the save
};
