#include "modbusvalue.h"

#include <bit>
#include <cmath>

std::optional<double> modbusValue(const QList<quint16> &words, ModbusType type, ModbusOrder order) {
    if (words.isEmpty())
        return std::nullopt;
    const quint16 first = words.at(0);
    switch (type) {
    case ModbusType::Int16:
        return double(qint16(first));
    case ModbusType::Uint16:
        return double(first);
    default:
        break;
    }
    if (words.size() < 2)
        return std::nullopt;
    const quint16 second = words.at(1);
    const auto swapped = [](quint16 word) { return quint16((word << 8) | (word >> 8)); };
    quint32 bits = 0;
    switch (order) {
    case ModbusOrder::ABCD:
        bits = quint32(first) << 16 | second;
        break;
    case ModbusOrder::CDAB:
        bits = quint32(second) << 16 | first;
        break;
    case ModbusOrder::BADC:
        bits = quint32(swapped(first)) << 16 | swapped(second);
        break;
    case ModbusOrder::DCBA:
        bits = quint32(swapped(second)) << 16 | swapped(first);
        break;
    }
    if (type == ModbusType::Int32)
        return double(qint32(bits));
    if (type == ModbusType::Uint32)
        return double(bits);
    const double value = std::bit_cast<float>(bits);
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}
