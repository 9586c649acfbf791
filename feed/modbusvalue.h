#pragma once

#include "modbuspoint.h"

#include <QList>

#include <optional>

// The value that registers hold, before scale and offset: words as they came off the wire, as
// many as the type takes. A float32 that is not a number (NaN, infinite) is nothing.
std::optional<double> modbusValue(const QList<quint16> &words, ModbusType type, ModbusOrder order);
