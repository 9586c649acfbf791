#pragma once

#include <QByteArray>
#include <QDebug>

#include <optional>

// A frame addressed to one board, judged by the reply that came back in its window.
struct Judgement {
    int address = 0;
    bool answered = false;
    friend bool operator==(const Judgement &, const Judgement &) = default;
};
QDebug operator<<(QDebug debug, const Judgement &judgement);

// The reply rule: a frame that begins with a board address a (0..BoardAddress::Highest) is
// answered when the reply's first character is the digit a (a non-digit counts as 0). Nothing
// for other frames.
namespace StatusJudge {
std::optional<Judgement> judge(const QByteArray &frame, const QByteArray &reply);
}

// One exchange: the frame written, everything read after its reply window, and the judgement.
struct ExchangeResult {
    QByteArray frame;
    QByteArray reply;
    std::optional<Judgement> judgement;
    friend bool operator==(const ExchangeResult &, const ExchangeResult &) = default;
};
QDebug operator<<(QDebug debug, const ExchangeResult &exchange);
