// The chamber simulator: controllers of climatic test chambers on a
// simulated RS-485 line, for trying the operator client without hardware.
//
//   sim::ChamberModel  one chamber: registers, programs, climate (pure)
//   sim::AnswerRequest what a controller answers to a Modbus request
//   sim::BusSimulator  the line behind a pseudo-terminal, with fault injection
#pragma once

#include "sim/BusSimulator.h"
#include "sim/ChamberModel.h"
#include "sim/ModbusSlave.h"
