#include "simulatorapp.h"

#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

// Not a second definition of the shape: the help text spells the page count out.
static_assert(PageSet::PageCount == 6, "the help text says \"the six pages\": reword it");

const QString SilentOption = QStringLiteral("silent");
const QString WrongOption = QStringLiteral("wrong");
const QString LateOption = QStringLiteral("late");
const QString ReplyDelayOption = QStringLiteral("reply-delay");
const QString LateDelayOption = QStringLiteral("late-delay");
const QString ReplyTailOption = QStringLiteral("reply-tail");
const QString CycleOption = QStringLiteral("cycle");
const QString OnceOption = QStringLiteral("once");
const QString PlainOption = QStringLiteral("plain");
const QString ConfigOption = QStringLiteral("config");
const QString TcpOption = QStringLiteral("tcp");
const QString ModbusTcpOption = QStringLiteral("modbus-tcp");

// A value on the command line the boards cannot take: what is wrong with it.
struct BadValue {
    QString text;
};

// The options as --help lists them. Their defaults are those of SimulatorOptions.
void describeOptions(QCommandLineParser &parser) {
    const SimulatorOptions defaults;
    parser.setApplicationDescription(
        QStringLiteral(
            "Simulated display boards on a pseudo-terminal. Prints the device and the console's "
            "port number that reaches it (\"/dev/pts/3 COM 103\"), then shows the six pages as "
            "the boards hold them. With --tcp the boards are a device server on a TCP port "
            "instead, serving one client at a time, and the first line is the device that "
            "reaches them (\"tcp://127.0.0.1:4001\"). Boards 1 to %1 take row pairs; addresses 0 "
            "to %1 answer "
            "probes. Every frame is checked and anything malformed is reported and not "
            "answered.\n\n"
            "Exit status with --once: 0 when every frame was well formed, 1 when a frame was "
            "rejected; 2 for a bad option, no pseudo-terminal or a port it cannot listen on.")
            .arg(BoardAddress::Highest));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {SilentOption, QStringLiteral("These addresses never answer (e.g. 3,5)."),
         QStringLiteral("addresses")},
        {WrongOption, QStringLiteral("These addresses answer with another board's digit first."),
         QStringLiteral("addresses")},
        {LateOption,
         QStringLiteral("These addresses answer after the console's %1 ms reply window.")
             .arg(BoardSimulator::ReplyWindowMs),
         QStringLiteral("addresses")},
        {ReplyDelayOption,
         QStringLiteral("Milliseconds before a reply (%1).").arg(defaults.replyDelayMs),
         QStringLiteral("ms"), QString::number(defaults.replyDelayMs)},
        {LateDelayOption,
         QStringLiteral("Milliseconds before a late reply (%1).").arg(defaults.lateDelayMs),
         QStringLiteral("ms"), QString::number(defaults.lateDelayMs)},
        {ReplyTailOption,
         QStringLiteral("What a board sends after its digit (\"%1\").")
             .arg(QString::fromLatin1(defaults.replyTail)),
         QStringLiteral("text"), QString::fromLatin1(defaults.replyTail)},
        {CycleOption,
         QStringLiteral("Show the pages in turn at the page delay, as the boards do.")},
        {OnceOption,
         QStringLiteral("Exit after one whole upload (the closing *Q after the page delay) once "
                        "the console has closed the port, printing the final state.")},
        {PlainOption, QStringLiteral("Plain text, no colours or redrawing (the default when not "
                                     "on a terminal).")},
        {ConfigOption,
         QStringLiteral("Write the port number that reaches these boards into this display.cfg, "
                        "keeping its rows (the default pages when it has none), so that the "
                        "console started in that folder uploads here."),
         QStringLiteral("file")},
        {TcpOption,
         QStringLiteral("Listen on this TCP port instead of a pseudo-terminal (0: any free "
                        "port). HOST is 127.0.0.1 unless given: other machines reach the boards "
                        "only through an address asked for here, such as 0.0.0.0 for every "
                        "interface."),
         QStringLiteral("[host:]port")},
        {ModbusTcpOption,
         QStringLiteral(
             "Also serve a simulated analyser on Modbus TCP at this port (0: any free port; "
             "HOST as for --tcp), unit 1, and print the sources-file line that reads it "
             "(\"modbus-tcp = 127.0.0.1:5020\"). Its figures drift every second: input "
             "registers 30001 SO2, 30003 NOx, 30005 dust (float32 ABCD, mg/m3), 30011 pH x 100 "
             "and 30012 flue gas temperature x 10 (int16); holding registers 40001 COD and 40003 "
             "BOD (float32, mg/l) and 40011 TSS (int16, mg/l). 30001-30020 and 40001-40020 are "
             "served, any other register is refused."),
         QStringLiteral("[host:]port")},
    });
}

// "3,5" or repeated options: the addresses, each 0 to BoardAddress::Highest.
QList<int> addresses(const QCommandLineParser &parser, const QString &option) {
    QList<int> result;
    for (const QString &value : parser.values(option)) {
        for (const QString &part : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            bool ok = false;
            const int address = part.trimmed().toInt(&ok);
            if (!ok || address < 0 || address > BoardAddress::Highest)
                throw BadValue{
                    QStringLiteral("--%1: \"%2\" is no board address (0 to %3)")
                        .arg(option, part.trimmed(), QString::number(BoardAddress::Highest))};
            result << address;
        }
    }
    return result;
}

int milliseconds(const QCommandLineParser &parser, const QString &option, int max) {
    bool ok = false;
    const int ms = parser.value(option).toInt(&ok);
    if (!ok || ms < 0 || ms > max)
        // One pass: a value such as "%3" must not be taken for a place of the message.
        throw BadValue{QStringLiteral("--%1: \"%2\" is not a number of milliseconds from 0 to %3")
                           .arg(option, parser.value(option), QString::number(max))};
    return ms;
}

// "4001", "127.0.0.1:4001", "0.0.0.0:4001", "[::1]:4001", "localhost:4001".
TcpListen listenOn(const QString &option, const QString &value) {
    TcpListen listen;
    const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
    QString portText = value;
    if (colon >= 0) {
        QString host = value.left(colon);
        portText = value.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        if (host == QLatin1String("localhost"))
            host = QStringLiteral("127.0.0.1");
        if (!listen.host.setAddress(host))
            throw BadValue{QStringLiteral("--%1: \"%2\" is no IP address to listen on")
                               .arg(option, value.left(colon))};
    }
    bool ok = false;
    const int port = portText.toInt(&ok);
    if (!ok || port < 0 || port > 65535)
        throw BadValue{
            QStringLiteral("--%1: \"%2\" is no TCP port (0 to 65535)").arg(option, portText)};
    listen.port = quint16(port);
    return listen;
}

// The options of a command line that parsed; BadValue for a value the boards cannot take.
SimulatorOptions optionsOf(const QCommandLineParser &parser) {
    SimulatorOptions options;
    // The option that set each address, so that no address gets two behaviours.
    std::array<QString, BoardAddress::Count> given;
    const std::pair<QString, BoardBehaviour> behaviours[] = {
        {SilentOption, BoardBehaviour::Silent},
        {WrongOption, BoardBehaviour::Wrong},
        {LateOption, BoardBehaviour::Late},
    };
    for (const auto &[name, behaviour] : behaviours) {
        for (const int address : addresses(parser, name)) {
            QString &earlier = given.at(std::size_t(address));
            if (!earlier.isEmpty() && earlier != name)
                throw BadValue{QStringLiteral("address %1 is both --%2 and --%3")
                                   .arg(address)
                                   .arg(earlier, name)};
            earlier = name;
            options.behaviour.at(std::size_t(address)) = behaviour;
        }
    }
    options.replyDelayMs = milliseconds(parser, ReplyDelayOption, SimulatorOptions::MaxDelayMs);
    options.lateDelayMs = milliseconds(parser, LateDelayOption, SimulatorOptions::MaxDelayMs);
    options.replyTail = parser.value(ReplyTailOption).toLatin1();
    options.cycle = parser.isSet(CycleOption);
    options.once = parser.isSet(OnceOption);
    options.plain = parser.isSet(PlainOption);
    if (parser.isSet(ConfigOption))
        options.config = parser.value(ConfigOption);
    if (parser.isSet(TcpOption))
        options.tcp = listenOn(TcpOption, parser.value(TcpOption));
    if (parser.isSet(ModbusTcpOption))
        options.modbusTcp = listenOn(ModbusTcpOption, parser.value(ModbusTcpOption));
    if (options.tcp && options.config)
        throw BadValue{QStringLiteral("--%1 writes a COM number, and no COM number reaches a TCP "
                                      "port: map one to it in the console's ports.conf instead")
                           .arg(ConfigOption)};
    return options;
}

// Points the console's display.cfg at these boards: the port number is replaced, the rows stay
// as the file holds them (the default pages where it has none, as the console itself reads it).
} // namespace

std::variant<SimulatorOptions, SimulatorExit> SimulatorApp::parse(const QStringList &arguments) {
    QCommandLineParser parser;
    describeOptions(parser);
    if (!parser.parse(arguments))
        return SimulatorExit{SimulatorExit::Kind::Error, parser.errorText(), 1};
    if (parser.isSet(QStringLiteral("version")) || parser.isSet(QStringLiteral("help")) ||
        parser.isSet(QStringLiteral("help-all")))
        return SimulatorExit{SimulatorExit::Kind::Builtin, QString(), 0};
    if (!parser.positionalArguments().isEmpty())
        return SimulatorExit{
            SimulatorExit::Kind::Error,
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()),
            2};
    try {
        return optionsOf(parser);
    } catch (const BadValue &bad) {
        return SimulatorExit{SimulatorExit::Kind::Error, bad.text, 2};
    }
}

int SimulatorApp::report(const SimulatorExit &exit) {
    if (exit.kind == SimulatorExit::Kind::Builtin) {
        // Qt's parser prints the version or the help (with Qt's own options for --help-all) and
        // ends the program.
        QCommandLineParser parser;
        describeOptions(parser);
        parser.process(QCoreApplication::arguments());
        return exit.status;
    }
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(exit.text));
    return exit.status;
}
