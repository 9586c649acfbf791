#pragma once

// The operator console.
//
//   frmDisplay ── row boxes, lists ──▶ ConsoleHost ◀── UploadJob (SEND), ProbeJob (Test),
//      │                                               MonitorJob (Rec Only)
//      ├── cm: BoardLink ◀── SendRec (tmrTout, 500 ms reply window) ──▶ StatusDisplay:
//      │                                                   lblRx and shpStatus0..8
//      ├── ProgressWindow ──▶ frmProgress (created per upload, no owner)
//      └── ConfigStore: display.cfg read at start-up, written at close
//
// Everything runs on the GUI thread. A job waits for the boards in SendRec's local event loop, so
// the window stays live during an upload; closing it aborts that wait.

#include "configstore.h"
#include "consolehost.h"
#include "frmprogress.h"
#include "sendrec.h"

#include <QHash>
#include <QWidget>

#include <array>
#include <functional>

class BoardLink;
class MonitorJob;
class PageSet;
class PageTabs;
class QLabel;
class QPushButton;
class RowBox;
class SettingList;
class StatusLight;

class frmDisplay : public QWidget, public ConsoleHost, public StatusDisplay {
    Q_OBJECT

public:
    static constexpr int StatusLightCount = 9;

    explicit frmDisplay(QWidget *parent = nullptr);
    ~frmDisplay() override;

    // ConsoleHost
    QString rowText(int index) const override;
    int portListPosition() const override;
    int delayListPosition() const override;
    qint16 portNumber() const override { return m_portNumber; }
    void setPortNumber(qint16 portNumber) override { m_portNumber = portNumber; }
    void setSendEnabled(bool enabled) override;
    void setMonitorCaption(const QString &caption) override;
    void setReceiveLine(const QByteArray &reply) override; // also StatusDisplay's
    ProgressDisplay &progress() override { return m_progress; }
    void reportPortError(const QString &text) override;

    // StatusDisplay
    void setLight(int address, Light colour) override;

    QString configPath() const;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    enum class SaveAnswer { Retry, CloseWithoutSaving, KeepOpen };

    void startUp();
    void loadConfiguration();
    void saveConfiguration() const;
    PageSet shownPages() const;
    void placeRow(int index, const QString &text);
    void endRunningJob();
    SaveAnswer askAfterFailedSave(const QString &why);
    void showStartUpProblem();

    void runUpload();
    void runProbe();
    void runJob(const std::function<void()> &job);
    void toggleMonitor();
    SendRec &exchange();
    void afterJob();

    const QHash<QString, QWidget *> m_controls;
    PageTabs *const m_tabs;
    SettingList *const m_cmbComm;
    SettingList *const m_cmbDelay;
    QPushButton *const m_cmdSend;
    QPushButton *const m_cmdTest;
    QPushButton *const m_cmdRecOnly;
    QLabel *const m_lblRx;
    std::array<RowBox *, 96> m_rows{};
    std::array<StatusLight *, StatusLightCount> m_lights{};

    BoardLink *const m_cm;
    SendRec *m_exchange = nullptr; // replaced only after a close that aborted it was cancelled
    MonitorJob *const m_monitor;
    ProgressWindow m_progress;
    const ConfigStore m_store;

    qint16 m_portNumber = 1;
    QByteArray m_reply;
    QString m_startUpProblem;
    bool m_shownOnce = false;
    bool m_jobRunning = false;
};
