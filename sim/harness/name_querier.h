// Another filter that asks for names: a small minifilter a test loads at an
// altitude of its choice (above the driver under test, so the driver's name
// provider answers it; or below). On each operation of the chosen major
// (in its pre-operation, or its post-operation for creates that succeeded)
// it calls FltGetFileNameInformation with the chosen options and records
// the status and the name.
#pragma once

#include <string>
#include <vector>

#include <fltKernel.h>

#include "harness/machine.h"

namespace sim::harness::name_querier {

struct Query {
  UCHAR major = IRP_MJ_CREATE;
  bool post = true;  // creates: after the open (the file object is opened then)
  FLT_FILE_NAME_OPTIONS options = FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT;
};

struct Answer {
  UCHAR major;
  NTSTATUS status;
  std::u16string name;  // empty when the query failed
};

// Loads the querier (one at a time) as the service "NameQuerier".
Driver* Load(ULONG altitude, const Query& query);
// The answers recorded since the last call.
std::vector<Answer> TakeAnswers();

}  // namespace sim::harness::name_querier
