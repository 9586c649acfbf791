#include "simulator.h"

#include "bytetext.h"

#include <QTimer>

// Row pair k of a page arrives in the frame for board k + 1.
static_assert(BoardAddress::Highest == PageSet::PairsPerPage, "one board for each pair of a page");

const char *lightName(PredictedLight light) {
    switch (light) {
    case PredictedLight::Cyan:
        return "cyan";
    case PredictedLight::Green:
        return "green";
    case PredictedLight::Red:
        return "red";
    }
    return "?";
}

void LightPrediction::frameArrived(const QByteArray &frame) {
    judgeOpenWindow();
    const char first = frame.isEmpty() ? '\0' : frame.at(0);
    m_windowAddress = (first >= '0' && first <= '0' + BoardAddress::Highest) ? first - '0' : -1;
    m_windowOpen = true;
}

void LightPrediction::replySent(const QByteArray &bytes) {
    m_unread += bytes;
}

void LightPrediction::windowEnded() {
    judgeOpenWindow();
}

void LightPrediction::judgeOpenWindow() {
    if (!m_windowOpen)
        return;
    m_windowOpen = false;
    const QByteArray read = m_unread;
    m_unread.clear();
    if (m_windowAddress < 0)
        return;
    const char first = read.isEmpty() ? '\0' : read.at(0);
    const int value = (first >= '0' && first <= '9') ? first - '0' : 0;
    m_lights.at(std::size_t(m_windowAddress)) =
        (!read.isEmpty() && value == m_windowAddress) ? PredictedLight::Green : PredictedLight::Red;
}

BoardSimulator::BoardSimulator(QObject *parent)
    : BoardSimulator(new PtyBoards, parent) {}

BoardSimulator::BoardSimulator(LineBoards *boards, QObject *parent)
    : QObject(parent)
    , m_boards(boards)
    , m_replyWindow(new QTimer(this)) {
    m_boards->setParent(this);
    m_replyWindow->setSingleShot(true);
    m_replyWindow->setTimerType(Qt::PreciseTimer);
    m_replyWindow->setInterval(ReplyWindowMs);
    connect(m_replyWindow, &QTimer::timeout, this, [this] {
        m_lights.windowEnded();
        Q_EMIT changed();
    });
    connect(m_boards, &LineBoards::frameReceived, this, &BoardSimulator::takeFrame);
    connect(m_boards, &LineBoards::replySent, this,
            [this](int, const QByteArray &reply) { m_lights.replySent(reply); });
    if (auto *tcp = qobject_cast<TcpBoards *>(m_boards)) {
        connect(tcp, &TcpBoards::clientConnected, this, [this](const QString &peer) {
            addMessage(QStringLiteral("%1 connected").arg(peer));
            Q_EMIT changed();
        });
        connect(tcp, &TcpBoards::clientLeft, this, [this](const QString &peer) {
            addMessage(QStringLiteral("%1 disconnected").arg(peer));
            Q_EMIT changed();
        });
        connect(tcp, &TcpBoards::clientRefused, this, [this](const QString &peer) {
            addMessage(QStringLiteral("%1 refused: one client at a time, and another is "
                                      "connected")
                           .arg(peer));
            Q_EMIT changed();
        });
    }
}

bool BoardSimulator::pairReceived(int page, int k) const {
    if (page < 0 || page >= PageSet::PageCount || k < 0 || k >= PageSet::PairsPerPage)
        return false;
    return m_pairReceived.at(std::size_t(page)).at(std::size_t(k));
}

void BoardSimulator::takeFrame(const QByteArray &frame, const ParsedFrame &parsed) {
    ++m_frames;
    m_lights.frameArrived(frame);
    m_replyWindow->start();

    bool completed = false;
    switch (parsed.kind) {
    case ParsedFrame::Kind::RowPair:
        m_pairReceived.at(std::size_t(parsed.page)).at(std::size_t(parsed.address - 1)) = true;
        m_lastPage = parsed.page;
        m_lastPair = parsed.address - 1;
        break;
    case ParsedFrame::Kind::PageDelay:
        m_delaySeen = true;
        break;
    case ParsedFrame::Kind::Bracket:
        completed = m_delaySeen;
        m_delaySeen = false;
        break;
    case ParsedFrame::Kind::Invalid:
        ++m_rejected;
        break;
    case ParsedFrame::Kind::Probe:
        break;
    }

    const double seconds = double(m_boards->received().last().atMs) / 1000.0;
    // One arg() for what the frame says: a row may hold "%1".
    const QString line = QStringLiteral("%1 s  frame %2: %3")
                             .arg(QStringLiteral("%1").arg(seconds, 7, 'f', 3),
                                  QString::number(m_frames), describe(parsed, frame));
    addMessage(line);
    if (completed) {
        ++m_uploads;
        addMessage(QStringLiteral("upload %1 complete, %2 rejected frames so far")
                       .arg(m_uploads)
                       .arg(m_rejected));
    }
    Q_EMIT changed();
    if (completed)
        Q_EMIT uploadCompleted();
}

void BoardSimulator::addMessage(const QString &line) {
    m_messages.append(line);
    while (m_messages.size() > MessageCount)
        m_messages.removeFirst();
    Q_EMIT logLine(line);
}

QString BoardSimulator::describe(const ParsedFrame &parsed, const QByteArray &frame) const {
    QString what;
    switch (parsed.kind) {
    case ParsedFrame::Kind::Bracket:
        return QStringLiteral("*Q (bracket, no board answers)");
    case ParsedFrame::Kind::Invalid:
        return QStringLiteral("REJECTED %1: %2").arg(quotedFrame(frame), parsed.problem);
    case ParsedFrame::Kind::RowPair:
        what = QStringLiteral("row pair for board %1, Page %2: %3 ~ %4")
                   .arg(parsed.address)
                   .arg(parsed.page + 1)
                   .arg(quotedFrame(parsed.firstRow), quotedFrame(parsed.secondRow));
        break;
    case ParsedFrame::Kind::PageDelay:
        what = QStringLiteral("page delay %1 s").arg(parsed.delaySeconds);
        break;
    case ParsedFrame::Kind::Probe:
        what = QStringLiteral("probe of address %1").arg(parsed.address);
        break;
    }
    switch (bank().behaviour(parsed.address)) {
    case BoardBehaviour::Present:
        return what;
    case BoardBehaviour::Silent:
        return what + QStringLiteral(" (board %1 stays silent)").arg(parsed.address);
    case BoardBehaviour::Wrong:
        return what + QStringLiteral(" (board %1 answers wrongly)").arg(parsed.address);
    case BoardBehaviour::Late:
        return what + QStringLiteral(" (board %1 answers late)").arg(parsed.address);
    }
    return what;
}
