#include "sendjobs.h"

#include "jobjournal.h"
#include "receiveline.h"
#include "sendstatus.h"

#include <QDateTime>
#include <QTimer>

#include <unistd.h>

SendJobs::SendJobs(const SendOptions &options, JobJournal &journal, QTextStream &out,
                   QTextStream &err, std::function<void(const QString &)> error, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_journal(journal)
    , m_out(out)
    , m_err(err)
    , m_error(std::move(error))
    , m_showProgress(!options.quiet && !options.verbose && ::isatty(STDERR_FILENO))
    , m_runner(this) {}

int SendJobs::upload(const UploadRequest &request, const QStringList &unavailable) {
    m_framesTotal = UploadFrameCount;
    m_unavailable = unavailable;
    return run(m_journal.upload(m_runner, request, *this,
                                JobNotes{.boards = m_options.boards, .unavailable = unavailable}),
               request.port);
}

int SendJobs::test(const PortTarget &port) {
    m_framesTotal = ProbeFrameCount;
    return run(m_journal.probe(m_runner, port, *this,
                               JobNotes{.boards = m_options.boards, .unavailable = {}}),
               port);
}

int SendJobs::monitor(const PortTarget &port) {
    Job *const job = m_runner.monitor(port, *this);
    if (m_options.seconds)
        QTimer::singleShot(qRound(*m_options.seconds * 1000), job, &Job::cancel);
    return run(job, std::nullopt);
}

void SendJobs::cancel() {
    if (m_job)
        m_job->cancel();
}

int SendJobs::run(Job *job, std::optional<PortTarget> verdictPort) {
    m_job = job;
    connect(job, &Job::finished, this, [this, verdictPort](JobOutcome outcome) {
        m_job = nullptr;
        for (const QString &line : m_journal.takeProblem())
            m_error(line);
        int status = outcome == JobOutcome::Aborted    ? AllAnswered // the monitor's time was up
                     : outcome != JobOutcome::Complete ? PortFailed
                                                       : boardsVerdict(*verdictPort);
        // A silent board or a failed port says more than a missing figure.
        if (status == AllAnswered && !m_unavailable.isEmpty())
            status = ValuesUnavailable;
        Q_EMIT ended(status);
    });
    job->start();
    return -1;
}

int SendJobs::boardsVerdict(const PortTarget &port) {
    int answered = 0;
    for (const int board : m_options.boards) {
        const bool yes = m_answered.at(board).value_or(false);
        answered += yes;
        if (!m_options.quiet)
            m_out << "board " << board << (yes ? ": answered" : ": no answer") << '\n';
    }
    if (!m_options.quiet)
        m_out << answered << " of " << m_options.boards.size() << " boards answered; "
              << m_framesExchanged << " of " << m_framesTotal << " frames sent to " << port.label()
              << '\n';
    return answered == m_options.boards.size() ? AllAnswered : SomeDidNotAnswer;
}

void SendJobs::exchanged(const ExchangeResult &exchange) {
    ++m_framesExchanged;
    if (exchange.judgement)
        m_answered.at(exchange.judgement->address) = exchange.judgement->answered;
    if (m_showProgress) {
        m_err << "\rframe " << m_framesExchanged << " of " << m_framesTotal;
        if (m_framesExchanged == m_framesTotal)
            m_err << '\n';
        m_err.flush();
    }
}

void SendJobs::received(const QByteArray &bytes, qint64 dropped) {
    if (bytes.isEmpty() || m_options.quiet)
        return;
    m_out << QDateTime::currentDateTime().toString(Qt::ISODateWithMs) << ' '
          << renderReceiveLine(bytes, int(bytes.size()));
    if (dropped > 0)
        m_out << " and " << dropped << " more bytes, dropped";
    m_out << '\n';
    m_out.flush();
}

void SendJobs::failed(const QString &text) {
    m_error(text);
}
