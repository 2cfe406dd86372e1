// velkor_target's one-time stall and arrival log, for tests of what a load
// generator does when its server stops answering for a while:
//   --stall-at-ms N   N ms after the first request arrived, stop answering...
//   --stall-ms M      ...for M ms; requests that arrive meanwhile are answered
//                     when the stall ends
//   --arrival-log F   at exit, write each request's arrival to F, one line
//                     each: ns after the first request, in order of arrival
#pragma once

#include <string>
#include <string_view>

// Whether name is one of the options above.
bool isStallOption(std::string_view name);

// Stores one of the options above; false, with error set, for a bad value.
bool applyStallOption(std::string_view name, std::string_view value, std::string& error);

// The usage lines of the options above.
extern const char* const kStallUsage;

// Called by a connection thread as each request's head has arrived: notes the
// arrival and, during the stall, waits until it is over.
void noteRequestArrival();

// Writes the arrival log, if one was asked for; false, with a message on
// standard error, when it cannot be written.
bool writeArrivalLog();
