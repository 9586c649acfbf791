#include "frameparser.h"

#include "bytetext.h"

QString quotedFrame(const QByteArray &bytes) {
    return QLatin1Char('"') + quoted(QString::fromLatin1(bytes)) + QLatin1Char('"');
}

namespace {

// Board k + 1 holds rows 2k and 2k + 1 of every page; addresses and pages travel as one digit.
static_assert(2 * BoardAddress::Highest == PageSet::RowsPerPage,
              "the boards 1 to Highest hold every row of a page, two each");
static_assert(PageSet::PageCount <= 10, "a page travels as one decimal digit");

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

ParsedFrame invalid(const QString &problem) {
    ParsedFrame parsed;
    parsed.problem = problem;
    return parsed;
}

ParsedFrame parseRowPair(const QByteArray &frame, int address) {
    // address, "ED0", page digit, "TSC", first row, "~", second row
    if (address < 1 || address > BoardAddress::Highest)
        return invalid(QStringLiteral("row-pair frame for address %1: boards 1..%2 hold rows")
                           .arg(address)
                           .arg(BoardAddress::Highest));
    if (frame.mid(1, 3) != "ED0")
        return invalid(
            QStringLiteral("row-pair frame %1 does not go on with \"ED0\" after the address")
                .arg(quotedFrame(frame)));
    if (frame.size() < 5 || !isDigit(frame.at(4)))
        return invalid(QStringLiteral("row-pair frame %1 has no page digit after \"ED0\"")
                           .arg(quotedFrame(frame)));
    const int page = frame.at(4) - '0';
    if (page >= PageSet::PageCount)
        return invalid(QStringLiteral("row-pair frame for page %1: pages are 0..%2")
                           .arg(page)
                           .arg(PageSet::PageCount - 1));
    if (frame.mid(5, 3) != "TSC")
        return invalid(
            QStringLiteral("row-pair frame %1 does not go on with \"TSC\" after the page digit")
                .arg(quotedFrame(frame)));
    const QByteArray text = frame.mid(8);
    const qsizetype tilde = text.indexOf('~');
    if (tilde < 0)
        return invalid(QStringLiteral("row-pair frame %1 has no \"~\" between its two rows")
                           .arg(quotedFrame(frame)));
    ParsedFrame parsed;
    parsed.kind = ParsedFrame::Kind::RowPair;
    parsed.address = address;
    parsed.page = page;
    parsed.firstRow = text.left(tilde);
    parsed.secondRow = text.mid(tilde + 1);
    return parsed;
}

ParsedFrame parsePageDelay(const QByteArray &frame, int address) {
    // "1EN06" and the delay as two digits
    if (address != 1)
        return invalid(
            QStringLiteral("page-delay frame for address %1: it always goes to address 1")
                .arg(address));
    const QByteArray digits = frame.mid(5);
    if (!frame.startsWith("1EN06") || digits.size() != 2 || !isDigit(digits.at(0)) ||
        !isDigit(digits.at(1)))
        return invalid(QStringLiteral("page-delay frame %1 is not \"1EN06\" and two digits")
                           .arg(quotedFrame(frame)));
    const int seconds = (digits.at(0) - '0') * 10 + (digits.at(1) - '0');
    if (seconds < 1 || seconds > 20)
        return invalid(QStringLiteral("page delay of %1 seconds: delays are 01..20").arg(seconds));
    ParsedFrame parsed;
    parsed.kind = ParsedFrame::Kind::PageDelay;
    parsed.address = 1;
    parsed.delaySeconds = seconds;
    return parsed;
}

ParsedFrame parseProbe(const QByteArray &frame, int address) {
    if (address > BoardAddress::Highest)
        return invalid(QStringLiteral("probe of address %1: addresses are 0..%2")
                           .arg(address)
                           .arg(BoardAddress::Highest));
    if (frame.size() != 2)
        return invalid(
            QStringLiteral("probe frame %1 has something after the \"?\"").arg(quotedFrame(frame)));
    ParsedFrame parsed;
    parsed.kind = ParsedFrame::Kind::Probe;
    parsed.address = address;
    return parsed;
}

} // namespace

ParsedFrame parseFrame(const QByteArray &frame) {
    if (frame.isEmpty())
        return invalid(QStringLiteral("empty frame: a carriage return with nothing before it"));
    const char first = frame.at(0);
    if (first == '*') {
        if (frame == "*Q") {
            ParsedFrame parsed;
            parsed.kind = ParsedFrame::Kind::Bracket;
            return parsed;
        }
        return invalid(
            QStringLiteral("bracket frame %1: it must be exactly \"*Q\"").arg(quotedFrame(frame)));
    }
    if (!isDigit(first))
        return invalid(QStringLiteral("frame %1 starts with neither a board address digit nor "
                                      "\"*Q\"")
                           .arg(quotedFrame(frame)));
    const int address = first - '0';
    ParsedFrame parsed;
    if (frame.size() >= 2 && frame.at(1) == '?')
        parsed = parseProbe(frame, address);
    else if (frame.mid(1, 2) == "EN")
        parsed = parsePageDelay(frame, address);
    else if (frame.mid(1, 2) == "ED")
        parsed = parseRowPair(frame, address);
    else
        parsed = invalid(QStringLiteral("frame %1 for address %2 is no row pair (\"ED0\"), page "
                                        "delay (\"EN06\") or probe (\"?\")")
                             .arg(quotedFrame(frame))
                             .arg(address));
    if (parsed.kind == ParsedFrame::Kind::Invalid)
        parsed.address = address;
    return parsed;
}

QDebug operator<<(QDebug debug, const ParsedFrame &frame) {
    QDebugStateSaver saver(debug);
    debug.nospace();
    switch (frame.kind) {
    case ParsedFrame::Kind::Bracket:
        debug << "Bracket";
        break;
    case ParsedFrame::Kind::RowPair:
        debug << "RowPair(address " << frame.address << ", page " << frame.page << ", "
              << frame.firstRow << " ~ " << frame.secondRow << ')';
        break;
    case ParsedFrame::Kind::PageDelay:
        debug << "PageDelay(" << frame.delaySeconds << " s)";
        break;
    case ParsedFrame::Kind::Probe:
        debug << "Probe(address " << frame.address << ')';
        break;
    case ParsedFrame::Kind::Invalid:
        debug << "Invalid(address " << frame.address << ", " << frame.problem << ')';
        break;
    }
    return debug;
}
