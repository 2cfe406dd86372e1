// The --source addresses, tried before the run: a typing error or an address
// that another host owns would otherwise only show as every connect failing.
#pragma once

#include "config/test_config.h"

// Checks each --source address in turn, after the target's lookup: it must
// be of the family of the target's addresses, and the system must let a
// throw-away socket bind to it. The first that fails is named in one line on
// standard error, and the result is false. True when every address passes,
// or there are none.
bool checkSourceAddresses(const TestConfig& config);
