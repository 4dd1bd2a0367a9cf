// The instrumentation step in a long-lived process that keeps libclang
// loaded (Linux): a unit asks it instead of loading libclang itself.
#ifndef QELCC_SERVER_H
#define QELCC_SERVER_H

#include "instrument.h"
#include "result_wire.h"

namespace qelcc {

// Runs the request in the server's process and sets *result to exactly what
// Instrument gives. False, with *result untouched, on any failure before a
// complete reply: the caller then instruments the unit itself. When no
// server listens, one is started for the units that follow.
bool InstrumentThroughServer(const InstrumentRequest& request, InstrumentResult* result);

// The word main() recognises as its first argument in the server's process
// (the server is this same executable, started again); the second argument
// is the socket name the starter computed.
extern const char* const kServerArgument;
int ServerMain(int argc, char** argv);

}  // namespace qelcc

#endif
