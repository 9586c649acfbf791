#pragma once

// A console without widgets for driving the jobs: rows, list positions and portNumber to read,
// and a record of everything the jobs showed, in order.

#include "consolehost.h"
#include "defaultpages.h"
#include "pageset.h"
#include "sendrec.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>

class FakeProgress : public ProgressDisplay {
public:
    void show() override {
        if (!shown)
            current = 0;
        shown = true;
        ++showCount;
    }
    void setMessage(const QString &text) override { message = text; }
    float value() const override { return current; }
    void setValue(float value) override {
        current = value;
        values.append(value);
        if (onValue)
            onValue(value);
    }
    void close() override {
        shown = false;
        ++closeCount;
    }

    bool shown = false;
    int showCount = 0;
    int closeCount = 0;
    QString message;
    float current = 0;
    QList<float> values;                // every value set, in order
    std::function<void(float)> onValue; // lets a test act in the middle of an upload
};

class FakeConsole : public ConsoleHost, public StatusDisplay {
public:
    FakeConsole() {
        DefaultPages::install(pages);
        lights.fill(Light::Cyan);
    }

    // ConsoleHost
    QString rowText(int index) const override { return pages.row(index); }
    int portListPosition() const override { return portPosition; }
    int delayListPosition() const override {
        ++delayReads;
        return delayPosition;
    }
    qint16 portNumber() const override { return port; }
    void setPortNumber(qint16 portNumber) override { port = portNumber; }
    void setSendEnabled(bool enabled) override { sendEnabled = enabled; }
    void setMonitorCaption(const QString &caption) override { monitorCaption = caption; }
    void setReceiveLine(const QByteArray &text) override {
        receiveLine = text;
        receiveLines.append(text);
    }
    ProgressDisplay &progress() override { return progressDisplay; }
    void reportPortError(const QString &text) override { errors.append(text); }

    // StatusDisplay (the exchange's receive line is the same lblRx)
    void setLight(int address, Light colour) override { lights.at(address) = colour; }

    PageSet pages;
    int portPosition = 0;  // COM 1
    int delayPosition = 3; // "5"
    mutable int delayReads = 0;
    qint16 port = 1;
    bool sendEnabled = true;
    QString monitorCaption = QStringLiteral("Rec Only");
    QByteArray receiveLine;
    QList<QByteArray> receiveLines;
    FakeProgress progressDisplay;
    QStringList errors;
    std::array<Light, 9> lights{};
};
