#include "modbusreader.h"

#include "modbusline.h"

#include <QMap>
#include <QTimer>

ModbusReader::ModbusReader(QObject *parent)
    : QObject(parent) {}

ModbusReader::~ModbusReader() = default;

bool ModbusReader::start(const QList<ModbusPoint> &points) {
    // A second start would delete lines whose answers are still on their way, and their queued
    // ends would finish the new read before its own lines had answered.
    if (m_running)
        return false;
    m_running = true;
    qDeleteAll(m_lines);
    m_lines.clear();
    m_readings.clear();
    m_readings.resize(points.size());
    QMap<QString, QList<std::pair<int, ModbusPoint>>> byLine;
    QStringList lineOrder;
    for (int i = 0; i < points.size(); ++i) {
        const QString key = points.at(i).connection.lineKey();
        if (!byLine.contains(key))
            lineOrder << key;
        byLine[key] << std::pair{i, points.at(i)};
    }
    m_linesOpen = int(lineOrder.size());
    for (const QString &key : std::as_const(lineOrder)) {
        m_lines << new ModbusLine(
            byLine.value(key),
            [this](int index, const Reading &reading) { m_readings[index] = reading; },
            [this] { QTimer::singleShot(0, this, &ModbusReader::lineDone); }, this);
    }
    // Every line starts from the event loop, so that finished() never comes from start().
    QTimer::singleShot(0, this, [this] {
        if (m_lines.isEmpty()) {
            m_running = false;
            Q_EMIT finished(m_readings);
        }
        for (ModbusLine *line : std::as_const(m_lines))
            line->start();
    });
    return true;
}

void ModbusReader::lineDone() {
    if (--m_linesOpen > 0)
        return;
    m_running = false;
    Q_EMIT finished(m_readings);
}
