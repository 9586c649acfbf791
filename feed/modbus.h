#pragma once

// Figures read straight from analysers and data loggers over Modbus, TCP on the plant network or
// RTU on an RS-485 line. Read-only: the console only ever asks for input and holding registers.

#include "modbuspoint.h"
#include "modbusreader.h"
#include "modbusvalue.h"
