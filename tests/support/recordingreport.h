#pragma once

// A job report that records everything a job showed, in order, and the rows and delay an upload
// reads, as a console without widgets would hold them.

#include "defaultpages.h"
#include "jobreport.h"
#include "jobrunner.h"
#include "pageset.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTestEventLoop>

#include <functional>
#include <optional>

class RecordingReport : public JobReport {
public:
    RecordingReport() { lights.fill(QLatin1Char('C'), BoardAddress::Count); }

    void progressShown(const QString &text) override {
        progressOpen = true;
        ++showCount;
        message = text;
        changed(0);
    }
    void progressChanged(float value) override { changed(value); }
    void progressClosed() override {
        progressOpen = false;
        ++closeCount;
    }
    void frameWritten(const QByteArray &) override { ++framesWritten; }
    void exchanged(const ExchangeResult &exchange) override {
        exchanges.append(exchange);
        receiveLines.append(exchange.reply);
        if (exchange.judgement)
            lights[exchange.judgement->address] =
                QLatin1Char(exchange.judgement->answered ? 'G' : 'R');
    }
    void received(const QByteArray &bytes, qint64) override { receiveLines.append(bytes); }
    void failed(const QString &text) override {
        errors.append(text);
        progressOpenAtFailure = progressOpen;
        if (onFailure)
            onFailure();
    }
    void ended(JobOutcome outcome) override { outcomes.append(outcome); }

    QByteArray receiveLine() const {
        return receiveLines.isEmpty() ? QByteArray() : receiveLines.last();
    }

    // What an operator edits: the rows and the delay an upload reads.
    UploadRequest request(const PortTarget &port) {
        return {.port = port,
                .rowText = [this](int index) { return pages.row(index); },
                .delaySeconds =
                    [this] {
                        ++delayReads;
                        return delaySeconds;
                    }};
    }

    PageSet pages = DefaultPages::pages();
    int delaySeconds = 5;
    int delayReads = 0;

    int framesWritten = 0;
    bool progressOpen = false;
    bool progressOpenAtFailure = false;
    int showCount = 0;
    int closeCount = 0;
    QString message;
    QList<float> values;                // every progress value shown, in order
    std::function<void(float)> onValue; // lets a test act in the middle of an upload
    std::function<void()> onFailure;
    QList<ExchangeResult> exchanges;
    QList<QByteArray> receiveLines;
    QString lights; // 0..8: C not asked yet, G answered, R no answer
    QStringList errors;
    QList<JobOutcome> outcomes;

private:
    void changed(float value) {
        values.append(value);
        if (onValue)
            onValue(value);
    }
};

// Starts the job and waits for its end in an event loop (QTest::qWaitFor sleeps between its
// turns, which would stretch the reply windows): the outcome it finished with (Busy, also, when
// it never ended within the time).
inline JobOutcome runToEnd(Job *job, int timeoutMs = 60000) {
    std::optional<JobOutcome> outcome;
    QTestEventLoop loop;
    QObject::connect(job, &Job::finished, &loop, [&](JobOutcome ended) {
        outcome = ended;
        loop.exitLoop();
    });
    job->start();
    if (!outcome)
        loop.enterLoopMSecs(timeoutMs);
    return outcome.value_or(JobOutcome::Busy);
}
