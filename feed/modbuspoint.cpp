#include "modbuspoint.h"

#include <QRegularExpression>

#include <cmath>

namespace {

const QString TcpKey = QStringLiteral("modbus-tcp");
const QString RtuKey = QStringLiteral("modbus-rtu");
const QString BaudKey = QStringLiteral("baud");
const QString ParityKey = QStringLiteral("parity");
const QString StopBitsKey = QStringLiteral("stop-bits");
const QString UnitKey = QStringLiteral("unit");
const QString RegisterKey = QStringLiteral("register");
const QString TypeKey = QStringLiteral("type");
const QString OrderKey = QStringLiteral("order");
const QString ScaleKey = QStringLiteral("scale");
const QString OffsetKey = QStringLiteral("offset");

const QStringList TypeNames = {QStringLiteral("int16"), QStringLiteral("uint16"),
                               QStringLiteral("int32"), QStringLiteral("uint32"),
                               QStringLiteral("float32")};
const QStringList OrderNames = {QStringLiteral("ABCD"), QStringLiteral("CDAB"),
                                QStringLiteral("BADC"), QStringLiteral("DCBA")};
const QStringList ParityNames = {QStringLiteral("none"), QStringLiteral("even"),
                                 QStringLiteral("odd")};
const int Bauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// A section that cannot be read: what is wrong with it.
struct BadSection {
    QString text;
};

QString quote(const QString &text) {
    QString shown = text.left(40);
    for (QChar &c : shown) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return text.size() > 40 ? shown + QStringLiteral("…") : shown;
}

int whole(const QMap<QString, QString> &keys, const QString &key, int low, int high, int fallback) {
    if (!keys.contains(key))
        return fallback;
    bool ok = false;
    const QString text = keys.value(key).trimmed();
    const int number = text.toInt(&ok); // refuses what does not fit
    if (!ok || number < low || number > high)
        throw BadSection{QStringLiteral("%1 \"%2\" is not a whole number from %3 to %4")
                             .arg(key, quote(text), QString::number(low), QString::number(high))};
    return number;
}

double real(const QMap<QString, QString> &keys, const QString &key, double fallback) {
    if (!keys.contains(key))
        return fallback;
    bool ok = false;
    const QString text = keys.value(key).trimmed();
    const double number = text.toDouble(&ok);
    if (!ok || !std::isfinite(number))
        throw BadSection{QStringLiteral("%1 \"%2\" is not a number").arg(key, quote(text))};
    return number;
}

int choice(const QMap<QString, QString> &keys, const QString &key, const QStringList &names,
           int fallback) {
    if (!keys.contains(key))
        return fallback;
    const QString text = keys.value(key).trimmed();
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (names.at(i).compare(text, Qt::CaseInsensitive) == 0)
            return int(i);
    }
    throw BadSection{QStringLiteral("%1 \"%2\" is none of %3")
                         .arg(key, quote(text), names.join(QLatin1Char('|')))};
}

// "10.1.2.3:502", "plc.example:1502", "[::1]:502"; port 502 when none is given.
void readTcp(const QString &text, ModbusConnection &connection) {
    static const QRegularExpression form(
        QStringLiteral(R"(^(?:\[([0-9A-Fa-f:.]+)\]|([^\s:\[\]/]+))(?::(\d{1,5}))?$)"));
    const auto match = form.match(text);
    bool ok = match.hasMatch();
    int port = 502;
    if (ok && match.hasCaptured(3))
        port = match.captured(3).toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        throw BadSection{QStringLiteral("%1 \"%2\" is not HOST:PORT (a port from 1 to 65535)")
                             .arg(TcpKey, quote(text))};
    connection.kind = ModbusConnection::Kind::Tcp;
    connection.host = match.hasCaptured(1) ? match.captured(1) : match.captured(2);
    connection.port = quint16(port);
}

void readRtu(const QString &text, const QMap<QString, QString> &keys,
             const ComPortResolver &resolveCom, ModbusConnection &connection) {
    static const QRegularExpression com(QStringLiteral(R"(^COM\s*(\d+)$)"),
                                        QRegularExpression::CaseInsensitiveOption);
    connection.kind = ModbusConnection::Kind::Rtu;
    if (const auto match = com.match(text); match.hasMatch()) {
        bool ok = false;
        const int number = match.captured(1).toInt(&ok);
        QString why;
        connection.device = ok && resolveCom ? resolveCom(number, &why) : QString();
        if (connection.device.isEmpty())
            throw BadSection{QStringLiteral("%1 \"%2\" opens no device%3")
                                 .arg(RtuKey, quote(text),
                                      why.isEmpty() ? QString() : QStringLiteral(": ") + why)};
    } else if (text.startsWith(QLatin1Char('/'))) {
        connection.device = text;
    } else {
        throw BadSection{QStringLiteral("%1 \"%2\" is neither a device path nor COM n")
                             .arg(RtuKey, quote(text))};
    }
    connection.baud = whole(keys, BaudKey, 50, 4000000, 9600);
    if (std::find(std::begin(Bauds), std::end(Bauds), connection.baud) == std::end(Bauds))
        throw BadSection{QStringLiteral("%1 %2 is not a serial speed (1200 to 115200)")
                             .arg(BaudKey, QString::number(connection.baud))};
    connection.parity = ModbusConnection::Parity(choice(keys, ParityKey, ParityNames, 0));
    connection.stopBits = whole(keys, StopBitsKey, 1, 2, 1);
}

// 30001-39999 and 300001-365536 are input registers, 40001-49999 and 400001-465536 holding
// registers, counted from 1.
void readRegister(const QMap<QString, QString> &keys, ModbusPoint &point) {
    if (!keys.contains(RegisterKey))
        throw BadSection{QStringLiteral("no %1 (30001 to 39999 input, 40001 to 49999 holding)")
                             .arg(RegisterKey)};
    const QString text = keys.value(RegisterKey).trimmed();
    bool ok = false;
    const int reg = text.toInt(&ok);
    struct Range {
        int first, last;
        ModbusTable table;
    };
    static const Range ranges[] = {{30001, 39999, ModbusTable::Input},
                                   {300001, 365536, ModbusTable::Input},
                                   {40001, 49999, ModbusTable::Holding},
                                   {400001, 465536, ModbusTable::Holding}};
    const Range *found = nullptr;
    for (const Range &range : ranges) {
        if (ok && reg >= range.first && reg <= range.last)
            found = &range;
    }
    if (!found)
        throw BadSection{QStringLiteral("%1 \"%2\" is neither an input register (30001-39999, "
                                        "300001-365536) nor a holding register (40001-49999, "
                                        "400001-465536)")
                             .arg(RegisterKey, quote(text))};
    point.reg = reg;
    point.table = found->table;
    point.address = reg - found->first;
    if (reg + point.words() - 1 > found->last)
        throw BadSection{QStringLiteral("%1 %2 is the last of its table, and a %3 takes two")
                             .arg(RegisterKey, text, TypeNames.at(int(point.type)))};
}

} // namespace

QString ModbusConnection::label() const {
    if (kind == Kind::Rtu) {
        static const char parities[] = {'N', 'E', 'O'};
        return QStringLiteral("%1 %2 %3 8%4%5")
            .arg(RtuKey, device, QString::number(baud), QString(QLatin1Char(parities[int(parity)])),
                 QString::number(stopBits));
    }
    const QString shownHost =
        host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1 %2:%3").arg(TcpKey, shownHost, QString::number(port));
}

QString ModbusConnection::lineKey() const {
    return kind == Kind::Rtu ? device : label();
}

QString ModbusPoint::source() const {
    return QStringLiteral("%1 unit %2 register %3")
        .arg(connection.label(), QString::number(unit), QString::number(reg));
}

QDebug operator<<(QDebug debug, const ModbusPoint &point) {
    const QDebugStateSaver saver(debug);
    debug.nospace() << "ModbusPoint(" << point.name << ", " << point.source() << ", "
                    << TypeNames.at(int(point.type)) << ' ' << OrderNames.at(int(point.order))
                    << ", x" << point.scale << " +" << point.offset << ')';
    return debug;
}

std::optional<ModbusPoint> modbusPoint(const QString &name, const QMap<QString, QString> &keys,
                                       QString *problem, const ComPortResolver &resolveCom) {
    static const QStringList known = {TcpKey,      RtuKey,   BaudKey,     ParityKey,
                                      StopBitsKey, UnitKey,  RegisterKey, TypeKey,
                                      OrderKey,    ScaleKey, OffsetKey};
    try {
        for (auto it = keys.cbegin(); it != keys.cend(); ++it) {
            if (!known.contains(it.key()))
                throw BadSection{
                    QStringLiteral("unknown key \"%1\" in a Modbus value").arg(quote(it.key()))};
        }
        ModbusPoint point;
        point.name = name;
        const bool tcp = keys.contains(TcpKey);
        if (tcp == keys.contains(RtuKey))
            throw BadSection{
                QStringLiteral("give either %1 = HOST:PORT or %2 = DEVICE").arg(TcpKey, RtuKey)};
        if (tcp) {
            for (const QString &serialOnly : {BaudKey, ParityKey, StopBitsKey}) {
                if (keys.contains(serialOnly))
                    throw BadSection{
                        QStringLiteral("%1 is for %2, not %3").arg(serialOnly, RtuKey, TcpKey)};
            }
            readTcp(keys.value(TcpKey).trimmed(), point.connection);
            point.unit = whole(keys, UnitKey, 0, 255, 1);
        } else {
            readRtu(keys.value(RtuKey).trimmed(), keys, resolveCom, point.connection);
            point.unit = whole(keys, UnitKey, 1, 247, 1);
        }
        point.type = ModbusType(choice(keys, TypeKey, TypeNames, int(ModbusType::Uint16)));
        point.order = ModbusOrder(choice(keys, OrderKey, OrderNames, int(ModbusOrder::ABCD)));
        readRegister(keys, point);
        point.scale = real(keys, ScaleKey, 1);
        point.offset = real(keys, OffsetKey, 0);
        return point;
    } catch (const BadSection &bad) {
        if (problem)
            *problem = bad.text;
        return std::nullopt;
    }
}
