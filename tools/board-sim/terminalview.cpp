#include "terminalview.h"

#include "simulator.h"

#include <QStringList>

namespace {

constexpr int PageCount = PageSet::PageCount;
constexpr int RowsPerPage = PageSet::RowsPerPage;
constexpr int Columns = PageSet::MaxTypedLength; // a board shows as many as the operator types
constexpr int BlockWidth = 3 + Columns + 1;      // "1 |", the row, "|"
constexpr int BlockGap = 2;

// Not a second definition of the shape: the view's text "all six need a terminal ..." spells
// the page count out.
static_assert(PageCount == 6, "renderView() says \"all six\": reword it for another page count");

// SGR sequences; only used when the view is coloured.
const QString Reset = QStringLiteral("\x1b[0m");
const QString Bold = QStringLiteral("\x1b[1m");
const QString Dim = QStringLiteral("\x1b[2m");
const QString Reverse = QStringLiteral("\x1b[7m");
const QString Red = QStringLiteral("\x1b[1;31m");
const QString Green = QStringLiteral("\x1b[1;32m");
const QString Cyan = QStringLiteral("\x1b[1;36m");
const QString Yellow = QStringLiteral("\x1b[1;33m");

QString paint(const QString &text, const QString &code, bool colour) {
    return colour ? code + text + Reset : text;
}

// The row as the board's columns show it: control bytes as '.', cut at Columns, padded.
QString columnsOf(const QByteArray &row) {
    QString text;
    for (qsizetype i = 0; i < row.size() && i < Columns; ++i) {
        const auto byte = static_cast<unsigned char>(row.at(i));
        const bool control = byte < 0x20 || byte == 0x7f || (byte >= 0x80 && byte < 0xa0);
        text += control ? QChar(u'.') : QChar(byte);
    }
    return text.leftJustified(Columns, QLatin1Char(' '));
}

QStringList pageBlock(const BoardSimulator &sim, int page, bool colour) {
    QStringList lines;
    const QString border = QStringLiteral("  +") + QString(Columns, QLatin1Char('-')) + '+';
    const QString caption = QStringLiteral("  Page %1 (page digit %2)").arg(page + 1).arg(page);
    lines << paint(caption.leftJustified(BlockWidth), Bold, colour) << border;
    for (int row = 0; row < RowsPerPage; ++row) {
        const int k = row / 2;
        const QString label =
            row % 2 == 0 ? QString::number(k + 1) + QStringLiteral(" |") : QStringLiteral("  |");
        QString line;
        if (!sim.pairReceived(page, k)) {
            line = label + paint(QString(Columns, QLatin1Char('.')), Dim, colour) + '|';
        } else {
            const QByteArray text = sim.bank().row(page, row);
            const bool latest = page == sim.lastPage() && k == sim.lastPair();
            line = label + paint(columnsOf(text), Reverse, colour && latest) +
                   (text.size() > Columns ? '>' : '|');
        }
        lines << line;
    }
    lines << border;
    return lines;
}

QString lightsLine(const BoardSimulator &sim, bool colour) {
    QString line = QStringLiteral("lights:");
    for (int address = 0; address < LightPrediction::AddressCount; ++address) {
        const PredictedLight light = sim.light(address);
        const QString code = light == PredictedLight::Green ? Green
                             : light == PredictedLight::Red ? Red
                                                            : Cyan;
        line += QStringLiteral("  ") +
                paint(QStringLiteral("%1 %2").arg(address).arg(QLatin1String(lightName(light))),
                      code, colour);
    }
    return line;
}

QString behaviourLine(const BoardSimulator &sim) {
    QStringList odd;
    for (int address = 0; address < BoardBank::AddressCount; ++address) {
        switch (sim.bank().behaviour(address)) {
        case BoardBehaviour::Present:
            break;
        case BoardBehaviour::Silent:
            odd << QStringLiteral("%1 silent").arg(address);
            break;
        case BoardBehaviour::Wrong:
            odd << QStringLiteral("%1 wrong").arg(address);
            break;
        case BoardBehaviour::Late:
            odd << QStringLiteral("%1 late (%2 ms)").arg(address).arg(sim.boards().lateDelayMs());
            break;
        }
    }
    return QStringLiteral("boards 1-%1 (probes 0-%1): %2; replies after %3 ms")
        .arg(BoardAddress::Highest)
        .arg(odd.isEmpty() ? QStringLiteral("all answer") : odd.join(QStringLiteral(", ")))
        .arg(sim.boards().replyDelayMs());
}

} // namespace

QString renderPage(const BoardSimulator &simulator, int page) {
    return pageBlock(simulator, page, false).join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString renderView(const BoardSimulator &sim, const ViewStyle &style) {
    const bool colour = style.colour;
    QStringList out;

    const int port = sim.boards().portNumber();
    out << paint(QStringLiteral("Simulated boards on %1 (%2)")
                     .arg(sim.boards().devicePath(),
                          port > 0 ? QStringLiteral("COM %1").arg(port)
                          : qobject_cast<const TcpBoards *>(&sim.boards())
                              ? QStringLiteral("a device server, one client at a time")
                              : QStringLiteral("no COM number reaches it")),
                 Bold, colour);
    out << behaviourLine(sim);
    const int delay = sim.bank().pageDelaySeconds();
    out << QStringLiteral("page delay: %1    row pairs: %2    frames: %3    rejected: %4    "
                          "uploads complete: %5")
               .arg(delay < 0 ? QStringLiteral("none yet") : QStringLiteral("%1 s").arg(delay))
               .arg(sim.bank().rowPairFramesReceived())
               .arg(sim.framesReceived())
               .arg(sim.framesRejected() == 0
                        ? QStringLiteral("0")
                        : paint(QString::number(sim.framesRejected()), Red, colour))
               .arg(sim.uploadsCompleted());
    out << lightsLine(sim, colour);
    out << QString();

    const int perLine = qMax(1, (style.width + BlockGap) / (BlockWidth + BlockGap));
    const int bandHeight = RowsPerPage + 3; // caption, two borders
    const int allPagesHeight = int(out.size()) + (PageCount + perLine - 1) / perLine * bandHeight;
    QList<int> pages;
    if (style.shownPage >= 0) {
        out << paint(QStringLiteral("showing Page %1 of %2, as the boards do, for %3 s")
                         .arg(style.shownPage + 1)
                         .arg(PageCount)
                         .arg(delay < 0 ? 5 : delay),
                     Yellow, colour);
        pages << style.shownPage;
    } else if (style.height > 0 && allPagesHeight > style.height) {
        const int latest = qMax(0, sim.lastPage());
        out << paint(QStringLiteral("showing Page %1, the latest to change: all six need a "
                                    "terminal %2 lines higher")
                         .arg(latest + 1)
                         .arg(allPagesHeight + 1 - style.height),
                     Yellow, colour);
        pages << latest;
    } else {
        for (int page = 0; page < PageCount; ++page)
            pages << page;
    }

    for (qsizetype first = 0; first < pages.size(); first += perLine) {
        QList<QStringList> blocks;
        for (qsizetype i = first; i < pages.size() && i < first + perLine; ++i)
            blocks << pageBlock(sim, pages.at(i), colour);
        for (qsizetype line = 0; line < blocks.first().size(); ++line) {
            QStringList parts;
            for (const QStringList &block : blocks)
                parts << block.at(line);
            out << parts.join(QString(BlockGap, QLatin1Char(' ')));
        }
    }

    QStringList messages = style.messages ? sim.messages() : QStringList();
    if (style.height > 0) // a blank line, the messages and the cursor's line must fit
        messages =
            messages.mid(qMax(qsizetype(0), messages.size() - (style.height - out.size() - 2)));
    if (!messages.isEmpty()) {
        out << QString();
        for (QString message : messages) {
            if (colour) // one line each on the terminal
                message.truncate(style.width - 1);
            out << (message.contains(QLatin1String("REJECTED")) ? paint(message, Red, colour)
                                                                : message);
        }
    }
    if (style.height > 0 && out.size() >= style.height) // never scroll the lines above away
        out = out.mid(0, style.height - 1);
    return out.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
