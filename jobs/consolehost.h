#pragma once

#include <QString>

// What the jobs read and write on the console. The main window implements these; tests fake
// them. Every read returns what the operator sees at that moment.

// The upload's progress window: a message above a bar from 0 to 100.
class ProgressDisplay {
public:
    virtual ~ProgressDisplay() = default;
    virtual void show() = 0; // creates the window on first use
    virtual void setMessage(const QString &text) = 0;
    virtual float value() const = 0;
    virtual void setValue(float value) = 0;
    virtual void close() = 0; // destroys it; the next show() starts from a fresh bar at 0
};

class ConsoleHost {
public:
    virtual ~ConsoleHost() = default;

    virtual QString rowText(int index) const = 0; // 0..95
    virtual int portListPosition() const = 0;     // -1 when no entry is selected
    virtual int delayListPosition() const = 0;    // -1 when no entry is selected

    virtual qint16 portNumber() const = 0;
    virtual void setPortNumber(qint16 portNumber) = 0;

    virtual void setSendEnabled(bool enabled) = 0;
    virtual void setMonitorCaption(const QString &caption) = 0; // "Rec Only" / "Stop"
    virtual void setReceiveLine(const QByteArray &text) = 0;

    virtual ProgressDisplay &progress() = 0;

    // A message box titled "Communication Port Error" with an information icon; returns when the
    // operator has dismissed it.
    virtual void reportPortError(const QString &text) = 0;
};
