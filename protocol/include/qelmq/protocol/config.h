#pragma once
// The collector configuration the runtime reads: its file, its keys and
// their limits, and the environment variable that names another file. The
// collector writes such a file for the processes it starts.
#include <cstddef>

namespace qel_wire {

// Beside the executable of the program under test.
inline constexpr const char* kConfigFileName = "Server.cfg";
// Names a file read in place of the one beside the executable.
inline constexpr const char* kConfigVariable = "QELMQ_CONFIG";

// Lines "key=value"; a line naming several keys counts as the first of
// these it names, in this order.
inline constexpr const char* kKeyAddress = "config_ip";
inline constexpr const char* kKeyMode = "config_state";
inline constexpr const char* kKeyNoMcdc = "no_mcdc";

// The collector's address: a dotted IPv4 address. A longer value forces
// bind mode and ends the reading.
inline constexpr std::size_t kMaxAddressLength = 15;
// The mode value that makes every sender connect to the address; anything
// else binds on all interfaces.
inline constexpr const char* kConnectMode = "1";

// Buffer sizes of the three values, terminator included.
inline constexpr std::size_t kAddressBufferSize = 128;
inline constexpr std::size_t kModeBufferSize = 2;
inline constexpr std::size_t kNoMcdcBufferSize = 2;

}  // namespace qel_wire
