// The small POSIX termios layer under the port unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int kNoPort = -1;

// Opens a serial device exclusively, raw, 57600 baud 8N1 with no flow control.
// Returns the descriptor (never 0..2, which belong to the standard streams) or
// kNoPort with errno's value in *error; a device that another program or
// another open holds (its lock, or its exclusive flag) gives EBUSY, for root
// too, and is left as its holder has it.
int OpenSerialDevice(const std::string& path, int* error);

// Releases exclusive use and closes a descriptor OpenSerialDevice returned;
// kNoPort is ignored.
void CloseSerialDevice(int fd);

void PurgeInput(int fd);
void PurgeOutput(int fd);

// Hands the bytes to the driver. False when not all of them were taken (no
// port, a dead port, a queue that stayed full); the caller still goes on, as
// an unanswered request simply counts as unanswered.
bool WriteBytes(int fd, const uint8_t* bytes, size_t length);
