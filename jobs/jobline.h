#pragma once

class BoardLink;
class Job;
class QTimer;
class FrameExchange;

// What a job needs from the line it runs on: the link, the exchange on it, the monitor's poll
// timer, and the one place an upload or a board test holds while it runs.
class JobLine {
public:
    virtual BoardLink &link() = 0;
    virtual FrameExchange &exchange() = 0;
    virtual QTimer &pollTimer() = 0;
    // False while another upload or test holds the line.
    virtual bool claim(const Job *job) = 0;
    // Nothing when job does not hold it.
    virtual void release(const Job *job) = 0;

protected:
    ~JobLine() = default;
};
