#pragma once

#include "jobreport.h"
#include "jobrunner.h"
#include "pageset.h"
#include "porttarget.h"
#include "sendoptions.h"

#include <QObject>
#include <QStringList>
#include <QTextStream>

#include <array>
#include <functional>
#include <optional>

class JobJournal;

// display-send's upload, board test and receive monitor: one job on the console's job runner,
// its frames counted on standard error, the bytes it received and what the boards answered on
// standard output, and its end said as an exit status.
class SendJobs : public QObject, private JobReport {
    Q_OBJECT

public:
    // error says a text on standard error.
    SendJobs(const SendOptions &options, JobJournal &journal, QTextStream &out, QTextStream &err,
             std::function<void(const QString &)> error, QObject *parent);

    // Each starts its job and gives -1; ended() follows. unavailable: the values the rows could
    // not be filled with, recorded with the upload.
    int upload(const UploadRequest &request, const QStringList &unavailable);
    int test(const PortTarget &port);
    int monitor(const PortTarget &port);
    // Ends the job, if one runs.
    void cancel();
    // Frames were counted on standard error: a message then begins a line of its own.
    bool framesCounted() const { return m_showProgress && m_framesExchanged > 0; }

Q_SIGNALS:
    // The exit status the job's end says, a signal aside.
    void ended(int status);

private:
    int run(Job *job, std::optional<PortTarget> verdictPort);
    int boardsVerdict(const PortTarget &port);

    // JobReport
    void exchanged(const ExchangeResult &exchange) override;
    void received(const QByteArray &bytes, qint64 dropped) override;
    void failed(const QString &text) override;

    const SendOptions &m_options;
    JobJournal &m_journal;
    QTextStream &m_out;
    QTextStream &m_err;
    const std::function<void(const QString &)> m_error;
    Job *m_job = nullptr; // while it runs
    const bool m_showProgress;
    QStringList m_unavailable;
    int m_framesTotal = 0;
    int m_framesExchanged = 0;
    std::array<std::optional<bool>, BoardAddress::Count> m_answered{};
    // Last: a job still running ends, and is recorded, while everything it reports to is whole.
    JobRunner m_runner;
};
