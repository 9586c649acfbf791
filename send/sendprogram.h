#pragma once

#include "jobreport.h"
#include "pageset.h"
#include "porttarget.h"
#include "sendoptions.h"

#include <QObject>
#include <QTextStream>

#include <array>
#include <optional>

class Job;
class JobJournal;
class JobRunner;

// display-send's exit statuses.
enum SendStatus : int {
    AllAnswered = 0,
    SomeDidNotAnswer = 1,
    PortFailed = 2,
    BadInput = 3,
    SignalBase = 128, // + the signal's number
};

// display-send: one job on the console's job runner, reported on standard output and error.
class SendProgram : public QObject, private JobReport {
    Q_OBJECT

public:
    SendProgram(const SendOptions &options, QTextStream &out, QTextStream &err,
                QObject *parent = nullptr);
    ~SendProgram() override;

    // Runs the job asked for from the event loop; finished() gives the exit status. SIGINT,
    // SIGTERM and SIGHUP end a job at once.
    void start();

Q_SIGNALS:
    void finished(int status);

private:
    int run();
    int upload(bool dryRun);
    int test();
    int monitor();
    int history();
    int report();
    // Runs the job; what it did decides the exit status when it ends.
    int runJob(Job *job, std::optional<PortTarget> verdictPort);
    // The journal's problem, if it met one, said once on standard error.
    void sayJournalProblem();
    // Reads the configuration and fills its rows; throws Failure.
    PageSet rowsToSend(qint16 &portNumber) const;
    std::optional<PortTarget> portFor(std::optional<qint16> fromFile);
    // The number through the port maps beside the config file and in the usual places; their bad
    // lines are said on standard error. Nothing when the map makes that number unusable.
    std::optional<PortTarget> mappedPort(int portNumber);
    // For the test and the monitor: display.cfg is read only for its port number, unless it was
    // named on purpose. Nothing, with the error said, when there is no port to use.
    std::optional<PortTarget> portWithoutRows();
    int boardsVerdict(const PortTarget &port);
    void error(const QString &text);
    void signalled(int number);

    // JobReport
    void exchanged(const Exchanged &exchange) override;
    void received(const QByteArray &bytes) override;
    void failed(const QString &text) override;

    const SendOptions m_options;
    QTextStream &m_out;
    QTextStream &m_err;
    JobRunner *const m_runner;
    JobJournal *const m_journal;
    Job *m_job = nullptr; // while it runs
    const bool m_showProgress;
    int m_framesTotal = 0;
    int m_framesExchanged = 0;
    std::array<std::optional<bool>, BoardAddress::Count> m_answered{};
    int m_signal = 0;
};
