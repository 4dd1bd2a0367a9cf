// The instrumentation step as bytes: a request (the inputs of Instrument)
// and its InstrumentResult, for the server that runs the step in a process
// of its own. Little-endian, lengths before contents; decoding accepts only
// a buffer that holds exactly one complete, well-formed value.
#ifndef QELCC_RESULT_WIRE_H
#define QELCC_RESULT_WIRE_H

#include <string>
#include <vector>

#include "instrument.h"

namespace qelcc {

struct InstrumentRequest {
  std::string ipath;  // the preprocessed text, read there by the server's child
  std::string cwd;
  std::vector<std::string> args;
  int unit = 0;
  int group = 1;
  InstrumentOptions options;
};

std::string EncodeRequest(const InstrumentRequest& request);
bool DecodeRequest(const std::string& bytes, InstrumentRequest* request);

std::string EncodeResult(const InstrumentResult& result);
bool DecodeResult(const std::string& bytes, InstrumentResult* result);

}  // namespace qelcc

#endif
